#include "httpdownload/httppool.h"

#include <curl/curl.h>

#include <atomic>
#include <map>
#include <memory>
#include <new>
#include <thread>
#include <type_traits>
#include <vector>

#include "httpdownload/httpclasses.h"
#include "httpdownload/httpdownload.h"
#include "httpdownload/httpreporter.h"
#include "httpdownload/httpstatus.h"
#include "libcurl/curlholders.h"
#include "platform/sync.h"
#include "platform/trace.h"

namespace {

// One kind's tables. A parked id stays in the active map as well; the parked map only marks it
// (and orders the ids for reuse, smallest first).
template <typename OBJECT>
struct KIND_TABLE {
    kt::CCriticalSection cs;
    std::map<long, std::unique_ptr<OBJECT>> mapActive;
    std::map<long, OBJECT*> mapParked;
};

struct POOL_STATE {
    std::atomic<CHttp_StatusMgr*> pStatusMgr{nullptr};
    std::atomic<long> nLastId{0};
    std::atomic<std::thread::id> idPoolThread{};
    KIND_TABLE<CHttp_Async> requests;
    KIND_TABLE<CMTRDownload> downloads;
};

POOL_STATE& State() {
    // Never destroyed: reporters that outlive main still detach through it.
    static POOL_STATE* s_pState = new POOL_STATE;
    return *s_pState;
}

// True on the thread that initialised the pool, and anywhere while the pool is down.
[[maybe_unused]] bool OnPoolThread() {
    return State().pStatusMgr.load() == nullptr ||
           State().idPoolThread.load() == std::this_thread::get_id();
}

int32_t CallReporter(IHttpReporter* pReporter, kt::UINT uMsg, long nId, kt::LPARAM lValue) {
    const auto nValue = static_cast<int32_t>(lValue);
    switch (uMsg) {
        case WM_HTTP_FINISHED:
            return pReporter->OnRequestFinished(nId);
        case WM_HTTP_FAILED:
            return pReporter->OnRequestFailed(nId, nValue);
        case WM_HTTP_USER:
            return pReporter->OnRequestMessage(nId, nValue);
        case WM_HTTP_STATUS:
            return pReporter->OnRequestStatus(nId, nValue);
        case WM_HTTP_PROGRESS:
            return pReporter->OnRequestProgress(nId, static_cast<double>(nValue));
        default:
            return 0;
    }
}

// The object under the id in the kind's active map, or null. The pointer stays valid after the
// lock is let go because only the pool's thread removes objects, and the caller is that thread.
template <typename OBJECT>
OBJECT* Find(KIND_TABLE<OBJECT>& table, long nId) {
    if (nId < 0) return nullptr;
    kt::CAutoLock lock(table.cs);
    const auto it = table.mapActive.find(nId);
    return it == table.mapActive.end() ? nullptr : it->second.get();
}

// Find, taking a parked id back into use.
template <typename OBJECT>
OBJECT* Unpark(KIND_TABLE<OBJECT>& table, long nId) {
    if (nId < 0) return nullptr;
    kt::CAutoLock lock(table.cs);
    const auto it = table.mapActive.find(nId);
    if (it == table.mapActive.end()) return nullptr;
    table.mapParked.erase(nId);
    return it->second.get();
}

// The smallest parked id, or a new object under a new id; -1 when none could be made.
template <typename OBJECT>
long NewObject(KIND_TABLE<OBJECT>& table) {
    POOL_STATE& s = State();
    CHttp_StatusMgr* pStatusMgr = s.pStatusMgr.load();
    if (pStatusMgr == nullptr) return -1;
    kt::CAutoLock lock(table.cs);
    if (!table.mapParked.empty()) {
        const long nId = table.mapParked.begin()->first;
        table.mapParked.erase(table.mapParked.begin());
        return nId;
    }
    const long nId = ++s.nLastId;
    std::unique_ptr<OBJECT> pObject(new (std::nothrow) OBJECT(nId, pStatusMgr));
    if (!pObject) return -1;
    table.mapActive.emplace(nId, std::move(pObject));
    return nId;
}

// Parks a stopped object for reuse, or deletes it when enough are parked already. The object's
// runs have ended, so deleting it under the lock only ends an idle worker, which takes no lock.
template <typename OBJECT>
void Park(KIND_TABLE<OBJECT>& table, long nId, OBJECT* pObject) {
    std::unique_ptr<OBJECT> pDoomed;
    kt::CAutoLock lock(table.cs);
    if (table.mapParked.count(nId) != 0) return;  // released twice: parked already
    if (table.mapParked.size() >= kHttpMaxParked) {
        const auto it = table.mapActive.find(nId);
        if (it != table.mapActive.end()) {
            pDoomed = std::move(it->second);
            table.mapActive.erase(it);
        }
    } else {
        pObject->SetReporter(nullptr);
        table.mapParked.emplace(nId, pObject);
    }
}

// Every object of the kind, taken out of the tables under the lock and deleted after it: deleting
// one stops and joins its workers.
template <typename OBJECT>
void DeleteAll(KIND_TABLE<OBJECT>& table) {
    std::map<long, std::unique_ptr<OBJECT>> mapDoomed;
    {
        kt::CAutoLock lock(table.cs);
        table.mapParked.clear();
        mapDoomed.swap(table.mapActive);
    }
    // Every worker hears its cancel before the first one is waited for, so that a pool of stalled
    // requests ends in about one progress interval, not one per request.
    if constexpr (std::is_same_v<OBJECT, CHttp_Async>) {
        for (auto& [nId, pObject] : mapDoomed) pObject->Cancel();
    }
    mapDoomed.clear();
}

// Every object of a table as it holds it now; the walks below stop objects one after the other
// without holding the lock.
template <typename OBJECT>
std::vector<OBJECT*> Snapshot(KIND_TABLE<OBJECT>& table) {
    kt::CAutoLock lock(table.cs);
    std::vector<OBJECT*> vec;
    vec.reserve(table.mapActive.size());
    for (auto& [nId, pObject] : table.mapActive) vec.push_back(pObject.get());
    return vec;
}

// Looks the id up under the kind's lock and takes what the call needs; the reporter is called
// after the lock is let go. False when the table has no such id.
template <typename OBJECT>
bool DispatchFrom(KIND_TABLE<OBJECT>& table, kt::UINT uMsg, long nId, kt::LPARAM lValue) {
    IHttpReporter* pReporter = nullptr;
    {
        kt::CAutoLock lock(table.cs);
        const auto it = table.mapActive.find(nId);
        if (it == table.mapActive.end()) return false;
        // Counted before the parked test, so that the count matches what the workers posted.
        const bool bWanted = uMsg == WM_HTTP_USER || it->second->TakeNotification();
        if (table.mapParked.count(nId) != 0 || !bWanted) return true;
        // A request's progress message stands for the newest value of its run, whoever hears it.
        // (A dropped one belonged to a run that is over; the next start clears its claim.)
        if constexpr (std::is_same_v<OBJECT, CHttp_Async>) {
            if (uMsg == WM_HTTP_PROGRESS) {
                double dNewest = 0;
                switch (it->second->TakeProgress(&dNewest)) {
                    case CHttp_Async::PROGRESS_STALE:
                        return true;
                    case CHttp_Async::PROGRESS_NEWEST:
                        lValue = CHttp_StatusMgr::ProgressParam(dNewest);
                        break;
                    case CHttp_Async::PROGRESS_UNCLAIMED:
                        break;
                }
            }
        }
        pReporter = it->second->GetReporter();
    }
    // The reporter may release, restart or detach anything; nothing here touches the object after
    // the call. Only this thread clears a reporter or deletes one, so the copy is still good.
    if (pReporter != nullptr) CallReporter(pReporter, uMsg, nId, lValue);
    return true;
}

// Runs fn on the active request under the request lock; fallback when the id is not active.
template <typename RESULT, typename FN>
RESULT UnderRequestLock(long nId, RESULT fallback, FN fn) {
    KIND_TABLE<CHttp_Async>& t = State().requests;
    kt::CAutoLock lock(t.cs);
    const auto it = t.mapActive.find(nId);
    return it == t.mapActive.end() ? fallback : fn(*it->second);
}

}  // namespace

