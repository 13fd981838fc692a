// The loopback servers are what every network test trusts, so their promises are checked here
// against a real client (libcurl) and, where the wire must be exact, against hand-written bytes.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "support/http_server.h"
#include "support/raw_server.h"

namespace {

using kttest::CHttpServer;
using kttest::CRawServer;
using kttest::HTTP_REPLY;
using kttest::HTTP_RESOURCE;
using kttest::RAW_ACTION;
using kttest::RECORDED_REQUEST;
using Clock = std::chrono::steady_clock;

// curl's global state is set up once, before any test starts client threads.
class CCurlEnvironment : public ::testing::Environment {
public:
    void SetUp() override { curl_global_init(CURL_GLOBAL_ALL); }
    void TearDown() override { curl_global_cleanup(); }
};
[[maybe_unused]] ::testing::Environment* const g_pCurlEnv =
    ::testing::AddGlobalTestEnvironment(new CCurlEnvironment);

long long MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

struct FETCH_RESULT {
    CURLcode code = CURLE_OK;
    long nStatus = 0;
    std::string strBody;
    std::vector<std::string> vecHeaders;  // reply header lines without CRLF, status line first
    long long nElapsedMs = 0;

    std::string Header(const std::string& strName) const {
        for (const std::string& s : vecHeaders) {
            if (s.size() > strName.size() && s[strName.size()] == ':' &&
                strncasecmp(s.c_str(), strName.c_str(), strName.size()) == 0) {
                size_t nStart = s.find_first_not_of(' ', strName.size() + 1);
                return nStart == std::string::npos ? std::string() : s.substr(nStart);
            }
        }
        return std::string();
    }
    bool HasHeader(const std::string& strName) const {
        for (const std::string& s : vecHeaders)
            if (s.size() > strName.size() && s[strName.size()] == ':' &&
                strncasecmp(s.c_str(), strName.c_str(), strName.size()) == 0)
                return true;
        return false;
    }
};

size_t WriteBody(char* p, size_t n, size_t m, void* pUser) {
    static_cast<std::string*>(pUser)->append(p, n * m);
    return n * m;
}

size_t WriteHeader(char* p, size_t n, size_t m, void* pUser) {
    std::string strLine(p, n * m);
    while (!strLine.empty() && (strLine.back() == '\n' || strLine.back() == '\r'))
        strLine.pop_back();
    auto* pVec = static_cast<std::vector<std::string>*>(pUser);
    // A new status line (after 100 Continue) starts the list over.
    if (strLine.rfind("HTTP/", 0) == 0) pVec->clear();
    if (!strLine.empty()) pVec->push_back(strLine);
    return n * m;
}

// One easy handle; Perform may be called repeatedly to reuse its connection.
class CCurl {
public:
    CCurl() : m_pCurl(curl_easy_init()) {
        curl_easy_setopt(m_pCurl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(m_pCurl, CURLOPT_TIMEOUT_MS, 20000L);
        curl_easy_setopt(m_pCurl, CURLOPT_NOPROXY, "*");
    }
    ~CCurl() {
        curl_easy_cleanup(m_pCurl);
        if (m_pHeaders) curl_slist_free_all(m_pHeaders);
    }
    CCurl(const CCurl&) = delete;
    CCurl& operator=(const CCurl&) = delete;

    CURL* Get() { return m_pCurl; }
    void AddHeader(const char* pszLine) { m_pHeaders = curl_slist_append(m_pHeaders, pszLine); }

    FETCH_RESULT Perform(const std::string& strUrl) {
        FETCH_RESULT r;
        curl_easy_setopt(m_pCurl, CURLOPT_URL, strUrl.c_str());
        curl_easy_setopt(m_pCurl, CURLOPT_HTTPHEADER, m_pHeaders);
        curl_easy_setopt(m_pCurl, CURLOPT_WRITEFUNCTION, &WriteBody);
        curl_easy_setopt(m_pCurl, CURLOPT_WRITEDATA, &r.strBody);
        curl_easy_setopt(m_pCurl, CURLOPT_HEADERFUNCTION, &WriteHeader);
        curl_easy_setopt(m_pCurl, CURLOPT_HEADERDATA, &r.vecHeaders);
        const auto tStart = Clock::now();
        r.code = curl_easy_perform(m_pCurl);
        r.nElapsedMs = MsSince(tStart);
        curl_easy_getinfo(m_pCurl, CURLINFO_RESPONSE_CODE, &r.nStatus);
        return r;
    }

private:
    CURL* m_pCurl;
    curl_slist* m_pHeaders = nullptr;
};

FETCH_RESULT Fetch(const std::string& strUrl) {
    CCurl curl;
    return curl.Perform(strUrl);
}

std::string Gunzip(const std::string& strGz) {
    z_stream zs{};
    if (inflateInit2(&zs, 15 + 16) != Z_OK) return "<init failed>";
    std::string strOut;
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(strGz.data()));
    zs.avail_in = static_cast<uInt>(strGz.size());
    char buf[4096];
    int nRc;
    do {
        zs.next_out = reinterpret_cast<Bytef*>(buf);
        zs.avail_out = sizeof buf;
        nRc = inflate(&zs, Z_NO_FLUSH);
        strOut.append(buf, sizeof buf - zs.avail_out);
    } while (nRc == Z_OK);
    inflateEnd(&zs);
    return nRc == Z_STREAM_END && zs.avail_in == 0 ? strOut : "<bad gzip>";
}

std::string Pattern(size_t nSize) {
    std::string s(nSize, '\0');
    for (size_t i = 0; i < nSize; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return s;
}

// Plain socket client for requests whose bytes must be exactly as written.
class CRawClient {
public:
    explicit CRawClient(int nPort) : m_nFd(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(nPort));
        m_bOk = ::connect(m_nFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        timeval tv{10, 0};
        ::setsockopt(m_nFd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~CRawClient() { ::close(m_nFd); }
    CRawClient(const CRawClient&) = delete;
    CRawClient& operator=(const CRawClient&) = delete;

    bool Connected() const { return m_bOk; }
    bool Send(const std::string& s) {
        return ::send(m_nFd, s.data(), s.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(s.size());
    }
    // Reads until nCount replies' heads are seen and their Content-Length bodies are in, or EOF.
    std::string ReadReplies(size_t nCount) {
        std::string strAll;
        size_t nDone = 0, nPos = 0;
        char buf[4096];
        while (nDone < nCount) {
            size_t nEnd = strAll.find("\r\n\r\n", nPos);
            if (nEnd != std::string::npos) {
                size_t nLen = 0;
                size_t nCl = strAll.find("Content-Length: ", nPos);
                if (nCl != std::string::npos && nCl < nEnd)
                    nLen = std::stoul(strAll.substr(nCl + 16));
                if (strAll.size() >= nEnd + 4 + nLen) {
                    nPos = nEnd + 4 + nLen;
                    ++nDone;
                    continue;
                }
            }
            ssize_t n = ::recv(m_nFd, buf, sizeof buf, 0);
            if (n <= 0) break;
            strAll.append(buf, static_cast<size_t>(n));
        }
        return strAll;
    }

private:
    int m_nFd;
    bool m_bOk = false;
};

class HttpServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_server.IsRunning()); }
    CHttpServer m_server;
};

// ---------------------------------------------------------------------------------------------
// Recording

TEST_F(HttpServerTest, RecordsHeaderLinesInWireOrderAndBodyBytesExactly) {
    m_server.SetReply(204, "");
    // Names out of alphabetical order, a repeated name split by another, odd spacing and case:
    // everything a name-sorted map would lose.
    const std::string strBody("a\0b\r\n\r\nc\xff", 9);
    const std::string strHead =
        "PUT /up/load?x=1&y=%20z HTTP/1.1\r\n"
        "Zeta: last-letter\r\n"
        "Host: 127.0.0.1\r\n"
        "accept:   */*\r\n"
        "Zeta: again\r\n"
        "X-Empty:\r\n"
        "Content-Length: 9\r\n"
        "\r\n";
    CRawClient client(m_server.Port());
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(client.Send(strHead + strBody));
    const std::string strReply = client.ReadReplies(1);
    EXPECT_EQ(0u, strReply.rfind("HTTP/1.1 204", 0)) << strReply;
    ASSERT_TRUE(m_server.WaitForRequests(1));

    const RECORDED_REQUEST req = m_server.Request(0);
    EXPECT_EQ("PUT", req.strMethod);
    EXPECT_EQ("/up/load?x=1&y=%20z", req.strTarget);
    EXPECT_EQ("/up/load", req.strPath);
    EXPECT_EQ("x=1&y=%20z", req.strQuery);
    EXPECT_EQ("HTTP/1.1", req.strVersion);
    EXPECT_EQ((std::vector<std::string>{"Zeta: last-letter", "Host: 127.0.0.1", "accept:   */*",
                                        "Zeta: again", "X-Empty:", "Content-Length: 9"}),
              req.vecHeaderLines);
    EXPECT_EQ(strBody, req.strBody);
    EXPECT_EQ("last-letter", req.Header("zeta"));
    EXPECT_EQ(2u, req.HeaderCount("ZETA"));
    EXPECT_EQ("*/*", req.Header("Accept"));
    EXPECT_EQ("", req.Header("X-Empty"));
    EXPECT_EQ(0u, req.HeaderCount("Range"));
    EXPECT_EQ(
        (std::vector<std::string>{"Zeta", "Host", "accept", "Zeta", "X-Empty", "Content-Length"}),
        req.HeaderNames());
}

TEST_F(HttpServerTest, PipelinedAndChunkedRequestsOnOneConnectionAreSplitCorrectly) {
    m_server.SetReply(200, "ok");
    // Three requests in one write: a chunked body (with an extension and a trailer), a
    // Content-Length body that looks like a request, and a bodiless GET.
    const std::string strWire =
        "POST /one HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
        "5;ext=1\r\nhello\r\n7\r\n, world\r\n0\r\nX-Trailer: t\r\n\r\n"
        "POST /two HTTP/1.1\r\nHost: h\r\nContent-Length: 19\r\n\r\n"
        "GET /x HTTP/1.1\r\n\r\n"
        "GET /three HTTP/1.1\r\nHost: h\r\n\r\n";
    CRawClient client(m_server.Port());
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(client.Send(strWire));
    const std::string strReplies = client.ReadReplies(3);
    ASSERT_TRUE(m_server.WaitForRequests(3));
    EXPECT_EQ(3u, m_server.RequestCount());
    EXPECT_EQ(1u, m_server.ConnectionCount());

    const std::vector<RECORDED_REQUEST> vec = m_server.Requests();
    EXPECT_EQ("/one", vec[0].strPath);
    EXPECT_TRUE(vec[0].bChunked);
    EXPECT_EQ("hello, world", vec[0].strBody);
    EXPECT_EQ("/two", vec[1].strPath);
    EXPECT_EQ("GET /x HTTP/1.1\r\n\r\n", vec[1].strBody);
    EXPECT_EQ("GET", vec[2].strMethod);
    EXPECT_EQ("/three", vec[2].strPath);
    EXPECT_EQ("", vec[2].strBody);
    size_t nOk = 0;
    for (size_t nPos = 0; (nPos = strReplies.find("HTTP/1.1 200", nPos)) != std::string::npos;
         ++nPos)
        ++nOk;
    EXPECT_EQ(3u, nOk) << strReplies;
}

TEST_F(HttpServerTest, CurlRequestsAreRecordedWithTheirOwnHeadersAndBodies) {
    CCurl curl;
    curl.AddHeader("X-Second: 2");
    curl.AddHeader("X-First: 1");
    curl.AddHeader("Accept-Encoding: gzip, deflate");
    curl.AddHeader("Range: bytes=0-3");
    // A body big enough for curl to ask for "100 Continue" first.
    const std::string strBody = Pattern(300000);
    curl_easy_setopt(curl.Get(), CURLOPT_POSTFIELDS, strBody.data());
    curl_easy_setopt(curl.Get(), CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(strBody.size()));
    FETCH_RESULT r = curl.Perform(m_server.Url("/post?q=1"));
    ASSERT_EQ(CURLE_OK, r.code);
    EXPECT_EQ(200, r.nStatus);

    // Second request on the same handle reuses the connection.
    curl_easy_setopt(curl.Get(), CURLOPT_HTTPGET, 1L);
    r = curl.Perform(m_server.Url("/get"));
    ASSERT_EQ(CURLE_OK, r.code);
    ASSERT_EQ(2u, m_server.RequestCount());
    EXPECT_EQ(1u, m_server.ConnectionCount());

    const RECORDED_REQUEST post = m_server.Request(0);
    EXPECT_EQ("POST", post.strMethod);
    EXPECT_EQ("/post?q=1", post.strTarget);
    EXPECT_EQ(strBody.size(), post.strBody.size());
    EXPECT_TRUE(post.strBody == strBody);
    // Headers that the relay hides from httplib are recorded under their own names.
    EXPECT_EQ("gzip, deflate", post.Header("Accept-Encoding"));
    EXPECT_EQ("bytes=0-3", post.Header("Range"));
    EXPECT_EQ(0u, post.HeaderCount("X-Kttest-Seq"));
    const std::vector<std::string> vecNames = post.HeaderNames();
    auto itSecond = std::find(vecNames.begin(), vecNames.end(), "X-Second");
    auto itFirst = std::find(vecNames.begin(), vecNames.end(), "X-First");
    ASSERT_NE(vecNames.end(), itSecond);
    ASSERT_NE(vecNames.end(), itFirst);
    EXPECT_LT(itSecond, itFirst);
    EXPECT_EQ("GET", m_server.Request(1).strMethod);

    m_server.ClearRequests();
    EXPECT_EQ(0u, m_server.RequestCount());
    EXPECT_EQ("", m_server.Request(0).strMethod);
}

TEST_F(HttpServerTest, ConcurrentClientsAreAllRecorded) {
    m_server.SetReply(200, "x");
    constexpr int kThreads = 8;
    std::vector<std::future<CURLcode>> vecF;
    for (int i = 0; i < kThreads; ++i)
        vecF.push_back(std::async(std::launch::async, [this, i] {
            return Fetch(m_server.Url("/c" + std::to_string(i))).code;
        }));
    for (auto& f : vecF) EXPECT_EQ(CURLE_OK, f.get());
    ASSERT_TRUE(m_server.WaitForRequests(kThreads));
    std::vector<std::string> vecPaths;
    for (const RECORDED_REQUEST& r : m_server.Requests()) vecPaths.push_back(r.strPath);
    std::sort(vecPaths.begin(), vecPaths.end());
    EXPECT_EQ((std::vector<std::string>{"/c0", "/c1", "/c2", "/c3", "/c4", "/c5", "/c6", "/c7"}),
              vecPaths);
}

// ---------------------------------------------------------------------------------------------
// Scripted replies

TEST_F(HttpServerTest, RepliesPerPathThenByDefaultThenFromTheHandler) {
    HTTP_REPLY reply;
    reply.nStatus = 404;
    reply.vecHeaders = {{"X-Reason", "none here"}, {"Content-Type", "text/plain; charset=gbk"}};
    reply.strBody = "not \xD5\xC5 found";
    m_server.SetReply("/missing", reply);
    m_server.SetReply(504, "gateway");

    FETCH_RESULT r = Fetch(m_server.Url("/missing?ignored=1"));
    ASSERT_EQ(CURLE_OK, r.code);
    EXPECT_EQ(404, r.nStatus);
    EXPECT_EQ("not \xD5\xC5 found", r.strBody);
    EXPECT_EQ("none here", r.Header("X-Reason"));
    EXPECT_EQ("text/plain; charset=gbk", r.Header("Content-Type"));
    EXPECT_EQ(std::to_string(r.strBody.size()), r.Header("Content-Length"));

    r = Fetch(m_server.Url("/other"));
    EXPECT_EQ(504, r.nStatus);
    EXPECT_EQ("gateway", r.strBody);

    m_server.SetHandler([](const RECORDED_REQUEST& req) {
        HTTP_REPLY echo;
        echo.nStatus = 201;
        echo.strBody = req.strMethod + " " + req.strTarget + " " + req.Header("X-Tag");
        return echo;
    });
    CCurl curl;
    curl.AddHeader("X-Tag: t1");
    r = curl.Perform(m_server.Url("/missing?a=b"));
    EXPECT_EQ(201, r.nStatus);
    EXPECT_EQ("GET /missing?a=b t1", r.strBody);

    m_server.SetHandler(nullptr);
    EXPECT_EQ(404, Fetch(m_server.Url("/missing")).nStatus);
}

TEST_F(HttpServerTest, GzipRepliesAreCompressedOnlyWhenAsked) {
    const std::string strText = "line of text, repeated\n" + std::string(4000, 'z');
    HTTP_REPLY reply;
    reply.strBody = strText;
    reply.bGzip = true;
    reply.vecHeaders = {{"Content-Type", "text/plain"}};
    m_server.SetReply("/gz", reply);
    reply.bGzip = false;
    m_server.SetReply("/plain", reply);

    // Undecoded: the bytes on the wire are one gzip member of the text.
    FETCH_RESULT r = Fetch(m_server.Url("/gz"));
    ASSERT_EQ(CURLE_OK, r.code);
    EXPECT_EQ("gzip", r.Header("Content-Encoding"));
    ASSERT_GE(r.strBody.size(), 18u);
    EXPECT_EQ('\x1f', r.strBody[0]);
    EXPECT_EQ('\x8b', r.strBody[1]);
    EXPECT_LT(r.strBody.size(), strText.size());
    EXPECT_EQ(strText, Gunzip(r.strBody));
    EXPECT_EQ(r.strBody, kttest::GzipBytes(strText));

    // Decoded by curl.
    CCurl curl;
    curl_easy_setopt(curl.Get(), CURLOPT_ACCEPT_ENCODING, "gzip");
    r = curl.Perform(m_server.Url("/gz"));
    ASSERT_EQ(CURLE_OK, r.code);
    EXPECT_EQ(strText, r.strBody);

    // A client that accepts gzip still gets a plain reply as scripted, byte for byte.
    r = curl.Perform(m_server.Url("/plain"));
    ASSERT_EQ(CURLE_OK, r.code);
    EXPECT_FALSE(r.HasHeader("Content-Encoding"));
    EXPECT_EQ(std::to_string(strText.size()), r.Header("Content-Length"));
    EXPECT_EQ(strText, r.strBody);
}

TEST_F(HttpServerTest, DelayedReplyArrivesAfterTheDelay) {
    HTTP_REPLY reply;
    reply.strBody = "late";
    reply.nDelayMs = 400;
    m_server.SetReply("/slow", reply);
    const FETCH_RESULT r = Fetch(m_server.Url("/slow"));
    ASSERT_EQ(CURLE_OK, r.code);
    EXPECT_EQ("late", r.strBody);
    EXPECT_GE(r.nElapsedMs, 350);
    // The request is recorded when it arrives, not when it is answered.
    EXPECT_EQ(1u, m_server.RequestCount());

    // A client with a shorter patience times out.
    CCurl curl;
    curl_easy_setopt(curl.Get(), CURLOPT_TIMEOUT_MS, 100L);
    EXPECT_EQ(CURLE_OPERATION_TIMEDOUT, curl.Perform(m_server.Url("/slow")).code);
}

TEST_F(HttpServerTest, HeldRepliesWaitForReleaseAndStopCutsThemShort) {
    m_server.SetReply(200, "released");
    m_server.HoldReplies(true);
    auto fut = std::async(std::launch::async, [this] { return Fetch(m_server.Url("/held")); });
    ASSERT_TRUE(m_server.WaitForRequests(1));
    EXPECT_EQ(std::future_status::timeout, fut.wait_for(std::chrono::milliseconds(200)));
    m_server.HoldReplies(false);
    const FETCH_RESULT r = fut.get();
    ASSERT_EQ(CURLE_OK, r.code);
    EXPECT_EQ("released", r.strBody);

    // Held again: Stop must not wait for a release that never comes.
    m_server.HoldReplies(true);
    auto fut2 = std::async(std::launch::async, [this] { return Fetch(m_server.Url("/held")); });
    ASSERT_TRUE(m_server.WaitForRequests(2));
    const auto tStart = Clock::now();
    m_server.Stop();
    EXPECT_LT(MsSince(tStart), 5000);
    EXPECT_FALSE(m_server.IsRunning());
    const FETCH_RESULT r2 = fut2.get();
    EXPECT_FALSE(r2.code == CURLE_OK && r2.strBody == "released")
        << m_server.RequestCount() << " requests on " << m_server.ConnectionCount()
        << " connections, " << r2.nElapsedMs << " ms";
    m_server.Stop();  // idempotent
}

// ---------------------------------------------------------------------------------------------
// Downloadable resource

TEST_F(HttpServerTest, ResourceServesRangesWith206AndContentRange) {
    HTTP_RESOURCE res;
    res.strData = Pattern(1000);
    res.strLastModified = "Wed, 21 Oct 2015 07:28:00 GMT";
    m_server.SetResource("/file.bin", res);

    struct CASE {
        const char* pszRange;
        long nStatus;
        const char* pszContentRange;
        size_t nFirst, nLength;
    };
    const CASE cases[] = {
        {"bytes=0-0", 206, "bytes 0-0/1000", 0, 1},
        {"bytes=10-19", 206, "bytes 10-19/1000", 10, 10},
        {"bytes=990-5000", 206, "bytes 990-999/1000", 990, 10},
        {"bytes=900-", 206, "bytes 900-999/1000", 900, 100},
        {"bytes=-5", 206, "bytes 995-999/1000", 995, 5},
        {"bytes=1000-1001", 416, "bytes */1000", 0, 0},
        {"bytes=5-2", 200, "", 0, 1000},      // invalid: ignored
        {"bytes=0-1,5-6", 200, "", 0, 1000},  // several ranges: served whole
        {"items=0-1", 200, "", 0, 1000},      // other units: served whole
        {nullptr, 200, "", 0, 1000},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.pszRange ? c.pszRange : "no range");
        CCurl curl;
        std::string strLine;
        if (c.pszRange) {
            strLine = std::string("Range: ") + c.pszRange;
            curl.AddHeader(strLine.c_str());
        }
        const FETCH_RESULT r = curl.Perform(m_server.Url("/file.bin"));
        ASSERT_EQ(CURLE_OK, r.code);
        EXPECT_EQ(c.nStatus, r.nStatus);
        EXPECT_EQ(c.pszContentRange, r.Header("Content-Range"));
        EXPECT_EQ(std::to_string(c.nLength), r.Header("Content-Length"));
        EXPECT_TRUE(r.strBody == res.strData.substr(c.nFirst, c.nLength));
        EXPECT_EQ("bytes", r.Header("Accept-Ranges"));
        EXPECT_EQ("Wed, 21 Oct 2015 07:28:00 GMT", r.Header("Last-Modified"));
    }

    // curl's own range option and its reading of Last-Modified.
    CCurl curl;
    curl_easy_setopt(curl.Get(), CURLOPT_RANGE, "100-199");
    curl_easy_setopt(curl.Get(), CURLOPT_FILETIME, 1L);
    const FETCH_RESULT r = curl.Perform(m_server.Url("/file.bin"));
    ASSERT_EQ(CURLE_OK, r.code);
    EXPECT_EQ(206, r.nStatus);
    EXPECT_TRUE(r.strBody == res.strData.substr(100, 100));
    long nFileTime = -1;
    curl_easy_getinfo(curl.Get(), CURLINFO_FILETIME, &nFileTime);
    EXPECT_EQ(1445412480L, nFileTime);
}

TEST_F(HttpServerTest, ResourceHeadAndMethodsAndNoRangeMode) {
    HTTP_RESOURCE res;
    res.strData = Pattern(5000);
    m_server.SetResource("/f", res);
    res.bRanges = false;
    m_server.SetResource("/noranges", res);

    CCurl head;
    curl_easy_setopt(head.Get(), CURLOPT_NOBODY, 1L);
    FETCH_RESULT r = head.Perform(m_server.Url("/f"));
    ASSERT_EQ(CURLE_OK, r.code);
    EXPECT_EQ(200, r.nStatus);
    EXPECT_EQ("5000", r.Header("Content-Length"));
    EXPECT_EQ("", r.strBody);
    EXPECT_FALSE(r.HasHeader("Last-Modified"));
    EXPECT_EQ("HEAD", m_server.Request(0).strMethod);

    CCurl post;
    curl_easy_setopt(post.Get(), CURLOPT_POSTFIELDS, "x");
    EXPECT_EQ(405, post.Perform(m_server.Url("/f")).nStatus);

    CCurl ranged;
    ranged.AddHeader("Range: bytes=0-0");
    r = ranged.Perform(m_server.Url("/noranges"));
    ASSERT_EQ(CURLE_OK, r.code);
    EXPECT_EQ(200, r.nStatus);
    EXPECT_EQ("5000", r.Header("Content-Length"));
    EXPECT_FALSE(r.HasHeader("Content-Range"));
    EXPECT_NE("bytes", r.Header("Accept-Ranges"));
    EXPECT_TRUE(r.strBody == res.strData);
}

TEST_F(HttpServerTest, ThrottleSlowsABigReplyButDeliversItWhole) {
    HTTP_RESOURCE res;
    res.strData = Pattern(96 * 1024);
    m_server.SetResource("/big", res);
    const FETCH_RESULT fast = Fetch(m_server.Url("/big"));
    ASSERT_EQ(CURLE_OK, fast.code);

    m_server.SetThrottle(128 * 1024);  // 0.75 s for the whole body
    const FETCH_RESULT slow = Fetch(m_server.Url("/big"));
    ASSERT_EQ(CURLE_OK, slow.code);
    EXPECT_TRUE(slow.strBody == res.strData);
    EXPECT_GE(slow.nElapsedMs, 500);
    EXPECT_LT(slow.nElapsedMs, 15000);

    // Each connection has its own budget: two parallel downloads take about as long as one.
    auto fnGet = [this] { return Fetch(m_server.Url("/big")); };
    auto f1 = std::async(std::launch::async, fnGet);
    auto f2 = std::async(std::launch::async, fnGet);
    const auto tStart = Clock::now();
    EXPECT_EQ(CURLE_OK, f1.get().code);
    EXPECT_EQ(CURLE_OK, f2.get().code);
    EXPECT_LT(MsSince(tStart), 15000);
}

// ---------------------------------------------------------------------------------------------
// Raw server

class RawServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_server.IsRunning()); }
    CRawServer m_server;
};

