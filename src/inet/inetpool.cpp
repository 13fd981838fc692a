#include "inet/inetpool.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "datatable/replyreader.h"
#include "platform/codepage.h"
#include "platform/trace.h"

using namespace kt;

namespace {

constexpr char16_t kDefaultProbeUrl[] = u"http://www.people.com.cn/images/img/index/logo_16682.gif";

std::mutex g_mutexProbe;
std::u16string g_strProbeUrl;

bool HavePool() {
    INET_POOL_STATE& pool = GetInetPoolState();
    CAutoLock lock(pool.csTable);
    return pool.pManager != nullptr;
}

STATUSINFO* FindLocked(long nId) {
    INET_POOL_STATE& pool = GetInetPoolState();
    auto it = pool.mapInfo.find(nId);
    if (it == pool.mapInfo.end()) {
        KT_DEBUG_ASSERT(it != pool.mapInfo.end());
        return nullptr;
    }
    return it->second;
}

bool OnWindowThread() {
    return GetInetPoolState().idWindowThread.load() == std::this_thread::get_id();
}

// The opening every function on one request shares: under the table lock, fnLocked runs on the
// record; noPool is the answer without a pool, noRecord the answer for an unknown id.
template <typename RESULT, typename FN>
RESULT WithRecord(long nId, RESULT noPool, RESULT noRecord, FN fnLocked) {
    INET_POOL_STATE& pool = GetInetPoolState();
    CAutoLock lock(pool.csTable);
    if (pool.pManager == nullptr) return noPool;
    STATUSINFO* pInfo = FindLocked(nId);
    if (pInfo == nullptr) return noRecord;
    return fnLocked(*pInfo);
}

void RequestThread(CAsyncHttp* pHttp, int nKind, std::u16string strUrl, std::string strBody,
                   std::u16string strHeaders, int nTimeout) {
    if (pHttp == nullptr) return;
    if (!strHeaders.empty()) pHttp->SetExtraHeaders(strHeaders);
    pHttp->SetTimeout(nTimeout);
    if (nKind != kAsyncKindGet && nKind != kAsyncKindPost) {
        KT_TRACE("%s() refuses request kind %d\n", "RequestThread", nKind);
        return;
    }
    pHttp->OpenRequest(nKind, strUrl, strBody.data(), static_cast<int>(strBody.size()));
}

// Stops a record's request and waits for its threads, without the table lock: the record is
// detached, so its reports find no one to tell. One cancel is enough, since it holds even when a
// thread has not begun its transfer yet.
void StopAndWait(STATUSINFO& info) {
    if (info.m_pAsyncHttp) info.m_pAsyncHttp->Cancel();
    for (auto& pThread : info.m_vecThreads) pThread->Join(kInfinite);
    // A transfer's main thread may outlive its request thread after a time-out; the record's
    // destruction closes the request, which waits for it.
}

// Under the table lock, on a thread other than the window's: waits until no owner call of the
// record is under way (the record is detached, so none begins).
void WaitForOwnerCalls(std::unique_lock<CCriticalSection>& lock, STATUSINFO& info) {
    if (OnWindowThread()) return;  // a call under way on this thread is this thread's caller
    GetInetPoolState().cvOwnerCalls.wait(lock, [&info] { return info.m_nOwnerCalls == 0; });
}

void Detach(STATUSINFO& info) {
    info.m_pOwner = nullptr;
    info.m_pfnStatus = nullptr;
    info.m_pfnProgress = nullptr;
    info.m_bDeleting = true;
    if (info.m_pAsyncHttp) info.m_pAsyncHttp->SetReporter(nullptr);
}

}  // namespace

bool InitPool(void* /*hInstance*/) {
    UninitPool();
    INET_POOL_STATE& pool = GetInetPoolState();
    CAutoLock lock(pool.csTable);
    pool.pManager = std::make_unique<CHttpStatusMgr>();
    pool.idWindowThread.store(std::this_thread::get_id());
    if (!pool.bClassRegistered) {
        pool.bClassRegistered =
            RegisterWindowClass(kInetStatusWindowClass, &CHttpStatusMgr::WindowProc) ||
            GetLastPlatformError() == kErrorClassAlreadyExists;
    }
    // A registered class alone does not carry notifications: a pool started again after
    // UninitPool gets a window of its own.
    if (pool.bClassRegistered && pool.hWnd.load() == 0)
        pool.hWnd.store(CreateMessageWindow(kInetStatusWindowClass));
    return pool.hWnd.load() != 0;
}

