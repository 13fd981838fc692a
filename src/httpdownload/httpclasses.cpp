#include "httpdownload/httpclasses.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>

#include "httpdownload/httphelpers.h"
#include "httpdownload/httpreporter.h"
#include "platform/codepage.h"
#include "platform/largebuffer.h"
#include "platform/trace.h"

namespace {

constexpr const char* kDefaultHeaders[] = {
    "Priority: low",
    "Content-Type: application/x-www-form-urlencoded",
    "Expect:",
};
constexpr long kConnectTimeoutMs = 4000;
constexpr int kMaxPerforms = 12;
constexpr int kWorkerSpins = 16;
// A request URL may come from a configuration file: never let it (or a redirect) reach file://,
// ftp:// or any other scheme libcurl knows.
constexpr const char* kAllowedProtocols = "http,https";
// libcurl moves its download counter once per read buffer, and for a chunked reply only after the
// buffer's decoded bytes have been written: a buffer's worth of wire bytes may not be counted yet.
constexpr int64_t kUncountedWire = CURL_MAX_WRITE_SIZE;

std::atomic<int32_t> g_nMaxReply{kHttpDefaultMaxReply};

bool StartsWithNoCase(std::string_view strText, std::string_view strPrefix) {
    if (strText.size() < strPrefix.size()) return false;
    for (size_t i = 0; i < strPrefix.size(); ++i) {
        char ch = strText[i];
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + ('a' - 'A'));
        if (ch != strPrefix[i]) return false;
    }
    return true;
}

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
    m_pRecvBuffer.reset(static_cast<char*>(std::calloc(kHttpInitialBuffer, 1)));
    if (m_pRecvBuffer) m_nRecvCapacity = kHttpInitialBuffer;
}

CHttp_Base::~CHttp_Base() = default;

bool CHttp_Base::EnsureHeaderList() {
    if (!m_headerList.Empty()) return true;
    kt::CCurlList list;
    for (const char* pszLine : kDefaultHeaders) {
        if (!list.Append(pszLine)) return false;
    }
    m_headerList = std::move(list);
    return true;
}