TEST_F(RawServerTest, CloseWithoutAnswerIsAnErrorForTheClient) {
    m_server.SetDefaultAction(RAW_ACTION::CloseAfterRequest());
    FETCH_RESULT r = Fetch(m_server.Url("/gone"));
    EXPECT_EQ(CURLE_GOT_NOTHING, r.code);
    ASSERT_TRUE(m_server.WaitForRequests(1));
    EXPECT_EQ(0u, m_server.Request(0).rfind("GET /gone HTTP/1.1\r\n", 0)) << m_server.Request(0);

    m_server.SetDefaultAction(RAW_ACTION::Close());
    r = Fetch(m_server.Url("/gone"));
    EXPECT_NE(CURLE_OK, r.code);
    EXPECT_EQ(1u, m_server.RequestCount());  // nothing read from that connection
    EXPECT_GE(m_server.ConnectionCount(), 2u);
}

TEST_F(RawServerTest, StalledRequestTimesOutAndStopReleasesAWaitingClient) {
    CCurl curl;
    curl_easy_setopt(curl.Get(), CURLOPT_TIMEOUT_MS, 300L);
    const FETCH_RESULT r = curl.Perform(m_server.Url("/stall"));
    EXPECT_EQ(CURLE_OPERATION_TIMEDOUT, r.code);

    // A client without a time-out is freed by Stop.
    auto fut = std::async(std::launch::async, [this] { return Fetch(m_server.Url("/forever")); });
    ASSERT_TRUE(m_server.WaitForRequests(2));
    const auto tStart = Clock::now();
    m_server.Stop();
    EXPECT_LT(MsSince(tStart), 5000);
    EXPECT_NE(CURLE_OK, fut.get().code);
    EXPECT_FALSE(m_server.IsRunning());
}

