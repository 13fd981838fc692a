// CAsyncHttp against loopback servers: the request on the wire, the progress stages, the receive
// buffer, failures by step, time-out, cancel and a second OpenRequest while one runs.
#include "inet/asynchttp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/codepage.h"
#include "platform/inet/wininet.h"
#include "support/http_server.h"
#include "support/net_util.h"
#include "support/raw_server.h"
#include "support/scoped.h"

namespace {

struct CRecorder : IAsyncReporter {
    std::mutex mutex;
    std::vector<std::pair<long, long>> vecProgress;
    std::atomic<int> nFinished{0};
    std::atomic<int> nCancelled{0};

    void ReportStatus(long, long) override {}
    void ReportProgress(long, long nStage, long nValue) override {
        std::lock_guard<std::mutex> lock(mutex);
        vecProgress.emplace_back(nStage, nValue);
    }
    void ReportCancelled(long) override { ++nCancelled; }
    void ReportFinished(long) override { ++nFinished; }
    std::vector<std::pair<long, long>> Progress() {
        std::lock_guard<std::mutex> lock(mutex);
        return vecProgress;
    }
};

class AsyncHttp : public ::testing::Test {
protected:
    void TearDown() override {
        // Every transfer released what it opened.
        EXPECT_TRUE(kttest::PumpUntil([] { return kt::InternetOpenHandleCount() == 0; }));
    }
    uint32_t Open(int nKind, const std::string& strUrl, const std::string& strBody = "") {
        return m_http.OpenRequest(nKind, kt::FromUtf8(strUrl),
                                  strBody.empty() ? nullptr : strBody.data(),
                                  static_cast<int>(strBody.size()));
    }