void UninitPool() {
    INET_POOL_STATE& pool = GetInetPoolState();
    std::list<std::unique_ptr<STATUSINFO>> listInfo;
    {
        std::unique_lock<CCriticalSection> lock(pool.csTable);
        if (pool.pManager == nullptr && pool.listInfo.empty()) return;
        KT_DEBUG_ASSERT(OnWindowThread());
        for (auto& pInfo : pool.listInfo) Detach(*pInfo);
        if (!OnWindowThread()) {
            pool.cvOwnerCalls.wait(lock, [&pool] {
                for (auto& pInfo : pool.listInfo) {
                    if (pInfo->m_nOwnerCalls != 0) return false;
                }
                return true;
            });
        }
        listInfo.swap(pool.listInfo);
        pool.mapInfo.clear();
        pool.nLastId.store(0);
        const HWND hWnd = pool.hWnd.exchange(0);
        // Notifications still queued for the window die with it.
        if (hWnd != 0) DestroyMessageWindow(hWnd);
    }
    for (auto& pInfo : listInfo) StopAndWait(*pInfo);
    for (auto& pInfo : listInfo) {
        KT_TRACE("pInfo: %p  length:%d  Deleted.\n", static_cast<void*>(pInfo.get()),
                 static_cast<int>(sizeof(STATUSINFO)));
        pInfo.reset();
    }
    CAutoLock lock(pool.csTable);
    pool.pManager.reset();
}

long CreateRequest(IHttpReporter* pOwner, INET_STATUS_CALLBACK pfnStatus,
                   INET_PROGRESS_CALLBACK pfnProgress) {
    INET_POOL_STATE& pool = GetInetPoolState();
    CAutoLock lock(pool.csTable);
    if (pool.pManager == nullptr) return -1;
    auto pInfo = std::make_unique<STATUSINFO>();
    KT_TRACE("pInfo: %p  length:%d  Created.\n", static_cast<void*>(pInfo.get()),
             static_cast<int>(sizeof(STATUSINFO)));
    pInfo->m_pOwner = pOwner;
    pInfo->m_pfnStatus = pfnStatus;
    pInfo->m_pfnProgress = pfnProgress;
    pInfo->m_nId = pool.nLastId.fetch_add(1) + 1;
    const long nId = pInfo->m_nId;
    pool.mapInfo[nId] = pInfo.get();
    pool.listInfo.push_back(std::move(pInfo));
    return nId;
}

int SetRequest(long nId, const char16_t* pszUrl, const void* pBody, int nLength) {
    if (nId < 0 || pszUrl == nullptr || *pszUrl == 0) return kInetBadArgument;
    return WithRecord(nId, kInetBadArgument, kInetNoRequest, [&](STATUSINFO& info) {
        info.m_strUrl = pszUrl;
        if (pBody != nullptr && nLength > 0) {
            info.m_strBody.assign(static_cast<const char*>(pBody), nLength);
            info.m_nBodyLength = nLength;
        } else {
            info.m_strBody.clear();
            info.m_nBodyLength = 0;
        }
        return kInetOk;
    });
}

int SetRequestText(long nId, const char16_t* pszUrl, const char16_t* pszBody) {
    const std::string strBody = pszBody != nullptr ? ToAnsi(pszBody) : std::string();
    return SetRequest(nId, pszUrl, strBody.data(), static_cast<int>(strBody.size()));
}

int SetRequestUrl(long nId, const char16_t* pszUrl) {
    if (nId < 0 || pszUrl == nullptr || *pszUrl == 0) return kInetBadArgument;
    return WithRecord(nId, kInetBadArgument, kInetNoRequest, [&](STATUSINFO& info) {
        info.m_strUrl = pszUrl;
        return kInetOk;
    });
}

int SetRequestHeaders(long nId, const char16_t* pszHeaders) {
    if (nId < 0) return kInetBadArgument;
    return WithRecord(nId, kInetBadArgument, kInetNoRequest, [&](STATUSINFO& info) {
        info.m_strHeaders = pszHeaders != nullptr ? pszHeaders : u"";
        return kInetOk;
    });
}

