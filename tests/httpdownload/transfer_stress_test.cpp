// Many requests on a few dozen ids with cancels, releases and reporter deaths thrown in at random,
// from the pool's thread and from inside reporter calls: every request that was neither released
// nor detached hears exactly one terminal call, and nothing else hears anything.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "httpdownload/httppublic.h"
#include "platform/msgwindow.h"
#include "platform/sync.h"
#include "support/http_server.h"
#include "support/scoped.h"
#include "transfer_support.h"

namespace {

constexpr int kSlots = 64;
constexpr int kRequests = 2000;
constexpr int kReporters = 4;

struct SLOT {
    long nId = -1;
    bool bPending = false;
    int nReporter = -1;
};

class CStress {
public:
    explicit CStress(const std::string& strUrl) : m_strUrl(ttest::Wide(strUrl)) {
        for (int i = 0; i < kReporters; ++i) NewReporter(i);
    }

    void Run() {
        const uint64_t nDeadline = kt::GetTickCount64() + 120000;
        while (kt::GetTickCount64() < nDeadline) {
            for (int i = 0; i < kSlots && m_nStarted < kRequests; ++i)
                if (!m_aSlots[static_cast<size_t>(i)].bPending) Start(i);
            RandomAction();
            kt::PumpMessagesFor(1);
            if (m_nStarted >= kRequests && Pending() == 0) break;
        }
        // Anything still queued must not reach anyone (the hook fails the test if it does).
        EXPECT_TRUE(kttest::PumpUntilMarker());
    }

    int m_nStarted = 0;
    int m_nTerminals = 0;
    int m_nUnanswered = 0;  // released or detached while pending

private:
    void NewReporter(int nReporter) {
        auto pReporter = std::make_unique<ttest::CRecorder>();
        pReporter->m_fnHook = [this, nReporter](const ttest::CALL& call) {
            EXPECT_EQ(std::this_thread::get_id(), m_mainThread);
            EXPECT_TRUE(m_mapIdToSlot.count(call.nId) != 0) << call.nId;
            if (call.chKind == 'F' || call.chKind == 'E')
                OnTerminal(nReporter, call.nId, static_cast<int32_t>(call.dValue));
        };
        m_apReporters[static_cast<size_t>(nReporter)] = std::move(pReporter);
    }

    void OnTerminal(int nReporter, long nId, int32_t nResult) {
        const auto it = m_mapIdToSlot.find(nId);
        if (it == m_mapIdToSlot.end()) return;  // reported by the hook already
        SLOT& slot = m_aSlots[static_cast<size_t>(it->second)];
        if (!slot.bPending || slot.nReporter != nReporter) {
            ADD_FAILURE() << "unexpected terminal call for id " << nId << " result " << nResult;
            return;
        }
        EXPECT_TRUE(nResult == 0 || nResult == HTTP_ERR_USER_ABORT) << nResult;
        EXPECT_TRUE(nResult != 0 || ttest::TakeBody(nId) == "reply");
        slot.bPending = false;
        ++m_nTerminals;
        // From inside the call: sometimes release the id, sometimes start the next request on it.
        const unsigned nDice = m_rng() % 8;
        if (nDice == 0) {
            ReleaseSlot(it->second);
        } else if (nDice == 1 && m_nStarted < kRequests) {
            Start(it->second);
        }
    }

    void Start(int nSlot) {
        SLOT& slot = m_aSlots[static_cast<size_t>(nSlot)];
        slot.nReporter = static_cast<int>(m_rng() % kReporters);
        const char* pszBody = (m_rng() % 2) ? "body" : "";
        const int nStarted = HttpPool_RequestData(
            &slot.nId, m_strUrl.c_str(), pszBody, static_cast<uint32_t>(std::strlen(pszBody)),
            m_apReporters[static_cast<size_t>(slot.nReporter)].get(), 10000, 0, 0);
        ASSERT_EQ(nStarted, 0);
        ASSERT_GT(slot.nId, 0);
        ASSERT_LE(slot.nId, kSlots + 17);  // ids are reused, not piled up
        m_mapIdToSlot[slot.nId] = nSlot;
        slot.bPending = true;
        ++m_nStarted;
    }

    void ReleaseSlot(int nSlot) {
        SLOT& slot = m_aSlots[static_cast<size_t>(nSlot)];
        if (slot.nId < 0) return;
        HttpPool_Release(slot.nId);
        if (slot.bPending) ++m_nUnanswered;
        slot.bPending = false;
        m_mapIdToSlot.erase(slot.nId);
        slot.nId = -1;  // the parked id may go to any slot next
    }

    void RandomAction() {
        const unsigned nDice = m_rng() % 100;
        const int nSlot = static_cast<int>(m_rng() % kSlots);
        SLOT& slot = m_aSlots[static_cast<size_t>(nSlot)];
        if (nDice < 10) {
            if (slot.nId > 0) HttpPool_Cancel(slot.nId);  // still answered, with -12 or 0
        } else if (nDice < 14) {
            // Released and asked again at once: the new request gets the parked id back while
            // the old run's notification may still be queued.
            ReleaseSlot(nSlot);
            if (m_nStarted < kRequests) Start(nSlot);
        } else if (nDice < 15) {
            // A reporter dies: its pending requests are stopped and never heard of again.
            const int nReporter = static_cast<int>(m_rng() % kReporters);
            for (SLOT& other : m_aSlots) {
                m_nUnanswered += other.bPending && other.nReporter == nReporter;
                other.bPending = other.bPending && other.nReporter != nReporter;
            }
            NewReporter(nReporter);
        }
    }

    int Pending() const {
        return static_cast<int>(std::count_if(m_aSlots.begin(), m_aSlots.end(),
                                              [](const SLOT& slot) { return slot.bPending; }));
    }

    std::u16string m_strUrl;
    std::array<SLOT, kSlots> m_aSlots{};
    std::map<long, int> m_mapIdToSlot;
    std::array<std::unique_ptr<ttest::CRecorder>, kReporters> m_apReporters;
    std::mt19937 m_rng{20261205};
    std::thread::id m_mainThread = std::this_thread::get_id();
};

TEST(TransferStress, EveryLiveRequestIsAnsweredExactlyOnce) {
    kttest::CHttpServer server;
    ASSERT_TRUE(server.IsRunning());
    server.SetHandler([](const kttest::RECORDED_REQUEST&) {
        thread_local std::mt19937 rng(std::hash<std::thread::id>()(std::this_thread::get_id()));
        return kttest::HTTP_REPLY{200, {}, "reply", false, static_cast<int>(rng() % 6)};
    });
    ASSERT_EQ(HttpPool_Initialize(nullptr), 1);
    {
        CStress stress(server.Url("/stress"));
        stress.Run();
        EXPECT_EQ(stress.m_nStarted, kRequests);
        EXPECT_EQ(stress.m_nTerminals + stress.m_nUnanswered, kRequests);
        EXPECT_GT(stress.m_nTerminals, kRequests / 2);
        HttpPool_Uninitialize();
    }
    kt::PumpMessages();
}

}  // namespace
