#include "support/net_util.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <thread>
#include <utility>

#include "support/http_server.h"
#include "support/socket_compat.h"

namespace kttest {

namespace net {

namespace {

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
    SetIntOption(nFd, SOL_SOCKET, SO_REUSEADDR, 1);
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

bool SendAll(int nFd, const char* pData, size_t nSize) {
    while (nSize > 0) {
        const ssize_t nSent = ::send(nFd, pData, nSize, MSG_NOSIGNAL);
        if (nSent < 0) return false;
        pData += nSent;
        nSize -= static_cast<size_t>(nSent);
    }
    return true;
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

std::string Lower(std::string str) {
    for (char& c : str) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return str;
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
    std::thread thAccept;
    std::vector<std::shared_ptr<CONNECTION>> vecConns;  // guarded by the server's mutex
};

template <class REQUEST>
CLoopbackServer<REQUEST>::CLoopbackServer() : m_pListener(std::make_unique<LISTENER>()) {}

// The derived servers stop first: their serve functions use their members.
template <class REQUEST>
CLoopbackServer<REQUEST>::~CLoopbackServer() = default;

template <class REQUEST>
void CLoopbackServer<REQUEST>::Listen(ServeFn fnServe) {
    LISTENER& l = *m_pListener;
    l.fnServe = std::move(fnServe);
    l.nListenFd = net::ListenLoopback(m_nPort);
    if (l.nListenFd < 0) return;
    l.thAccept = std::thread([this, &l] {
        for (;;) {
            const int nFd = net::AcceptSocket(l.nListenFd);
            if (nFd < 0) {
                if (errno == ECONNABORTED) continue;  // a client gone before the accept
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
            pConn->th = std::thread([this, &l, pConn, nIndex = m_nAccepted++] {
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
void CLoopbackServer<REQUEST>::Stop() {
    LISTENER& l = *m_pListener;
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

template class CLoopbackServer<RECORDED_REQUEST>;
template class CLoopbackServer<std::string>;

}  // namespace kttest