// Debug builds report an entry point called off the pool's thread.
#define KT_POOL_THREAD_ONLY() KT_DEBUG_ASSERT(OnPoolThread())

CHttp_Pool& HttpPool() {
    static CHttp_Pool s_pool;
    return s_pool;
}

bool CHttp_Pool::HasStatusMgr() {
    return State().pStatusMgr.load() != nullptr;
}

bool CHttp_Pool::Initialize(void* hInstance) {
    Uninitialize();
    if (!kt::CurlGlobal::Acquire()) return false;
    auto* pStatusMgr = new (std::nothrow) CHttp_StatusMgr;
    if (pStatusMgr == nullptr) return false;
    State().idPoolThread.store(std::this_thread::get_id());
    State().pStatusMgr.store(pStatusMgr);
    return CHttp_StatusMgr::CreateStatusWindow(hInstance,
                                               [](kt::UINT uMsg, long nId, kt::LPARAM lValue) {
                                                   return HttpPool().Dispatch(uMsg, nId, lValue);
                                               });
}

void CHttp_Pool::Uninitialize() {
    KT_POOL_THREAD_ONLY();
    POOL_STATE& s = State();
    if (s.pStatusMgr.load() != nullptr) {
        DeleteAll(s.requests);
        DeleteAll(s.downloads);
        s.nLastId.store(0);
        CHttp_StatusMgr::DestroyStatusWindow();
        delete s.pStatusMgr.exchange(nullptr);
    }
    kt::CurlGlobal::Release();
}

