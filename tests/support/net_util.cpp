#include "support/net_util.h"

#include <strings.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "support/socket_compat.h"

namespace kttest::net {

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

bool EqualsNoCase(const std::string& strA, const std::string& strB) {
    return strA.size() == strB.size() &&
           ::strncasecmp(strA.c_str(), strB.c_str(), strA.size()) == 0;
}

namespace {

struct CONNECTION {
    int nFd;
    std::thread th;
    std::atomic<bool> bDone{false};
};

}  // namespace

struct CListener::IMPL {
    ServeFn fnServe;
    int nListenFd = -1;
    int nPort = 0;
    std::thread thAccept;
    mutable std::mutex mtx;
    bool bStopping = false;
    size_t nAccepted = 0;
    std::vector<std::shared_ptr<CONNECTION>> vecConns;
    std::mutex mtxStop;

    void AcceptLoop() {
        for (;;) {
            const int nFd = AcceptSocket(nListenFd);
            if (nFd < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                return;
            }
            // Small scripted writes leave at once.
            SetIntOption(nFd, IPPROTO_TCP, TCP_NODELAY, 1);
            std::lock_guard<std::mutex> lk(mtx);
            if (bStopping) {
                CloseSocket(nFd);
                return;
            }
            const size_t nIndex = nAccepted++;
            // Finished connections are joined here, so that long tests do not pile up threads.
            for (auto it = vecConns.begin(); it != vecConns.end();) {
                if ((*it)->bDone) {
                    (*it)->th.join();
                    it = vecConns.erase(it);
                } else {
                    ++it;
                }
            }
            auto pConn = std::make_shared<CONNECTION>();
            pConn->nFd = nFd;
            pConn->th = std::thread([this, pConn, nIndex] {
                fnServe(pConn->nFd, nIndex);
                std::lock_guard<std::mutex> lkDone(mtx);
                CloseSocket(pConn->nFd);
                pConn->nFd = -1;
                pConn->bDone = true;
            });
            vecConns.push_back(std::move(pConn));
        }
    }
};

CListener::CListener(ServeFn fnServe) : m_pImpl(std::make_unique<IMPL>()) {
    m_pImpl->fnServe = std::move(fnServe);
    m_pImpl->nListenFd = ListenLoopback(m_pImpl->nPort);
    if (m_pImpl->nListenFd >= 0) m_pImpl->thAccept = std::thread([this] { m_pImpl->AcceptLoop(); });
}

CListener::~CListener() {
    Stop();
}

bool CListener::IsListening() const {
    std::lock_guard<std::mutex> lk(m_pImpl->mtx);
    return m_pImpl->nListenFd >= 0 && !m_pImpl->bStopping;
}

int CListener::Port() const {
    return m_pImpl->nPort;
}

size_t CListener::ConnectionCount() const {
    std::lock_guard<std::mutex> lk(m_pImpl->mtx);
    return m_pImpl->nAccepted;
}

void CListener::Stop() {
    std::lock_guard<std::mutex> lkStop(m_pImpl->mtxStop);
    {
        std::lock_guard<std::mutex> lk(m_pImpl->mtx);
        m_pImpl->bStopping = true;
    }
    const bool bClosed = m_pImpl->nListenFd >= 0 && WakeAccept(m_pImpl->nListenFd);
    if (m_pImpl->thAccept.joinable()) m_pImpl->thAccept.join();
    if (m_pImpl->nListenFd >= 0 && !bClosed) CloseSocket(m_pImpl->nListenFd);
    std::vector<std::shared_ptr<CONNECTION>> vecConns;
    {
        std::lock_guard<std::mutex> lk(m_pImpl->mtx);
        m_pImpl->nListenFd = -1;
        for (auto& pConn : m_pImpl->vecConns)
            if (pConn->nFd >= 0) ::shutdown(pConn->nFd, SHUT_RDWR);
        vecConns.swap(m_pImpl->vecConns);
    }
    for (auto& pConn : vecConns) pConn->th.join();
}

}  // namespace kttest::net
