// The loopback servers are what every network test trusts. Plain replies, handlers and waiting
// for requests are exercised by every network test already; what is checked here is what those
// would not notice going wrong: the exact bytes recorded and sent, ranges, held replies at a stop,
// and the raw server's broken replies. The client is a plain socket, so that every byte on the
// wire is the test's own.
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include "support/http_server.h"
#include "support/net_util.h"
#include "support/raw_server.h"

namespace {

using namespace kttest;
using namespace std::string_literals;

using net::Exchange;

// Value of a header line in a reply's head, spelled as the server spells it; "" when absent.
std::string ReplyHeader(const std::string& strReply, const std::string& strName) {
    const size_t nPos = strReply.find("\r\n" + strName + ": ");
    if (nPos == std::string::npos || nPos > strReply.find("\r\n\r\n")) return "";
    const size_t nStart = nPos + strName.size() + 4;
    return strReply.substr(nStart, strReply.find("\r\n", nStart) - nStart);
}

std::string Pattern(size_t nSize) {
    std::string s(nSize, '\0');
    for (size_t i = 0; i < nSize; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return s;
}

class HttpServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_server.IsRunning()); }
    CHttpServer m_server;
};

// One write holds a chunked upload with 100-continue (extension, trailer, binary bytes) and a
// second request; header names come out of order, repeated, oddly spaced and in any case:
// everything a name-sorted map or a re-framing library would lose.
TEST_F(HttpServerTest, RecordsPipelinedRequestsAsSentAndAnswersExactlyAsScripted) {
    // Long text, which a server acting on Accept-Encoding or Range would compress or cut.
    const std::string strText(3000, 't');
    m_server.SetReply(200, strText);
    const std::string strReply = Exchange(
        m_server.Port(),
        "PUT /up/load?x=1&y=%20z HTTP/1.1\r\nZeta: last-letter\r\nHost: 127.0.0.1\r\n"
        "accept:   */*\r\nZeta: again\r\nX-Empty:\r\nExpect: 100-continue\r\n"
        "Transfer-Encoding: chunked\r\n\r\n"
        "4;ext=1\r\na\0b\r\r\n5\r\n\n\r\nc\xff\r\n0\r\nX-Trailer: t\r\n\r\n"
        "GET /two HTTP/1.1\r\nHost: h\r\nRange: bytes=0-1\r\nAccept-Encoding: gzip\r\n\r\n"s);
    // Both answers whole and unaltered, in order, after the interim one.
    EXPECT_EQ(0u, strReply.rfind("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n", 0))
        << strReply;
    EXPECT_NE(std::string::npos, strReply.find("\r\n\r\n" + strText + "HTTP/1.1 200 OK\r\n"));
    EXPECT_EQ(strReply.size() - strText.size() - 4, strReply.rfind("\r\n\r\n" + strText));
    ASSERT_EQ(2u, m_server.RequestCount());
    EXPECT_EQ(1u, m_server.ConnectionCount());

    const RECORDED_REQUEST put = m_server.Request(0);
    EXPECT_EQ((std::vector<std::string>{"PUT", "/up/load?x=1&y=%20z", "/up/load", "HTTP/1.1",
                                        "a\0b\r\n\r\nc\xff"s}),
              (std::vector<std::string>{put.strMethod, put.strTarget, put.strPath, put.strVersion,
                                        put.strBody}));
    EXPECT_EQ((std::vector<std::string>{"Zeta: last-letter", "Host: 127.0.0.1", "accept:   */*",
                                        "Zeta: again", "X-Empty:", "Expect: 100-continue",
                                        "Transfer-Encoding: chunked"}),
              put.vecHeaderLines);
    EXPECT_TRUE(put.bChunked);
    EXPECT_EQ("last-letter", put.Header("zeta"));
    EXPECT_EQ(2u, put.HeaderCount("ZETA"));
    EXPECT_EQ("*/*", put.Header("Accept"));
    const RECORDED_REQUEST get = m_server.Request(1);
    EXPECT_EQ("/two", get.strTarget);
    EXPECT_EQ((std::vector<std::string>{"Host: h", "Range: bytes=0-1", "Accept-Encoding: gzip"}),
              get.vecHeaderLines);
    EXPECT_EQ("", get.strBody);
}

