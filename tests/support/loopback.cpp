// The loopback servers and the plain client: sockets, the shared listener, the scripted HTTP
// server and the raw one.
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

#include "support/http_server.h"
#include "support/raw_server.h"

// The socket calls where BSD sockets and Winsock differ. A socket is an int on both: a Winsock
// SOCKET is a small handle value, and INVALID_SOCKET narrows to -1.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#define SHUT_WR SD_SEND
#define SHUT_RDWR SD_BOTH
#define MSG_NOSIGNAL 0  // Winsock raises no signal for a closed peer
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace kttest {

namespace net {

namespace {

#ifdef _WIN32
// Winsock is started once per process, before any server or client opens a socket.
[[maybe_unused]] const bool g_bWinsockStarted = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}();

// Sockets are not inherited: a program a test starts must not keep a server's port open.
int NoInherit(SOCKET s) {
    if (s == INVALID_SOCKET) return -1;
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return static_cast<int>(s);
}
int OpenSocket() {
    return NoInherit(::socket(AF_INET, SOCK_STREAM, 0));
}
int AcceptSocket(int nListenFd) {
    return NoInherit(::accept(static_cast<SOCKET>(nListenFd), nullptr, nullptr));
}
// Wakes a thread blocked in accept on the socket; true when that closed the socket. Winsock's
// shutdown does not wake it, only closing does.
bool WakeAccept(int nListenFd) {
    return CloseSocket(nListenFd), true;
}
bool WaitFor(int nFd, short nEvents, int nTimeoutMs) {
    WSAPOLLFD pfd{};
    pfd.fd = static_cast<SOCKET>(nFd);
    pfd.events = nEvents;
    return ::WSAPoll(&pfd, 1, nTimeoutMs) > 0;
}
void SetNonBlocking(int nFd, bool bOn) {
    u_long nOn = bOn ? 1 : 0;
    ::ioctlsocket(static_cast<SOCKET>(nFd), FIONBIO, &nOn);
}
bool WouldBlock() {
    return ::WSAGetLastError() == WSAEWOULDBLOCK;
}
#else
int OpenSocket() {
    return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}
int AcceptSocket(int nListenFd) {
    return ::accept4(nListenFd, nullptr, nullptr, SOCK_CLOEXEC);
}
bool WakeAccept(int nListenFd) {
    return ::shutdown(nListenFd, SHUT_RDWR), false;
}
bool WaitFor(int nFd, short nEvents, int nTimeoutMs) {
    pollfd pfd{nFd, nEvents, 0};
    return ::poll(&pfd, 1, nTimeoutMs) > 0;
}
void SetNonBlocking(int nFd, bool bOn) {
    const int nFlags = ::fcntl(nFd, F_GETFL);
    ::fcntl(nFd, F_SETFL, bOn ? nFlags | O_NONBLOCK : nFlags & ~O_NONBLOCK);
}
bool WouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK;
}
#endif
bool WaitReadable(int nFd, int nTimeoutMs) {
    return WaitFor(nFd, POLLIN, nTimeoutMs);
}

sockaddr_in Loopback(int nPort) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(nPort));
    return addr;
}

// Listening TCP socket on 127.0.0.1 with a port chosen by the system; -1 on failure.
int ListenLoopback(int& nPortOut) {
    nPortOut = 0;
    int nFd = OpenSocket();
    if (nFd < 0) return -1;
    const int nOn = 1;
    ::setsockopt(nFd, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&nOn), sizeof nOn);
    sockaddr_in addr = Loopback(0);
    socklen_t nLen = sizeof addr;
    if (::bind(nFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(nFd, 64) != 0 ||
        ::getsockname(nFd, reinterpret_cast<sockaddr*>(&addr), &nLen) != 0) {
        CloseSocket(nFd);
        return -1;
    }
    nPortOut = ntohs(addr.sin_port);
    return nFd;
}

}  // namespace

int CloseSocket(int nFd) {
#ifdef _WIN32
    return ::closesocket(static_cast<SOCKET>(nFd));
#else
    return ::close(nFd);
#endif
}

