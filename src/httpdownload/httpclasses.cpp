#include "httpdownload/httpclasses.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "httpdownload/httphelpers.h"
#include "httpdownload/httpreporter.h"
#include "platform/codepage.h"
#include "platform/trace.h"

namespace {

constexpr const char* kDefaultHeaders[] = {
    "Priority: low",
    "Content-Type: application/x-www-form-urlencoded",
    "Expect:",
};
constexpr long kConnectTimeoutMs = 4000;
constexpr int kMaxPerforms = 12;
// A request URL may come from a configuration file: never let it (or a redirect) reach file://,
// ftp:// or any other scheme libcurl knows.
constexpr const char* kAllowedProtocols = "http,https";

int32_t MapCurlCode(int32_t nCode, int32_t nResult) {
    switch (nCode) {
        case CURLE_OK:
            return nResult;
        case CURLE_OPERATION_TIMEDOUT:
            return HTTP_ERR_TIMEOUT;
        case CURLE_ABORTED_BY_CALLBACK:
            return HTTP_ERR_USER_ABORT;
        case CURLE_HTTP_RETURNED_ERROR:
            return HTTP_ERR_REPLY;
        default:
            return HTTP_ERR_CURL_CALL;
    }
}

}  // namespace

CHttp_Base::CHttp_Base(std::u16string strUrl, uint32_t dwTimeout)
    : m_strUrl(std::move(strUrl)), m_dwTimeout(dwTimeout) {
    m_pRecvBuffer = static_cast<char*>(std::calloc(kHttpInitialBuffer, 1));
    if (m_pRecvBuffer != nullptr) m_nRecvCapacity = kHttpInitialBuffer;
}

CHttp_Base::~CHttp_Base() {
    std::free(m_pRecvBuffer);
    DropBody();
    if (m_pHeaderList != nullptr) curl_slist_free_all(m_pHeaderList);
    if (m_hCurl != nullptr) curl_easy_cleanup(m_hCurl);
}

bool CHttp_Base::EnsureHeaderList() {
    if (m_pHeaderList != nullptr) return true;
    curl_slist* pList = nullptr;
    for (const char* pszLine : kDefaultHeaders) {
        curl_slist* pNext = curl_slist_append(pList, pszLine);
        if (pNext == nullptr) {
            curl_slist_free_all(pList);
            return false;
        }
        pList = pNext;
    }
    m_pHeaderList = pList;
    return true;
}