long CHttp_Pool::NewRequest() {
    KT_POOL_THREAD_ONLY();
    return NewObject(State().requests);
}

long CHttp_Pool::NewDownload() {
    KT_POOL_THREAD_ONLY();
    return NewObject(State().downloads);
}

int32_t CHttp_Pool::Exists(long nId, HttpObjectKind eKind) {
    KT_POOL_THREAD_ONLY();
    if (!HasStatusMgr()) return 0;
    POOL_STATE& s = State();
    const bool bFound = eKind == HttpObjectKind::Request ? Unpark(s.requests, nId) != nullptr
                                                         : Unpark(s.downloads, nId) != nullptr;
    return bFound ? 1 : 0;
}

CHttp_Async* CHttp_Pool::FindRequest(long nId) {
    return Find(State().requests, nId);
}

CMTRDownload* CHttp_Pool::FindDownload(long nId) {
    return Find(State().downloads, nId);
}

int32_t CHttp_Pool::SetRequest(long nId, const char16_t* pszUrl, IHttpReporter* pReporter,
                               uint32_t dwTimeout,
                               const std::function<void(CHttp_Async&)>& fnBody) {
    KT_POOL_THREAD_ONLY();
    CHttp_StatusMgr* pStatusMgr = State().pStatusMgr.load();
    if (pStatusMgr == nullptr) return HTTP_ERR_POOL_UNINIT;
    if (nId < 0 || pszUrl == nullptr) return HTTP_ERR_PARAM;
    CHttp_Async* pRequest = FindRequest(nId);
    if (pRequest == nullptr) return HTTP_ERR_NO_OBJECT;
    // A worker still busy with the previous request on this id must not see its settings change.
    if (pRequest->IsRunning()) pRequest->Stop();
    pRequest->SetTimeout(dwTimeout);
    fnBody(*pRequest);
    pRequest->SetReporter(pReporter);
    pRequest->SetOwner(pStatusMgr);
    return HTTP_OK;
}

int32_t CHttp_Pool::SetForm(long nId, const char16_t* pszUrl, const char16_t* pszForm,
                            IHttpReporter* pReporter, uint32_t dwTimeout) {
    return SetRequest(nId, pszUrl, pReporter, dwTimeout, [&](CHttp_Async& request) {
        request.SetFormRequest(pszUrl, pszForm != nullptr ? std::u16string_view(pszForm) : u"", 0);
    });
}

int32_t CHttp_Pool::SetData(long nId, const char16_t* pszUrl, const void* pData, uint32_t nLength,
                            IHttpReporter* pReporter, uint32_t dwTimeout) {
    return SetRequest(nId, pszUrl, pReporter, dwTimeout, [&](CHttp_Async& request) {
        request.SetDataRequest(pszUrl, pData, nLength, 0);
    });
}