TEST_F(HttpServerTest, ResourcesServeRangesAndHeadAndThrottledBodies) {
    const std::string strData = Pattern(1000);
    const std::string strDate = "Wed, 21 Oct 2015 07:28:00 GMT";
    HTTP_RESOURCE res;
    res.strData = strData;
    res.strLastModified = strDate;
    m_server.SetResource("/f", res);
    res.bRanges = false;
    res.strLastModified.clear();
    m_server.SetResource("/noranges", res);
    res.strData = Pattern(96 * 1024);
    m_server.SetResource("/big", res);
    struct CASE {
        const char* pszPath;
        const char* pszRange;  // nullptr: a HEAD request without a range
        const char* pszStatus;
        const char* pszContentRange;
        size_t nFirst, nLength;
    };
    const CASE cases[] = {
        {"/f", "bytes=10-19", "206", "bytes 10-19/1000", 10, 10},
        {"/f", "bytes=990-5000", "206", "bytes 990-999/1000", 990, 10},
        {"/f", "bytes=900-", "206", "bytes 900-999/1000", 900, 100},
        {"/f", "bytes=-5", "200", "", 0, 1000},  // a suffix: not served as a range
        {"/f", "bytes=1000-1001", "416", "bytes */1000", 0, 0},
        {"/f", "bytes=5-2", "200", "", 0, 1000},      // invalid: ignored
        {"/f", "bytes=0-1,5-6", "200", "", 0, 1000},  // several ranges: served whole
        {"/f", "", "200", "", 0, 1000},
        {"/f", nullptr, "200", "", 0, 1000},
        {"/noranges", "bytes=0-0", "200", "", 0, 1000},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(std::string(c.pszPath) + " " + (c.pszRange ? c.pszRange : "HEAD"));
        const std::string strReply = Exchange(
            m_server.Port(),
            (c.pszRange ? "GET "s : "HEAD "s) + c.pszPath + " HTTP/1.1\r\nHost: h\r\n" +
                (c.pszRange && *c.pszRange ? "Range: "s + c.pszRange + "\r\n" : ""s) + "\r\n");
        const bool bRanges = c.pszPath == "/f"s;
        EXPECT_EQ("HTTP/1.1 "s + c.pszStatus, strReply.substr(0, 12));
        EXPECT_EQ(c.pszContentRange, ReplyHeader(strReply, "Content-Range"));
        EXPECT_EQ(std::to_string(c.nLength), ReplyHeader(strReply, "Content-Length"));
        EXPECT_EQ(!c.pszRange ? "" : strData.substr(c.nFirst, c.nLength),
                  strReply.substr(strReply.find("\r\n\r\n") + 4));
        EXPECT_EQ(bRanges ? "bytes" : "", ReplyHeader(strReply, "Accept-Ranges"));
        EXPECT_EQ(bRanges ? strDate : "", ReplyHeader(strReply, "Last-Modified"));
    }

    // A throttled body goes out in slices and still arrives whole.
    m_server.SetThrottle(1024 * 1024);
    const std::string x = Exchange(m_server.Port(), "GET /big HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(res.strData, x.substr(x.find("\r\n\r\n") + 4));
}

class RawServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_server.IsRunning()); }
    CRawServer m_server;
};

// Each connection gets the next queued action, then the default; each request is recorded
// byte for byte.
TEST_F(RawServerTest, ScriptedBrokenRepliesInQueueOrderThenTheDefault) {
    const std::string strHead = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n";
    const std::string strFull = strHead + Pattern(1000);
    const std::pair<RAW_ACTION, std::string> cases[] = {
        {RAW_ACTION::Reply(strHead + Pattern(300)), strHead + Pattern(300)},
        {RAW_ACTION::CloseAfterRequest(), ""},
        {RAW_ACTION::Drop(strFull, strHead.size() + 100), strFull.substr(0, strHead.size() + 100)},
        {RAW_ACTION::Drop(strFull, 10), strFull.substr(0, 10)},
        {RAW_ACTION::Reply(strFull), strFull},
        {RAW_ACTION::CloseAfterRequest(), ""},  // not queued: the default
    };
    for (size_t i = 0; i + 1 < std::size(cases); ++i) m_server.QueueAction(cases[i].first);
    m_server.SetDefaultAction(RAW_ACTION::CloseAfterRequest());
    for (size_t i = 0; i < std::size(cases); ++i) {
        const std::string strWire =
            "POST /p" + std::to_string(i) +
            " HTTP/1.1\r\nX-Order: 1\r\nContent-Length: 9\r\n\r\nform\0data"s;
        EXPECT_TRUE(Exchange(m_server.Port(), strWire) == cases[i].second) << i;
        EXPECT_EQ(strWire, m_server.Request(i)) << i;
    }
    EXPECT_EQ(std::size(cases), m_server.ConnectionCount());
    EXPECT_EQ(std::size(cases), m_server.RequestCount());
}

// Stop frees clients that a held reply, a stalled connection or a reply waiting for requests that
// never come would otherwise hold forever, and none gets the reply as if it had been let go.
TEST_F(RawServerTest, StopReleasesHeldStalledAndWaitingClients) {
    CHttpServer http;
    http.SetReply(200, "released");
    http.HoldReplies(true);
    RAW_ACTION waiting = RAW_ACTION::Reply("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    waiting.nAfterRequests = 3;     // never: there are two
    m_server.QueueAction(waiting);  // the other connection stalls, as by default
    const auto fnGet = [](int nPort) {
        return std::async(std::launch::async,
                          [nPort] { return Exchange(nPort, "GET / HTTP/1.1\r\nHost: h\r\n\r\n"); });
    };
    std::future<std::string> futs[] = {fnGet(http.Port()), fnGet(m_server.Port()),
                                       fnGet(m_server.Port())};
    ASSERT_TRUE(http.WaitForRequests(1) && m_server.WaitForRequests(2));
    http.Stop();
    m_server.Stop();
    EXPECT_FALSE(http.IsRunning() || m_server.IsRunning());
    for (auto& fut : futs) EXPECT_EQ("", fut.get());
    http.Stop();  // idempotent
}

}  // namespace