bool CHttp_Base::ApplyDefaultOptions(bool bConnectTimeout) {
    kt::CCurlOptions options(m_hCurl.get(), "CHttp_Base::InitCurl");
    options.Set(CURLOPT_USERAGENT, "ASYNCHTTP")
        .Set(CURLOPT_ACCEPT_ENCODING, "gzip,deflate")
        .Set(CURLOPT_NOPROGRESS, 0L)
        .Set(CURLOPT_XFERINFOFUNCTION, &CHttp_Base::ProgressCallback)
        .Set(CURLOPT_XFERINFODATA, static_cast<void*>(this))
        .Set(CURLOPT_HEADERFUNCTION, &CHttp_Base::HeaderCallback)
        .Set(CURLOPT_HEADERDATA, static_cast<void*>(this))
        .Set(CURLOPT_WRITEFUNCTION, &CHttp_Base::WriteCallback)
        .Set(CURLOPT_WRITEDATA, static_cast<void*>(this));
    if (bConnectTimeout) options.Set(CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
    options.Set(CURLOPT_PROTOCOLS_STR, kAllowedProtocols)
        .Set(CURLOPT_REDIR_PROTOCOLS_STR, kAllowedProtocols)
        // Workers may be joined at any time; libcurl must not raise SIGALRM for name look-ups.
        .Set(CURLOPT_NOSIGNAL, 1L);
    if (!options.Ok()) m_nLastCurlCode = options.Code();
    return options.Ok();
}

bool CHttp_Base::InitCurl() {
    if (m_hCurl) return true;
    kt::CCurlEasy hCurl = kt::MakeCurlEasy();
    if (!hCurl || !EnsureHeaderList()) return false;
    m_hCurl = std::move(hCurl);
    // A handle whose defaults did not all take (its write callback, say) is not kept for a run.
    if (!ApplyDefaultOptions(true)) {
        m_hCurl.reset();
        return false;
    }
    return true;
}

bool CHttp_Base::ResetCurl() {
    if (!m_hCurl) return InitCurl();
    curl_easy_reset(m_hCurl.get());
    m_headerList.Clear();
    if (!EnsureHeaderList() || !ApplyDefaultOptions(false)) {
        // The next run creates a handle from scratch rather than use a half-set one.
        m_hCurl.reset();
        return false;
    }
    return true;
}

void CHttp_Base::DropBody() {
    m_pBody.reset();
    m_nBodyLength = 0;
}

void CHttp_Base::ResetFields() {
    {
        kt::CAutoLock lock(m_csBuffer);
        DropLargeReceiveBuffer();
    }
    m_strUrl.clear();
    m_strHeaderText.clear();
    m_nCancel.store(0, std::memory_order_relaxed);
    DropBody();
    m_dwTimeout = kHttpDefaultTimeout;
    m_dDownloadSize = 0;
    m_nLastCurlCode = 0;
}

void CHttp_Base::SetMaxReplySize(int64_t nBytes) {
    g_nMaxReply.store(nBytes <= 0 || nBytes > INT32_MAX ? kHttpDefaultMaxReply
                                                        : static_cast<int32_t>(nBytes));
}

int32_t CHttp_Base::GetMaxReplySize() {
    return g_nMaxReply.load();
}

bool CHttp_Base::AllowReplyGrowth(int64_t nNewCount) {
    if (m_nGuardResult != 0) return false;
    if (nNewCount <= m_nGrowthCleared) return true;
    curl_off_t nWire = 0;
    if (m_hCurl) curl_easy_getinfo(m_hCurl.get(), CURLINFO_SIZE_DOWNLOAD_T, &nWire);
    const char* pszBound = nullptr;
    if (nNewCount > m_nMaxReply) {
        m_nGuardResult = HTTP_ERR_CURL_CALL;
        pszBound = "size";
    } else if (m_hCurl && nNewCount > kHttpMaxInflateRatio * (nWire + kUncountedWire)) {
        m_nGuardResult = HTTP_ERR_UNZIP;
        pszBound = "ratio";
    } else {
        m_nGrowthCleared =
            m_hCurl
                ? std::min<int64_t>(m_nMaxReply, kHttpMaxInflateRatio * (nWire + kUncountedWire))
                : m_nMaxReply;
        return true;
    }
    KT_TRACE("curl HttpRequest Reply Refused: httpIndex(%d), bound(%s), bytes(%lld), wire(%lld)\n",
             GetHttpIndex(), pszBound, static_cast<long long>(nNewCount),
             static_cast<long long>(nWire));
    return false;
}

void CHttp_Base::SetFormRequest(std::u16string_view strUrl, std::u16string_view strForm,
                                int32_t bCompress) {
    m_strUrl.assign(strUrl);
    m_bCompress = bCompress;
    DropBody();
    if (strForm.empty()) return;
    const std::string strBytes = kt::ToAnsi(UrlEncodeForm(strForm));
    if (strBytes.empty()) return;
    m_pBody.reset(static_cast<char*>(std::malloc(strBytes.size())));
    if (!m_pBody) return;
    std::memcpy(m_pBody.get(), strBytes.data(), strBytes.size());
    m_nBodyLength = static_cast<int32_t>(strBytes.size());
}

void CHttp_Base::SetDataRequest(std::u16string_view strUrl, const void* pData, uint32_t nLength,
                                int32_t bCompress) {
    m_strUrl.assign(strUrl);
    m_bCompress = bCompress;
    DropBody();
    if (pData == nullptr || nLength == 0 || nLength > static_cast<uint32_t>(INT32_MAX)) return;
    m_pBody.reset(static_cast<char*>(std::malloc(nLength)));
    if (!m_pBody) return;
    std::memcpy(m_pBody.get(), pData, nLength);
    m_nBodyLength = static_cast<int32_t>(nLength);
}

int32_t CHttp_Base::AddHeader(const char16_t* pszLine) {
    if (pszLine == nullptr || pszLine[0] == 0) return 0;
    if (!EnsureHeaderList()) return 0;
    const std::string strLine = kt::ToAnsi(pszLine);
    return m_headerList.Append(strLine.c_str()) ? 1 : 0;
}

char* CHttp_Base::CopyData(int32_t* pLength) {
    kt::CAutoLock lock(m_csBuffer);
    if (!m_pRecvBuffer || m_nRecvCount < 1) {
        if (pLength != nullptr) *pLength = 0;
        return nullptr;
    }
    char* pCopy = kt::AllocLargeBuffer(static_cast<size_t>(m_nRecvCount));
    if (pCopy == nullptr) {
        if (pLength != nullptr) *pLength = 0;
        return nullptr;
    }
    std::memcpy(pCopy, m_pRecvBuffer.get(), static_cast<size_t>(m_nRecvCount));
    if (pLength != nullptr) *pLength = m_nRecvCount;
    return pCopy;
}

char* CHttp_Base::TakeData(int32_t* pLength, bool bDetach) {
    kt::CAutoLock lock(m_csBuffer);
    if (pLength != nullptr) *pLength = m_nRecvCount;
    if (!bDetach) return m_pRecvBuffer.get();
    // A buffer doubled past the reply gives its tail back before it leaves (in place: nothing is
    // copied when a block shrinks).
    const size_t nSlack = static_cast<size_t>(m_nRecvCapacity - m_nRecvCount);
    if (m_pRecvBuffer && m_nRecvCount > 0 && nSlack > (static_cast<size_t>(m_nRecvCount) >> 3)) {
        if (auto* pShrunk = static_cast<char*>(
                std::realloc(m_pRecvBuffer.get(), static_cast<size_t>(m_nRecvCount)))) {
            (void)m_pRecvBuffer.release();  // moved by realloc
            m_pRecvBuffer.reset(pShrunk);
        }
    }
    m_nRecvCapacity = 0;
    m_nRecvCount = 0;
    return m_pRecvBuffer.release();  // the caller frees it now
}

bool CHttp_Base::ReserveReceiveBuffer(size_t nNeeded) {
    size_t nNew = 0;
    if (m_nRecvCount == 0 && !m_bLengthAsked) {
        // libcurl knows the announced length (of the bytes on the wire, which decoding may still
        // exceed) before it hands over the first body byte.
        m_bLengthAsked = true;
        curl_off_t nAnnounced = -1;
        if (m_hCurl)
            curl_easy_getinfo(m_hCurl.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &nAnnounced);
        if (nAnnounced > m_nRecvCapacity && nAnnounced <= m_nMaxReply &&
            static_cast<size_t>(nAnnounced) >= nNeeded) {
            nNew = static_cast<size_t>(nAnnounced);
        }
    }
    if (nNew == 0) {
        if (m_pRecvBuffer && nNeeded <= static_cast<size_t>(m_nRecvCapacity)) return true;
        // Doubling keeps a large reply at a constant number of copies per byte; the bytes beyond
        // the count are never handed out. The size bound already holds for nNeeded.
        const auto nBound = static_cast<size_t>(std::max(m_nMaxReply, kHttpInitialBuffer));
        nNew = std::max({nNeeded, static_cast<size_t>(kHttpInitialBuffer),
                         std::min(static_cast<size_t>(m_nRecvCapacity) * 2, nBound)});
        nNew = std::min(nNew, static_cast<size_t>(INT32_MAX));
    }
    if (m_nRecvCount == 0) {
        // Nothing held: a fresh block, none of the old one's bytes copied.
        CMallocBytes pNew(kt::AllocLargeBuffer(nNew));
        if (!pNew) return false;
        m_pRecvBuffer = std::move(pNew);
    } else {
        auto* pNew = static_cast<char*>(std::realloc(m_pRecvBuffer.get(), nNew));
        if (pNew == nullptr) return false;
        (void)m_pRecvBuffer.release();  // moved by realloc
        m_pRecvBuffer.reset(pNew);
        kt::AdviseLargeBuffer(pNew, nNew);
    }
    m_nRecvCapacity = static_cast<int32_t>(nNew);
    return true;
}

void CHttp_Base::DropLargeReceiveBuffer() {
    if (m_nRecvCapacity > kHttpInitialBuffer) {
        m_pRecvBuffer.reset();
        m_nRecvCapacity = 0;
    } else if (m_pRecvBuffer && m_nRecvCount > 0) {
        // Only the part a previous reply used can hold old bytes.
        std::memset(m_pRecvBuffer.get(), 0, static_cast<size_t>(m_nRecvCount));
    }
    m_nRecvCount = 0;
}

bool CHttp_Base::OnWriteData(const char* pData, size_t nCount) {
    kt::CAutoLock lock(m_csBuffer);
    const size_t nNeeded = static_cast<size_t>(m_nRecvCount) + nCount;
    if (nCount != 0) {
        if (nNeeded > static_cast<size_t>(INT32_MAX)) return false;
        if (!AllowReplyGrowth(static_cast<int64_t>(nNeeded))) return false;
    }
    if ((!m_bLengthAsked || !m_pRecvBuffer || nNeeded > static_cast<size_t>(m_nRecvCapacity)) &&
        !ReserveReceiveBuffer(nNeeded)) {
        return false;
    }
    if (nCount == 0) return true;
    std::memcpy(m_pRecvBuffer.get() + m_nRecvCount, pData, nCount);
    m_nRecvCount = static_cast<int32_t>(nNeeded);
    return true;
}

int32_t CHttp_Base::IsCancelled() const {
    return m_nCancel.load(std::memory_order_relaxed);
}

bool CHttp_Base::OnHeaderLine(const char* pText, size_t nSize, size_t nCount) {
    const size_t nBytes = nSize * nCount;
    const std::string_view strLine(pText, nBytes);
    // Only the last response's framing counts (a redirect or a 100 comes before it).
    if (StartsWithNoCase(strLine, "http/")) m_bChunked = false;
    if (StartsWithNoCase(strLine, "transfer-encoding:") &&
        strLine.find("chunked") != std::string_view::npos) {
        m_bChunked = true;
    }
    m_strHeaderText += kt::FromAnsi(strLine);
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
    return m_pRecvBuffer && m_nRecvCount >= 12 &&
           static_cast<unsigned char>(m_pRecvBuffer.get()[0]) == 0x1F &&
           static_cast<unsigned char>(m_pRecvBuffer.get()[1]) == 0x8B;
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
        DropLargeReceiveBuffer();
    }
    m_nHttpStatus = 200;
    m_nMaxReply = g_nMaxReply.load();
    m_nGuardResult = 0;
    m_nGrowthCleared = 0;
    m_bLengthAsked = false;
    m_bChunked = false;
    m_bReplyComplete = false;
    // The cancel flag is not cleared here: a stop that came after the start but before this run
    // began must still stop it.
    m_strHeaderText.clear();
    m_nResult = 0;

    CURL* hCurl = m_hCurl.get();
    if (m_nBodyLength >= 1 && m_pBody && m_bCompress) {
        int32_t nPacked = 0;
        char* pPacked = GzipCompress(m_pBody.get(), m_nBodyLength, &nPacked);
        if (pPacked != nullptr) {
            m_pBody.reset(pPacked);
            m_nBodyLength = nPacked;
        }
    }
    const std::string strUrl = kt::ToAnsi(m_strUrl);
    kt::CCurlOptions options(hCurl, "CHttp_Base::Run");
    options.Set(CURLOPT_URL, strUrl.c_str());
    if (m_nBodyLength >= 1) {
        options.Set(CURLOPT_POST, 1L);
        if (m_pBody) {
            options.Set(CURLOPT_POSTFIELDS, m_pBody.get())
                .Set(CURLOPT_POSTFIELDSIZE, static_cast<long>(m_nBodyLength));
        }
    } else {
        options.Set(CURLOPT_HTTPGET, 1L);
    }
    if (m_bCompress) options.Set(CURLOPT_COOKIE, "gzipcompress = true;");
    options.Set(CURLOPT_TIMEOUT_MS, static_cast<long>(m_dwTimeout))
        .Set(CURLOPT_HTTPHEADER, m_headerList.Get())
        .Set(CURLOPT_FOLLOWLOCATION, 1L);

    // A request whose options did not all take does not run.
    int32_t nCode = options.Code();
    if (nCode == CURLE_OK) {
        nCode = Perform();
        const int32_t nPerformed = nCode;
        KT_TRACE("curl HttpRequest Request End: httpIndex(%d), Tickount(%d)!\n", GetHttpIndex(),
                 static_cast<int>(kt::GetTickCount()));
        curl_off_t nDownloaded = 0;
        curl_easy_getinfo(hCurl, CURLINFO_SIZE_DOWNLOAD_T, &nDownloaded);
        m_dDownloadSize = static_cast<double>(nDownloaded);
        long nStatus = 0;
        curl_easy_getinfo(hCurl, CURLINFO_RESPONSE_CODE, &nStatus);
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
        if (m_nGuardResult != 0) {
            // A bound refused the body: whatever libcurl made of the write error, the run fails.
            if (nPerformed != CURLE_OK) m_nLastCurlCode = nPerformed;
            nCode = CURLE_OK;
            m_nResult = m_nGuardResult;
        } else {
            curl_off_t nAnnounced = -1;
            curl_easy_getinfo(hCurl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &nAnnounced);
            m_bReplyComplete = nPerformed == CURLE_OK && (nAnnounced >= 0 || m_bChunked ||
                                                          nStatusNow == 204 || nStatusNow == 304);
            if (bDecode && IsGzipBody()) DecodeGzipBody();
        }
    }
    if (nCode != CURLE_OK) m_nLastCurlCode = nCode;
    const int32_t nResult = MapCurlCode(nCode, m_nResult);
    m_nResult = nResult;
    if (nResult != 0) m_bReplyComplete = false;
    return nResult;
}

