#include "inet/httpstatusmgr.h"

#include <cstring>

#include "platform/trace.h"

using namespace kt;

INET_POOL_STATE& GetInetPoolState() {
    // Never destroyed: request threads may still look at it while static objects go away.
    static INET_POOL_STATE* s_pState = new INET_POOL_STATE;
    return *s_pState;
}

STATUSINFO::~STATUSINFO() {
    if (m_pAsyncHttp) {
        m_pAsyncHttp->Close();
        KT_TRACE("m_pAsyncHttp: %p  length:%d  Deleted.\n", static_cast<void*>(m_pAsyncHttp.get()),
                 static_cast<int>(sizeof(CAsyncHttp)));
        m_pAsyncHttp.reset();
    }
    // The request's threads ended before the record was let go; joining here only tidies up.
    m_vecThreads.clear();
}

namespace {

bool IsTornDown(long nId) {
    INET_POOL_STATE& pool = GetInetPoolState();
    if (pool.bStopping.load()) return true;
    std::lock_guard<std::mutex> lock(pool.mutexDeleting);
    return pool.setDeleting.count(nId) != 0;
}

// The table lock for a report made on one of the request's own threads. Whoever deletes the
// request may hold the lock while it waits for these threads, so the report gives up once the
// request is being torn down.
bool LockForReport(std::unique_lock<CCriticalSection>& lock, long nId) {
    lock = std::unique_lock<CCriticalSection>(GetInetPoolState().csTable, std::defer_lock);
    for (;;) {
        if (lock.try_lock()) return true;
        if (IsTornDown(nId)) return false;
        SleepMs(1);
    }
}

STATUSINFO* FindLocked(long nId) {
    INET_POOL_STATE& pool = GetInetPoolState();
    auto it = pool.mapInfo.find(nId);
    return it == pool.mapInfo.end() ? nullptr : it->second;
}

}  // namespace

void CHttpStatusMgr::ReportStatus(long nId, long nCode) {
    std::unique_lock<CCriticalSection> lock;
    if (!LockForReport(lock, nId)) return;
    STATUSINFO* pInfo = FindLocked(nId);
    if (pInfo == nullptr) return;
    INET_STATUS_CALLBACK pfn = pInfo->m_pfnStatus;
    lock.unlock();
    if (pfn != nullptr) pfn(nId, nCode);
}

void CHttpStatusMgr::ReportProgress(long nId, long nStage, long nValue) {
    std::unique_lock<CCriticalSection> lock;
    if (!LockForReport(lock, nId)) return;
    STATUSINFO* pInfo = FindLocked(nId);
    if (pInfo == nullptr) return;
    INET_PROGRESS_CALLBACK pfn = pInfo->m_pfnProgress;
    lock.unlock();
    if (pfn != nullptr) pfn(nId, nStage, nValue);
}

void CHttpStatusMgr::ReportCancelled(long) {}

void CHttpStatusMgr::ReportFinished(long nId) {
    std::unique_lock<CCriticalSection> lock;
    if (!LockForReport(lock, nId)) return;
    STATUSINFO* pInfo = FindLocked(nId);
    if (pInfo == nullptr || pInfo->m_pOwner == nullptr || !pInfo->m_pAsyncHttp) return;
    const std::string strData = pInfo->m_pAsyncHttp->CopyData();
    {
        CAutoLock lockReply(pInfo->m_csReply);
        const int nLength = static_cast<int>(strData.size());
        if (nLength > pInfo->m_nReplyCapacity) {
            const int nCapacity = (nLength / 1024 + 1) * 1024;
            std::unique_ptr<char[]> pNew(new char[nCapacity]);
            std::memset(pNew.get(), 0, nCapacity);
            pInfo->m_pReply = std::move(pNew);
            pInfo->m_nReplyCapacity = nCapacity;
        }
        if (nLength > 0) std::memcpy(pInfo->m_pReply.get(), strData.data(), nLength);
        pInfo->m_nReplyLength = nLength;
    }
    const uint32_t dwStatus = pInfo->m_pAsyncHttp->GetStatus();
    PostMessage(GetInetPoolState().hWnd.load(),
                dwStatus > 0 ? WM_INET_REQUEST_FAILED : WM_INET_REQUEST_FINISHED,
                static_cast<WPARAM>(nId), reinterpret_cast<LPARAM>(pInfo));
}

LRESULT CHttpStatusMgr::WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg != WM_INET_USER_MESSAGE && uMsg != WM_INET_REQUEST_FINISHED &&
        uMsg != WM_INET_REQUEST_FAILED)
        return DefWindowProc(hWnd, uMsg, wParam, lParam);
    const long nId = static_cast<long>(wParam);
    // The record is found by id, never through lParam: it may have been deleted since the post.
    CAutoLock lock(GetInetPoolState().csTable);
    STATUSINFO* pInfo = FindLocked(nId);
    if (pInfo == nullptr || pInfo->m_pOwner == nullptr) return 0;
    switch (uMsg) {
        case WM_INET_USER_MESSAGE:
            pInfo->m_pOwner->OnRequestMessage(nId, static_cast<int32_t>(lParam));
            break;
        case WM_INET_REQUEST_FINISHED:
            pInfo->m_pOwner->OnRequestFinished(nId);
            break;
        default: {
            const uint32_t dwStatus = pInfo->m_pAsyncHttp ? pInfo->m_pAsyncHttp->GetStatus() : 0;
            pInfo->m_pOwner->OnRequestFailed(nId, static_cast<int32_t>(dwStatus));
            break;
        }
    }
    return 0;
}
