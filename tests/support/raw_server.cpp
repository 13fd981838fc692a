#include "support/raw_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

#include "support/net_util.h"

namespace kttest {

namespace {

using Clock = std::chrono::steady_clock;

// How long a connection waits for the rest of a request before taking what it has.
constexpr int kReadTimeoutMs = 3000;

// Declared length of the body in a request head, 0 when none is given.
size_t ContentLength(const std::string& strHead) {
    size_t nPos = 0;
    while ((nPos = strHead.find("\r\n", nPos)) != std::string::npos) {
        nPos += 2;
        size_t nColon = strHead.find(':', nPos);
        size_t nEol = strHead.find("\r\n", nPos);
        if (nColon == std::string::npos || (nEol != std::string::npos && nColon > nEol)) continue;
        if (net::EqualsNoCase(strHead.substr(nPos, nColon - nPos), "Content-Length"))
            return static_cast<size_t>(std::strtoull(strHead.c_str() + nColon + 1, nullptr, 10));
    }
    return 0;
}

}  // namespace

RAW_ACTION RAW_ACTION::Close() {
    RAW_ACTION a;
    a.eKind = EKind::kClose;
    return a;
}

RAW_ACTION RAW_ACTION::CloseAfterRequest() {
    RAW_ACTION a;
    a.eKind = EKind::kCloseAfterRequest;
    return a;
}

RAW_ACTION RAW_ACTION::Stall() {
    return RAW_ACTION();
}

RAW_ACTION RAW_ACTION::Reply(std::string strBytes) {
    RAW_ACTION a;
    a.eKind = EKind::kReply;
    a.strReply = std::move(strBytes);
    return a;
}

RAW_ACTION RAW_ACTION::Drop(std::string strBytes, size_t nBytes) {
    RAW_ACTION a = Reply(std::move(strBytes));
    a.nLimit = nBytes;
    return a;
}

struct RAW_CONNECTION {
    int nFd = -1;
    std::thread thConn;
    std::atomic<bool> bDone{false};
};

struct CRawServer::IMPL {
    mutable std::mutex m_mtx;
    mutable std::condition_variable m_cv;
    bool m_bStopping = false;
    bool m_bRunning = false;
    RAW_ACTION m_defaultAction;
    std::deque<RAW_ACTION> m_queActions;
    std::vector<std::string> m_vecRequests;
    size_t m_nConnections = 0;
    std::vector<std::shared_ptr<RAW_CONNECTION>> m_vecConns;

    std::mutex m_mtxStop;
    int m_nListenFd = -1;
    int m_nPort = 0;
    std::thread m_thAccept;

    bool Stopping() const {
        std::lock_guard<std::mutex> lk(m_mtx);
        return m_bStopping;
    }

