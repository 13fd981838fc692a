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

void CallOwner(IHttpReporter* pOwner, UINT uMsg, long nId, LPARAM lParam, uint32_t dwStatus);

STATUSINFO* FindLocked(long nId) {
    INET_POOL_STATE& pool = GetInetPoolState();
    auto it = pool.mapInfo.find(nId);
    return it == pool.mapInfo.end() ? nullptr : it->second;
}

}  // namespace

void CHttpStatusMgr::ReportStatus(long nId, long nCode) {
    INET_STATUS_CALLBACK pfn = nullptr;
    {
        CAutoLock lock(GetInetPoolState().csTable);
        STATUSINFO* pInfo = FindLocked(nId);
        if (pInfo == nullptr) return;
        pfn = pInfo->m_pfnStatus;
    }
    if (pfn != nullptr) pfn(nId, nCode);
}

void CHttpStatusMgr::ReportProgress(long nId, long nStage, long nValue) {
    INET_PROGRESS_CALLBACK pfn = nullptr;
    {
        CAutoLock lock(GetInetPoolState().csTable);
        STATUSINFO* pInfo = FindLocked(nId);
        if (pInfo == nullptr) return;
        pfn = pInfo->m_pfnProgress;
    }
    if (pfn != nullptr) pfn(nId, nStage, nValue);
}

void CHttpStatusMgr::ReportCancelled(long) {}

void CHttpStatusMgr::ReportFinished(long nId) {
    // Posting does not wait, so the message goes out under the lock, with the reply it announces.
    CAutoLock lock(GetInetPoolState().csTable);
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
    IHttpReporter* pOwner = nullptr;
    uint32_t dwStatus = 0;
    {
        // The record is found by id, never through lParam: it may have been deleted since the
        // post. The owner is called after the lock is let go; the call count keeps a deleter on
        // another thread from freeing the record (and its owner) while the call runs.
        CAutoLock lock(GetInetPoolState().csTable);
        STATUSINFO* pInfo = FindLocked(nId);
        if (pInfo == nullptr || pInfo->m_pOwner == nullptr) return 0;
        pOwner = pInfo->m_pOwner;
        if (pInfo->m_pAsyncHttp) dwStatus = pInfo->m_pAsyncHttp->GetStatus();
        ++pInfo->m_nOwnerCalls;
    }
    CallOwner(pOwner, uMsg, nId, lParam, dwStatus);
    CAutoLock lock(GetInetPoolState().csTable);
    // Gone when the owner deleted it from inside the call (the only deleter that does not wait).
    if (STATUSINFO* pInfo = FindLocked(nId); pInfo != nullptr && --pInfo->m_nOwnerCalls == 0)
        GetInetPoolState().cvOwnerCalls.notify_all();
    return 0;
}

namespace {

void CallOwner(IHttpReporter* pOwner, UINT uMsg, long nId, LPARAM lParam, uint32_t dwStatus) {
    switch (uMsg) {
        case WM_INET_USER_MESSAGE:
            pOwner->OnRequestMessage(nId, static_cast<int32_t>(lParam));
            break;
        case WM_INET_REQUEST_FINISHED:
            pOwner->OnRequestFinished(nId);
            break;
        default:
            pOwner->OnRequestFailed(nId, static_cast<int32_t>(dwStatus));
            break;
    }
}

}  // namespace
