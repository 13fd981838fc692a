// The WinInet pool: numbering, answers without a pool, owners on the window's thread, reply
// copies and tables, deletes and a shut-down in the middle of many transfers.
#include "httpdownload/inetpool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "datatable/datawriter.h"
#include "datatable/replyreader.h"
#include "inet/inet_test_util.h"
#include "platform/codepage.h"
#include "platform/inet/wininet.h"
#include "platform/msgbox.h"
#include "platform/msgwindow.h"
#include "support/http_server.h"
#include "support/raw_server.h"

namespace {

struct EVENT {
    int nSlot;  // 0 finished, 1 failed, 2 message
    long nId;
    int32_t nValue;
    std::thread::id idThread;
};

class COwner : public IHttpReporter {
public:
    int32_t OnRequestFinished(long nId) override { return Add(0, nId, 0); }
    int32_t OnRequestFailed(long nId, int32_t nResult) override { return Add(1, nId, nResult); }
    int32_t OnRequestMessage(long nId, int32_t nValue) override { return Add(2, nId, nValue); }

    std::vector<EVENT> Events() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecEvents;
    }
    // Pumps the calling thread's messages until n events arrived.
    bool PumpUntil(size_t n, int nTimeoutMs = 5000) {
        return inettest::WaitFor(
            [&] {
                kt::PumpMessages();
                return Events().size() >= n;
            },
            nTimeoutMs);
    }
    std::function<void(long)> fnOnFinished;

private:
    int32_t Add(int nSlot, long nId, int32_t nValue) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_vecEvents.push_back(EVENT{nSlot, nId, nValue, std::this_thread::get_id()});
        }
        if (nSlot == 0 && fnOnFinished) fnOnFinished(nId);
        return 0;
    }
    std::mutex m_mutex;
    std::vector<EVENT> m_vecEvents;
};

std::mutex g_mutexProgress;
std::vector<std::tuple<long, long, long, std::thread::id>> g_vecProgress;
void OnProgress(long nId, long nStage, long nValue) {
    std::lock_guard<std::mutex> lock(g_mutexProgress);
    g_vecProgress.emplace_back(nId, nStage, nValue, std::this_thread::get_id());
}

// Message boxes are recorded instead of shown.
class CBoxes {
public:
    CBoxes() {
        m_previous = kt::SetMessageBoxHandler(
            [this](std::u16string_view strText, std::u16string_view, unsigned) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_vecTexts.emplace_back(strText);
                return kt::kIdOk;
            });
    }
    ~CBoxes() { kt::SetMessageBoxHandler(m_previous); }
    std::vector<std::u16string> Texts() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecTexts;
    }

private:
    std::mutex m_mutex;
    std::vector<std::u16string> m_vecTexts;
    kt::MessageBoxHandler m_previous;
};

class InetPool : public ::testing::Test {
protected:
    void SetUp() override {
        {
            std::lock_guard<std::mutex> lock(g_mutexProgress);
            g_vecProgress.clear();
        }
        ASSERT_TRUE(InitPool(nullptr));
    }
    void TearDown() override {
        UninitPool();
        EXPECT_TRUE(inettest::WaitFor([] { return kt::InternetOpenHandleCount() == 0; }));
        EXPECT_FALSE(kt::InternetWorkerRunning());
    }

    // Creates, sets and starts a GET of strUrl for the owner; returns the id.
    long Get(COwner& owner, const std::string& strUrl, int nKind = kAsyncKindGet,
             const std::string& strBody = "") {
        const long nId = CreateRequest(&owner, nullptr, &OnProgress);
        EXPECT_GT(nId, 0);
        EXPECT_EQ(SetRequest(nId, kt::FromUtf8(strUrl).c_str(), strBody.data(),
                             static_cast<int>(strBody.size())),
                  kInetOk);
        EXPECT_EQ(StartRequest(nId, nKind), kInetOk);
        return nId;
    }
};