int32_t CHttp_Pool::SetDownload(long nId, const char16_t* pszUrl, const char16_t* pszPath,
                                IHttpReporter* pReporter, uint32_t dwTimeout) {
    KT_POOL_THREAD_ONLY();
    POOL_STATE& s = State();
    CHttp_StatusMgr* pStatusMgr = s.pStatusMgr.load();
    if (pStatusMgr == nullptr) return HTTP_ERR_POOL_UNINIT;
    if (nId < 0 || pszUrl == nullptr) return HTTP_ERR_PARAM;
    CMTRDownload* pDownload = Unpark(s.downloads, nId);
    if (pDownload == nullptr) return HTTP_ERR_NO_OBJECT;
    pDownload->SetPartTimeout(dwTimeout);
    pDownload->SetUrl(pszUrl);
    pDownload->SetPath(pszPath != nullptr ? std::u16string(pszPath) : std::u16string());
    pDownload->SetReporter(pReporter);
    pDownload->SetOwner(pStatusMgr);
    return HTTP_OK;
}

int32_t CHttp_Pool::AddHeader(long nId, const char16_t* pszLine) {
    KT_POOL_THREAD_ONLY();
    if (!HasStatusMgr()) return HTTP_ERR_POOL_UNINIT;
    if (nId < 0 || pszLine == nullptr || pszLine[0] == 0) return HTTP_ERR_PARAM;
    CHttp_Async* pRequest = FindRequest(nId);
    if (pRequest == nullptr) return HTTP_ERR_PARAM;
    return pRequest->AddHeaderForNextRun(pszLine) != 0 ? HTTP_OK : HTTP_ERR_PARAM;
}

int32_t CHttp_Pool::Start(long nId) {
    KT_POOL_THREAD_ONLY();
    if (!HasStatusMgr() || !CHttp_StatusMgr::IsRegistered()) return HTTP_ERR_POOL_UNINIT;
    CHttp_Async* pRequest = FindRequest(nId);
    if (pRequest == nullptr) return HTTP_ERR_BAD_INDEX;
    return pRequest->Start() ? HTTP_OK : HTTP_ERR_THREAD;
}

int32_t CHttp_Pool::StartDownload(long nId, int32_t bWait) {
    KT_POOL_THREAD_ONLY();
    if (!HasStatusMgr() || !CHttp_StatusMgr::IsRegistered()) return HTTP_ERR_POOL_UNINIT;
    CMTRDownload* pDownload = FindDownload(nId);
    if (pDownload == nullptr) return HTTP_ERR_BAD_INDEX;
    return pDownload->StartDownload(bWait != 0) ? HTTP_OK : HTTP_ERR_THREAD;
}

void CHttp_Pool::Cancel(long nId) {
    KT_POOL_THREAD_ONLY();
    if (!HasStatusMgr()) return;
    if (CHttp_Async* pRequest = FindRequest(nId)) {
        pRequest->Stop();
        return;
    }
    if (CMTRDownload* pDownload = FindDownload(nId)) pDownload->Stop();
}

void CHttp_Pool::Release(long nId) {
    KT_POOL_THREAD_ONLY();
    if (!HasStatusMgr()) return;
    POOL_STATE& s = State();
    // Stopped (and joined) before the table's lock is taken.
    if (CHttp_Async* pRequest = FindRequest(nId)) {
        pRequest->Stop();
        pRequest->ForgetQueuedNotifications();
        pRequest->Recycle();
        Park(s.requests, nId, pRequest);
    } else if (CMTRDownload* pDownload = FindDownload(nId)) {
        pDownload->Stop();
        pDownload->ForgetQueuedNotifications();
        Park(s.downloads, nId, pDownload);
    }
}

void CHttp_Pool::StopAll() {
    KT_POOL_THREAD_ONLY();
    if (!HasStatusMgr()) return;
    const std::vector<CHttp_Async*> vecRequests = Snapshot(State().requests);
    for (CHttp_Async* pRequest : vecRequests) pRequest->Cancel();
    for (CHttp_Async* pRequest : vecRequests) pRequest->Stop();
    for (CMTRDownload* pDownload : Snapshot(State().downloads)) pDownload->Stop();
}

char* CHttp_Pool::GetData(long nId, int32_t* pLength) {
    KT_POOL_THREAD_ONLY();
    if (pLength != nullptr) *pLength = 0;
    if (!HasStatusMgr() || nId < 0) return nullptr;
    // The copy is made outside the pool's lock (only under the request's own buffer lock): the
    // object stays put because only this thread removes objects.
    CHttp_Async* pRequest = FindRequest(nId);
    return pRequest != nullptr ? pRequest->CopyData(pLength) : nullptr;
}

