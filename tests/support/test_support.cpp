// The loopback servers are what every network test trusts. Plain replies, handlers, resources
// with their ranges and waiting for requests are exercised by every network test already, and a
// body or range served wrong fails them; what is checked here is what those would not notice going
// wrong: the exact bytes recorded and answered, a reply cut at its byte, and a stop against held
// replies and against a client gone in the middle of a reply.
// The client is a plain socket, so that every byte on the wire is the test's own.
#include <gtest/gtest.h>

#include <future>
#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif
#include <string>
#include <vector>

#include "support/http_server.h"
#include "support/net_util.h"
#include "support/raw_server.h"

namespace {

using namespace kttest;
using namespace std::string_literals;

using net::Exchange;

// One write holds an upload with binary bytes and a second request; header names come out of
// order, repeated, oddly spaced and in any case: everything a name-sorted map or a re-framing
// library would lose.
TEST(HttpServerTest, RecordsPipelinedRequestsAsSentAndAnswersInOrder) {
    CHttpServer server;
    server.SetReply(200, "body");
    const std::string strReply =
        Exchange(server.Port(),
                 "PUT /up/load?x=1&y=%20z HTTP/1.1\r\nZeta: last-letter\r\nHost: 127.0.0.1\r\n"
                 "accept:   */*\r\nZeta: again\r\nX-Empty:\r\nContent-Length: 9\r\n\r\n"
                 "a\0b\r\n\r\nc\xff"
                 "GET /two HTTP/1.1\r\n\r\n"s);
    // Both answers whole and unaltered, in order.
    const std::string strOne = "HTTP/1.1 200 Scripted\r\nContent-Length: 4\r\n\r\nbody";
    EXPECT_EQ(strOne + strOne, strReply);
    ASSERT_EQ(2u, server.RequestCount());
    EXPECT_EQ(1u, server.ConnectionCount());
    const RECORDED_REQUEST put = server.Request(0);
    EXPECT_EQ((std::vector<std::string>{"PUT", "/up/load?x=1&y=%20z", "/up/load", "HTTP/1.1",
                                        "a\0b\r\n\r\nc\xff"s, "last-letter", "*/*"}),
              (std::vector<std::string>{put.strMethod, put.strTarget, put.strPath, put.strVersion,
                                        put.strBody, put.Header("zeta"), put.Header("Accept")}));
    EXPECT_EQ((std::vector<std::string>{"Zeta: last-letter", "Host: 127.0.0.1", "accept:   */*",
                                        "Zeta: again", "X-Empty:", "Content-Length: 9"}),
              put.vecHeaderLines);
    EXPECT_EQ(2u, put.HeaderCount("ZETA"));
    EXPECT_EQ("/two", server.Request(1).strTarget);
}

// Each connection gets the next queued action, then the default; each request is recorded byte
// for byte, its body to its end.
TEST(RawServerTest, ScriptedBrokenRepliesInQueueOrderThenTheDefault) {
    CRawServer server;
    const std::string strFull =
        "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(1000, 'p');
    server.QueueAction(RAW_ACTION::Drop(strFull, 140));
    server.QueueAction(RAW_ACTION::CloseAfterRequest());
    server.SetDefaultAction(RAW_ACTION::Reply("default"));
    const std::string strWires[] = {"POST /p HTTP/1.1\r\nContent-Length: 9\r\n\r\nform\0data"s,
                                    "GET / HTTP/1.1\r\n\r\n", "GET /d HTTP/1.1\r\n\r\n"};
    const std::string strExpected[] = {strFull.substr(0, 140), "", "default"};
    for (size_t i = 0; i < std::size(strWires); ++i) {
        EXPECT_TRUE(Exchange(server.Port(), strWires[i]) == strExpected[i]) << i;
        EXPECT_EQ(strWires[i], server.Request(i)) << i;
    }
}

// Stop frees clients that a held reply or a stalled connection would otherwise hold forever, and
// none gets the reply as if it had been let go; nor does a client that closed its end in the middle
// of a long reply, as a stopped download part does (under Wine, a blocking send to it would never
// return).
TEST(RawServerTest, StopReleasesHeldAndStalledClientsAndIsNotHeldByAClientThatLeftMidReply) {
    CHttpServer http;
    CRawServer raw;
    http.SetReply(200, "released");
    http.HoldReplies(true);
    const auto fnGet = [](int nPort) {
        return std::async(std::launch::async,
                          [nPort] { return Exchange(nPort, "GET / HTTP/1.1\r\nHost: h\r\n\r\n"); });
    };
    std::future<std::string> futs[] = {fnGet(http.Port()), fnGet(raw.Port())};
    ASSERT_TRUE(http.WaitForRequests(1) && raw.WaitForRequests(1));
    http.Stop();
    raw.Stop();
    for (auto& fut : futs) EXPECT_EQ("", fut.get());

    CHttpServer big;
    const size_t nBig = size_t{64} << 20;  // far beyond what the sockets' buffers hold
    big.SetReply(200, std::string(nBig, 'b'));
    const int nFd = net::ConnectLoopback(big.Port());
    const std::string strGet = "GET / HTTP/1.1\r\n\r\n";
    ASSERT_TRUE(net::SendAll(nFd, strGet.data(), strGet.size()) && big.WaitForRequests(1));
    char buf[1000];
    EXPECT_GT(::recv(nFd, buf, sizeof buf, 0), 0);  // the reply is being sent
    net::CloseSocket(nFd);
    big.Stop();
}

}  // namespace