TEST(InetPoolDown, EveryFunctionAnswersWithoutAPoolAndCreatesNothing) {
    UninitPool();
    COwner owner;
    EXPECT_EQ(CreateRequest(&owner, nullptr, nullptr), -1);
    EXPECT_EQ(SetRequest(1, u"http://127.0.0.1/", "x", 1), kInetBadArgument);
    EXPECT_EQ(SetRequestText(1, u"http://127.0.0.1/", u"x"), kInetBadArgument);
    EXPECT_EQ(SetRequestUrl(1, u"http://127.0.0.1/"), kInetBadArgument);
    EXPECT_EQ(StartRequest(1, 0), kInetBadArgument);
    CancelRequest(1);
    DeleteRequest(1);
    EXPECT_FALSE(IsRequestRunning(1));
    EXPECT_EQ(GetRequestStatus(1), 0u);
    EXPECT_FALSE(IsRequestSucceeded(1));
    long nLength = 99;
    EXPECT_EQ(GetReply(1, &nLength), nullptr);
    EXPECT_EQ(nLength, 0);
    kt::CDataTable* pTable = nullptr;
    EXPECT_EQ(GetReplyTable(1, pTable), kInetBadArgument);
    EXPECT_EQ(pTable, nullptr);
    SetRequestTimeout(1, 10);
    PostRequestMessage(1, 5);
    CAsyncHttpHandle handle;
    EXPECT_EQ(handle.ProbeConnection(), kInetBadArgument);
    EXPECT_EQ(handle.GetId(), 0);
    // Nothing was counted meanwhile: a new pool starts at 1.
    ASSERT_TRUE(InitPool(nullptr));
    EXPECT_EQ(CreateRequest(nullptr, nullptr, nullptr), 1);
    UninitPool();
    EXPECT_EQ(CreateRequest(nullptr, nullptr, nullptr), -1);
}

