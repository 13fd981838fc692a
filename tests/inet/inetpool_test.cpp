// The WinInet pool: numbering, answers without a pool, owners on the window's thread, reply
// copies and tables, re-entrant and blocking owners, early cancels, deletes and a shut-down in the
// middle of many transfers.
#include "inet/inetpool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "datatable/datawriter.h"
#include "datatable/replyreader.h"
#include "inet/inet_test_util.h"
#include "platform/codepage.h"
#include "platform/inet/wininet.h"
#include "platform/msgbox.h"
#include "platform/msgwindow.h"
#include "platform/sync.h"
#include "support/http_server.h"
#include "support/raw_server.h"
#include "support/scoped.h"

namespace {

enum { kFinished, kFailed, kMessage };
struct EVENT {
    int nSlot;
    long nId;
    int32_t nValue;
    std::thread::id idThread;
};

// Records what reaches it with the thread it came on; deletes nDeleteOnFinish from inside its
// notification.
struct COwner : IHttpReporter {
    std::mutex mutex;
    std::vector<EVENT> vecEvents;
    long nDeleteOnFinish = 0;

    int32_t OnRequestFinished(long nId) override {
        Add(kFinished, nId, 0);
        if (nId == nDeleteOnFinish) DeleteRequest(nId);
        return 0;
    }
    int32_t OnRequestFailed(long nId, int32_t n) override { return Add(kFailed, nId, n); }
    int32_t OnRequestMessage(long nId, int32_t n) override { return Add(kMessage, nId, n); }
    int32_t Add(int nSlot, long nId, int32_t nValue) {
        std::lock_guard<std::mutex> lock(mutex);
        vecEvents.push_back(EVENT{nSlot, nId, nValue, std::this_thread::get_id()});
        return 0;
    }
    std::vector<EVENT> Events() {
        std::lock_guard<std::mutex> lock(mutex);
        return vecEvents;
    }
    // Pumps the calling thread's messages until n events arrived.
    bool PumpUntil(size_t n) {
        return inettest::WaitFor([&] {
            kt::PumpMessages();
            return Events().size() >= n;
        });
    }
};

std::mutex g_mutexProgress;
std::vector<std::tuple<long, long, std::thread::id>> g_vecProgress;
void OnProgress(long nId, long nStage, long) {
    std::lock_guard<std::mutex> lock(g_mutexProgress);
    g_vecProgress.emplace_back(nId, nStage, std::this_thread::get_id());
}

// The reply copy as text ("<none>" without one); the copy is freed.
std::string Reply(long nId) {
    long nLength = 0;
    char* p = GetReply(nId, &nLength);
    const std::string str = p ? std::string(p, nLength) : "<none>";
    std::free(p);
    return str;
}

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
    long Get(COwner& owner, const std::string& strUrl, int nTimeoutMs = 0) {
        const long nId = CreateRequest(&owner, nullptr, &OnProgress);
        EXPECT_GT(nId, 0);
        if (nTimeoutMs > 0) SetRequestTimeout(nId, nTimeoutMs);
        EXPECT_EQ(SetRequestUrl(nId, kt::FromUtf8(strUrl).c_str()), kInetOk);
        EXPECT_EQ(StartRequest(nId, kAsyncKindGet), kInetOk);
        return nId;
    }
};