TEST_F(RawServerTest, PartialBodyAndDropsMidReply) {
    const std::string strHead = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n";
    const std::string strFull = strHead + Pattern(1000);
    m_server.QueueAction(RAW_ACTION::Reply(strHead + Pattern(300)));
    m_server.QueueAction(RAW_ACTION::Drop(strFull, strHead.size() + 100));
    m_server.QueueAction(RAW_ACTION::Drop(strFull, 10));  // inside the status line
    m_server.QueueAction(RAW_ACTION::Reply(strFull));
    m_server.SetDefaultAction(RAW_ACTION::Close());

    FETCH_RESULT r = Fetch(m_server.Url("/partial"));
    EXPECT_EQ(CURLE_PARTIAL_FILE, r.code);
    EXPECT_EQ(200, r.nStatus);
    EXPECT_TRUE(r.strBody == Pattern(300));

    r = Fetch(m_server.Url("/drop"));
    EXPECT_EQ(CURLE_PARTIAL_FILE, r.code);
    EXPECT_TRUE(r.strBody == Pattern(100));

    r = Fetch(m_server.Url("/drop-early"));
    EXPECT_NE(CURLE_OK, r.code);
    EXPECT_EQ("", r.strBody);

    r = Fetch(m_server.Url("/whole"));
    EXPECT_EQ(CURLE_OK, r.code);
    EXPECT_TRUE(r.strBody == Pattern(1000));

    // The queue is used up: back to the default.
    EXPECT_NE(CURLE_OK, Fetch(m_server.Url("/after")).code);
}