TEST_F(InetPool, IdsCountFromOneAgainAfterEachStart) {
    EXPECT_EQ(CreateRequest(nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(CreateRequest(nullptr, nullptr, nullptr), 2);
    DeleteRequest(1);
    EXPECT_EQ(CreateRequest(nullptr, nullptr, nullptr), 3);
    ASSERT_TRUE(InitPool(nullptr));  // restarts the pool
    EXPECT_EQ(CreateRequest(nullptr, nullptr, nullptr), 1);
    UninitPool();
    ASSERT_TRUE(InitPool(nullptr));
    EXPECT_EQ(CreateRequest(nullptr, nullptr, nullptr), 1);
}

TEST_F(InetPool, ArgumentsAndUnknownIds) {
    const long nId = CreateRequest(nullptr, nullptr, nullptr);
    EXPECT_EQ(StartRequest(77, 0), kInetNoRequest);
    EXPECT_EQ(StartRequest(-3, 0), kInetBadArgument);
    EXPECT_EQ(SetRequest(nId, u"", nullptr, 0), kInetBadArgument);
    EXPECT_EQ(SetRequest(nId, nullptr, nullptr, 0), kInetBadArgument);
    EXPECT_EQ(SetRequest(-1, u"http://h/", nullptr, 0), kInetBadArgument);
    EXPECT_EQ(SetRequest(77, u"http://h/", nullptr, 0), kInetNoRequest);
    EXPECT_EQ(SetRequestUrl(77, u"http://h/"), kInetNoRequest);
    EXPECT_EQ(SetRequestUrl(nId, u""), kInetBadArgument);
    EXPECT_FALSE(IsRequestRunning(nId));
    EXPECT_EQ(GetRequestStatus(nId), 0u);
    long nLength = 5;
    EXPECT_EQ(GetReply(nId, &nLength), nullptr);
    EXPECT_EQ(nLength, 0);
    kt::CDataTable* pTable = nullptr;
    EXPECT_EQ(GetReplyTable(nId, pTable), kInetNoReply);
    EXPECT_EQ(pTable, nullptr);
}

TEST_F(InetPool, GetAndPostReachTheOwnerOnTheWindowThread) {
    kttest::CHttpServer server;
    std::string strBody(10000, 'r');
    strBody[0] = '\0';
    server.SetReply(200, strBody);
    COwner owner;
    const long nGet = Get(owner, server.Url("/get"));
    const long nPost = CreateRequest(&owner, nullptr, nullptr);
    ASSERT_EQ(SetRequestText(nPost, kt::FromUtf8(server.Url("/post")).c_str(), u"a=1&b=2"),
              kInetOk);
    ASSERT_EQ(StartRequest(nPost, kAsyncKindPost), kInetOk);
    ASSERT_TRUE(owner.PumpUntil(2));
    for (const EVENT& ev : owner.Events()) {
        EXPECT_EQ(ev.nSlot, 0);
        EXPECT_EQ(ev.idThread, std::this_thread::get_id());
    }
    EXPECT_TRUE(IsRequestSucceeded(nGet));
    long nLength = 0;
    char* pReply = GetReply(nGet, &nLength);
    ASSERT_NE(pReply, nullptr);
    EXPECT_EQ(std::string(pReply, nLength), strBody);
    std::free(pReply);
    ASSERT_TRUE(server.WaitForRequests(2));
    for (const auto& req : server.Requests()) {
        if (req.strMethod == "POST") {
            EXPECT_EQ(req.strBody, "a=1&b=2");
        }
    }
    // The progress callback ran on the request's threads, not the window's.
    std::lock_guard<std::mutex> lock(g_mutexProgress);
    ASSERT_FALSE(g_vecProgress.empty());
    EXPECT_EQ(std::get<1>(g_vecProgress.front()), 0);
    EXPECT_EQ(std::get<1>(g_vecProgress.back()), 3);
    for (const auto& entry : g_vecProgress) {
        EXPECT_EQ(std::get<0>(entry), nGet);
        EXPECT_NE(std::get<3>(entry), std::this_thread::get_id());
    }
}

TEST_F(InetPool, FailuresReachTheOwnerWithTheStatusBits) {
    COwner owner;
    const long nRefused =
        Get(owner, "http://127.0.0.1:" + std::to_string(inettest::ClosedPort()) + "/");
    const long nBadUrl = Get(owner, "not a url");
    ASSERT_TRUE(owner.PumpUntil(2));
    for (const EVENT& ev : owner.Events()) {
        EXPECT_EQ(ev.nSlot, 1);
        EXPECT_EQ(ev.idThread, std::this_thread::get_id());
        EXPECT_EQ(static_cast<uint32_t>(ev.nValue),
                  ev.nId == nRefused ? kAsyncConnectFailed : kAsyncUrlFailed);
    }
    EXPECT_FALSE(IsRequestSucceeded(nRefused));
    EXPECT_EQ(GetRequestStatus(nBadUrl), kAsyncUrlFailed);

    PostRequestMessage(nRefused, 42);
    ASSERT_TRUE(owner.PumpUntil(3));
    EXPECT_EQ(owner.Events()[2].nSlot, 2);
    EXPECT_EQ(owner.Events()[2].nValue, 42);
    // A message for an id that is gone is dropped.
    DeleteRequest(nRefused);
    PostRequestMessage(nRefused, 43);
    kt::PumpMessagesFor(50);
    EXPECT_EQ(owner.Events().size(), 3u);
}

TEST_F(InetPool, ReplyTables) {
    kttest::CHttpServer server;
    kt::CDataTable table(2, 3);
    server.SetReply("/table", kttest::HTTP_REPLY{200, {}, kt::WriteReplyEnvelope(&table)});
    server.SetReply("/error",
                    kttest::HTTP_REPLY{200, {}, kt::WriteReplyEnvelope(nullptr, -3, u"busy")});
    // Leading words, then a field name cut short.
    kt::CDataBufWriter junk;
    for (int i = 0; i < 3; ++i) junk.WriteInt(0);
    junk.WriteString(u"status");
    server.SetReply("/junk",
                    kttest::HTTP_REPLY{200, {}, junk.GetBuffer().substr(0, junk.GetSize() - 3)});
    server.SetReply("/empty", kttest::HTTP_REPLY{200, {}, ""});
    COwner owner;
    const long nTable = Get(owner, server.Url("/table"));
    const long nError = Get(owner, server.Url("/error"));
    const long nJunk = Get(owner, server.Url("/junk"));
    const long nEmpty = Get(owner, server.Url("/empty"));
    ASSERT_TRUE(owner.PumpUntil(4));

    CBoxes boxes;
    kt::CDataTable existing(1, 1);
    kt::CDataTable* pTable = &existing;
    EXPECT_EQ(GetReplyTable(nTable, pTable), kInetTableNotEmpty);
    EXPECT_EQ(pTable, &existing);
    EXPECT_EQ(existing.GetRowCount(), 1);

    pTable = nullptr;
    EXPECT_EQ(GetReplyTable(nEmpty, pTable), kInetNoReply);
    EXPECT_EQ(pTable, nullptr);

    EXPECT_EQ(GetReplyTable(nError, pTable), kInetBadReply);
    EXPECT_EQ(pTable, nullptr);
    EXPECT_EQ(GetReplyTable(nJunk, pTable), kInetBadReply);
    delete pTable;  // the reader leaves its empty table with the caller for a bad format
    pTable = nullptr;
    EXPECT_EQ(boxes.Texts(), (std::vector<std::u16string>{u"busy", kt::kReplyFormatErrorText}));

    EXPECT_EQ(GetReplyTable(nTable, pTable), kInetOk);
    ASSERT_NE(pTable, nullptr);
    EXPECT_EQ(pTable->GetRowCount(), 2);
    EXPECT_EQ(pTable->GetColCount(), 3);
    delete pTable;
    EXPECT_EQ(boxes.Texts().size(), 2u);
}

TEST_F(InetPool, OwnerMayDeleteItsRequestInsideTheNotification) {
    kttest::CHttpServer server;
    server.SetReply(200, "x");
    COwner owner;
    owner.fnOnFinished = [](long nId) { DeleteRequest(nId); };
    const long nId = Get(owner, server.Url("/"));
    ASSERT_TRUE(owner.PumpUntil(1));
    EXPECT_EQ(GetRequestStatus(nId), 0u);
    EXPECT_EQ(StartRequest(nId, 0), kInetNoRequest);
}

TEST_F(InetPool, DeleteAndCancelStopARunningRequest) {
    kttest::CRawServer raw;  // never answers
    COwner owner;
    const long nDeleted = Get(owner, raw.Url("/a"));
    const long nCancelled = Get(owner, raw.Url("/b"));
    ASSERT_TRUE(raw.WaitForRequests(2));
    EXPECT_TRUE(IsRequestRunning(nDeleted));

    const auto start = std::chrono::steady_clock::now();
    DeleteRequest(nDeleted);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(SetRequestUrl(nDeleted, u"http://h/"), kInetNoRequest);

    CancelRequest(nCancelled);
    ASSERT_TRUE(owner.PumpUntil(1));
    kt::PumpMessagesFor(50);
    const std::vector<EVENT> events = owner.Events();
    ASSERT_EQ(events.size(), 1u);  // nothing for the deleted one
    EXPECT_EQ(events[0].nId, nCancelled);
    EXPECT_EQ(events[0].nSlot, 1);
    EXPECT_EQ(static_cast<uint32_t>(events[0].nValue) & kAsyncStopped, kAsyncStopped);
}

TEST_F(InetPool, TimeoutAndARestartOfTheSameRecord) {
    kttest::CRawServer raw;
    kttest::CHttpServer server;
    server.SetReply(200, "later");
    COwner owner;
    const long nId = CreateRequest(&owner, nullptr, nullptr);
    SetRequestTimeout(nId, 300);
    ASSERT_EQ(SetRequestUrl(nId, kt::FromUtf8(raw.Url("/slow")).c_str()), kInetOk);
    ASSERT_EQ(StartRequest(nId, 0), kInetOk);
    ASSERT_TRUE(owner.PumpUntil(1));
    EXPECT_EQ(owner.Events()[0].nSlot, 0);  // a time-out alone sets no status bit
    ASSERT_TRUE(inettest::WaitFor([&] { return !IsRequestRunning(nId); }));
    ASSERT_EQ(SetRequestUrl(nId, kt::FromUtf8(server.Url("/")).c_str()), kInetOk);
    ASSERT_EQ(StartRequest(nId, 0), kInetOk);
    ASSERT_TRUE(owner.PumpUntil(2));
    long nLength = 0;
    char* p = GetReply(nId, &nLength);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(p, nLength), "later");
    std::free(p);
}

TEST_F(InetPool, HandleProbesTheConfiguredAddressAndDeletesOnDestruction) {
    kttest::CHttpServer server;
    SetProbeUrl(kt::FromUtf8(server.Url("/images/img/index/logo_16682.gif")));
    long nId = 0;
    {
        CAsyncHttpHandle handle;
        EXPECT_EQ(handle.ProbeConnection(), kInetOk);
        nId = handle.GetId();
        EXPECT_EQ(nId, 1);
        ASSERT_TRUE(server.WaitForRequests(1));
        EXPECT_EQ(server.Request(0).strMethod, "GET");
        EXPECT_EQ(server.Request(0).strTarget, "/images/img/index/logo_16682.gif");
        ASSERT_TRUE(inettest::WaitFor([&] { return !handle.IsRequestRunning(); }));
        EXPECT_EQ(handle.ProbeConnection(), kInetOk);  // same id again
        EXPECT_EQ(handle.GetId(), 1);
        ASSERT_TRUE(server.WaitForRequests(2));
    }
    EXPECT_EQ(SetRequestUrl(nId, u"http://h/"), kInetNoRequest);
    SetProbeUrl(u"");
    setenv("KTREPORTER_PROBE_URL", "http://127.0.0.1:1/probe", 1);
    EXPECT_EQ(GetProbeUrl(), u"http://127.0.0.1:1/probe");
    unsetenv("KTREPORTER_PROBE_URL");
    EXPECT_EQ(GetProbeUrl().rfind(u"http://", 0), 0u);
    EXPECT_NE(GetProbeUrl().find(u"/images/img/index/logo_16682.gif"), std::u16string::npos);
}

// Many transfers with random delays, cancels and deletes, then a shut-down in the middle of it all.
TEST_F(InetPool, StressShutDownDuringManyTransfers) {
    kttest::CHttpServer server;
    std::atomic<unsigned> nSeed{12345};
    server.SetHandler([&nSeed](const kttest::RECORDED_REQUEST& req) {
        std::minstd_rand rng(nSeed.fetch_add(7919));
        kttest::HTTP_REPLY reply;
        reply.nDelayMs = static_cast<int>(rng() % 400);
        reply.strBody = std::string(rng() % 20000, 'z') + req.strTarget;
        return reply;
    });
    COwner owner;
    std::minstd_rand rng(777);
    std::vector<long> vecIds;
    for (int i = 0; i < 32; ++i) {
        const long nId = CreateRequest(&owner, nullptr, &OnProgress);
        SetRequestTimeout(nId, (rng() % 3) == 0 ? 200 : 0);
        SetRequest(nId, kt::FromUtf8(server.Url("/r" + std::to_string(i))).c_str(), "b=1", 3);
        ASSERT_EQ(StartRequest(nId, static_cast<int>(rng() % 2)), kInetOk);
        vecIds.push_back(nId);
    }
    std::thread other([&] {
        std::minstd_rand rngOther(99);
        for (int i = 0; i < 16; ++i) {
            const long nId = vecIds[rngOther() % vecIds.size()];
            if (rngOther() % 2)
                CancelRequest(nId);
            else
                DeleteRequest(nId);
            std::this_thread::sleep_for(std::chrono::milliseconds(rngOther() % 20));
        }
    });
    for (int i = 0; i < 20; ++i) kt::PumpMessagesFor(10);
    other.join();
    EXPECT_FALSE(owner.Events().empty());
    for (const EVENT& ev : owner.Events()) EXPECT_EQ(ev.idThread, std::this_thread::get_id());

    // A few more right before the end, certain to be under way.
    for (int i = 0; i < 4; ++i) {
        const long nId = CreateRequest(&owner, nullptr, &OnProgress);
        SetRequestUrl(nId, kt::FromUtf8(server.Url("/late")).c_str());
        ASSERT_EQ(StartRequest(nId, 0), kInetOk);
    }
    const auto start = std::chrono::steady_clock::now();
    UninitPool();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(kt::InternetOpenHandleCount(), 0u);
    EXPECT_FALSE(kt::InternetWorkerRunning());
    EXPECT_EQ(CreateRequest(&owner, nullptr, nullptr), -1);
    // Nothing reaches the owner once the pool is gone.
    const size_t nEvents = owner.Events().size();
    kt::PumpMessagesFor(50);
    EXPECT_EQ(owner.Events().size(), nEvents);
    ASSERT_TRUE(InitPool(nullptr));  // for TearDown
}

}  // namespace
