#include "httpdownload/httppool.h"

#include <curl/curl.h>

#include <atomic>
#include <map>
#include <memory>
#include <new>
#include <vector>

#include "httpdownload/httpclasses.h"
#include "httpdownload/httpdownload.h"
#include "httpdownload/httpreporter.h"
#include "httpdownload/httpstatus.h"
#include "platform/sync.h"

namespace {

// The process-wide tables. A parked id stays in its active map as well; the parked map only marks
// it (and orders the ids for reuse, smallest first).
struct POOL_STATE {
    std::atomic<CHttp_StatusMgr*> pStatusMgr{nullptr};
    std::atomic<long> nLastId{0};

    kt::CCriticalSection csRequests;
    std::map<long, std::unique_ptr<CHttp_Async>> mapRequests;
    std::map<long, CHttp_Async*> mapParkedRequests;

    kt::CCriticalSection csDownloads;
    std::map<long, std::unique_ptr<CMTRDownload>> mapDownloads;
    std::map<long, CMTRDownload*> mapParkedDownloads;
};

POOL_STATE& State() {
    // Never destroyed: reporters that outlive main still detach through it.
    static POOL_STATE* s_pState = new POOL_STATE;
    return *s_pState;
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

// Every object of a table as it holds it now; the walks below stop objects one after the other
// and must not trip over an id a stop could not change, but a plain copy costs nothing.
template <typename MAP>
auto Snapshot(MAP& map, kt::CCriticalSection& cs) {
    kt::CAutoLock lock(cs);
    std::vector<typename MAP::mapped_type::pointer> vec;
    vec.reserve(map.size());
    for (auto& [nId, pObject] : map) vec.push_back(pObject.get());
    return vec;
}

std::vector<CHttp_Async*> SnapshotRequests() {
    return Snapshot(State().mapRequests, State().csRequests);
}

std::vector<CMTRDownload*> SnapshotDownloads() {
    return Snapshot(State().mapDownloads, State().csDownloads);
}

// Hands one notification for nId to the reporter of the request or download that the table holds
// under it (the caller holds the table's lock); false when the table has no such id.
template <typename MAP, typename PARKED>
bool DispatchFrom(MAP& map, const PARKED& parked, kt::UINT uMsg, long nId, kt::LPARAM lValue) {
    const auto it = map.find(nId);
    if (it == map.end()) return false;
    // Counted before the parked test, so that the count matches what the workers posted.
    const bool bWanted = uMsg == WM_HTTP_USER || it->second->TakeNotification();
    if (parked.count(nId) != 0 || !bWanted) return true;
    // The reporter may release, restart or even delete the object: nothing here touches it after
    // the call.
    IHttpReporter* pReporter = it->second->GetReporter();
    if (pReporter != nullptr) CallReporter(pReporter, uMsg, nId, lValue);
    return true;
}

}  // namespace

CHttp_Pool& HttpPool() {
    static CHttp_Pool s_pool;
    return s_pool;
}

bool CHttp_Pool::HasStatusMgr() {
    return State().pStatusMgr.load() != nullptr;
}

bool CHttp_Pool::Initialize(void* hInstance) {
    Uninitialize();
    if (curl_global_init(CURL_GLOBAL_WIN32) != CURLE_OK) return false;
    auto* pStatusMgr = new (std::nothrow) CHttp_StatusMgr;
    if (pStatusMgr == nullptr) return false;
    State().pStatusMgr.store(pStatusMgr);
    return CHttp_StatusMgr::CreateStatusWindow(hInstance,
                                               [](kt::UINT uMsg, long nId, kt::LPARAM lValue) {
                                                   return HttpPool().Dispatch(uMsg, nId, lValue);
                                               });
}

void CHttp_Pool::Uninitialize() {
    POOL_STATE& s = State();
    if (s.pStatusMgr.load() != nullptr) {
        {
            kt::CAutoLock lock(s.csRequests);
            // Every worker hears its cancel before the first one is waited for, so that a pool of
            // stalled requests ends in about one progress interval, not one per request.
            for (auto& [nId, pRequest] : s.mapRequests) pRequest->Cancel();
            s.mapParkedRequests.clear();
            std::map<long, std::unique_ptr<CHttp_Async>> mapDoomed;
            mapDoomed.swap(s.mapRequests);
            mapDoomed.clear();
        }
        {
            kt::CAutoLock lock(s.csDownloads);
            s.mapParkedDownloads.clear();
            std::map<long, std::unique_ptr<CMTRDownload>> mapDoomed;
            mapDoomed.swap(s.mapDownloads);
            mapDoomed.clear();
        }
        s.nLastId.store(0);
        CHttp_StatusMgr::DestroyStatusWindow();
        delete s.pStatusMgr.exchange(nullptr);
    }
    curl_global_cleanup();
}

long CHttp_Pool::NewRequest() {
    POOL_STATE& s = State();
    CHttp_StatusMgr* pStatusMgr = s.pStatusMgr.load();
    if (pStatusMgr == nullptr) return -1;
    kt::CAutoLock lock(s.csRequests);
    if (!s.mapParkedRequests.empty()) {
        const long nId = s.mapParkedRequests.begin()->first;
        s.mapParkedRequests.erase(s.mapParkedRequests.begin());
        return nId;
    }
    const long nId = ++s.nLastId;
    std::unique_ptr<CHttp_Async> pRequest(new (std::nothrow) CHttp_Async(nId, pStatusMgr));
    if (!pRequest) return -1;
    s.mapRequests.emplace(nId, std::move(pRequest));
    return nId;
}

long CHttp_Pool::NewDownload() {
    POOL_STATE& s = State();
    CHttp_StatusMgr* pStatusMgr = s.pStatusMgr.load();
    if (pStatusMgr == nullptr) return -1;
    kt::CAutoLock lock(s.csDownloads);
    if (!s.mapParkedDownloads.empty()) {
        const long nId = s.mapParkedDownloads.begin()->first;
        s.mapParkedDownloads.erase(s.mapParkedDownloads.begin());
        return nId;
    }
    const long nId = ++s.nLastId;
    std::unique_ptr<CMTRDownload> pDownload(new (std::nothrow) CMTRDownload(nId, pStatusMgr));
    if (!pDownload) return -1;
    s.mapDownloads.emplace(nId, std::move(pDownload));
    return nId;
}

int32_t CHttp_Pool::Exists(long nId, HttpObjectKind eKind) {
    if (!HasStatusMgr() || nId < 0) return 0;
    POOL_STATE& s = State();
    if (eKind == HttpObjectKind::Request) {
        kt::CAutoLock lock(s.csRequests);
        if (s.mapRequests.count(nId) == 0) return 0;
        s.mapParkedRequests.erase(nId);
        return 1;
    }
    kt::CAutoLock lock(s.csDownloads);
    if (s.mapDownloads.count(nId) == 0) return 0;
    s.mapParkedDownloads.erase(nId);
    return 1;
}

CHttp_Async* CHttp_Pool::FindRequest(long nId) {
    if (nId < 0) return nullptr;
    POOL_STATE& s = State();
    kt::CAutoLock lock(s.csRequests);
    const auto it = s.mapRequests.find(nId);
    return it == s.mapRequests.end() ? nullptr : it->second.get();
}

CMTRDownload* CHttp_Pool::FindDownload(long nId) {
    if (nId < 0) return nullptr;
    POOL_STATE& s = State();
    kt::CAutoLock lock(s.csDownloads);
    const auto it = s.mapDownloads.find(nId);
    return it == s.mapDownloads.end() ? nullptr : it->second.get();
}

int32_t CHttp_Pool::SetForm(long nId, const char16_t* pszUrl, const char16_t* pszForm,
                            IHttpReporter* pReporter, uint32_t dwTimeout) {
    CHttp_StatusMgr* pStatusMgr = State().pStatusMgr.load();
    if (pStatusMgr == nullptr) return HTTP_ERR_POOL_UNINIT;
    if (nId < 0 || pszUrl == nullptr) return HTTP_ERR_PARAM;
    CHttp_Async* pRequest = FindRequest(nId);
    if (pRequest == nullptr) return HTTP_ERR_NO_OBJECT;
    // A worker still busy with the previous request on this id must not see its settings change.
    if (pRequest->IsRunning()) pRequest->Stop();
    pRequest->SetTimeout(dwTimeout);
    pRequest->SetFormRequest(pszUrl, pszForm != nullptr ? std::u16string_view(pszForm) : u"", 0);
    pRequest->SetReporter(pReporter);
    pRequest->SetOwner(pStatusMgr);
    return HTTP_OK;
}

int32_t CHttp_Pool::SetData(long nId, const char16_t* pszUrl, const void* pData, uint32_t nLength,
                            IHttpReporter* pReporter, uint32_t dwTimeout) {
    CHttp_StatusMgr* pStatusMgr = State().pStatusMgr.load();
    if (pStatusMgr == nullptr) return HTTP_ERR_POOL_UNINIT;
    if (nId < 0 || pszUrl == nullptr) return HTTP_ERR_PARAM;
    CHttp_Async* pRequest = FindRequest(nId);
    if (pRequest == nullptr) return HTTP_ERR_NO_OBJECT;
    if (pRequest->IsRunning()) pRequest->Stop();
    pRequest->SetTimeout(dwTimeout);
    pRequest->SetDataRequest(pszUrl, pData, nLength, 0);
    pRequest->SetReporter(pReporter);
    pRequest->SetOwner(pStatusMgr);
    return HTTP_OK;
}

int32_t CHttp_Pool::SetDownload(long nId, const char16_t* pszUrl, const char16_t* pszPath,
                                IHttpReporter* pReporter, uint32_t dwTimeout) {
    POOL_STATE& s = State();
    CHttp_StatusMgr* pStatusMgr = s.pStatusMgr.load();
    if (pStatusMgr == nullptr) return HTTP_ERR_POOL_UNINIT;
    if (nId < 0 || pszUrl == nullptr) return HTTP_ERR_PARAM;
    kt::CAutoLock lock(s.csDownloads);
    const auto it = s.mapDownloads.find(nId);
    if (it == s.mapDownloads.end()) return HTTP_ERR_NO_OBJECT;
    s.mapParkedDownloads.erase(nId);
    CMTRDownload* pDownload = it->second.get();
    pDownload->SetPartTimeout(dwTimeout);
    pDownload->SetUrl(pszUrl);
    pDownload->SetPath(pszPath != nullptr ? std::u16string(pszPath) : std::u16string());
    pDownload->SetReporter(pReporter);
    pDownload->SetOwner(pStatusMgr);
    return HTTP_OK;
}

int32_t CHttp_Pool::AddHeader(long nId, const char16_t* pszLine) {
    if (!HasStatusMgr()) return HTTP_ERR_POOL_UNINIT;
    if (nId < 0 || pszLine == nullptr || pszLine[0] == 0) return HTTP_ERR_PARAM;
    CHttp_Async* pRequest = FindRequest(nId);
    if (pRequest == nullptr) return HTTP_ERR_PARAM;
    return pRequest->AddHeaderForNextRun(pszLine) != 0 ? HTTP_OK : HTTP_ERR_PARAM;
}

int32_t CHttp_Pool::Start(long nId) {
    if (!HasStatusMgr() || !CHttp_StatusMgr::IsRegistered()) return HTTP_ERR_POOL_UNINIT;
    CHttp_Async* pRequest = FindRequest(nId);
    if (pRequest == nullptr) return HTTP_ERR_BAD_INDEX;
    return pRequest->Start() ? HTTP_OK : HTTP_ERR_THREAD;
}

int32_t CHttp_Pool::StartDownload(long nId, int32_t bWait) {
    if (!HasStatusMgr() || !CHttp_StatusMgr::IsRegistered()) return HTTP_ERR_POOL_UNINIT;
    CMTRDownload* pDownload = FindDownload(nId);
    if (pDownload == nullptr) return HTTP_ERR_BAD_INDEX;
    return pDownload->StartDownload(bWait != 0) ? HTTP_OK : HTTP_ERR_THREAD;
}

void CHttp_Pool::Cancel(long nId) {
    if (!HasStatusMgr()) return;
    if (CHttp_Async* pRequest = FindRequest(nId)) {
        pRequest->Stop();
        return;
    }
    if (CMTRDownload* pDownload = FindDownload(nId)) pDownload->Stop();
}

void CHttp_Pool::Release(long nId) {
    if (!HasStatusMgr()) return;
    POOL_STATE& s = State();
    if (CHttp_Async* pRequest = FindRequest(nId)) {
        pRequest->Stop();
        pRequest->ForgetQueuedNotifications();
        pRequest->Recycle();
        kt::CAutoLock lock(s.csRequests);
        if (s.mapParkedRequests.count(nId) != 0) return;  // released twice: parked already
        if (s.mapParkedRequests.size() >= kHttpMaxParked) {
            s.mapRequests.erase(nId);
        } else {
            pRequest->SetReporter(nullptr);
            s.mapParkedRequests.emplace(nId, pRequest);
        }
        return;
    }
    CMTRDownload* pDownload = FindDownload(nId);
    if (pDownload == nullptr) return;
    pDownload->Stop();
    pDownload->ForgetQueuedNotifications();
    kt::CAutoLock lock(s.csDownloads);
    if (s.mapParkedDownloads.count(nId) != 0) return;
    if (s.mapParkedDownloads.size() >= kHttpMaxParked) {
        s.mapDownloads.erase(nId);
    } else {
        pDownload->SetReporter(nullptr);
        s.mapParkedDownloads.emplace(nId, pDownload);
    }
}

void CHttp_Pool::StopAll() {
    if (!HasStatusMgr()) return;
    const std::vector<CHttp_Async*> vecRequests = SnapshotRequests();
    for (CHttp_Async* pRequest : vecRequests) pRequest->Cancel();
    for (CHttp_Async* pRequest : vecRequests) pRequest->Stop();
    for (CMTRDownload* pDownload : SnapshotDownloads()) pDownload->Stop();
}

char* CHttp_Pool::GetData(long nId, int32_t* pLength) {
    if (pLength != nullptr) *pLength = 0;
    if (!HasStatusMgr() || nId < 0) return nullptr;
    POOL_STATE& s = State();
    kt::CAutoLock lock(s.csRequests);
    const auto it = s.mapRequests.find(nId);
    if (it == s.mapRequests.end()) return nullptr;
    return it->second->CopyData(pLength);
}

char* CHttp_Pool::TakeData(long nId, int32_t* pLength) {
    if (pLength != nullptr) *pLength = 0;
    if (!HasStatusMgr() || nId < 0) return nullptr;
    POOL_STATE& s = State();
    kt::CAutoLock lock(s.csRequests);
    const auto it = s.mapRequests.find(nId);
    if (it == s.mapRequests.end()) return nullptr;
    return it->second->TakeData(pLength, true);
}

int32_t CHttp_Pool::GetResult(long nId) {
    if (!HasStatusMgr()) return HTTP_ERR_POOL_UNINIT;
    POOL_STATE& s = State();
    kt::CAutoLock lock(s.csRequests);
    const auto it = s.mapRequests.find(nId);
    return it == s.mapRequests.end() ? HTTP_NO_INDEX : it->second->GetResult();
}

int32_t CHttp_Pool::IsFinished(long nId) {
    if (!HasStatusMgr()) return 1;
    POOL_STATE& s = State();
    kt::CAutoLock lock(s.csRequests);
    const auto it = s.mapRequests.find(nId);
    return (it == s.mapRequests.end() || it->second->GetResult() == 0) ? 1 : 0;
}

int32_t CHttp_Pool::IsRunning(long nId) {
    if (!HasStatusMgr()) return 0;
    CHttp_Async* pRequest = FindRequest(nId);
    return (pRequest != nullptr && pRequest->IsRunning()) ? 1 : 0;
}

int32_t CHttp_Pool::AreAllRunning() {
    if (!HasStatusMgr()) return 0;
    POOL_STATE& s = State();
    kt::CAutoLock lock(s.csRequests);
    for (auto& [nId, pRequest] : s.mapRequests) {
        if (!pRequest->IsRunning()) return 0;
    }
    return 1;
}

void CHttp_Pool::SetTimeout(long nId, uint32_t dwMilliseconds) {
    if (!HasStatusMgr()) return;
    CHttp_Async* pRequest = FindRequest(nId);
    if (pRequest != nullptr && !pRequest->IsRunning()) pRequest->SetTimeout(dwMilliseconds);
}

void CHttp_Pool::PostUserMessage(long nId, int32_t nValue) {
    if (!HasStatusMgr()) return;
    CHttp_StatusMgr::PostUserMessage(nId, nValue);
}

void CHttp_Pool::DetachReporter(IHttpReporter* pReporter) {
    if (pReporter == nullptr || !HasStatusMgr()) return;
    std::vector<CHttp_Async*> vecStopping;
    for (CHttp_Async* pRequest : SnapshotRequests()) {
        if (pRequest->GetReporter() != pReporter) continue;
        pRequest->SetReporter(nullptr);
        pRequest->Cancel();
        vecStopping.push_back(pRequest);
    }
    for (CHttp_Async* pRequest : vecStopping) {
        pRequest->Stop();
        pRequest->ForgetQueuedNotifications();
    }
    for (CMTRDownload* pDownload : SnapshotDownloads()) {
        if (pDownload->GetReporter() != pReporter) continue;
        pDownload->SetReporter(nullptr);
        pDownload->Stop();
        pDownload->ForgetQueuedNotifications();
    }
}

std::u16string CHttp_Pool::GetRequestUrl(long nId) {
    if (!HasStatusMgr()) return std::u16string();
    POOL_STATE& s = State();
    kt::CAutoLock lock(s.csRequests);
    const auto it = s.mapRequests.find(nId);
    return it == s.mapRequests.end() ? std::u16string() : it->second->GetUrl();
}

kt::LRESULT CHttp_Pool::Dispatch(kt::UINT uMsg, long nId, kt::LPARAM lValue) {
    POOL_STATE& s = State();
    {
        kt::CAutoLock lock(s.csRequests);
        if (DispatchFrom(s.mapRequests, s.mapParkedRequests, uMsg, nId, lValue)) return 0;
    }
    kt::CAutoLock lock(s.csDownloads);
    DispatchFrom(s.mapDownloads, s.mapParkedDownloads, uMsg, nId, lValue);
    return 0;
}