TEST(InetPoolDown, EveryFunctionAnswersWithoutAPoolAndIdsCountFromOne) {
    UninitPool();
    COwner owner;
    EXPECT_EQ(CreateRequest(&owner, nullptr, nullptr), -1);
    EXPECT_EQ(SetRequest(1, u"http://127.0.0.1/", "x", 1), kInetBadArgument);
    EXPECT_EQ(SetRequestText(1, u"http://127.0.0.1/", u"x"), kInetBadArgument);
    EXPECT_EQ(SetRequestUrl(1, u"http://127.0.0.1/"), kInetBadArgument);
    EXPECT_EQ(SetRequestHeaders(1, u"A: b\r\n"), kInetBadArgument);
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

    // Nothing was counted meanwhile: a new pool starts at 1, a deleted id is not reused, and a
    // restart counts from 1 again.
    ASSERT_TRUE(InitPool(nullptr));
    EXPECT_EQ(CreateRequest(nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(CreateRequest(nullptr, nullptr, nullptr), 2);
    DeleteRequest(1);
    EXPECT_EQ(CreateRequest(nullptr, nullptr, nullptr), 3);
    ASSERT_TRUE(InitPool(nullptr));
    EXPECT_EQ(CreateRequest(nullptr, nullptr, nullptr), 1);
    // With a pool: unknown ids, bad arguments, and a request with nothing received yet.
    EXPECT_EQ(StartRequest(77, 0), kInetNoRequest);
    EXPECT_EQ(SetRequestUrl(77, u"http://h/"), kInetNoRequest);
    EXPECT_EQ(StartRequest(-3, 0), kInetBadArgument);
    EXPECT_EQ(SetRequest(1, nullptr, nullptr, 0), kInetBadArgument);
    EXPECT_EQ(SetRequestUrl(1, u""), kInetBadArgument);
    EXPECT_EQ(GetReplyTable(1, pTable), kInetNoReply);
    EXPECT_EQ(pTable, nullptr);
    UninitPool();
    EXPECT_EQ(CreateRequest(nullptr, nullptr, nullptr), -1);
}

TEST_F(InetPool, OutcomesReachTheOwnerOnTheWindowThread) {
    kttest::CHttpServer server;
    std::string strBody(10000, 'r');
    strBody[0] = '\0';
    server.SetReply(200, strBody);
    COwner owner;
    const long nGet = Get(owner, server.Url("/get"));
    const long nPost = CreateRequest(&owner, nullptr, nullptr);
    owner.nDeleteOnFinish = nPost;
    ASSERT_EQ(SetRequestText(nPost, kt::FromUtf8(server.Url("/post")).c_str(), u"a=1&b=2"),
              kInetOk);
    ASSERT_EQ(StartRequest(nPost, kAsyncKindPost), kInetOk);
    const long nRefused =
        Get(owner, "http://127.0.0.1:" + std::to_string(inettest::ClosedPort()) + "/");
    const long nBadUrl = Get(owner, "not a url");
    ASSERT_TRUE(owner.PumpUntil(4));

    std::map<long, std::pair<int, uint32_t>> outcomes;
    for (const EVENT& ev : owner.Events()) {
        EXPECT_EQ(ev.idThread, std::this_thread::get_id());
        outcomes[ev.nId] = {ev.nSlot, static_cast<uint32_t>(ev.nValue)};
    }
    EXPECT_EQ(outcomes,
              (std::map<long, std::pair<int, uint32_t>>{{nGet, {kFinished, 0}},
                                                        {nPost, {kFinished, 0}},
                                                        {nRefused, {kFailed, kAsyncConnectFailed}},
                                                        {nBadUrl, {kFailed, kAsyncUrlFailed}}}));
    EXPECT_TRUE(IsRequestSucceeded(nGet));
    EXPECT_FALSE(IsRequestSucceeded(nRefused));
    EXPECT_EQ(GetRequestStatus(nBadUrl), kAsyncUrlFailed);
    EXPECT_EQ(Reply(nGet), strBody);
    ASSERT_TRUE(server.WaitForRequests(2));
    const size_t nPostIndex = server.Request(0).strMethod == "POST" ? 0 : 1;
    EXPECT_EQ(server.Request(nPostIndex).strMethod + " " + server.Request(nPostIndex).strBody,
              "POST a=1&b=2");
    // The owner deleted the POST inside its notification.
    EXPECT_EQ(StartRequest(nPost, 0), kInetNoRequest);
    {
        // The progress callback ran on the request's threads, not the window's.
        std::lock_guard<std::mutex> lock(g_mutexProgress);
        ASSERT_GE(g_vecProgress.size(), 2u);
        EXPECT_EQ(std::get<1>(g_vecProgress.front()), 0);
        EXPECT_EQ(std::get<1>(g_vecProgress.back()), 3);
        for (const auto& [nId, nStage, idThread] : g_vecProgress) {
            EXPECT_EQ(nId, nGet);
            EXPECT_NE(idThread, std::this_thread::get_id());
        }
    }

    // Messages go to the owner through the window; one for an id that is gone is dropped.
    PostRequestMessage(nRefused, 42);
    ASSERT_TRUE(owner.PumpUntil(5));
    EXPECT_EQ(owner.Events()[4].nSlot, kMessage);
    EXPECT_EQ(owner.Events()[4].nValue, 42);
    DeleteRequest(nRefused);
    PostRequestMessage(nRefused, 43);
    kt::PumpMessagesFor(50);
    EXPECT_EQ(owner.Events().size(), 5u);
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

    std::vector<std::u16string> vecBoxes;  // message boxes are recorded instead of shown
    const kt::MessageBoxHandler previous = kt::SetMessageBoxHandler(
        [&vecBoxes](std::u16string_view strText, std::u16string_view, unsigned) {
            vecBoxes.emplace_back(strText);
            return kt::kIdOk;
        });
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
    EXPECT_EQ(GetReplyTable(nTable, pTable), kInetOk);
    kt::SetMessageBoxHandler(previous);
    EXPECT_EQ(vecBoxes, (std::vector<std::u16string>{u"busy", kt::kReplyFormatErrorText}));
    ASSERT_NE(pTable, nullptr);
    EXPECT_EQ(pTable->GetRowCount(), 2);
    EXPECT_EQ(pTable->GetColCount(), 3);
    delete pTable;
}

// An owner may start its request again, block the window's thread or delete its request from
// inside a notification while sixteen other requests run; and a cancel that comes after the start
// but before the transfer began (as the request's thread enters it) stops it unsent, as does an
// option libcurl refuses.
TEST_F(InetPool, OwnersMayReenterOrBlockAndEarlyCancelsHold) {
    kttest::CHttpServer server;
    server.SetReply(200, "r");
    server.SetReply("/other", kttest::HTTP_REPLY{200, {}, "o", false, 100});
    COwner others;
    for (int i = 0; i < 16; ++i) Get(others, server.Url("/other"));
    struct CReentrant : COwner {
        int nCalls = 0;
        int32_t OnRequestFinished(long nId) override {
            COwner::OnRequestFinished(nId);
            if (++nCalls == 2) std::this_thread::sleep_for(std::chrono::milliseconds(200));
            if (nCalls < 3) {
                EXPECT_EQ(StartRequest(nId, kAsyncKindGet), kInetOk);
            } else {
                DeleteRequest(nId);
            }
            return 0;
        }
    } owner;
    const long nId = Get(owner, server.Url("/self"));
    ASSERT_TRUE(inettest::WaitFor(
        [&] {
            kt::PumpMessages();
            return owner.Events().size() >= 3 && others.Events().size() >= 16;
        },
        30000));
    for (const EVENT& ev : owner.Events()) EXPECT_EQ(ev.nSlot, kFinished);
    for (const EVENT& ev : others.Events()) EXPECT_EQ(ev.nSlot, kFinished);
    EXPECT_EQ(StartRequest(nId, kAsyncKindGet), kInetNoRequest);

    // A cancel after the start but before the transfer began (as the request's thread enters it)
    // holds: the request fails stopped without connecting.
    kttest::CRawServer raw;
    COwner early;
    const long nEarly = CreateRequest(&early, nullptr, nullptr);
    ASSERT_EQ(SetRequestUrl(nEarly, kt::FromUtf8(raw.Url("/never")).c_str()), kInetOk);
    kt::CEvent evtEntered;
    kt::CEvent evtCancelled;
    {
        // The sink calls nothing of the pool itself: the pool traces under its lock.
        kttest::CScopedTraceSink sink([&](std::string_view strLine) {
            if (strLine != "Enter OpenRequest()\n") return;
            evtEntered.Set();
            evtCancelled.Wait();
        });
        ASSERT_EQ(StartRequest(nEarly, kAsyncKindGet), kInetOk);
        EXPECT_TRUE(evtEntered.Wait(60000));
        CancelRequest(nEarly);
        evtCancelled.Set();
        ASSERT_TRUE(early.PumpUntil(1));
    }
    EXPECT_EQ(early.Events()[0].nSlot, kFailed);
    EXPECT_EQ(static_cast<uint32_t>(early.Events()[0].nValue), kAsyncStopped);
    EXPECT_EQ(raw.ConnectionCount(), 0u);
}

// Against a server that never answers: a delete returns at once and its request says nothing
// more, a cancel fails the request, a time-out alone finishes it and the record starts again.
TEST_F(InetPool, DeleteCancelAndTimeOutOfRunningRequests) {
    kttest::CRawServer raw;
    COwner owner;
    const long nDeleted = Get(owner, raw.Url("/a"));
    const long nCancelled = Get(owner, raw.Url("/b"));
    const long nTimed = Get(owner, raw.Url("/c"), 300);
    ASSERT_TRUE(raw.WaitForRequests(3));
    EXPECT_TRUE(IsRequestRunning(nDeleted));

    const auto start = std::chrono::steady_clock::now();
    DeleteRequest(nDeleted);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(SetRequestUrl(nDeleted, u"http://h/"), kInetNoRequest);
    CancelRequest(nCancelled);
    ASSERT_TRUE(owner.PumpUntil(2));
    kt::PumpMessagesFor(50);
    ASSERT_EQ(owner.Events().size(), 2u);  // nothing for the deleted one
    for (const EVENT& ev : owner.Events()) {
        EXPECT_EQ(ev.nSlot, ev.nId == nCancelled ? kFailed : kFinished);
        EXPECT_EQ(static_cast<uint32_t>(ev.nValue), ev.nId == nCancelled ? kAsyncStopped : 0u);
        EXPECT_NE(ev.nId, nDeleted);
    }

    ASSERT_TRUE(inettest::WaitFor([&] { return !IsRequestRunning(nTimed); }));
    kttest::CHttpServer server;
    server.SetReply(200, "later");
    ASSERT_EQ(SetRequestUrl(nTimed, kt::FromUtf8(server.Url("/")).c_str()), kInetOk);
    SetRequestTimeout(nTimed, 0);  // the reply, however long it takes
    ASSERT_EQ(StartRequest(nTimed, 0), kInetOk);
    ASSERT_TRUE(owner.PumpUntil(3));
    EXPECT_EQ(owner.Events()[2].nSlot, kFinished);
    EXPECT_EQ(Reply(nTimed), "later");
}

TEST_F(InetPool, HandleProbesTheConfiguredAddressAndDeletesOnDestruction) {
    kttest::CHttpServer server;
    SetProbeUrl(kt::FromUtf8(server.Url("/images/img/index/logo_16682.gif")));
    {
        CAsyncHttpHandle handle;
        EXPECT_EQ(handle.ProbeConnection(), kInetOk);
        EXPECT_EQ(handle.GetId(), 1);
        ASSERT_TRUE(server.WaitForRequests(1));
        EXPECT_EQ(server.Request(0).strMethod + " " + server.Request(0).strTarget,
                  "GET /images/img/index/logo_16682.gif");
        ASSERT_TRUE(inettest::WaitFor([&] { return !handle.IsRequestRunning(); }));
        EXPECT_EQ(handle.ProbeConnection(), kInetOk);  // same id again
        EXPECT_EQ(handle.GetId(), 1);
        ASSERT_TRUE(server.WaitForRequests(2));
    }
    EXPECT_EQ(SetRequestUrl(1, u"http://h/"), kInetNoRequest);
    SetProbeUrl(u"");
    inettest::SetEnv("KTREPORTER_PROBE_URL", "http://127.0.0.1:1/probe");
    EXPECT_EQ(GetProbeUrl(), u"http://127.0.0.1:1/probe");
    inettest::SetEnv("KTREPORTER_PROBE_URL", nullptr);
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
    for (int i = 0; i < 4; ++i) Get(owner, server.Url("/late"));
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