char* CHttp_Pool::TakeData(long nId, int32_t* pLength) {
    KT_POOL_THREAD_ONLY();
    if (pLength != nullptr) *pLength = 0;
    if (!HasStatusMgr() || nId < 0) return nullptr;
    return UnderRequestLock<char*>(
        nId, nullptr, [&](CHttp_Async& request) { return request.TakeData(pLength, true); });
}

int32_t CHttp_Pool::GetResult(long nId) {
    KT_POOL_THREAD_ONLY();
    if (!HasStatusMgr()) return HTTP_ERR_POOL_UNINIT;
    return UnderRequestLock<int32_t>(nId, HTTP_NO_INDEX,
                                     [](CHttp_Async& request) { return request.GetResult(); });
}

int32_t CHttp_Pool::IsReplyComplete(long nId) {
    KT_POOL_THREAD_ONLY();
    if (!HasStatusMgr()) return HTTP_ERR_POOL_UNINIT;
    return UnderRequestLock<int32_t>(
        nId, HTTP_NO_INDEX, [](CHttp_Async& request) { return request.IsReplyComplete(); });
}

int32_t CHttp_Pool::IsFinished(long nId) {
    KT_POOL_THREAD_ONLY();
    if (!HasStatusMgr()) return 1;
    return UnderRequestLock<int32_t>(
        nId, 1, [](CHttp_Async& request) { return request.GetResult() == 0 ? 1 : 0; });
}

int32_t CHttp_Pool::IsRunning(long nId) {
    KT_POOL_THREAD_ONLY();
    if (!HasStatusMgr()) return 0;
    CHttp_Async* pRequest = FindRequest(nId);
    return (pRequest != nullptr && pRequest->IsRunning()) ? 1 : 0;
}

int32_t CHttp_Pool::AreAllRunning() {
    KT_POOL_THREAD_ONLY();
    if (!HasStatusMgr()) return 0;
    KIND_TABLE<CHttp_Async>& t = State().requests;
    kt::CAutoLock lock(t.cs);
    for (auto& [nId, pRequest] : t.mapActive) {
        if (!pRequest->IsRunning()) return 0;
    }
    return 1;
}

void CHttp_Pool::SetTimeout(long nId, uint32_t dwMilliseconds) {
    KT_POOL_THREAD_ONLY();
    if (!HasStatusMgr()) return;
    CHttp_Async* pRequest = FindRequest(nId);
    if (pRequest != nullptr && !pRequest->IsRunning()) pRequest->SetTimeout(dwMilliseconds);
}

void CHttp_Pool::PostUserMessage(long nId, int32_t nValue) {
    if (!HasStatusMgr()) return;
    CHttp_StatusMgr::PostUserMessage(nId, nValue);
}

void CHttp_Pool::DetachReporter(IHttpReporter* pReporter) {
    KT_POOL_THREAD_ONLY();
    if (pReporter == nullptr || !HasStatusMgr()) return;
    std::vector<CHttp_Async*> vecStopping;
    for (CHttp_Async* pRequest : Snapshot(State().requests)) {
        if (pRequest->GetReporter() != pReporter) continue;
        pRequest->SetReporter(nullptr);
        pRequest->Cancel();
        vecStopping.push_back(pRequest);
    }
    for (CHttp_Async* pRequest : vecStopping) {
        pRequest->Stop();
        pRequest->ForgetQueuedNotifications();
    }
    for (CMTRDownload* pDownload : Snapshot(State().downloads)) {
        if (pDownload->GetReporter() != pReporter) continue;
        pDownload->SetReporter(nullptr);
        pDownload->Stop();
        pDownload->ForgetQueuedNotifications();
    }
}

std::u16string CHttp_Pool::GetRequestUrl(long nId) {
    KT_POOL_THREAD_ONLY();
    if (!HasStatusMgr()) return std::u16string();
    return UnderRequestLock<std::u16string>(nId, std::u16string(),
                                            [](CHttp_Async& request) { return request.GetUrl(); });
}

kt::LRESULT CHttp_Pool::Dispatch(kt::UINT uMsg, long nId, kt::LPARAM lValue) {
    KT_POOL_THREAD_ONLY();
    POOL_STATE& s = State();
    if (!DispatchFrom(s.requests, uMsg, nId, lValue)) DispatchFrom(s.downloads, uMsg, nId, lValue);
    return 0;
}
