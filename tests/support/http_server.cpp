#include "support/http_server.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>

#include "support/net_util.h"
#include "support/socket_compat.h"

namespace kttest {

namespace {

using Clock = std::chrono::steady_clock;

// Longest request head or chunk-size line accepted before the connection is dropped.
constexpr size_t kMaxHead = 1u << 20;

std::string HeaderName(const std::string& strLine) {
    const size_t nColon = strLine.find(':');
    return nColon == std::string::npos ? std::string() : strLine.substr(0, nColon);
}

std::string HeaderValue(const std::string& strLine) {
    const size_t nStart = strLine.find_first_not_of(" \t", strLine.find(':') + 1);
    if (strLine.find(':') == std::string::npos || nStart == std::string::npos) return std::string();
    return strLine.substr(nStart, strLine.find_last_not_of(" \t") - nStart + 1);
}

bool EqualsNoCase(const std::string& strA, const std::string& strB) {
    return net::Lower(strA) == net::Lower(strB);
}

bool ContainsNoCase(const std::string& strHay, const std::string& strNeedle) {
    return net::Lower(strHay).find(net::Lower(strNeedle)) != std::string::npos;
}

const char* Reason(int nStatus) {
    // clang-format off
    static const std::map<int, const char*> s_map = {
        {100, "Continue"}, {200, "OK"}, {201, "Created"}, {204, "No Content"},
        {206, "Partial Content"}, {301, "Moved Permanently"}, {302, "Found"},
        {304, "Not Modified"}, {400, "Bad Request"}, {401, "Unauthorized"}, {403, "Forbidden"},
        {404, "Not Found"}, {405, "Method Not Allowed"}, {416, "Range Not Satisfiable"},
        {500, "Internal Server Error"}, {502, "Bad Gateway"}, {503, "Service Unavailable"}};
    // clang-format on
    const auto it = s_map.find(nStatus);
    return it == s_map.end() ? "Status" : it->second;
}

// Parses a single "bytes=a-b" or "bytes=a-" (what the transfer engine asks for) against nTotal.
// False when the header is to be ignored (other forms, several ranges); bSatisfiable tells a
// valid but unsatisfiable range apart.
bool ParseRange(const std::string& strValue, uint64_t nTotal, uint64_t& nFirst, uint64_t& nLast,
                bool& bSatisfiable) {
    const auto fnDigits = [](const std::string& s) {
        return !s.empty() && s.size() < 19 && s.find_first_not_of("0123456789") == s.npos;
    };
    const size_t nDash = strValue.find('-');
    if (strValue.compare(0, 6, "bytes=") != 0 || nDash == std::string::npos) return false;
    const std::string strA = strValue.substr(6, nDash - 6), strB = strValue.substr(nDash + 1);
    if (!fnDigits(strA) || (!strB.empty() && !fnDigits(strB))) return false;
    nFirst = std::stoull(strA);
    nLast = strB.empty() ? nTotal - 1 : std::stoull(strB);
    bSatisfiable = nFirst < nTotal;
    nLast = std::min(nLast, nTotal - 1);
    return strB.empty() || std::stoull(strB) >= nFirst;
}

// What goes out for one request: the body is a slice of a shared string, so that large bodies
// are sent where they lie.
struct PLAN {
    int nStatus = 200;
    std::vector<std::pair<std::string, std::string>> vecHeaders;
    std::shared_ptr<const std::string> pBody;
    size_t nOffset = 0;
    size_t nLength = 0;
    int nDelayMs = 0;
};

PLAN FromReply(std::shared_ptr<const HTTP_REPLY> pReply) {
    PLAN plan{pReply->nStatus, pReply->vecHeaders, nullptr, 0, 0, pReply->nDelayMs};
    if (pReply->bGzip) {
        plan.vecHeaders.emplace_back("Content-Encoding", "gzip");
        plan.pBody = std::make_shared<const std::string>(GzipBytes(pReply->strBody));
    } else {
        plan.pBody = std::shared_ptr<const std::string>(pReply, &pReply->strBody);
    }
    plan.nLength = plan.pBody->size();
    return plan;
}

PLAN FromResource(const RECORDED_REQUEST& req, std::shared_ptr<const HTTP_RESOURCE> pRes) {
    PLAN plan;
    plan.vecHeaders.emplace_back("Content-Type", "application/octet-stream");
    if (!pRes->strLastModified.empty())
        plan.vecHeaders.emplace_back("Last-Modified", pRes->strLastModified);
    const uint64_t nTotal = pRes->strData.size();
    plan.pBody = std::shared_ptr<const std::string>(pRes, &pRes->strData);
    plan.nLength = nTotal;
    if (!pRes->bRanges) return plan;
    plan.vecHeaders.emplace_back("Accept-Ranges", "bytes");
    uint64_t nFirst = 0, nLast = 0;
    bool bSatisfiable = false;
    if (req.HeaderCount("Range") != 1 ||
        !ParseRange(req.Header("Range"), nTotal, nFirst, nLast, bSatisfiable))
        return plan;
    if (!bSatisfiable) {
        plan.nStatus = 416;
        plan.vecHeaders.emplace_back("Content-Range", "bytes */" + std::to_string(nTotal));
        plan.nLength = 0;
        return plan;
    }
    plan.nStatus = 206;
    plan.vecHeaders.emplace_back("Content-Range", "bytes " + std::to_string(nFirst) + "-" +
                                                      std::to_string(nLast) + "/" +
                                                      std::to_string(nTotal));
    plan.nOffset = nFirst;
    plan.nLength = nLast - nFirst + 1;
    return plan;
}

// Blocking buffered reads from one connection; with pRaw, every byte taken is appended there.
class CReader {
public:
    explicit CReader(int nFd, std::string* pRaw = nullptr) : m_nFd(nFd), m_pRaw(pRaw) {}
    // The next line without its CRLF; false at the end of the stream or past kMaxHead.
    bool Line(std::string& strLine) {
        size_t nEol;
        while ((nEol = m_strBuf.find("\r\n", m_nPos)) == std::string::npos)
            if (m_strBuf.size() - m_nPos > kMaxHead || !Fill()) return false;
        strLine.assign(m_strBuf, m_nPos, nEol - m_nPos);
        Advance(nEol + 2);
        return true;
    }
    // Appends the next nSize bytes to strOut, or drops them when bKeep is false.
    bool Take(uint64_t nSize, std::string& strOut, bool bKeep) {
        while (nSize > 0) {
            if (m_nPos == m_strBuf.size() && !Fill()) return false;
            const size_t nTake = static_cast<size_t>(
                std::min<uint64_t>(nSize, static_cast<uint64_t>(m_strBuf.size() - m_nPos)));
            if (bKeep) strOut.append(m_strBuf, m_nPos, nTake);
            Advance(m_nPos + nTake);
            nSize -= nTake;
        }
        return true;
    }
    // What was received but not taken.
    std::string Rest() const { return m_strBuf.substr(m_nPos); }

private:
    void Advance(size_t nTo) {
        if (m_pRaw != nullptr) m_pRaw->append(m_strBuf, m_nPos, nTo - m_nPos);
        m_nPos = nTo;
    }
    bool Fill() {
        m_strBuf.erase(0, m_nPos);
        m_nPos = 0;
        char buf[65536];
        const ssize_t n = ::recv(m_nFd, buf, sizeof buf, 0);
        if (n <= 0) return false;
        m_strBuf.append(buf, static_cast<size_t>(n));
        return true;
    }
    int m_nFd;
    std::string* m_pRaw;
    std::string m_strBuf;
    size_t m_nPos = 0;
};

// Reads one whole request: head, then the body as framed (de-chunked). With bInterim, answers an
// Expect: 100-continue with the interim reply. False when the stream ends or is malformed.
bool ReadRequest(int nFd, CReader& in, RECORDED_REQUEST& req, bool bKeepBody, bool bInterim) {
    std::string strLine;
    do {  // empty lines before a request line are allowed and ignored
        if (!in.Line(strLine)) return false;
    } while (strLine.empty());
    const size_t nSp1 = strLine.find(' ');
    const size_t nSp2 = nSp1 == std::string::npos ? nSp1 : strLine.find(' ', nSp1 + 1);
    if (nSp2 == std::string::npos) return false;
    req.strMethod = strLine.substr(0, nSp1);
    req.strTarget = strLine.substr(nSp1 + 1, nSp2 - nSp1 - 1);
    req.strVersion = strLine.substr(nSp2 + 1);
    req.strPath = req.strTarget.substr(0, req.strTarget.find('?'));
    for (;;) {
        if (!in.Line(strLine)) return false;
        if (strLine.empty()) break;
        req.vecHeaderLines.push_back(strLine);
    }
    if (bInterim && ContainsNoCase(req.Header("Expect"), "100-continue") &&
        req.strVersion == "HTTP/1.1" && !net::SendAll(nFd, "HTTP/1.1 100 Continue\r\n\r\n", 25))
        return false;
    req.bChunked = ContainsNoCase(req.Header("Transfer-Encoding"), "chunked");
    if (!req.bChunked)
        return in.Take(std::strtoull(req.Header("Content-Length").c_str(), nullptr, 10),
                       req.strBody, bKeepBody);
    for (;;) {
        if (!in.Line(strLine)) return false;
        const std::string strHex = strLine.substr(0, strLine.find(';'));
        char* pEnd = nullptr;
        const uint64_t nChunk = std::strtoull(strHex.c_str(), &pEnd, 16);
        if (strHex.empty() || pEnd == strHex.c_str()) return false;
        if (nChunk == 0) break;
        if (!in.Take(nChunk, req.strBody, bKeepBody) || !in.Line(strLine) || !strLine.empty())
            return false;
    }
    do {  // the trailer, up to its empty line
        if (!in.Line(strLine)) return false;
    } while (!strLine.empty());
    return true;
}

}  // namespace

std::string ReadRequestBytes(int nFd) {
    std::string strRaw;
    CReader in(nFd, &strRaw);
    RECORDED_REQUEST req;
    return ReadRequest(nFd, in, req, false, false) ? strRaw : strRaw + in.Rest();
}

std::string RECORDED_REQUEST::Header(const std::string& strName) const {
    for (const std::string& strLine : vecHeaderLines)
        if (EqualsNoCase(HeaderName(strLine), strName)) return HeaderValue(strLine);
    return std::string();
}

size_t RECORDED_REQUEST::HeaderCount(const std::string& strName) const {
    return static_cast<size_t>(
        std::count_if(vecHeaderLines.begin(), vecHeaderLines.end(),
                      [&](const std::string& s) { return EqualsNoCase(HeaderName(s), strName); }));
}

std::string GzipBytes(const std::string& strData) {
    z_stream zs{};
    if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK)
        return std::string();
    std::string strOut(deflateBound(&zs, static_cast<uLong>(strData.size())) + 32, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(strData.data()));
    zs.avail_in = static_cast<uInt>(strData.size());
    zs.next_out = reinterpret_cast<Bytef*>(strOut.data());
    zs.avail_out = static_cast<uInt>(strOut.size());
    const int nRc = deflate(&zs, Z_FINISH);
    strOut.resize(zs.total_out);
    deflateEnd(&zs);
    return nRc == Z_STREAM_END ? strOut : std::string();
}