int ConnectLoopback(int nPort) {
    const int nFd = OpenSocket();
    const sockaddr_in addr = Loopback(nPort);
    if (::connect(nFd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return nFd;
    if (nFd >= 0) CloseSocket(nFd);
    return -1;
}

int ClosedPort() {
    int nPort = 0;
    CloseSocket(ListenLoopback(nPort));
    return nPort;
}

bool SendAll(int nFd, const char* pData, size_t nSize, const std::function<bool()>& fnStopped) {
    // Written without blocking: under Wine, a blocking send to a peer that closed its end in the
    // middle of a reply may never return, and a server's shutdown of the socket does not wake it.
    SetNonBlocking(nFd, true);
    bool bSent = true;
    while (nSize > 0) {
        const ssize_t nSent = ::send(nFd, pData, nSize, MSG_NOSIGNAL);
        if (nSent >= 0) {
            pData += nSent;
            nSize -= static_cast<size_t>(nSent);
        } else if (!WouldBlock() || (fnStopped && fnStopped())) {
            bSent = false;
            break;
        } else {
            WaitFor(nFd, POLLOUT, 50);  // the stop is looked at again after each wait
        }
    }
    SetNonBlocking(nFd, false);
    return bSent;
}

std::string ReadToEnd(int nFd) {
    std::string strOut;
    char buf[4096];
    for (ssize_t n; WaitReadable(nFd, 60000) && (n = ::recv(nFd, buf, sizeof buf, 0)) > 0;)
        strOut.append(buf, size_t(n));
    return strOut;
}

std::string Exchange(int nPort, const std::string& strSend) {
    const int nFd = ConnectLoopback(nPort);
    if (nFd < 0) return std::string();
    SendAll(nFd, strSend.data(), strSend.size());
    ::shutdown(nFd, SHUT_WR);
    std::string strReply = ReadToEnd(nFd);
    CloseSocket(nFd);
    return strReply;
}

}  // namespace net

struct CLoopbackServer::CONNECTION {
    int nFd;
    std::thread th;
    std::atomic<bool> bDone{false};
};

void CLoopbackServer::Listen(ServeFn fnServe) {
    m_fnServe = std::move(fnServe);
    m_nListenFd = net::ListenLoopback(m_nPort);
    if (m_nListenFd < 0) return;
    m_thAccept = std::thread([this] {
        for (;;) {
            const int nFd = net::AcceptSocket(m_nListenFd);
            if (nFd < 0) {
                if (errno == ECONNABORTED) continue;  // a client gone before the accept
                return;
            }
            // Small scripted writes leave at once.
            const int nOn = 1;
            ::setsockopt(nFd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&nOn),
                         sizeof nOn);
            std::lock_guard<std::mutex> lk(m_mtx);
            if (m_bStopping) {
                net::CloseSocket(nFd);
                return;
            }
            // Finished connections are joined here, so that long tests do not pile up threads.
            std::erase_if(m_vecConns, [](const std::shared_ptr<CONNECTION>& pConn) {
                return pConn->bDone && (pConn->th.join(), true);
            });
            auto pConn = std::make_shared<CONNECTION>();
            pConn->nFd = nFd;
            pConn->th = std::thread([this, pConn, nIndex = m_nAccepted++] {
                m_fnServe(pConn->nFd, nIndex);
                std::lock_guard<std::mutex> lkDone(m_mtx);
                net::CloseSocket(std::exchange(pConn->nFd, -1));
                pConn->bDone = true;
            });
            m_vecConns.push_back(std::move(pConn));
        }
    });
}

bool CLoopbackServer::Send(int nFd, const char* pData, size_t nSize) {
    return net::SendAll(nFd, pData, nSize, [this] {
        std::lock_guard<std::mutex> lk(m_mtx);
        return m_bStopping;
    });
}

void CLoopbackServer::Stop() {
    {
        std::lock_guard<std::mutex> lk(m_mtx);
        m_bStopping = true;
    }
    m_cv.notify_all();
    const bool bClosed = m_nListenFd >= 0 && net::WakeAccept(m_nListenFd);
    if (m_thAccept.joinable()) m_thAccept.join();
    if (m_nListenFd >= 0 && !bClosed) net::CloseSocket(m_nListenFd);
    std::vector<std::shared_ptr<CONNECTION>> vecConns;
    {
        std::lock_guard<std::mutex> lk(m_mtx);
        m_nListenFd = -1;
        for (auto& pConn : m_vecConns)
            if (pConn->nFd >= 0) ::shutdown(pConn->nFd, SHUT_RDWR);
        vecConns.swap(m_vecConns);
    }
    for (auto& pConn : vecConns) pConn->th.join();
}