void CHttp_Base::DecodeGzipBody() {
    kt::CAutoLock lock(m_csBuffer);
    const auto* pBytes = reinterpret_cast<const unsigned char*>(m_pRecvBuffer.get());
    // The member's own trailer sizes the allocation; it is held to the bounds first. The wire
    // count is final here, so nothing is allowed for uncounted bytes.
    const auto* pSize = pBytes + m_nRecvCount - 4;
    const int64_t nDeclared =
        static_cast<int64_t>(pSize[0]) | (static_cast<int64_t>(pSize[1]) << 8) |
        (static_cast<int64_t>(pSize[2]) << 16) | (static_cast<int64_t>(pSize[3]) << 24);
    const auto nWire = static_cast<int64_t>(m_dDownloadSize);
    const char* pszBound = nullptr;
    // The ratio first: a trailer that claims more than the wire bytes could give is a lie or a
    // bomb, either way not a reply that is merely large.
    if (nDeclared > kHttpMaxInflateRatio * nWire + 64) {
        m_nResult = HTTP_ERR_UNZIP;
        pszBound = "ratio";
    } else if (nDeclared > m_nMaxReply) {
        m_nResult = HTTP_ERR_CURL_CALL;
        pszBound = "size";
    }
    if (pszBound != nullptr) {
        KT_TRACE(
            "curl HttpRequest Reply Refused: httpIndex(%d), bound(%s), bytes(%lld), wire(%lld)\n",
            GetHttpIndex(), pszBound, static_cast<long long>(nDeclared),
            static_cast<long long>(nWire));
        return;
    }
    int32_t nPlain = 0;
    CMallocBytes pPlain(GzipDecompress(m_pRecvBuffer.get(), m_nRecvCount, &nPlain));
    if (pPlain && nPlain >= 1) {
        m_pRecvBuffer = std::move(pPlain);
        m_nRecvCount = nPlain;
        m_nRecvCapacity = nPlain;
    } else {
        m_nResult = HTTP_ERR_UNZIP;
    }
    KT_TRACE(
        "curl HttpRequest Data Has been Compressed: HttpIndex(%d), realLenght(%d), "
        "TickCount(%d).\n",
        GetHttpIndex(), m_nRecvCount, static_cast<int>(kt::GetTickCount()));
}