int StartRequest(long nId, int nKind) {
    if (nId < 0) return kInetBadArgument;
    INET_POOL_STATE& pool = GetInetPoolState();
    // Threads of earlier starts that have ended, joined once the lock is let go.
    std::vector<std::unique_ptr<CThread>> vecEnded;
    const int nResult = WithRecord(nId, kInetBadArgument, kInetNoRequest, [&](STATUSINFO& info) {
        if (info.m_bDeleting) return kInetNoRequest;
        info.m_nKind = nKind;
        if (!info.m_pAsyncHttp) {
            info.m_pAsyncHttp = std::make_unique<CAsyncHttp>(nId, pool.pManager.get());
            KT_TRACE("pInfo->m_pAsyncHttp: %p  length:%d  Created.\n",
                     static_cast<void*>(info.m_pAsyncHttp.get()),
                     static_cast<int>(sizeof(CAsyncHttp)));
        }
        auto& vecThreads = info.m_vecThreads;
        for (auto it = vecThreads.begin(); it != vecThreads.end();) {
            if (!(*it)->IsRunning()) {
                vecEnded.push_back(std::move(*it));
                it = vecThreads.erase(it);
            } else {
                ++it;
            }
        }
        CAsyncHttp* pHttp = info.m_pAsyncHttp.get();
        // From here a cancel holds for the transfer this thread is about to open.
        const bool bKindOk = nKind == kAsyncKindGet || nKind == kAsyncKindPost;
        if (bKindOk) pHttp->Arm();
        // The thread gets copies: the record may be changed by the next SetRequest while it runs.
        auto pThread = std::make_unique<CThread>();
        const bool bStarted =
            pThread->Start([pHttp, nKind, strUrl = info.m_strUrl, strBody = info.m_strBody,
                            strHeaders = info.m_strHeaders, nTimeout = info.m_nTimeout]() {
                RequestThread(pHttp, nKind, strUrl, strBody, strHeaders, nTimeout);
            });
        if (!bStarted) return kInetThreadFailed;
        info.m_idThread = pThread->GetId();
        vecThreads.push_back(std::move(pThread));
        return kInetOk;
    });
    for (auto& pThread : vecEnded) pThread->Join(kInfinite);
    return nResult;
}

void CancelRequest(long nId) {
    WithRecord(nId, 0, 0, [](STATUSINFO& info) {
        if (info.m_pAsyncHttp) info.m_pAsyncHttp->Cancel();
        return 0;
    });
}

void DeleteRequest(long nId) {
    INET_POOL_STATE& pool = GetInetPoolState();
    STATUSINFO* pInfo = nullptr;
    {
        std::unique_lock<CCriticalSection> lock(pool.csTable);
        if (pool.pManager == nullptr) return;
        pInfo = FindLocked(nId);
        if (pInfo == nullptr || pInfo->m_bDeleting) return;
        Detach(*pInfo);
        WaitForOwnerCalls(lock, *pInfo);
    }
    StopAndWait(*pInfo);
    std::unique_ptr<STATUSINFO> pOwned;
    {
        CAutoLock lock(pool.csTable);
        pool.mapInfo.erase(nId);
        for (auto it = pool.listInfo.begin(); it != pool.listInfo.end(); ++it) {
            if (it->get() == pInfo) {
                pOwned = std::move(*it);
                pool.listInfo.erase(it);
                break;
            }
        }
    }
    if (pOwned) {
        KT_TRACE("pInfo: %p  length:%d  Deleted.\n", static_cast<void*>(pOwned.get()),
                 static_cast<int>(sizeof(STATUSINFO)));
        // Closing the request waits for its main thread, whose reports find no record any more.
        pOwned.reset();
    }
}

bool IsRequestRunning(long nId) {
    return WithRecord(nId, false, false, [](STATUSINFO& info) {
        return info.m_pAsyncHttp && info.m_pAsyncHttp->IsRunning();
    });
}

uint32_t GetRequestStatus(long nId) {
    return WithRecord(nId, 0u, 0u, [](STATUSINFO& info) {
        return info.m_pAsyncHttp ? info.m_pAsyncHttp->GetStatus() : 0u;
    });
}

bool IsRequestSucceeded(long nId) {
    if (!HavePool()) return false;
    return GetRequestStatus(nId) == 0;
}

char* GetReply(long nId, long* pLength) {
    if (pLength != nullptr) *pLength = 0;
    return WithRecord<char*>(nId, nullptr, nullptr, [&](STATUSINFO& info) -> char* {
        CAutoLock lockReply(info.m_csReply);
        if (pLength != nullptr) *pLength = info.m_nReplyLength;
        if (info.m_nReplyLength <= 0) return nullptr;
        char* pCopy = static_cast<char*>(std::malloc(info.m_nReplyLength));
        if (pCopy == nullptr) {
            if (pLength != nullptr) *pLength = 0;
            return nullptr;
        }
        std::memcpy(pCopy, info.m_pReply.get(), info.m_nReplyLength);
        return pCopy;
    });
}