    void AcceptLoop() {
        for (;;) {
            int nFd = ::accept4(m_nListenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (nFd < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                return;
            }
            std::lock_guard<std::mutex> lk(m_mtx);
            if (m_bStopping) {
                ::close(nFd);
                return;
            }
            ++m_nConnections;
            RAW_ACTION action = m_defaultAction;
            if (!m_queActions.empty()) {
                action = std::move(m_queActions.front());
                m_queActions.pop_front();
            }
            for (auto it = m_vecConns.begin(); it != m_vecConns.end();) {
                if ((*it)->bDone) {
                    (*it)->thConn.join();
                    it = m_vecConns.erase(it);
                } else {
                    ++it;
                }
            }
            auto pConn = std::make_shared<RAW_CONNECTION>();
            pConn->nFd = nFd;
            pConn->thConn = std::thread([this, pConn, action] { Serve(pConn, action); });
            m_vecConns.push_back(pConn);
        }
    }

    // Reads one request head and its Content-Length body; returns the bytes read.
    std::string ReadRequest(int nFd) {
        std::string strData;
        size_t nWant = std::string::npos;
        const auto tDeadline = Clock::now() + std::chrono::milliseconds(kReadTimeoutMs);
        char buf[8192];
        while (strData.size() < nWant && !Stopping()) {
            auto nLeft =
                std::chrono::duration_cast<std::chrono::milliseconds>(tDeadline - Clock::now());
            if (nLeft.count() <= 0) break;
            pollfd pfd{nFd, POLLIN, 0};
            int nReady = ::poll(&pfd, 1, static_cast<int>(std::min<int64_t>(nLeft.count(), 100)));
            if (nReady < 0 && errno != EINTR) break;
            if (nReady <= 0) continue;
            ssize_t n = ::recv(nFd, buf, sizeof buf, 0);
            if (n <= 0) break;
            strData.append(buf, static_cast<size_t>(n));
            if (nWant == std::string::npos) {
                size_t nEnd = strData.find("\r\n\r\n");
                if (nEnd != std::string::npos)
                    nWant = nEnd + 4 + ContentLength(strData.substr(0, nEnd + 2));
            }
        }
        return strData;
    }

    void Serve(const std::shared_ptr<RAW_CONNECTION>& pConn, const RAW_ACTION& action) {
        const int nFd = pConn->nFd;
        if (action.eKind != RAW_ACTION::EKind::kClose) {
            std::string strRequest = ReadRequest(nFd);
            {
                std::lock_guard<std::mutex> lk(m_mtx);
                m_vecRequests.push_back(std::move(strRequest));
            }
            // Waiters re-check under the lock.
            m_cv.notify_all();
        }
        if (action.eKind == RAW_ACTION::EKind::kStall) {
            std::unique_lock<std::mutex> lk(m_mtx);
            m_cv.wait(lk, [this] { return m_bStopping; });
        } else if (action.eKind == RAW_ACTION::EKind::kReply) {
            bool bGo = true;
            if (action.nDelayMs > 0) {
                std::unique_lock<std::mutex> lk(m_mtx);
                bGo = !m_cv.wait_for(lk, std::chrono::milliseconds(action.nDelayMs),
                                     [this] { return m_bStopping; });
            }
            if (bGo) {
                net::SetNoDelay(nFd);
                size_t nSend = std::min(action.nLimit, action.strReply.size());
                net::SendAll(nFd, action.strReply.data(), nSend);
            }
        }
        std::lock_guard<std::mutex> lk(m_mtx);
        if (action.bReset) {
            net::SetAbortiveClose(nFd);
        } else {
            // An orderly end: the client sees EOF after the bytes sent.
            ::shutdown(nFd, SHUT_WR);
        }
        ::close(nFd);
        pConn->nFd = -1;
        pConn->bDone = true;
    }

    void Stop() {
        std::lock_guard<std::mutex> lkStop(m_mtxStop);
        {
            std::lock_guard<std::mutex> lk(m_mtx);
            m_bStopping = true;
            m_bRunning = false;
        }
        // Stalled connections wait on the flag.
        m_cv.notify_all();
        if (m_nListenFd >= 0) ::shutdown(m_nListenFd, SHUT_RDWR);
        if (m_thAccept.joinable()) m_thAccept.join();
        if (m_nListenFd >= 0) ::close(m_nListenFd);
        m_nListenFd = -1;
        std::vector<std::shared_ptr<RAW_CONNECTION>> vecConns;
        {
            std::lock_guard<std::mutex> lk(m_mtx);
            for (auto& pConn : m_vecConns)
                if (pConn->nFd >= 0) ::shutdown(pConn->nFd, SHUT_RDWR);
            vecConns.swap(m_vecConns);
        }
        for (auto& pConn : vecConns)
            if (pConn->thConn.joinable()) pConn->thConn.join();
    }
};

CRawServer::CRawServer() : m_pImpl(std::make_unique<IMPL>()) {
    m_pImpl->m_nListenFd = net::ListenLoopback(m_pImpl->m_nPort);
    if (m_pImpl->m_nListenFd < 0) return;
    m_pImpl->m_bRunning = true;
    m_pImpl->m_thAccept = std::thread([this] { m_pImpl->AcceptLoop(); });
}

CRawServer::~CRawServer() {
    Stop();
}

bool CRawServer::IsRunning() const {
    std::lock_guard<std::mutex> lk(m_pImpl->m_mtx);
    return m_pImpl->m_bRunning;
}

int CRawServer::Port() const {
    return m_pImpl->m_nPort;
}

std::string CRawServer::Url(const std::string& strPath) const {
    return "http://127.0.0.1:" + std::to_string(m_pImpl->m_nPort) + strPath;
}

void CRawServer::Stop() {
    m_pImpl->Stop();
}

void CRawServer::SetDefaultAction(RAW_ACTION action) {
    std::lock_guard<std::mutex> lk(m_pImpl->m_mtx);
    m_pImpl->m_defaultAction = std::move(action);
}

void CRawServer::QueueAction(RAW_ACTION action) {
    std::lock_guard<std::mutex> lk(m_pImpl->m_mtx);
    m_pImpl->m_queActions.push_back(std::move(action));
}

size_t CRawServer::RequestCount() const {
    std::lock_guard<std::mutex> lk(m_pImpl->m_mtx);
    return m_pImpl->m_vecRequests.size();
}

std::string CRawServer::Request(size_t nIndex) const {
    std::lock_guard<std::mutex> lk(m_pImpl->m_mtx);
    return nIndex < m_pImpl->m_vecRequests.size() ? m_pImpl->m_vecRequests[nIndex] : std::string();
}

bool CRawServer::WaitForRequests(size_t nCount, int nTimeoutMs) const {
    std::unique_lock<std::mutex> lk(m_pImpl->m_mtx);
    return m_pImpl->m_cv.wait_for(lk, std::chrono::milliseconds(nTimeoutMs),
                                  [&] { return m_pImpl->m_vecRequests.size() >= nCount; });
}

size_t CRawServer::ConnectionCount() const {
    std::lock_guard<std::mutex> lk(m_pImpl->m_mtx);
    return m_pImpl->m_nConnections;
}

}  // namespace kttest
