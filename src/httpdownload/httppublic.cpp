#include "httpdownload/httppublic.h"

#include "httpdownload/httpclasses.h"
#include "httpdownload/httpdownload.h"
#include "httpdownload/httppool.h"
#include "resources/strings.h"

int32_t IHttpReporter::OnRequestFinished(long /*nId*/) {
    return 0;
}
int32_t IHttpReporter::OnRequestFailed(long /*nId*/, int32_t /*nResult*/) {
    return 0;
}
int32_t IHttpReporter::OnRequestMessage(long /*nId*/, int32_t /*nValue*/) {
    return 0;
}
int32_t IHttpReporter::OnRequestStatus(long /*nId*/, int32_t /*nValue*/) {
    return 0;
}
int32_t IHttpReporter::OnRequestProgress(long /*nId*/, double /*dProgress*/) {
    return 0;
}

IHttpReporter::~IHttpReporter() {
    HttpPool_DetachReporter(this);
}

int HttpPool_Initialize(void* hInstance) {
    return HttpPool().Initialize(hInstance) ? 1 : 0;
}

void HttpPool_Uninitialize() {
    HttpPool().Uninitialize();
}

long HttpPool_NewRequest() {
    return HttpPool().NewRequest();
}

namespace {

// Step 1 of both request functions: keep a known id (unparking it), else allocate one.
long TakeRequestId(long* pId) {
    long nId = pId != nullptr ? *pId : -1;
    if (nId == -1 || HttpPool().Exists(nId, HttpObjectKind::Request) == 0) {
        nId = HttpPool().NewRequest();
        if (pId != nullptr) *pId = nId;
    }
    return nId;
}

}  // namespace

int HttpPool_RequestForm(long* pId, const char16_t* pszUrl, const char16_t* pszForm,
                         IHttpReporter* pReporter, uint32_t dwTimeout, int32_t /*nReserved1*/,
                         int32_t /*nReserved2*/) {
    const long nId = TakeRequestId(pId);
    if (nId == -1) return HTTP_NO_INDEX;
    const int32_t nResult = HttpPool().SetForm(nId, pszUrl, pszForm, pReporter, dwTimeout);
    if (nResult != HTTP_OK) return nResult;
    return HttpPool().Start(nId);
}

int HttpPool_RequestData(long* pId, const char16_t* pszUrl, const void* pData, uint32_t nLength,
                         IHttpReporter* pReporter, uint32_t dwTimeout, int32_t /*nReserved1*/,
                         int32_t /*nReserved2*/) {
    const long nId = TakeRequestId(pId);
    if (nId == -1) return HTTP_NO_INDEX;
    const int32_t nResult = HttpPool().SetData(nId, pszUrl, pData, nLength, pReporter, dwTimeout);
    if (nResult != HTTP_OK) return nResult;
    return HttpPool().Start(nId);
}

int HttpPool_Cancel(long nId) {
    HttpPool().Cancel(nId);
    return 1;
}

int HttpPool_Release(long nId) {
    HttpPool().Release(nId);
    return 1;
}

char* HttpPool_GetData(long nId, long* pLength) {
    int32_t nLength = 0;
    char* pData = HttpPool().GetData(nId, &nLength);
    if (pLength != nullptr) *pLength = nLength;
    return pData;
}

int HttpPool_GetResult(long nId) {
    return HttpPool().GetResult(nId);
}

int HttpPool_IsReplyComplete(long nId) {
    return HttpPool().IsReplyComplete(nId);
}

void HttpPool_SetMaxReplySize(long long nBytes) {
    CHttp_Base::SetMaxReplySize(nBytes);
}

void HttpPool_StopAll() {
    HttpPool().StopAll();
}

int HttpPool_AddHeader(long nId, const char16_t* pszHeader) {
    return HttpPool().AddHeader(nId, pszHeader);
}

int HttpPool_IsRunning(long nId) {
    return HttpPool().IsRunning(nId);
}

int HttpPool_AreAllRunning() {
    return HttpPool().AreAllRunning();
}

void HttpPool_PostMessage(long nId, int32_t nValue) {
    HttpPool().PostUserMessage(nId, nValue);
}

int HttpPool_DownloadFileSync(const char16_t* pszUrl, const char16_t* pszPath,
                              IHttpReporter* pReporter, uint32_t dwTimeout) {
    if (pszUrl == nullptr || pszPath == nullptr) return 0;
    CMTRDownload download(-1, nullptr);
    download.SetPartTimeout(dwTimeout);
    return download.DownloadSync(pszUrl, pszPath, pReporter) ? 1 : 0;
}

int HttpPool_DownloadFile(long* pId, const char16_t* pszUrl, const char16_t* pszPath,
                          IHttpReporter* pReporter, uint32_t dwTimeout, int32_t bWait) {
    long nId = pId != nullptr ? *pId : -1;
    if (nId == -1 || HttpPool().Exists(nId, HttpObjectKind::Download) == 0) {
        nId = HttpPool().NewDownload();
        if (pId != nullptr) *pId = nId;
    }
    if (nId == -1) return HTTP_NO_INDEX;
    const int32_t nResult = HttpPool().SetDownload(nId, pszUrl, pszPath, pReporter, dwTimeout);
    if (nResult != HTTP_OK) return nResult;
    return HttpPool().StartDownload(nId, bWait);
}

int HttpPool_GetRemoteFileSize(const char16_t* pszUrl, long* pSize, uint32_t dwTimeout) {
    if (pSize != nullptr) *pSize = 0;
    if (pszUrl == nullptr) return 0;
    CHttp_DownloadFile part(-1, nullptr);
    part.SetTimeout(dwTimeout);
    if (CMTRDownload::GetReomteSiteInfo(&part, pszUrl) != 0) return 0;
    if (pSize != nullptr) *pSize = part.GetRemoteSize();
    return 1;
}

void HttpPool_DetachReporter(IHttpReporter* pReporter) {
    HttpPool().DetachReporter(pReporter);
}

std::u16string HttpPool_GetRequestUrl(long nId) {
    return HttpPool().GetRequestUrl(nId);
}

std::u16string HttpPool_GetErrorText(int nResult) {
    constexpr uint32_t kUnknownText = 1018;
    constexpr uint32_t kBadIndexText = 1019;
    uint32_t nStringId = kUnknownText;
    if (nResult == HTTP_ERR_BAD_INDEX) {
        nStringId = kBadIndexText;
    } else if (nResult >= -17 && nResult <= -1) {
        nStringId = static_cast<uint32_t>(1000 - nResult);
    }
    return std::u16string(kt::LoadResString(nStringId));
}