int32_t CHttp_Base::Perform() {
    // A cancelled run sends nothing: the flag is looked at before each perform as well as by the
    // progress callback during one.
    int32_t nCode = CURLE_ABORTED_BY_CALLBACK;
    for (int nPerforms = 0; nPerforms < kMaxPerforms; ++nPerforms) {
        if (IsCancelled() != 0) return CURLE_ABORTED_BY_CALLBACK;
        if (nPerforms > 0) kt::SleepMs(1);
        nCode = curl_easy_perform(m_hCurl.get());
        if (nCode != CURLE_GOT_NOTHING) break;
    }
    return nCode;
}

CHttp_Async::CHttp_Async(long nId, IAsyReporter* pOwner) : m_nId(nId), m_pOwner(pOwner) {}

CHttp_Async::~CHttp_Async() {
    Stop();
    SetWorkerState(WORKER_QUIT);
    if (m_worker.joinable()) m_worker.join();
}

bool CHttp_Async::OnProgress(double dValue) {
    // libcurl calls back many times a second with the same count (always 0 for a GET).
    if (m_pOwner == nullptr || dValue == m_dPosted) return true;
    m_dPosted = dValue;
    m_dProgress.store(dValue, std::memory_order_seq_cst);
    if (!m_bProgressPending.exchange(true, std::memory_order_seq_cst)) {
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
    // A message of the last run that was dropped (released, detached) left its claim behind.
    m_dPosted = 0;
    m_dDelivered = 0;
    m_dProgress.store(0);
    m_bProgressPending.store(false);
    if (!m_worker.joinable()) {
        try {
            m_worker = std::thread([this] { WorkerLoop(); });
        } catch (const std::system_error&) {
            return false;
        }
    }
    SetWorkerState(WORKER_RUN);
    return true;
}

void CHttp_Async::Stop() {
    Cancel();
    WaitWhileWorkerState(WORKER_RUN);
}

void CHttp_Async::SetWorkerState(int nState) {
    {
        std::lock_guard<std::mutex> lock(m_mtxWorker);
        m_nWorkerState = nState;
    }
    m_cvWorker.notify_all();
}

void CHttp_Async::WaitWhileWorkerState(int nState) {
    // The other side is often a few instructions away from the change (the pool's thread, woken
    // by a notification, restarts the worker before it has parked): a few yields save the two
    // context switches of sleeping.
    for (int i = 0; i < kWorkerSpins && m_nWorkerState.load() == nState; ++i) {
        std::this_thread::yield();
    }
    std::unique_lock<std::mutex> lock(m_mtxWorker);
    m_cvWorker.wait(lock, [&] { return m_nWorkerState.load() != nState; });
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

void CHttp_Async::WorkerLoop() {
    for (;;) {
        WaitWhileWorkerState(WORKER_IDLE);
        if (m_nWorkerState.load() == WORKER_QUIT) return;
        // The run is over once it has been reported: a stop that returns has its notification
        // queued already.
        NotifyAsyncReporter(Run());
        SetWorkerState(WORKER_IDLE);
    }
}