    CRecorder m_rec;
    CAsyncHttp m_http{1, &m_rec};
};

TEST_F(AsyncHttp, LargeReplyProgressBufferGrowthAndTakeData) {
    kttest::CHttpServer server;
    std::string strBody(10000, '\0');
    for (size_t i = 0; i < strBody.size(); ++i) strBody[i] = static_cast<char>(i * 7 + i / 251);
    server.SetReply(200, strBody);
    server.SetThrottle(20000);  // some reads wait, and complete with their bytes in the block
    EXPECT_EQ(Open(kAsyncKindGet, server.Url("/big")), 0u);

    const auto progress = m_rec.Progress();
    ASSERT_GE(progress.size(), 5u);  // at least 3 blocks of at most 4096 bytes
    EXPECT_EQ(progress.front(), std::make_pair(0L, -1L));
    EXPECT_EQ(progress.back(), std::make_pair(3L, 0L));
    // Totals grow by at most one read block each, end at the reply size, and the capacity follows
    // the doubling rule applied to exactly these totals.
    long nPrevious = 0;
    int nCapacity = kAsyncInitialBuffer;
    for (size_t i = 1; i + 1 < progress.size(); ++i) {
        EXPECT_EQ(progress[i].first, 2);
        EXPECT_GT(progress[i].second, nPrevious);
        EXPECT_LE(progress[i].second - nPrevious, kAsyncReadBlock);
        const int nTotal = static_cast<int>(progress[i].second);
        if (nTotal > nCapacity) nCapacity = ((nCapacity + nTotal) / 4096 * 4096) * 2;
        nPrevious = progress[i].second;
    }
    EXPECT_EQ(nPrevious, 10000);
    EXPECT_EQ(m_http.GetCapacity(), nCapacity);

    // Taking the bytes moves the buffer past them; taking nothing gives the buffer up.
    int nLength = 0;
    const char* p = m_http.TakeData(&nLength, true);
    ASSERT_EQ(nLength, 10000);
    EXPECT_EQ(std::string(p, nLength), strBody);
    EXPECT_EQ(m_http.GetCapacity(), nCapacity - 10000);
    const char* pAfter = m_http.GetData(&nLength);
    EXPECT_EQ(nLength, 0);
    EXPECT_EQ(pAfter, p + 10000);
    EXPECT_EQ(m_http.TakeData(&nLength, true), pAfter);
    EXPECT_EQ(m_http.GetData(&nLength), nullptr);
    // The next transfer starts with a buffer again.
    server.SetReply(200, "0123456789");
    EXPECT_EQ(Open(kAsyncKindGet, server.Url("/")), 0u);
    EXPECT_EQ(m_http.CopyData(), "0123456789");
}

// Each transfer's status: a step's failure (before the send, not even the first progress stage),
// an unknown kind (flagged and sent as a GET that keeps its body; the pool refuses other kinds),
// POSTs with a body past a NUL byte and with none; the reporter hears each end.
// The time-out is the pool's DeleteCancelAndTimeOutOfRunningRequests, the wire image its GET and
// POST.
TEST_F(AsyncHttp, StatusByStepAndKind) {
    kttest::CHttpServer server;
    kttest::CRawServer raw;
    raw.QueueAction(kttest::RAW_ACTION::CloseAfterRequest());
    const std::string strBody("x=1\0z", 5);
    const std::string strRefused = "http://127.0.0.1:" + std::to_string(kttest::net::ClosedPort());
    const std::tuple<int, std::string, std::string, uint32_t> rows[] = {
        {kAsyncKindGet, "http:///x", "", kAsyncUrlFailed},  // the splitting rules: InetParseUrl
        {kAsyncKindGet, strRefused + "/x", "", kAsyncConnectFailed},
        {kAsyncKindGet, raw.Url("/x"), "", kAsyncStopped},  // broken off: through the exit event
        {5, server.Url("/k"), strBody, kAsyncBadKind},
        {kAsyncKindPost, server.Url("/post"), strBody, 0},
        {kAsyncKindPost, server.Url("/empty"), "", 0}};
    for (const auto& [nKind, strUrl, strSent, dwStatus] : rows)
        EXPECT_EQ(Open(nKind, strUrl, strSent), dwStatus) << strUrl;
    EXPECT_FALSE(m_http.IsRunning());
    EXPECT_EQ(m_rec.nFinished.load(), 6);
    const auto progress = m_rec.Progress();
    EXPECT_EQ(std::count(progress.begin(), progress.end(), std::make_pair(0L, -1L)), 3);
    std::vector<std::string> vecReceived;
    for (size_t i = 0; i < server.RequestCount(); ++i) {
        const kttest::RECORDED_REQUEST req = server.Request(i);
        vecReceived.push_back(req.strMethod + " " + req.Header("Content-Length") + " " +
                              req.strBody);
    }
    EXPECT_EQ(vecReceived,
              (std::vector<std::string>{"GET 5 " + strBody, "POST 5 " + strBody, "POST 0 "}));
}

TEST_F(AsyncHttp, CancelDuringATransferAndOpenRequestWhileRunning) {
    kttest::CRawServer raw;
    m_http.Cancel();  // idle: nothing happens
    EXPECT_EQ(m_rec.nCancelled.load(), 0);
    EXPECT_EQ(m_http.GetStatus(), 0u);
    // (A cancel announced before the start is the pool's early-cancel case.)
    std::thread caller([&] { Open(kAsyncKindGet, raw.Url("/stall")); });
    ASSERT_TRUE(raw.WaitForRequests(1));
    ASSERT_TRUE(m_http.IsRunning());
    // A second transfer while one runs is refused at once with status 3.
    EXPECT_EQ(Open(kAsyncKindGet, raw.Url("/second")) & kAsyncBusy, kAsyncBusy);
    EXPECT_EQ(raw.RequestCount(), 1u);
    EXPECT_EQ(m_rec.nFinished.load(), 0);

    m_http.Cancel();
    caller.join();
    // (Its status and end reach the pool's owner: the pool's cancel row.)
    EXPECT_EQ(m_rec.nCancelled.load(), 1);
    EXPECT_TRUE(kttest::PumpUntil([&] { return !m_http.IsRunning(); }));
    // The object is reusable after a cancel.
    kttest::CHttpServer server;
    server.SetReply(200, "again");
    EXPECT_EQ(Open(kAsyncKindGet, server.Url("/")), 0u);
    EXPECT_EQ(m_http.CopyData(), "again");
}

TEST_F(AsyncHttp, TraceLinesOfOneTransfer) {
    kttest::CHttpServer server;
    kttest::CTraceLog trace;
    m_http.SetReporter(&m_rec);
    Open(kAsyncKindGet, server.Url("/"));
    m_http.Close();
    char szReporter[64];
    std::snprintf(szReporter, sizeof(szReporter), "Set Async http reporter to %p\n",
                  static_cast<void*>(&m_rec));
    // Each once and in this order, but the caller's last two lines (in their order) may come among
    // the main thread's last ones; Close's line last.
    const std::vector<std::string> vecExpected = {szReporter,
                                                  "Enter OpenRequest()\n",
                                                  "Enter AsyncMainThread()\n",
                                                  "Enter WaitExitEvent()\n",
                                                  "Exit WaitExitEvent()\n",
                                                  "Exit AsyncMainThread()\n",
                                                  "Exit  CAsyncHttp::AsyncMainThread()\n",
                                                  "WaitForSingleObject(m_hMainThread, INFINITE);\n",
                                                  "Exit CAsyncHttp::OpenRequest()\n"};
    std::vector<std::string> vecLines = trace.Lines();
    EXPECT_EQ(vecLines.back().rfind("-------m_hMainThread = ", 0), 0u);
    vecLines.pop_back();
    std::stable_partition(vecLines.begin(), vecLines.end(), [&](const std::string& strLine) {
        return strLine != vecExpected[7] && strLine != vecExpected[8];
    });
    EXPECT_EQ(vecLines, vecExpected);
}

TEST(AsyncHttpEscape, EscapesPercentControlsAndHighBytes) {
    const std::tuple<const char*, std::u16string, std::u16string> cases[] = {
        {"GBK", u"", u""},
        {"GBK", std::u16string(u"\x01\x1f\x7f\t", 4), u"%01%1F\x7f%09"},
        {"UTF-8", u"é", u"%C3%A9"}};
    for (const auto& [pszCodePage, strIn, strOut] : cases) {
        ASSERT_TRUE(kt::SetAnsiCodePage(pszCodePage));
        EXPECT_EQ(CAsyncHttp::EscapeObject(strIn), strOut) << kt::ToUtf8(strOut);
    }
    kt::SetAnsiCodePage("");
}

}  // namespace