bool CHttp_Base::ApplyDefaultOptions(bool bConnectTimeout) {
    CURLcode nCode = CURLE_OK;
    const auto set = [&](CURLoption eOption, auto value) {
        if (nCode == CURLE_OK) nCode = curl_easy_setopt(m_hCurl, eOption, value);
    };
    set(CURLOPT_USERAGENT, "ASYNCHTTP");
    set(CURLOPT_ACCEPT_ENCODING, "gzip,deflate");
    set(CURLOPT_NOPROGRESS, 0L);
    set(CURLOPT_XFERINFOFUNCTION, &CHttp_Base::ProgressCallback);
    set(CURLOPT_XFERINFODATA, static_cast<void*>(this));
    set(CURLOPT_HEADERFUNCTION, &CHttp_Base::HeaderCallback);
    set(CURLOPT_HEADERDATA, static_cast<void*>(this));
    set(CURLOPT_WRITEFUNCTION, &CHttp_Base::WriteCallback);
    set(CURLOPT_WRITEDATA, static_cast<void*>(this));
    if (bConnectTimeout) set(CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
    set(CURLOPT_PROTOCOLS_STR, kAllowedProtocols);
    set(CURLOPT_REDIR_PROTOCOLS_STR, kAllowedProtocols);
    // Workers may be joined at any time; libcurl must not raise SIGALRM for name look-ups.
    set(CURLOPT_NOSIGNAL, 1L);
    if (nCode != CURLE_OK) m_nLastCurlCode = nCode;
    return nCode == CURLE_OK;
}

bool CHttp_Base::InitCurl() {
    if (m_hCurl != nullptr) return true;
    m_hCurl = curl_easy_init();
    if (m_hCurl == nullptr) return false;
    if (!EnsureHeaderList()) return false;
    ApplyDefaultOptions(true);
    return true;
}

bool CHttp_Base::ResetCurl() {
    if (m_hCurl == nullptr) return InitCurl();
    curl_easy_reset(m_hCurl);
    if (m_pHeaderList != nullptr) {
        curl_slist_free_all(m_pHeaderList);
        m_pHeaderList = nullptr;
    }
    if (!EnsureHeaderList()) return false;
    ApplyDefaultOptions(false);
    return true;
}

void CHttp_Base::DropBody() {
    std::free(m_pBody);
    m_pBody = nullptr;
    m_nBodyLength = 0;
}

void CHttp_Base::ResetFields() {
    m_strUrl.clear();
    m_strHeaderText.clear();
    m_nCancel.store(0, std::memory_order_relaxed);
    DropBody();
    m_dwTimeout = kHttpDefaultTimeout;
    m_dDownloadSize = 0;
    m_nLastCurlCode = 0;
}

void CHttp_Base::SetFormRequest(std::u16string_view strUrl, std::u16string_view strForm,
                                int32_t bCompress) {
    m_strUrl.assign(strUrl);
    m_bCompress = bCompress;
    DropBody();
    if (strForm.empty()) return;
    const std::string strBytes = kt::ToAnsi(UrlEncodeForm(strForm));
    if (strBytes.empty()) return;
    m_pBody = static_cast<char*>(std::malloc(strBytes.size()));
    if (m_pBody == nullptr) return;
    std::memcpy(m_pBody, strBytes.data(), strBytes.size());
    m_nBodyLength = static_cast<int32_t>(strBytes.size());
}

void CHttp_Base::SetDataRequest(std::u16string_view strUrl, const void* pData, uint32_t nLength,
                                int32_t bCompress) {
    m_strUrl.assign(strUrl);
    m_bCompress = bCompress;
    DropBody();
    if (pData == nullptr || nLength == 0 || nLength > static_cast<uint32_t>(INT32_MAX)) return;
    m_pBody = static_cast<char*>(std::malloc(nLength));
    if (m_pBody == nullptr) return;
    std::memcpy(m_pBody, pData, nLength);
    m_nBodyLength = static_cast<int32_t>(nLength);
}

int32_t CHttp_Base::AddHeader(const char16_t* pszLine) {
    if (pszLine == nullptr || pszLine[0] == 0) return 0;
    if (!EnsureHeaderList()) return 0;
    const std::string strLine = kt::ToAnsi(pszLine);
    curl_slist* pNext = curl_slist_append(m_pHeaderList, strLine.c_str());
    if (pNext == nullptr) return 0;
    m_pHeaderList = pNext;
    return 1;
}

char* CHttp_Base::CopyData(int32_t* pLength) {
    kt::CAutoLock lock(m_csBuffer);
    if (m_pRecvBuffer == nullptr || m_nRecvCount < 1) {
        if (pLength != nullptr) *pLength = 0;
        return nullptr;
    }
    auto* pCopy = static_cast<char*>(std::malloc(static_cast<size_t>(m_nRecvCount)));
    if (pCopy == nullptr) {
        if (pLength != nullptr) *pLength = 0;
        return nullptr;
    }
    std::memcpy(pCopy, m_pRecvBuffer, static_cast<size_t>(m_nRecvCount));
    if (pLength != nullptr) *pLength = m_nRecvCount;
    return pCopy;
}

char* CHttp_Base::TakeData(int32_t* pLength, bool bDetach) {
    kt::CAutoLock lock(m_csBuffer);
    char* pBuffer = m_pRecvBuffer;
    if (pLength != nullptr) *pLength = m_nRecvCount;
    if (bDetach) {
        m_pRecvBuffer = nullptr;
        m_nRecvCapacity = 0;
        m_nRecvCount = 0;
    }
    return pBuffer;
}

bool CHttp_Base::OnWriteData(const char* pData, size_t nCount) {
    kt::CAutoLock lock(m_csBuffer);
    if (m_pRecvBuffer == nullptr) {
        m_pRecvBuffer = static_cast<char*>(std::calloc(kHttpInitialBuffer, 1));
        if (m_pRecvBuffer == nullptr) return false;
        m_nRecvCapacity = kHttpInitialBuffer;
        m_nRecvCount = 0;
    }
    if (nCount == 0) return true;
    const size_t nNeeded = static_cast<size_t>(m_nRecvCount) + nCount;
    if (nNeeded > static_cast<size_t>(INT32_MAX)) return false;
    if (nNeeded > static_cast<size_t>(m_nRecvCapacity)) {
        // Doubling keeps a large reply at a constant number of copies per byte; the bytes
        // beyond the count are never handed out.
        size_t nNewCapacity = std::max(nNeeded, static_cast<size_t>(m_nRecvCapacity) * 2);
        nNewCapacity = std::min(nNewCapacity, static_cast<size_t>(INT32_MAX));
        auto* pNew = static_cast<char*>(std::realloc(m_pRecvBuffer, nNewCapacity));
        if (pNew == nullptr) return false;
        m_pRecvBuffer = pNew;
        m_nRecvCapacity = static_cast<int32_t>(nNewCapacity);
    }
    std::memcpy(m_pRecvBuffer + m_nRecvCount, pData, nCount);
    m_nRecvCount = static_cast<int32_t>(nNeeded);
    return true;
}

int32_t CHttp_Base::IsCancelled() const {
    return m_nCancel.load(std::memory_order_relaxed);
}

bool CHttp_Base::OnHeaderLine(const char* pText, size_t nSize, size_t nCount) {
    const size_t nBytes = nSize * nCount;
    m_strHeaderText += kt::FromAnsi(std::string_view(pText, nBytes));
    return true;
}

bool CHttp_Base::OnProgress(double /*dValue*/) {
    return true;
}

int32_t CHttp_Base::GetHttpIndex() const {
    return 0;
}

size_t CHttp_Base::WriteCallback(char* pData, size_t nSize, size_t nCount, void* pUser) {
    auto* pThis = static_cast<CHttp_Base*>(pUser);
    const size_t nBytes = nSize * nCount;
    return pThis->OnWriteData(pData, nBytes) ? nBytes : 0;
}

size_t CHttp_Base::HeaderCallback(char* pData, size_t nSize, size_t nCount, void* pUser) {
    auto* pThis = static_cast<CHttp_Base*>(pUser);
    return pThis->OnHeaderLine(pData, nSize, nCount) ? nSize * nCount : 0;
}

int CHttp_Base::ProgressCallback(void* pUser, curl_off_t /*nDlTotal*/, curl_off_t /*nDlNow*/,
                                 curl_off_t /*nUlTotal*/, curl_off_t nUlNow) {
    auto* pThis = static_cast<CHttp_Base*>(pUser);
    if (pThis->IsCancelled() != 0) return 1;
    pThis->OnProgress(static_cast<double>(nUlNow));
    return 0;
}

bool CHttp_Base::IsGzipBody() {
    if (m_strHeaderText.empty()) return false;
    std::u16string strValue = GetHeaderValue(u"Content-Encoding:", m_strHeaderText);
    for (char16_t& ch : strValue) {
        if (ch >= u'A' && ch <= u'Z') ch = static_cast<char16_t>(ch + (u'a' - u'A'));
    }
    if (strValue.find(u"gzip") == std::u16string::npos) return false;
    kt::CAutoLock lock(m_csBuffer);
    return m_pRecvBuffer != nullptr && m_nRecvCount >= 12 &&
           static_cast<unsigned char>(m_pRecvBuffer[0]) == 0x1F &&
           static_cast<unsigned char>(m_pRecvBuffer[1]) == 0x8B;
}

int32_t CHttp_Base::Run() {
    if (m_strUrl.empty()) {
        m_nResult = HTTP_ERR_PARAM;
        return HTTP_ERR_PARAM;
    }
    KT_TRACE("curl HttpRequest Request begin: httpIndex(%d), Tickount(%d)!\n", GetHttpIndex(),
             static_cast<int>(kt::GetTickCount()));
    if (!InitCurl()) {
        m_nResult = HTTP_ERR_CURL_INIT;
        return HTTP_ERR_CURL_INIT;
    }
    {
        kt::CAutoLock lock(m_csBuffer);
        // Only the part a previous reply used can hold old bytes.
        if (m_pRecvBuffer != nullptr && m_nRecvCount > 0) {
            std::memset(m_pRecvBuffer, 0, static_cast<size_t>(m_nRecvCount));
        }
        m_nRecvCount = 0;
    }
    m_nHttpStatus = 200;
    m_nCancel.store(0, std::memory_order_relaxed);
    m_strHeaderText.clear();
    m_nResult = 0;

    int32_t nCode = CURLE_OK;
    const std::string strUrl = kt::ToAnsi(m_strUrl);
    nCode = curl_easy_setopt(m_hCurl, CURLOPT_URL, strUrl.c_str());
    const CURLcode nMethod = m_nBodyLength >= 1 ? curl_easy_setopt(m_hCurl, CURLOPT_POST, 1L)
                                                : curl_easy_setopt(m_hCurl, CURLOPT_HTTPGET, 1L);
    if (nMethod != CURLE_OK) m_nLastCurlCode = nMethod;
    if (nCode == CURLE_OK && m_nBodyLength >= 1 && m_pBody != nullptr) {
        if (m_bCompress) {
            int32_t nPacked = 0;
            char* pPacked = GzipCompress(m_pBody, m_nBodyLength, &nPacked);
            if (pPacked != nullptr) {
                std::free(m_pBody);
                m_pBody = pPacked;
                m_nBodyLength = nPacked;
            }
        }
        nCode = curl_easy_setopt(m_hCurl, CURLOPT_POSTFIELDS, m_pBody);
        if (nCode == CURLE_OK) {
            nCode =
                curl_easy_setopt(m_hCurl, CURLOPT_POSTFIELDSIZE, static_cast<long>(m_nBodyLength));
        }
    }
    if (m_bCompress) {
        // Its failure would show in the next setting.
        curl_easy_setopt(m_hCurl, CURLOPT_COOKIE, "gzipcompress = true;");
    }
    curl_easy_setopt(m_hCurl, CURLOPT_TIMEOUT_MS, static_cast<long>(m_dwTimeout));
    if (nCode == CURLE_OK) nCode = curl_easy_setopt(m_hCurl, CURLOPT_HTTPHEADER, m_pHeaderList);
    if (nCode == CURLE_OK) nCode = curl_easy_setopt(m_hCurl, CURLOPT_FOLLOWLOCATION, 1L);

    if (nCode == CURLE_OK) {
        nCode = curl_easy_perform(m_hCurl);
        for (int nPerforms = 1; nCode == CURLE_GOT_NOTHING && nPerforms < kMaxPerforms;
             ++nPerforms) {
            kt::SleepMs(1);
            nCode = curl_easy_perform(m_hCurl);
        }
        KT_TRACE("curl HttpRequest Request End: httpIndex(%d), Tickount(%d)!\n", GetHttpIndex(),
                 static_cast<int>(kt::GetTickCount()));
        curl_off_t nDownloaded = 0;
        curl_easy_getinfo(m_hCurl, CURLINFO_SIZE_DOWNLOAD_T, &nDownloaded);
        m_dDownloadSize = static_cast<double>(nDownloaded);
        long nStatus = 0;
        curl_easy_getinfo(m_hCurl, CURLINFO_RESPONSE_CODE, &nStatus);
        m_nHttpStatus = static_cast<int32_t>(nStatus);

        const int32_t nStatusNow = m_nHttpStatus;
        bool bDecode = false;
        if (nStatusNow >= 400 && nStatusNow <= 599) {
            nCode = nStatusNow == 504 ? CURLE_OPERATION_TIMEDOUT : CURLE_HTTP_RETURNED_ERROR;
        } else if (nCode == CURLE_OK) {
            bDecode = true;
        } else if (nCode != CURLE_ABORTED_BY_CALLBACK && nStatusNow >= 200 && nStatusNow <= 399) {
            int32_t nHeld = 0;
            {
                kt::CAutoLock lock(m_csBuffer);
                nHeld = m_nRecvCount;
            }
            if (static_cast<double>(nHeld) == m_dDownloadSize) {
                nCode = CURLE_OK;
                bDecode = true;
            }
        }
        if (bDecode && IsGzipBody()) {
            kt::CAutoLock lock(m_csBuffer);
            int32_t nPlain = 0;
            char* pPlain = GzipDecompress(m_pRecvBuffer, m_nRecvCount, &nPlain);
            if (pPlain != nullptr && nPlain >= 1) {
                std::free(m_pRecvBuffer);
                m_pRecvBuffer = pPlain;
                m_nRecvCount = nPlain;
                m_nRecvCapacity = nPlain;
            } else {
                std::free(pPlain);
                m_nResult = HTTP_ERR_UNZIP;
            }
            KT_TRACE(
                "curl HttpRequest Data Has been Compressed: HttpIndex(%d), realLenght(%d), "
                "TickCount(%d).\n",
                GetHttpIndex(), m_nRecvCount, static_cast<int>(kt::GetTickCount()));
        }
    }
    if (nCode != CURLE_OK) m_nLastCurlCode = nCode;
    const int32_t nResult = MapCurlCode(nCode, m_nResult);
    m_nResult = nResult;
    return nResult;
}

CHttp_Async::CHttp_Async(long nId, IAsyReporter* pOwner) : m_nId(nId), m_pOwner(pOwner) {}

CHttp_Async::~CHttp_Async() {
    Stop();
}

bool CHttp_Async::OnProgress(double dValue) {
    if (m_pOwner != nullptr) {
        CountPosted();
        m_pOwner->OnAsyncProgress(m_nId, dValue);
    }
    return true;
}

int32_t CHttp_Async::GetHttpIndex() const {
    return static_cast<int32_t>(m_nId);
}

bool CHttp_Async::Start() {
    Stop();
    for (const std::u16string& strLine : m_vecNextRunHeaders) AddHeader(strLine.c_str());
    m_vecNextRunHeaders.clear();
    m_nCancel.store(0, std::memory_order_relaxed);
    auto pThread = std::make_unique<kt::CThread>();
    if (!pThread->Start([this] { ThreadProc(this); })) return false;
    m_pThread = std::move(pThread);
    return true;
}

void CHttp_Async::Stop() {
    Cancel();
    if (m_pThread) {
        m_pThread->Join(kt::kInfinite);
        m_pThread.reset();
    }
}

bool CHttp_Async::IsRunning() const {
    return m_pThread && m_pThread->IsRunning();
}

int32_t CHttp_Async::AddHeaderForNextRun(const char16_t* pszLine) {
    if (pszLine == nullptr || pszLine[0] == 0) return 0;
    if (!IsRunning()) return AddHeader(pszLine);
    m_vecNextRunHeaders.emplace_back(pszLine);
    return 1;
}

void CHttp_Async::Recycle() {
    m_pReporter = nullptr;
    m_vecNextRunHeaders.clear();
    ResetFields();
    ResetCurl();
}

void CHttp_Async::NotifyAsyncReporter(int32_t nResult) {
    if (m_pOwner == nullptr) return;
    if (IsCancelled() != 0 && nResult == 0) nResult = HTTP_ERR_USER_ABORT;
    KT_TRACE("CHttp_Async::NotifyAsyncReporter result = %d, httpIndex = %d\n", nResult,
             static_cast<int>(m_nId));
    CountPosted();
    if (nResult != 0) {
        m_pOwner->OnAsyncFailed(m_nId, nResult);
    } else {
        m_pOwner->OnAsyncFinished(m_nId);
    }
}

void CHttp_Async::ThreadProc(CHttp_Async* pThis) {
    pThis->NotifyAsyncReporter(pThis->Run());
    // The handle stays with the object: only Stop (on the pool's thread) joins and frees it, so
    // the end of the worker and a concurrent Stop never both close it.
}
