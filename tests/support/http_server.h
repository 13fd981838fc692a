// Loopback HTTP server for network tests: answers on 127.0.0.1 with an ephemeral port, records
// every request exactly as it arrived (header lines in wire order, body bytes) and replies as the
// test scripts it: fixed replies per path, a callback, or a file-like resource with byte ranges.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/net_util.h"

namespace kttest {

// One request as the client sent it. Plain value; copies are independent of the server.
struct RECORDED_REQUEST {
    std::string strMethod;   // "GET", "POST", ...
    std::string strTarget;   // request target as sent: path with query, e.g. "/a/b?x=1"
    std::string strPath;     // strTarget up to the '?'
    std::string strVersion;  // "HTTP/1.1"
    // Header lines in the order they were sent, each "Name: value" exactly as on the wire
    // (without the CRLF; obsolete line folding is kept as separate lines).
    std::vector<std::string> vecHeaderLines;
    std::string strBody;  // body bytes (a Content-Length body: no client under test chunks one)

    // Value of the first header called strName (case-insensitive), leading blanks removed;
    // empty when absent.
    std::string Header(const std::string& strName) const;
    // Number of header lines called strName (case-insensitive).
    size_t HeaderCount(const std::string& strName) const;
};

// What the server answers. The server adds Content-Length itself, so do not list Content-Length
// or Transfer-Encoding here. Replies that lie about their framing belong to CRawServer.
struct HTTP_REPLY {
    int nStatus = 200;
    std::vector<std::pair<std::string, std::string>> vecHeaders;  // extra headers, in order
    std::string strBody;
    bool bGzip = false;  // send strBody gzip-compressed with "Content-Encoding: gzip"
    int nDelayMs = 0;    // wait this long before answering (cut short by the server's stop)
};

// A downloadable file, with or without byte ranges.
struct HTTP_RESOURCE {
    std::string strData;
    bool bRanges = true;  // "bytes=first-last" inside the file gets 206; false: always 200, whole
    std::string strLastModified;  // "Last-Modified" value when not empty
};

// Computes the reply for one request. Runs on a server thread; must be thread-safe with respect
// to whatever it captures.
using HttpHandler = std::function<HTTP_REPLY(const RECORDED_REQUEST&)>;

// Gzip (RFC 1952) of a byte string, as the server sends it for bGzip replies.
std::string GzipBytes(const std::string& strData);

// The loopback server. Construction starts it (check IsRunning()), destruction stops it; held and
// delayed replies are cut short by the stop. Configuration changes apply to requests that arrive
// afterwards.
//
// Precedence for a request: callback handler, then a resource on its path, then a reply on its
// path, then the default reply (200, empty body).
//
// Each connection is served on a thread of its own, one request after the other (pipelined
// requests are answered in order), so any number of replies can be held or delayed at once; a
// request with "Connection: close" has its connection closed after the reply. Any method is
// answered as scripted, with a body. A reply goes out without a copy of its body, so a benchmark
// can serve large bodies from it.
class CHttpServer : public CLoopbackServer {
public:
    CHttpServer();
    ~CHttpServer();

    // Reply for requests to strPath (path without query); replaces an earlier one.
    void SetReply(const std::string& strPath, HTTP_REPLY reply);
    // Reply for paths without their own reply or resource.
    void SetDefaultReply(HTTP_REPLY reply);
    // Shorthand for SetDefaultReply with a status and a body.
    void SetReply(int nStatus, std::string strBody);
    // Callback that answers every request (an empty function removes it). The callback is copied.
    void SetHandler(HttpHandler fnHandler);
    // Serves resource on strPath.
    void SetResource(const std::string& strPath, HTTP_RESOURCE resource);
    // Limits every connection's reply bytes to nBytesPerSecond (0: unlimited). Applies to data
    // the server sends after the call.
    void SetThrottle(size_t nBytesPerSecond);
    // While true, replies wait (after being recorded) until set false again or the server stops.
    void HoldReplies(bool bHold);
    // False: requests are answered without being recorded, and their bodies are read and dropped
    // (benchmarks that send many large bodies).
    void SetRecording(bool bRecord);

    // Request nIndex in arrival order, as recorded (head and whole body received); an empty one
    // when out of range.
    RECORDED_REQUEST Request(size_t nIndex) const;
    // Copies of all recorded requests in arrival order.
    std::vector<RECORDED_REQUEST> Requests() const;

    struct IMPL;

private:
    std::unique_ptr<IMPL> m_pImpl;
};

}  // namespace kttest