struct CHttpServer::IMPL {
    explicit IMPL(CHttpServer& server) : m_server(server) {}
    CHttpServer& m_server;  // its mutex guards everything here but the atomics
    bool m_bHold = false;
    std::map<std::string, std::shared_ptr<const HTTP_REPLY>> m_mapReplies;
    std::map<std::string, std::shared_ptr<const HTTP_RESOURCE>> m_mapResources;
    std::shared_ptr<const HTTP_REPLY> m_pDefaultReply = std::make_shared<HTTP_REPLY>();
    HttpHandler m_fnHandler;
    std::atomic<size_t> m_nThrottle{0};
    std::atomic<bool> m_bRecord{true};

    PLAN Plan(const RECORDED_REQUEST& req) {
        std::unique_lock<std::mutex> lk(m_server.m_mtx);
        if (HttpHandler fnHandler = m_fnHandler) {
            lk.unlock();
            return FromReply(std::make_shared<const HTTP_REPLY>(fnHandler(req)));
        }
        if (auto it = m_mapResources.find(req.strPath); it != m_mapResources.end())
            return FromResource(req, it->second);
        auto it = m_mapReplies.find(req.strPath);
        return FromReply(it != m_mapReplies.end() ? it->second : m_pDefaultReply);
    }

    // Waits until tDue (or, with bHeld, until replies are let go); false when the server stopped
    // meanwhile: a held or delayed answer is then never sent.
    bool WaitUntil(Clock::time_point tDue, bool bHeld = false) {
        std::unique_lock<std::mutex> lk(m_server.m_mtx);
        if (bHeld) m_server.m_cv.wait(lk, [this] { return !m_bHold || m_server.m_bStopping; });
        return !m_server.m_cv.wait_until(lk, tDue, [this] { return m_server.m_bStopping; });
    }

