#include "support/http_server.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <sstream>

#include "support/net_util.h"
#include "support/socket_compat.h"

namespace kttest {

namespace {

using Clock = std::chrono::steady_clock;

// True when strLine is a header line called strName (case-insensitive).
bool IsHeader(const std::string& strLine, const std::string& strName) {
    return strLine.size() > strName.size() && strLine[strName.size()] == ':' &&
           net::Lower(strLine.substr(0, strName.size())) == net::Lower(strName);
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

// A range is served in the one form the transfer engine asks for, "bytes=first-last" inside the
// file; any other Range gets the whole file, as a server that ignores it would send.
PLAN FromResource(const RECORDED_REQUEST& req, std::shared_ptr<const HTTP_RESOURCE> pRes) {
    PLAN plan;
    if (!pRes->strLastModified.empty())
        plan.vecHeaders.emplace_back("Last-Modified", pRes->strLastModified);
    const size_t nTotal = pRes->strData.size();
    plan.pBody = std::shared_ptr<const std::string>(pRes, &pRes->strData);
    plan.nLength = nTotal;
    unsigned long long nFirst = 0, nLast = 0;
    char chMore = 0;
    if (pRes->bRanges &&
        std::sscanf(req.Header("Range").c_str(), "bytes=%llu-%llu%c", &nFirst, &nLast, &chMore) ==
            2 &&
        nFirst <= nLast && nLast < nTotal) {
        plan.nStatus = 206;
        plan.vecHeaders.emplace_back("Content-Range", "bytes " + std::to_string(nFirst) + "-" +
                                                          std::to_string(nLast) + "/" +
                                                          std::to_string(nTotal));
        plan.nOffset = static_cast<size_t>(nFirst);
        plan.nLength = static_cast<size_t>(nLast - nFirst + 1);
    }
    return plan;
}

// Blocking buffered reads from one connection: strBuf holds what was received but not taken.
struct READER {
    int nFd;
    std::string strBuf;
    bool Fill() {
        char buf[65536];
        const ssize_t n = ::recv(nFd, buf, sizeof buf, 0);
        if (n > 0) strBuf.append(buf, static_cast<size_t>(n));
        return n > 0;
    }
};

// Reads one request: its head (into strHead as it came), then a Content-Length body (no client
// under test sends a chunked one or waits for a 100). False when the stream ends first or the
// request line is malformed.
bool ReadRequest(READER& in, RECORDED_REQUEST& req, bool bKeepBody, std::string& strHead) {
    size_t nPos;
    while ((nPos = in.strBuf.find("\r\n\r\n")) == std::string::npos)
        if (!in.Fill()) return false;
    strHead = in.strBuf.substr(0, nPos + 4);
    in.strBuf.erase(0, nPos + 4);
    nPos = strHead.find("\r\n");
    std::istringstream line(strHead.substr(0, nPos));
    if (!(line >> req.strMethod >> req.strTarget >> req.strVersion)) return false;
    req.strPath = req.strTarget.substr(0, req.strTarget.find('?'));
    for (size_t nEnd; (nEnd = strHead.find("\r\n", nPos + 2)) != nPos + 2; nPos = nEnd)
        req.vecHeaderLines.push_back(strHead.substr(nPos + 2, nEnd - nPos - 2));
    for (uint64_t nSize = std::strtoull(req.Header("Content-Length").c_str(), nullptr, 10);
         nSize > 0;) {
        if (in.strBuf.empty() && !in.Fill()) return false;
        const size_t nTake = static_cast<size_t>(std::min<uint64_t>(nSize, in.strBuf.size()));
        if (bKeepBody) req.strBody.append(in.strBuf, 0, nTake);
        in.strBuf.erase(0, nTake);
        nSize -= nTake;
    }
    return true;
}

}  // namespace

std::string ReadRequestBytes(int nFd) {
    READER in{nFd, {}};
    RECORDED_REQUEST req;
    std::string strHead;
    const bool bWhole = ReadRequest(in, req, true, strHead);
    return strHead + req.strBody + (bWhole ? std::string() : in.strBuf);
}

std::string RECORDED_REQUEST::Header(const std::string& strName) const {
    for (const std::string& strLine : vecHeaderLines) {
        if (!IsHeader(strLine, strName)) continue;
        const size_t nStart = strLine.find_first_not_of(" \t", strName.size() + 1);
        return nStart == std::string::npos
                   ? std::string()
                   : strLine.substr(nStart, strLine.find_last_not_of(" \t") - nStart + 1);
    }
    return std::string();
}

size_t RECORDED_REQUEST::HeaderCount(const std::string& strName) const {
    return static_cast<size_t>(
        std::count_if(vecHeaderLines.begin(), vecHeaderLines.end(),
                      [&](const std::string& s) { return IsHeader(s, strName); }));
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

    // Sends in slices of a twentieth of the throttle rate, each when the budget allows it.
    bool Send(int nFd, const char* pData, size_t nSize) {
        const size_t nRate = m_nThrottle.load();
        const size_t nSlice = nRate == 0 ? nSize : std::max<size_t>(1, nRate / 20);
        const auto tStart = Clock::now();
        for (size_t nSent = 0; nSent < nSize;) {
            const size_t nTake = std::min(nSlice, nSize - nSent);
            if (!net::SendAll(nFd, pData + nSent, nTake)) return false;
            nSent += nTake;
            if (nRate > 0 &&
                !WaitUntil(tStart + std::chrono::microseconds(uint64_t{nSent} * 1000000 / nRate)))
                return false;
        }
        return true;
    }

    void Serve(int nFd) {
        READER in{nFd, {}};
        for (;;) {
            RECORDED_REQUEST req;
            std::string strHead;
            const bool bRecord = m_bRecord;
            if (!ReadRequest(in, req, bRecord, strHead)) return;
            if (bRecord) m_server.Record(req);
            const PLAN plan = Plan(req);
            if (!WaitUntil(Clock::now() + std::chrono::milliseconds(plan.nDelayMs), true)) return;
            // Clients ignore the reason phrase. The system's WinINet asks for a close, and reuses
            // the connection unless the reply says it closes.
            const bool bClose = net::Lower(req.Header("Connection")) == "close";
            strHead = "HTTP/1.1 " + std::to_string(plan.nStatus) + " Scripted\r\n";
            for (const auto& [strName, strValue] : plan.vecHeaders)
                strHead += strName + ": " + strValue + "\r\n";
            strHead += bClose ? "Connection: close\r\n" : "";
            strHead += "Content-Length: " + std::to_string(plan.nLength) + "\r\n\r\n";
            if (!Send(nFd, strHead.data(), strHead.size()) ||
                !Send(nFd, plan.pBody->data() + plan.nOffset, plan.nLength) || bClose)
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
    SetDefaultReply(HTTP_REPLY{nStatus, {}, std::move(strBody)});
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

std::vector<RECORDED_REQUEST> CHttpServer::Requests() const {
    std::lock_guard<std::mutex> lk(m_mtx);
    return m_vecRequests;
}

}  // namespace kttest
