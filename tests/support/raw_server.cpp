#include "support/raw_server.h"

#include <algorithm>
#include <deque>
#include <mutex>

#include "support/http_server.h"
#include "support/socket_compat.h"

namespace kttest {

namespace {

// True when the client closed before sending a byte: a trial connection (one that only checks
// that the port answers) is no request. A client that stays silent is left to ReadRequest.
bool ClosedUnused(int nFd) {
    char ch = 0;
    return net::WaitReadable(nFd, 3000) && ::recv(nFd, &ch, 1, MSG_PEEK) <= 0;
}

}  // namespace

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
    Record(ReadRequestBytes(nFd));
    if (action.bStall) {
        std::unique_lock<std::mutex> lk(m_mtx);
        m_cv.wait(lk, [this] { return m_bStopping; });
        return;
    }
    net::SendAll(nFd, action.strReply.data(), std::min(action.nLimit, action.strReply.size()));
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