    bool Send(int nFd, const char* pData, size_t nSize) {
        const size_t nRate = m_nThrottle.load();
        if (nRate == 0) return net::SendAll(nFd, pData, nSize);
        // Twenty slices a second, each sent when the connection's budget allows it.
        const size_t nSlice = std::max<size_t>(1, nRate / 20);
        const auto tStart = Clock::now();
        for (size_t nSent = 0; nSent < nSize;) {
            const size_t nTake = std::min(nSlice, nSize - nSent);
            if (!net::SendAll(nFd, pData + nSent, nTake)) return false;
            nSent += nTake;
            if (!WaitUntil(tStart + std::chrono::microseconds(static_cast<int64_t>(
                                        static_cast<double>(nSent) * 1e6 / nRate))))
                return false;
        }
        return true;
    }

    void Serve(int nFd) {
        CReader in(nFd);
        for (;;) {
            RECORDED_REQUEST req;
            const bool bRecord = m_bRecord;
            if (!ReadRequest(nFd, in, req, bRecord, true)) return;
            if (bRecord) m_server.Record(req);
            const PLAN plan = Plan(req);
            if (!WaitUntil(Clock::now() + std::chrono::milliseconds(plan.nDelayMs), true)) return;
            const bool bClose = ContainsNoCase(req.Header("Connection"), "close") ||
                                (req.strVersion == "HTTP/1.0" &&
                                 !ContainsNoCase(req.Header("Connection"), "keep-alive"));
            std::string strHead =
                "HTTP/1.1 " + std::to_string(plan.nStatus) + " " + Reason(plan.nStatus) + "\r\n";
            bool bTyped = false;
            for (const auto& [strName, strValue] : plan.vecHeaders) {
                strHead += strName + ": " + strValue + "\r\n";
                bTyped = bTyped || EqualsNoCase(strName, "Content-Type");
            }
            if (!bTyped && plan.nLength > 0) strHead += "Content-Type: text/plain\r\n";
            strHead += bClose ? "Connection: close\r\n" : "Keep-Alive: timeout=5, max=100000\r\n";
            strHead += "Content-Length: " + std::to_string(plan.nLength) + "\r\n\r\n";
            const size_t nBody = req.strMethod == "HEAD" ? 0 : plan.nLength;
            if (!Send(nFd, strHead.data(), strHead.size()) ||
                (nBody > 0 && !Send(nFd, plan.pBody->data() + plan.nOffset, nBody)) || bClose)
                return;
        }
    }
};

