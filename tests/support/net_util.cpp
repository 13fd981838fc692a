#include "support/net_util.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>

#include "support/http_server.h"
#include "support/socket_compat.h"

namespace kttest {

namespace net {

int ListenLoopback(int& nPortOut) {
    nPortOut = 0;
    int nFd = OpenSocket();
    if (nFd < 0) return -1;
    SetIntOption(nFd, SOL_SOCKET, SO_REUSEADDR, 1);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
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

int ConnectLoopback(int nPort) {
    int nFd = OpenSocket();
    if (nFd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(nPort));
    int nRc;
    do {
        nRc = ::connect(nFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } while (nRc != 0 && errno == EINTR);
    if (nRc != 0) {
        CloseSocket(nFd);
        return -1;
    }
    return nFd;
}

bool SendAll(int nFd, const char* pData, size_t nSize) {
    while (nSize > 0) {
        ssize_t nSent = ::send(nFd, pData, nSize, MSG_NOSIGNAL);
        if (nSent < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        pData += nSent;
        nSize -= static_cast<size_t>(nSent);
    }
    return true;
}

std::string ReadToEnd(int nFd) {
    SetReceiveTimeout(nFd, 60);
    std::string strOut;
    char buf[4096];
    for (ssize_t n; (n = ::recv(nFd, buf, sizeof buf, 0)) > 0;) strOut.append(buf, size_t(n));
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

namespace {

struct CONNECTION {
    int nFd;
    std::thread th;
    std::atomic<bool> bDone{false};
};

}  // namespace

template <class REQUEST>
struct CLoopbackServer<REQUEST>::LISTENER {
    ServeFn fnServe;
    int nListenFd = -1;
    int nPort = 0;
    std::thread thAccept;
    size_t nAccepted = 0;  // guarded by the server's mutex, as are the connections
    std::vector<std::shared_ptr<CONNECTION>> vecConns;
    std::mutex mtxStop;
};

template <class REQUEST>
CLoopbackServer<REQUEST>::CLoopbackServer() : m_pListener(std::make_unique<LISTENER>()) {}

template <class REQUEST>
CLoopbackServer<REQUEST>::~CLoopbackServer() {
    Stop();
}

template <class REQUEST>
void CLoopbackServer<REQUEST>::Listen(ServeFn fnServe) {
    LISTENER& l = *m_pListener;
    l.fnServe = std::move(fnServe);
    l.nListenFd = net::ListenLoopback(l.nPort);
    if (l.nListenFd < 0) return;
    l.thAccept = std::thread([this, &l] {
        for (;;) {
            const int nFd = net::AcceptSocket(l.nListenFd);
            if (nFd < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                return;
            }
            // Small scripted writes leave at once.
            net::SetIntOption(nFd, IPPROTO_TCP, TCP_NODELAY, 1);
            std::lock_guard<std::mutex> lk(m_mtx);
            if (m_bStopping) {
                net::CloseSocket(nFd);
                return;
            }
            // Finished connections are joined here, so that long tests do not pile up threads.
            std::erase_if(l.vecConns, [](const std::shared_ptr<CONNECTION>& pConn) {
                return pConn->bDone && (pConn->th.join(), true);
            });
            auto pConn = std::make_shared<CONNECTION>();
            pConn->nFd = nFd;
            pConn->th = std::thread([this, &l, pConn, nIndex = l.nAccepted++] {
                l.fnServe(pConn->nFd, nIndex);
                std::lock_guard<std::mutex> lkDone(m_mtx);
                net::CloseSocket(std::exchange(pConn->nFd, -1));
                pConn->bDone = true;
            });
            l.vecConns.push_back(std::move(pConn));
        }
    });
}

template <class REQUEST>
bool CLoopbackServer<REQUEST>::IsRunning() const {
    std::lock_guard<std::mutex> lk(m_mtx);
    return m_pListener->nListenFd >= 0 && !m_bStopping;
}

template <class REQUEST>
int CLoopbackServer<REQUEST>::Port() const {
    return m_pListener->nPort;
}

template <class REQUEST>
std::string CLoopbackServer<REQUEST>::Url(const std::string& strPath) const {
    return "http://127.0.0.1:" + std::to_string(Port()) + strPath;
}

template <class REQUEST>
void CLoopbackServer<REQUEST>::Stop() {
    LISTENER& l = *m_pListener;
    std::lock_guard<std::mutex> lkStop(l.mtxStop);
    {
        std::lock_guard<std::mutex> lk(m_mtx);
        m_bStopping = true;
    }
    m_cv.notify_all();
    const bool bClosed = l.nListenFd >= 0 && net::WakeAccept(l.nListenFd);
    if (l.thAccept.joinable()) l.thAccept.join();
    if (l.nListenFd >= 0 && !bClosed) net::CloseSocket(l.nListenFd);
    std::vector<std::shared_ptr<CONNECTION>> vecConns;
    {
        std::lock_guard<std::mutex> lk(m_mtx);
        l.nListenFd = -1;
        for (auto& pConn : l.vecConns)
            if (pConn->nFd >= 0) ::shutdown(pConn->nFd, SHUT_RDWR);
        vecConns.swap(l.vecConns);
    }
    for (auto& pConn : vecConns) pConn->th.join();
}

template <class REQUEST>
size_t CLoopbackServer<REQUEST>::RequestCount() const {
    std::lock_guard<std::mutex> lk(m_mtx);
    return m_vecRequests.size();
}

template <class REQUEST>
bool CLoopbackServer<REQUEST>::WaitForRequests(size_t nCount, int nTimeoutMs) const {
    std::unique_lock<std::mutex> lk(m_mtx);
    return m_cv.wait_for(lk, std::chrono::milliseconds(nTimeoutMs),
                         [&] { return m_vecRequests.size() >= nCount; });
}

template <class REQUEST>
size_t CLoopbackServer<REQUEST>::ConnectionCount() const {
    std::lock_guard<std::mutex> lk(m_mtx);
    return m_pListener->nAccepted;
}

template <class REQUEST>
void CLoopbackServer<REQUEST>::Record(REQUEST request) {
    {
        std::lock_guard<std::mutex> lk(m_mtx);
        m_vecRequests.push_back(std::move(request));
    }
    m_cv.notify_all();
}

template class CLoopbackServer<RECORDED_REQUEST>;
template class CLoopbackServer<std::string>;

}  // namespace kttest