namespace {

using Clock = std::chrono::steady_clock;

std::string Lower(std::string str) {
    for (char& c : str) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return str;
}

// True when strLine is a header line called strName (case-insensitive).
bool IsHeader(const std::string& strLine, const std::string& strName) {
    return strLine.size() > strName.size() && strLine[strName.size()] == ':' &&
           Lower(strLine.substr(0, strName.size())) == Lower(strName);
}

// The request in recorded bytes: its head, and whatever follows as the body.
RECORDED_REQUEST ParseRequest(const std::string& strBytes) {
    RECORDED_REQUEST req;
    size_t nPos = strBytes.find("\r\n");
    std::istringstream line(strBytes.substr(0, nPos));
    if (nPos == std::string::npos || !(line >> req.strMethod >> req.strTarget >> req.strVersion))
        return RECORDED_REQUEST();
    req.strPath = req.strTarget.substr(0, req.strTarget.find('?'));
    for (size_t nEnd; (nEnd = strBytes.find("\r\n", nPos + 2)) != nPos + 2; nPos = nEnd)
        req.vecHeaderLines.push_back(strBytes.substr(nPos + 2, nEnd - nPos - 2));
    req.strBody = strBytes.substr(nPos + 4);
    return req;
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

// Reads one request's bytes into strOut: its head, then a Content-Length body (no client under
// test sends a chunked one or waits for a 100), left out without bKeepBody. False when the stream
// ends first or the request line is malformed.
bool ReadRequest(READER& in, std::string& strOut, bool bKeepBody) {
    size_t nPos;
    while ((nPos = in.strBuf.find("\r\n\r\n")) == std::string::npos)
        if (!in.Fill()) return false;
    strOut = in.strBuf.substr(0, nPos + 4);
    in.strBuf.erase(0, nPos + 4);
    const RECORDED_REQUEST head = ParseRequest(strOut);
    for (uint64_t nSize = std::strtoull(head.Header("Content-Length").c_str(), nullptr, 10);
         nSize > 0;) {
        if (in.strBuf.empty() && !in.Fill()) return false;
        const size_t nTake = static_cast<size_t>(std::min<uint64_t>(nSize, in.strBuf.size()));
        if (bKeepBody) strOut.append(in.strBuf, 0, nTake);
        in.strBuf.erase(0, nTake);
        nSize -= nTake;
    }
    return !head.strMethod.empty();
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

// True when the client closed before sending a byte: a trial connection (one that only checks
// that the port answers) is no request. A client that stays silent is left to ReadRequest.
bool ClosedUnused(int nFd) {
    char ch = 0;
    return net::WaitReadable(nFd, 3000) && ::recv(nFd, &ch, 1, MSG_PEEK) <= 0;
}

}  // namespace

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
            if (!m_server.Send(nFd, pData + nSent, nTake)) return false;
            nSent += nTake;
            if (nRate > 0 &&
                !WaitUntil(tStart + std::chrono::microseconds(uint64_t{nSent} * 1000000 / nRate)))
                return false;
        }
        return true;
    }

    void Serve(int nFd) {
        READER in{nFd, {}};
        for (std::string strBytes;;) {
            const bool bRecord = m_bRecord;
            if (!ReadRequest(in, strBytes, bRecord)) return;
            if (bRecord) m_server.Record(strBytes);
            const RECORDED_REQUEST req = ParseRequest(strBytes);
            const PLAN plan = Plan(req);
            if (!WaitUntil(Clock::now() + std::chrono::milliseconds(plan.nDelayMs), true)) return;
            // Clients ignore the reason phrase. The system's WinINet asks for a close, and reuses
            // the connection unless the reply says it closes.
            const bool bClose = Lower(req.Header("Connection")) == "close";
            std::string strHead = "HTTP/1.1 " + std::to_string(plan.nStatus) + " Scripted\r\n";
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

RECORDED_REQUEST CHttpServer::Request(size_t nIndex) const {
    return ParseRequest(CLoopbackServer::Request(nIndex));
}

std::vector<RECORDED_REQUEST> CHttpServer::Requests() const {
    std::vector<RECORDED_REQUEST> vecOut(RequestCount());
    for (size_t i = 0; i < vecOut.size(); ++i) vecOut[i] = Request(i);
    return vecOut;
}

void CRawServer::Serve(int nFd, size_t nIndex) {
    const bool bUnused = ClosedUnused(nFd);
    RAW_ACTION action;
    {
        // Actions go to requests in accept order, whichever thread runs first; a connection
        // closed unused takes none and records nothing.
        std::unique_lock<std::mutex> lk(m_mtx);
        m_cv.wait(lk, [&] { return m_nTaken == nIndex; });
        ++m_nTaken;
        m_cv.notify_all();
        if (bUnused) return;
        action = m_defaultAction;
        if (!m_queActions.empty()) {
            action = std::move(m_queActions.front());
            m_queActions.pop_front();
        }
    }
    // On a stream that ends early, whatever arrived.
    READER in{nFd, {}};
    std::string strBytes;
    Record(ReadRequest(in, strBytes, true) ? strBytes : strBytes + in.strBuf);
    if (action.bStall) {
        std::unique_lock<std::mutex> lk(m_mtx);
        m_cv.wait(lk, [this] { return m_bStopping; });
        return;
    }
    Send(nFd, action.strReply.data(), std::min(action.nLimit, action.strReply.size()));
    ::shutdown(nFd, SHUT_WR);  // an orderly end: the client sees EOF after the bytes sent
}

CRawServer::CRawServer() {
    Listen([this](int nFd, size_t nIndex) { Serve(nFd, nIndex); });
}

CRawServer::~CRawServer() {
    Stop();
}

void CRawServer::SetDefaultAction(RAW_ACTION action) {
    std::lock_guard<std::mutex> lk(m_mtx);
    m_defaultAction = std::move(action);
}

void CRawServer::QueueAction(RAW_ACTION action) {
    std::lock_guard<std::mutex> lk(m_mtx);
    m_queActions.push_back(std::move(action));
}

}  // namespace kttest