CHttpServer::CHttpServer() : m_pImpl(std::make_unique<IMPL>(*this)) {
    Listen([this](int nFd, size_t) { m_pImpl->Serve(nFd); });
}

CHttpServer::~CHttpServer() {
    Stop();
}

void CHttpServer::SetReply(const std::string& strPath, HTTP_REPLY reply) {
    std::lock_guard<std::mutex> lk(m_mtx);
    m_pImpl->m_mapReplies[strPath] = std::make_shared<const HTTP_REPLY>(std::move(reply));
}

void CHttpServer::SetDefaultReply(HTTP_REPLY reply) {
    std::lock_guard<std::mutex> lk(m_mtx);
    m_pImpl->m_pDefaultReply = std::make_shared<const HTTP_REPLY>(std::move(reply));
}

void CHttpServer::SetReply(int nStatus, std::string strBody) {
    HTTP_REPLY reply;
    reply.nStatus = nStatus;
    reply.strBody = std::move(strBody);
    SetDefaultReply(std::move(reply));
}

void CHttpServer::SetHandler(HttpHandler fnHandler) {
    std::lock_guard<std::mutex> lk(m_mtx);
    m_pImpl->m_fnHandler = std::move(fnHandler);
}

void CHttpServer::SetResource(const std::string& strPath, HTTP_RESOURCE resource) {
    std::lock_guard<std::mutex> lk(m_mtx);
    m_pImpl->m_mapResources[strPath] = std::make_shared<const HTTP_RESOURCE>(std::move(resource));
}

void CHttpServer::SetThrottle(size_t nBytesPerSecond) {
    m_pImpl->m_nThrottle = nBytesPerSecond;
}

void CHttpServer::HoldReplies(bool bHold) {
    {
        std::lock_guard<std::mutex> lk(m_mtx);
        m_pImpl->m_bHold = bHold;
    }
    m_cv.notify_all();
}

void CHttpServer::SetRecording(bool bRecord) {
    m_pImpl->m_bRecord = bRecord;
}

RECORDED_REQUEST CHttpServer::Request(size_t nIndex) const {
    return RequestAt(nIndex);
}

std::vector<RECORDED_REQUEST> CHttpServer::Requests() const {
    std::lock_guard<std::mutex> lk(m_mtx);
    return m_vecRequests;
}

}  // namespace kttest