int GetReplyTable(long nId, CDataTable*& pTable) {
    KT_DEBUG_ASSERT(nId >= 1);
    if (!HavePool()) return kInetBadArgument;
    long nLength = 0;
    char* pReply = GetReply(nId, &nLength);
    if (pReply == nullptr || nLength <= 0) {
        std::free(pReply);
        return kInetNoReply;
    }
    const int nResult = ReadReplyTable(pReply, static_cast<size_t>(nLength), pTable);
    std::free(pReply);
    return nResult;
}

void SetRequestTimeout(long nId, int nMilliseconds) {
    WithRecord(nId, 0, 0, [&](STATUSINFO& info) {
        info.m_nTimeout = nMilliseconds;
        if (info.m_pAsyncHttp) info.m_pAsyncHttp->SetTimeout(nMilliseconds);
        return 0;
    });
}

void PostRequestMessage(long nId, int32_t nValue) {
    PostMessage(GetInetPoolState().hWnd.load(), WM_INET_USER_MESSAGE, static_cast<WPARAM>(nId),
                nValue);
}

std::u16string GetProbeUrl() {
    {
        std::lock_guard<std::mutex> lock(g_mutexProbe);
        if (!g_strProbeUrl.empty()) return g_strProbeUrl;
    }
    const char* pszEnv = std::getenv("KTREPORTER_PROBE_URL");
    if (pszEnv != nullptr && *pszEnv != '\0') return FromUtf8(pszEnv);
    return kDefaultProbeUrl;
}

void SetProbeUrl(const std::u16string& strUrl) {
    std::lock_guard<std::mutex> lock(g_mutexProbe);
    g_strProbeUrl = strUrl;
}

// ---- CAsyncHttpHandle ----

CAsyncHttpHandle::~CAsyncHttpHandle() {
    if (m_nId > 0) ::DeleteRequest(m_nId);
}

long CAsyncHttpHandle::CreateRequest(IHttpReporter* pOwner, INET_STATUS_CALLBACK pfnStatus,
                                     INET_PROGRESS_CALLBACK pfnProgress) {
    if (m_nId > 0) ::DeleteRequest(m_nId);
    m_nId = ::CreateRequest(pOwner, pfnStatus, pfnProgress);
    return m_nId;
}

int CAsyncHttpHandle::SetRequest(const char16_t* pszUrl, const void* pBody, int nLength) {
    return ::SetRequest(m_nId, pszUrl, pBody, nLength);
}

int CAsyncHttpHandle::SetRequestText(const char16_t* pszUrl, const char16_t* pszBody) {
    return ::SetRequestText(m_nId, pszUrl, pszBody);
}

int CAsyncHttpHandle::SetRequestUrl(const char16_t* pszUrl) {
    return ::SetRequestUrl(m_nId, pszUrl);
}

int CAsyncHttpHandle::StartRequest(int nKind) {
    return ::StartRequest(m_nId, nKind);
}

void CAsyncHttpHandle::CancelRequest() {
    ::CancelRequest(m_nId);
}

void CAsyncHttpHandle::DeleteRequest() {
    if (m_nId > 0) ::DeleteRequest(m_nId);
    m_nId = 0;
}

bool CAsyncHttpHandle::IsRequestRunning() const {
    return ::IsRequestRunning(m_nId);
}

uint32_t CAsyncHttpHandle::GetRequestStatus() const {
    return ::GetRequestStatus(m_nId);
}

bool CAsyncHttpHandle::IsRequestSucceeded() const {
    return ::IsRequestSucceeded(m_nId);
}

char* CAsyncHttpHandle::GetReply(long* pLength) const {
    return ::GetReply(m_nId, pLength);
}

int CAsyncHttpHandle::GetReplyTable(CDataTable*& pTable) const {
    return ::GetReplyTable(m_nId, pTable);
}

void CAsyncHttpHandle::SetRequestTimeout(int nMilliseconds) {
    ::SetRequestTimeout(m_nId, nMilliseconds);
}

void CAsyncHttpHandle::PostRequestMessage(int32_t nValue) {
    ::PostRequestMessage(m_nId, nValue);
}

int CAsyncHttpHandle::ProbeConnection() {
    if (m_nId <= 0) {
        m_nId = ::CreateRequest(nullptr, nullptr, nullptr);
        if (m_nId <= 0) {
            m_nId = 0;
            return kInetBadArgument;
        }
    }
    const std::u16string strUrl = GetProbeUrl();
    const int nResult = ::SetRequest(m_nId, strUrl.c_str(), nullptr, 0);
    if (nResult != kInetOk) return nResult;
    return ::StartRequest(m_nId, kAsyncKindGet);
}