TEST_F(RawServerTest, RecordsTheWholeRequestAndCanResetTheConnection) {
    RAW_ACTION reset = RAW_ACTION::Drop("HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\nabc", 100);
    reset.bReset = true;
    m_server.SetDefaultAction(reset);
    CCurl curl;
    curl.AddHeader("Expect:");
    curl.AddHeader("X-Order: 1");
    const std::string strBody("form\0data", 9);
    curl_easy_setopt(curl.Get(), CURLOPT_POSTFIELDS, strBody.data());
    curl_easy_setopt(curl.Get(), CURLOPT_POSTFIELDSIZE, 9L);
    const FETCH_RESULT r = curl.Perform(m_server.Url("/post"));
    EXPECT_NE(CURLE_OK, r.code);
    ASSERT_TRUE(m_server.WaitForRequests(1));
    const std::string strRaw = m_server.Request(0);
    EXPECT_EQ(0u, strRaw.rfind("POST /post HTTP/1.1\r\n", 0));
    EXPECT_NE(std::string::npos, strRaw.find("\r\nX-Order: 1\r\n"));
    ASSERT_GE(strRaw.size(), strBody.size());
    EXPECT_EQ(strBody, strRaw.substr(strRaw.size() - strBody.size()));
}

TEST_F(RawServerTest, DelayedReplyIsCutShortByStop) {
    RAW_ACTION slow = RAW_ACTION::Reply("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    slow.nDelayMs = 60000;
    m_server.SetDefaultAction(slow);
    auto fut = std::async(std::launch::async, [this] { return Fetch(m_server.Url("/")); });
    ASSERT_TRUE(m_server.WaitForRequests(1));
    const auto tStart = Clock::now();
    m_server.Stop();
    EXPECT_LT(MsSince(tStart), 5000);
    EXPECT_NE(CURLE_OK, fut.get().code);
}

}  // namespace
