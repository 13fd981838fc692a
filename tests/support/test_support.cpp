// The loopback servers are what every network test trusts. Plain replies, handlers, resources
// with their ranges and waiting for requests are exercised by every network test already, and a
// body or range served wrong fails them; what is checked here is what those would not notice going
// wrong: the exact bytes recorded, a reply cut at its byte, and held replies at a stop.
// The client is a plain socket, so that every byte on the wire is the test's own.
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

std::string Pattern(size_t nSize) {
    std::string s(nSize, '\0');
    for (size_t i = 0; i < nSize; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return s;
}

// One write holds a chunked upload with 100-continue (extension, trailer, binary bytes) and a
// second request; header names come out of order, repeated, oddly spaced and in any case:
// everything a name-sorted map or a re-framing library would lose.
TEST(HttpServerTest, RecordsPipelinedRequestsAsSentAndAnswersInOrder) {
    CHttpServer server;
    server.SetReply(200, "body");
    const std::string strReply =
        Exchange(server.Port(),
                 "PUT /up/load?x=1&y=%20z HTTP/1.1\r\nZeta: last-letter\r\nHost: 127.0.0.1\r\n"
                 "accept:   */*\r\nZeta: again\r\nX-Empty:\r\nExpect: 100-continue\r\n"
                 "Transfer-Encoding: chunked\r\n\r\n"
                 "4;ext=1\r\na\0b\r\r\n5\r\n\n\r\nc\xff\r\n0\r\nX-Trailer: t\r\n\r\n"
                 "GET /two HTTP/1.1\r\nRange: bytes=0-1\r\nAccept-Encoding: gzip\r\n\r\n"s);
    // Both answers whole and unaltered, in order, after the interim one.
    EXPECT_EQ(0u, strReply.rfind("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n", 0));
    EXPECT_NE(std::string::npos, strReply.find("\r\n\r\nbodyHTTP/1.1 200 OK\r\n"));
    EXPECT_EQ(strReply.size() - 8, strReply.rfind("\r\n\r\nbody"));
    ASSERT_EQ(2u, server.RequestCount());
    EXPECT_EQ(1u, server.ConnectionCount());
    const RECORDED_REQUEST put = server.Request(0);
    EXPECT_EQ((std::vector<std::string>{"PUT", "/up/load?x=1&y=%20z", "/up/load", "HTTP/1.1",
                                        "a\0b\r\n\r\nc\xff"s, "last-letter", "*/*"}),
              (std::vector<std::string>{put.strMethod, put.strTarget, put.strPath, put.strVersion,
                                        put.strBody, put.Header("zeta"), put.Header("Accept")}));
    EXPECT_EQ((std::vector<std::string>{"Zeta: last-letter", "Host: 127.0.0.1", "accept:   */*",
                                        "Zeta: again", "X-Empty:", "Expect: 100-continue",
                                        "Transfer-Encoding: chunked"}),
              put.vecHeaderLines);
    EXPECT_TRUE(put.bChunked);
    EXPECT_EQ(2u, put.HeaderCount("ZETA"));
    EXPECT_EQ("/two", server.Request(1).strTarget);
}

// Each connection gets the next queued action, then the default; each request is recorded byte
// for byte, a chunked one to its end.
TEST(RawServerTest, ScriptedBrokenRepliesInQueueOrderThenTheDefault) {
    CRawServer server;
    const std::string strFull = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + Pattern(1000);
    server.QueueAction(RAW_ACTION::Drop(strFull, 140));
    server.QueueAction(RAW_ACTION::Reply(strFull));
    server.SetDefaultAction(RAW_ACTION::CloseAfterRequest());
    const std::string strWires[] = {
        "POST /p HTTP/1.1\r\nContent-Length: 9\r\n\r\nform\0data"s,
        "POST /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nform\r\n0\r\n\r\n",
        "GET / HTTP/1.1\r\n\r\n"};
    const std::string strExpected[] = {strFull.substr(0, 140), strFull, ""};
    for (size_t i = 0; i < std::size(strWires); ++i) {
        EXPECT_TRUE(Exchange(server.Port(), strWires[i]) == strExpected[i]) << i;
        EXPECT_EQ(strWires[i], server.Request(i)) << i;
    }
    EXPECT_EQ(3u, server.ConnectionCount());
}

// Stop frees clients that a held reply, a stalled connection or a reply waiting for requests that
// never come would otherwise hold forever, and none gets the reply as if it had been let go.
TEST(RawServerTest, StopReleasesHeldStalledAndWaitingClients) {
    CHttpServer http;
    CRawServer raw;
    http.SetReply(200, "released");
    http.HoldReplies(true);
    RAW_ACTION waiting = RAW_ACTION::Reply("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    waiting.nAfterRequests = 3;  // never: there are two
    raw.QueueAction(waiting);    // the other connection stalls, as by default
    const auto fnGet = [](int nPort) {
        return std::async(std::launch::async,
                          [nPort] { return Exchange(nPort, "GET / HTTP/1.1\r\nHost: h\r\n\r\n"); });
    };
    std::future<std::string> futs[] = {fnGet(http.Port()), fnGet(raw.Port()), fnGet(raw.Port())};
    ASSERT_TRUE(http.WaitForRequests(1) && raw.WaitForRequests(2));
    http.Stop();
    raw.Stop();
    EXPECT_FALSE(http.IsRunning() || raw.IsRunning());
    for (auto& fut : futs) EXPECT_EQ("", fut.get());
    http.Stop();  // idempotent
}

}  // namespace
