#include "httpdownload/httpdownload.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <ctime>
#include <new>
#include <string_view>

#include "httpdownload/httphelpers.h"
#include "httpdownload/httpreporter.h"
#include "platform/codepage.h"
#include "platform/paths.h"
#include "platform/trace.h"

namespace {

// Bytes a part holds back before it writes: curl hands over at most 16 KiB per call, and a
// throttled connection much less, so the file sees one write per few calls instead of one per call.
constexpr size_t kPartHoldBytes = 64 * 1024;

std::u16string LowerAscii(std::u16string_view strText) {
    std::u16string strLower(strText);
    for (char16_t& ch : strLower) {
        if (ch >= u'A' && ch <= u'Z') ch = static_cast<char16_t>(ch + (u'a' - u'A'));
    }
    return strLower;
}

bool IsBlank(char16_t ch) {
    return ch == u' ' || ch == u'\t' || ch == u'\r' || ch == u'\n' || ch == u'\v' || ch == u'\f';
}

std::u16string_view Trim(std::u16string_view strText) {
    while (!strText.empty() && IsBlank(strText.front())) strText.remove_prefix(1);
    while (!strText.empty() && IsBlank(strText.back())) strText.remove_suffix(1);
    return strText;
}

// The decimal reading the family's headers get (atol): leading blanks, a sign, then digits up to
// the first other character; no digits read as 0. False when the value does not fit 32 bits,
// which a file size of this engine cannot exceed.
bool ReadDecimal(std::u16string_view strText, int32_t* pValue) {
    size_t nPos = 0;
    while (nPos < strText.size() && IsBlank(strText[nPos])) ++nPos;
    bool bNegative = false;
    if (nPos < strText.size() && (strText[nPos] == u'+' || strText[nPos] == u'-')) {
        bNegative = strText[nPos] == u'-';
        ++nPos;
    }
    int64_t nValue = 0;
    for (; nPos < strText.size() && strText[nPos] >= u'0' && strText[nPos] <= u'9'; ++nPos) {
        nValue = nValue * 10 + (strText[nPos] - u'0');
        if (nValue > INT32_MAX) return false;
    }
    *pValue = static_cast<int32_t>(bNegative ? -nValue : nValue);
    return true;
}

bool StartsWithNoCase(std::string_view strText, std::string_view strLowerPrefix) {
    if (strText.size() < strLowerPrefix.size()) return false;
    for (size_t i = 0; i < strLowerPrefix.size(); ++i) {
        char ch = strText[i];
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + ('a' - 'A'));
        if (ch != strLowerPrefix[i]) return false;
    }
    return true;
}

std::string_view TrimFront(std::string_view strText) {
    while (!strText.empty() && (strText.front() == ' ' || strText.front() == '\t')) {
        strText.remove_prefix(1);
    }
    return strText;
}

// The last response was a redirect: the transfer library did not follow it (a scheme it refuses,
// or too many redirects), yet counts the empty body as received. No byte of the file came.
bool EndedInRedirect(const CHttp_Base& http) {
    return http.GetHttpStatus() >= 300 && http.GetHttpStatus() <= 399;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CHttp_DownloadFile

CHttp_DownloadFile::CHttp_DownloadFile(long nId, IAsyReporter* pOwner) : CHttp_Async(nId, pOwner) {}

CHttp_DownloadFile::~CHttp_DownloadFile() {
    // The worker calls back into this object's overrides: it must be gone before they are.
    StopPart();
    CloseFile();
}

int32_t CHttp_DownloadFile::IsCancelled() const {
    // The part's own flag also survives the information request, which runs the base transfer on
    // a part that may have been signalled.
    return (CHttp_Base::IsCancelled() != 0 || m_bStopPart.load()) ? 1 : 0;
}

int32_t CHttp_DownloadFile::Run() {
    int32_t nResult = 0;
    if (!InitCurl()) {
        nResult = HTTP_ERR_CURL_INIT;
    } else {
        // A part of unknown length (server without ranges) asks for the whole resource.
        char szRange[64] = "";
        if (m_nPartLength >= 0) {
            std::snprintf(szRange, sizeof(szRange), "%" PRId64 "-%" PRId64,
                          static_cast<int64_t>(m_nStartOffset),
                          static_cast<int64_t>(m_nStartOffset) + m_nPartLength - 1);
        }
        kt::CCurlOptions options(m_hCurl.get(), "CHttp_DownloadFile::Run");
        options.Set(CURLOPT_RANGE, szRange[0] != 0 ? szRange : static_cast<const char*>(nullptr));
        if (!options.Ok()) {
            m_nLastCurlCode = options.Code();
            nResult = HTTP_ERR_OPERATION;
        } else {
            nResult = CHttp_Base::Run();
        }
    }
    if (nResult != 0) m_nResult = nResult;

    if (m_nPartLength < 0 && nResult == 0 && m_nHeld == 0 && !EndedInRedirect(*this)) {
        // Without ranges the byte count cannot tell completion by itself: the transfer must have
        // succeeded, every byte it delivered must be in the file, and a size the server announced
        // must have been reached.
        int32_t nExpected = m_pDownload ? m_pDownload->m_nFileSize.load() : 0;
        if (nExpected <= 0 || m_nWritten.load() == nExpected) m_bComplete = true;
    }
    CloseFile();
    return nResult;
}

bool CHttp_DownloadFile::OnHeaderLine(const char* pText, size_t nSize, size_t nCount) {
    const std::string_view strLine(pText, nSize * nCount);
    // Each response (a redirect, a 100, the answer) starts over; only the last one's body arrives.
    if (StartsWithNoCase(strLine, "http/")) {
        m_nReplyStart = 0;
    } else if (StartsWithNoCase(strLine, "content-range:")) {
        // "bytes FIRST-LAST/TOTAL": the first byte is the one that counts here.
        std::string_view strValue = TrimFront(strLine.substr(14));
        if (StartsWithNoCase(strValue, "bytes")) strValue = TrimFront(strValue.substr(5));
        int64_t nFirst = 0;
        size_t nDigits = 0;
        for (; nDigits < strValue.size() && nDigits < 12 && strValue[nDigits] >= '0' &&
               strValue[nDigits] <= '9';
             ++nDigits) {
            nFirst = nFirst * 10 + (strValue[nDigits] - '0');
        }
        const bool bRead = nDigits != 0 && nDigits < strValue.size() && strValue[nDigits] == '-';
        m_nReplyStart = bRead ? nFirst : -1;
    }
    return CHttp_Async::OnHeaderLine(pText, nSize, nCount);
}

bool CHttp_DownloadFile::OnWriteData(const char* pData, size_t nCount) {
    if (pData == nullptr || nCount == 0 || m_strLocalPath.empty()) return true;
    if (nCount > static_cast<size_t>(INT32_MAX)) return false;
    const int32_t n = static_cast<int32_t>(nCount);
    const int32_t nWritten = m_nWritten.load(std::memory_order_relaxed);

    // A body that does not begin where the part asked would land at the wrong place in the file
    // (another range than the one asked for, or a whole-file answer to a later part).
    if (m_nPartLength >= 0 && m_nReplyStart != m_nStartOffset) return false;

    // A server that ignores the range would write other parts' bytes over them: refuse anything
    // beyond the part's end, which fails the part and with it the download.
    if (m_nPartLength >= 0 && static_cast<int64_t>(nWritten) + n > m_nPartLength) return false;

    if (m_nHeld + nCount < m_vecHold.size() && static_cast<int64_t>(nWritten) + n < m_nPartLength) {
        std::memcpy(m_vecHold.data() + m_nHeld, pData, nCount);
        m_nHeld += nCount;
    } else {
        // The last bytes of a part never stay held: they go out together with what was waiting.
        if (!m_pFile) return false;
        if (m_nHeld != 0 && std::fwrite(m_vecHold.data(), 1, m_nHeld, m_pFile.get()) != m_nHeld) {
            return false;
        }
        m_nHeld = 0;
        if (std::fwrite(pData, 1, nCount, m_pFile.get()) != nCount) return false;
    }

    m_nWritten.store(nWritten + n, std::memory_order_relaxed);
    if (nWritten + n == m_nPartLength) m_bComplete = true;
    if (m_pDownload != nullptr) m_pDownload->AddDownloaded(n);
    return true;
}

bool CHttp_DownloadFile::StartPart(const std::u16string& strUrl, const std::u16string& strPath,
                                   int32_t nLength, int32_t nStart, CMTRDownload* pDownload) {
    if (strUrl.empty()) return false;
    m_bStopPart = false;
    m_bComplete = false;
    m_strLocalPath = strPath;
    m_nPartLength = nLength;
    m_nStartOffset = nStart;
    m_pDownload = pDownload;
    m_nWritten = 0;
    m_nHeld = 0;
    m_nReplyStart = 0;
    SetDataRequest(strUrl, nullptr, 0, 0);

    CloseFile();
    // Opened by every part at once: read/write, created when missing, never truncated.
    const std::string strFsPath = kt::ToFsPath(strPath);
    m_pFile.reset(kt::OpenFileForUpdate(strPath));
    if (!m_pFile) {
        KT_TRACE("CHttp_DownloadFile::StartPart open [%s] failed: %d\n", strFsPath.c_str(), errno);
        return false;
    }
    // The part buffers by itself; a second buffer in stdio would only copy again.
    std::setvbuf(m_pFile.get(), nullptr, _IONBF, 0);
    if (::fseeko(m_pFile.get(), nStart, SEEK_SET) != 0 || ::ftello(m_pFile.get()) != nStart) {
        CloseFile();
        return false;
    }
    if (m_vecHold.size() != kPartHoldBytes) m_vecHold.assign(kPartHoldBytes, 0);

    // A part runs once, so it keeps a thread per run: its end is what the download waits on.
    m_nCancel.store(0, std::memory_order_relaxed);
    auto pThread = std::make_unique<kt::CThread>();
    if (!pThread->Start([this] { Run(); })) {
        CloseFile();
        return false;
    }
    m_pPartThread = std::move(pThread);
    return true;
}

void CHttp_DownloadFile::SignalStop() {
    m_bStopPart = true;
    Cancel();
}

void CHttp_DownloadFile::StopPart() {
    SignalStop();
    if (m_pPartThread) {
        m_pPartThread->Join(kt::kInfinite);
        m_pPartThread.reset();
    }
}

kt::CThread* CHttp_DownloadFile::GetPartThread() const {
    return (m_pPartThread && m_pPartThread->IsAttached()) ? m_pPartThread.get() : nullptr;
}

void CHttp_DownloadFile::CloseFile() {
    m_pFile.reset();
}

bool CHttp_DownloadFile::ParseSiteInfo() {
    const std::u16string& strHeader = GetHeaderText();
    const std::u16string strLower = LowerAscii(strHeader);

    // Status line: "http/1.1 206 partial content".
    size_t nPos = strLower.find(u"http/");
    if (nPos == std::u16string::npos) return false;
    size_t nEnd = strLower.find(u"\r\n", nPos);
    std::u16string_view strLine = Trim(std::u16string_view(strLower).substr(
        nPos, nEnd == std::u16string::npos ? std::u16string::npos : nEnd - nPos));
    size_t nSpace = strLine.find(u' ');
    if (nSpace == std::u16string_view::npos) return false;
    std::u16string_view strCode = Trim(strLine.substr(nSpace + 1));
    strCode = strCode.substr(0, strCode.find(u' '));
    int32_t nStatus = 0;
    if (!ReadDecimal(strCode, &nStatus)) return false;
    if (nStatus >= 200 && nStatus <= 299) {
        m_nRangeSupport = 1;
    } else if (nStatus >= 300 && nStatus <= 399) {
        m_nRangeSupport = 0;
    } else if (nStatus == 404) {
        return false;
    }

    std::u16string strModified = GetHeaderValue(u"last-modified:", strHeader);
    if (!strModified.empty()) {
        time_t tModified = curl_getdate(kt::ToAnsi(strModified).c_str(), nullptr);
        // A date curl cannot read leaves the time unknown rather than stamping 1969 on the file.
        if (tModified != static_cast<time_t>(-1)) {
            if (strLower.find(u"gmt") != std::u16string::npos) {
                // The family's rule: a GMT date is broken down as universal time and read back as
                // local time, so the stored value carries the local zone's offset.
                struct tm tmUtc {};
                if (gmtime_r(&tModified, &tmUtc) != nullptr) tModified = mktime(&tmUtc);
            }
            m_tLastModified = static_cast<int64_t>(tModified);
        }
    }

    std::u16string strSize;
    if (strLower.find(u"content-range:") == std::u16string::npos) {
        m_nRangeSupport = 0;
        strSize = GetHeaderValue(u"content-length:", strHeader);
    } else {
        strSize = GetHeaderValue(u"content-range:", strHeader);
    }
    if (!strSize.empty()) {
        size_t nSlash = strSize.find(u'/');
        std::u16string_view strTotal(strSize);
        if (nSlash != std::u16string::npos) strTotal = strTotal.substr(nSlash + 1);
        // A negative size ("-5") is as impossible as one beyond 32 bits.
        int32_t nSize = 0;
        if (!ReadDecimal(strTotal, &nSize) || nSize < 0) return false;
        m_nRemoteSize = nSize;
    }

    if (m_nRemoteSize == 0 && m_nRangeSupport == 0) {
        double dSize = GetDownloadSize();
        if (dSize > INT32_MAX) return false;
        m_nRemoteSize = static_cast<int32_t>(dSize);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// CMTRDownload

CMTRDownload::CMTRDownload(long nId, IAsyReporter* pOwner)
    : m_pStopEvent(std::make_unique<kt::CEvent>(true, false)), m_pOwner(pOwner), m_nId(nId) {}

CMTRDownload::~CMTRDownload() {
    Stop();
    ReleaseParts();
}

int32_t CMTRDownload::GetReomteSiteInfo(CHttp_DownloadFile* pPart, const std::u16string& strUrl) {
    KT_TRACE("Begin GetReomteSiteInfo: %d\n", static_cast<int>(std::clock()));
    if (pPart == nullptr || strUrl.empty()) return HTTP_ERR_PARAM;
    if (!pPart->InitCurl()) return HTTP_ERR_CURL_INIT;

    // With the local path empty the body bytes of the answer are discarded, not written anywhere.
    std::u16string strKeep = std::move(pPart->m_strLocalPath);
    pPart->m_strLocalPath.clear();
    pPart->m_nRangeSupport = 0;
    pPart->m_nRemoteSize = 0;
    pPart->m_tLastModified = 0;
    pPart->m_nPartLength = -1;
    pPart->m_pDownload = nullptr;
    int32_t nResult = HTTP_ERR_CURL_CALL;
    if (kt::CCurlOptions(pPart->m_hCurl.get(), "CMTRDownload::GetReomteSiteInfo")
            .Set(CURLOPT_RANGE, "0-0")
            .Ok()) {
        pPart->SetDataRequest(strUrl, nullptr, 0, 0);
        nResult = pPart->CHttp_Base::Run();
        // Back to no range; a handle that keeps "0-0" would cut every later transfer short.
        if (!kt::CCurlOptions(pPart->m_hCurl.get(), "CMTRDownload::GetReomteSiteInfo")
                 .Set(CURLOPT_RANGE, static_cast<const char*>(nullptr))
                 .Ok())
            pPart->m_hCurl.reset();
    }
    pPart->m_strLocalPath = std::move(strKeep);

    if (nResult == 0 && EndedInRedirect(*pPart)) {
        // A redirect the transfer library refused to follow (file://, ftp://, or too many of
        // them): nothing of the file was seen, and the local file must not be touched for it.
        KT_TRACE("CMTRDownload::GetReomteSiteInfo redirect not followed: status %d, code %d\n",
                 static_cast<int>(pPart->GetHttpStatus()),
                 static_cast<int>(pPart->GetLastCurlCode()));
        nResult = HTTP_ERR_OPERATION;
    } else if (nResult == 0) {
        if (!pPart->ParseSiteInfo()) nResult = HTTP_NO_INDEX;
    } else if (nResult == HTTP_ERR_REPLY && pPart->GetHttpStatus() == 404) {
        // An error status fails the transfer before the headers are looked at; a missing file is
        // still told apart from other error answers, as the header parse does.
        nResult = HTTP_NO_INDEX;
    }
    if (nResult == 0) KT_TRACE("End GetReomteSiteInfo: %d\n", static_cast<int>(std::clock()));
    return nResult;
}

int32_t CMTRDownload::PartCountFor(uint32_t nRangeSupport, int32_t nFileSize) {
    if (nRangeSupport == 0 || nFileSize < kDownloadPartUnit) return 1;
    int32_t nCount = nFileSize / kDownloadPartUnit + 1;
    return nCount > kDownloadMaxParts ? kDownloadMaxParts : nCount;
}

bool CMTRDownload::CreateParts(int32_t nCount) {
    ReleaseParts();
    if (nCount < 1 || nCount > kDownloadMaxParts) return false;
    std::vector<std::unique_ptr<CHttp_DownloadFile>> vecParts;
    try {
        for (int32_t i = 0; i < nCount; ++i) {
            vecParts.push_back(std::make_unique<CHttp_DownloadFile>(-1, nullptr));
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    kt::CAutoLock lock(m_csParts);
    m_vecParts.swap(vecParts);
    return true;
}

bool CMTRDownload::Prepare() {
    if (!m_pStopEvent) {
        m_pStopEvent = std::make_unique<kt::CEvent>(true, false);
    } else {
        m_pStopEvent->Reset();
    }
    m_run.strUrl = m_strUrl;
    m_run.strPath = m_strPath;
    m_run.pReporter = m_pReporter;
    m_run.pOwner = m_pOwner;
    m_run.dwPartTimeout = m_dwPartTimeout.load();
    {
        kt::CAutoLock lock(m_csProgress);
        m_nDownloaded = 0;
    }

    if (!CreateParts(m_nPartCount)) return false;
    CHttp_DownloadFile* pFirst = m_vecParts.front().get();
    pFirst->SetTimeout(m_run.dwPartTimeout);
    if (GetReomteSiteInfo(pFirst, m_run.strUrl) != 0) return false;
    m_nRangeSupport = pFirst->GetRangeSupport();
    m_nFileSize = pFirst->GetRemoteSize();
    m_tLastModified = pFirst->GetLastModified();

    // Refused before the local file is touched: creating it would truncate what is there for a
    // download that cannot run.
    if (m_nRangeSupport != 0 && m_nFileSize.load() == 0) return false;
    if (!CreateSizedFile(m_run.strPath.c_str(), m_nFileSize.load())) return false;

    m_nPartCount = PartCountFor(m_nRangeSupport, m_nFileSize.load());
    return CreateParts(m_nPartCount);
}

bool CMTRDownload::CreateAndStartParts() {
    const bool bStarted = StartParts();
    // A part that could not start stops the others, joined without the parts lock.
    if (!bStarted) StopParts();
    return bStarted;
}

bool CMTRDownload::StartParts() {
    kt::CAutoLock lock(m_csParts);
    const int32_t nCount = m_nPartCount;
    const int32_t nSize = m_nFileSize.load();
    if (nCount < 1 || nCount > kDownloadMaxParts) return false;
    if (m_nRangeSupport != 0 && nSize == 0) return false;
    if (static_cast<int32_t>(m_vecParts.size()) != nCount) return false;

    bool bStarted = true;
    if (m_nRangeSupport == 0) {
        CHttp_DownloadFile* pPart = m_vecParts.front().get();
        pPart->SetReporter(m_run.pReporter);
        pPart->SetTimeout(m_run.dwPartTimeout);
        bStarted = pPart->StartPart(m_run.strUrl, m_run.strPath, -1, 0, this);
    } else {
        // Part 0 takes the remainder, so every later part has the same length.
        const int32_t nQuot = nSize / nCount;
        const int32_t nRem = nSize % nCount;
        int32_t nStart = 0;
        for (int32_t i = 0; i < nCount && bStarted; ++i) {
            const int32_t nLength = i == 0 ? nQuot + nRem : nQuot;
            CHttp_DownloadFile* pPart = m_vecParts[i].get();
            pPart->SetReporter(m_run.pReporter);
            pPart->SetTimeout(m_run.dwPartTimeout);
            bStarted = pPart->StartPart(m_run.strUrl, m_run.strPath, nLength, nStart, this);
            nStart += nLength;
        }
    }
    return bStarted;
}

bool CMTRDownload::WaitForDownloadFinished() {
    std::vector<kt::CWaitable*> vecHandles;
    std::vector<CHttp_DownloadFile*> vecRunning;
    try {
        vecHandles.reserve(kDownloadMaxParts + 1);
        vecRunning.reserve(kDownloadMaxParts);
    } catch (const std::bad_alloc&) {
        KT_TRACE("CMTRDownload::WaitForDownloadFinished new handle failed!\n");
        return false;
    }

    bool bSuccess = false;
    for (;;) {
        vecHandles.clear();
        vecRunning.clear();
        {
            kt::CAutoLock lock(m_csParts);
            for (const auto& pPart : m_vecParts) {
                if (kt::CThread* pThread = pPart->GetPartThread()) {
                    vecHandles.push_back(pThread);
                    vecRunning.push_back(pPart.get());
                }
            }
        }
        if (vecRunning.empty()) {
            bSuccess = true;
            break;
        }
        vecHandles.push_back(m_pStopEvent.get());
        const int nIndex = kt::WaitAny(vecHandles, kt::kInfinite);
        if (nIndex < 0 || nIndex >= static_cast<int>(vecRunning.size())) break;  // stop or error
        CHttp_DownloadFile* pEnded = vecRunning[nIndex];
        if (!pEnded->IsComplete()) break;
        // Joined only now, after its complete flag was read.
        pEnded->StopPart();
    }

    if (!bSuccess) StopParts();
    return bSuccess;
}

void CMTRDownload::StopParts() {
    // Signalled under the lock, joined after it: the pool's thread takes the lock to signal parts
    // while this thread waits. Only this thread frees parts, so the copies stay good.
    std::vector<CHttp_DownloadFile*> vecParts;
    {
        kt::CAutoLock lock(m_csParts);
        for (const auto& pPart : m_vecParts) {
            pPart->SignalStop();
            vecParts.push_back(pPart.get());
        }
    }
    // Every part was told at once, so the wait below lasts as long as the slowest one needs to
    // notice, not the sum of them. A part that does not end within the limit is still joined by
    // StopPart: its worker uses the part object, which must outlive it.
    const uint64_t nDeadline = kt::GetTickCount64() + kDownloadStopWaitMs;
    for (CHttp_DownloadFile* pPart : vecParts) {
        if (kt::CThread* pThread = pPart->GetPartThread()) {
            uint64_t nNow = kt::GetTickCount64();
            if (nNow < nDeadline) pThread->Join(static_cast<uint32_t>(nDeadline - nNow));
        }
        pPart->StopPart();
    }
}

void CMTRDownload::ReleaseParts() {
    // Freeing a part joins its worker, so the parts leave the array under the lock and are freed
    // after it.
    std::vector<std::unique_ptr<CHttp_DownloadFile>> vecDoomed;
    {
        kt::CAutoLock lock(m_csParts);
        vecDoomed.swap(m_vecParts);
    }
    vecDoomed.clear();
}

bool CMTRDownload::RunDownload() {
    bool bSuccess = CreateAndStartParts() && WaitForDownloadFinished();
    FinishDownload(bSuccess);
    return bSuccess;
}

void CMTRDownload::FinishDownload(bool bSuccess) {
    StopParts();
    if (bSuccess && m_tLastModified != 0) {
        // Every part has closed its file by now (a part's worker closes it before it ends).
        const std::string strFsPath = kt::ToFsPath(m_run.strPath);
        if (!kt::SetFileModifiedTime(m_run.strPath, m_tLastModified)) {
            KT_TRACE("CMTRDownload::FinishDownload set time of [%s] failed: %d\n",
                     strFsPath.c_str(), errno);
        }
    }
    m_dwPartTimeout = kDownloadPartTimeout;
    m_nFileSize = 0;
    {
        kt::CAutoLock lock(m_csProgress);
        m_nDownloaded = 0;
    }
    ReleaseParts();
}

void CMTRDownload::WorkerMain() {
    const bool bSuccess = RunDownload();
    IAsyReporter* pOwner = m_run.pOwner;
    if (pOwner != nullptr) {
        CountPosted();
        if (bSuccess) {
            pOwner->OnAsyncFinished(m_nId);
        } else {
            pOwner->OnAsyncFailed(m_nId, 0);
        }
    }
}

bool CMTRDownload::StartDownload(bool bWait) {
    Stop();
    if (!Prepare()) {
        FinishDownload(false);
        return false;
    }
    if (bWait) return RunDownload();

    m_pThread = std::make_unique<kt::CThread>();
    if (!m_pThread->Start([this] { WorkerMain(); })) {
        m_pThread.reset();
        FinishDownload(false);
        return false;
    }
    return true;
}

bool CMTRDownload::DownloadSync(const std::u16string& strUrl, const std::u16string& strPath,
                                IHttpReporter* pReporter) {
    Stop();
    m_strUrl = strUrl;
    m_strPath = strPath;
    m_pReporter = pReporter;
    if (!Prepare()) {
        FinishDownload(false);
        return false;
    }
    return RunDownload();
}

void CMTRDownload::Stop() {
    // The event wakes the download's wait at once; the flags make each part's transfer abort at
    // its next progress call. The worker then stops and frees the parts itself, so the parts are
    // only signalled here, never joined from this thread while the worker may be joining them.
    if (m_pStopEvent) m_pStopEvent->Set();
    {
        kt::CAutoLock lock(m_csParts);
        for (const auto& pPart : m_vecParts) pPart->SignalStop();
    }
    if (m_pThread) {
        m_pThread->Join();
        m_pThread.reset();
    }
    // Parts prepared for a run that never started, or left by a run on this thread.
    StopParts();
}

bool CMTRDownload::IsRunning() const {
    return m_pThread != nullptr && m_pThread->IsRunning();
}

int32_t CMTRDownload::GetDownloaded() const {
    kt::CAutoLock lock(m_csProgress);
    return m_nDownloaded;
}

void CMTRDownload::AddDownloaded(int32_t nCount) {
    // The owner is told inside the lock so that the counts it posts never arrive out of order.
    kt::CAutoLock lock(m_csProgress);
    m_nDownloaded += nCount;
    if (m_run.pOwner != nullptr) {
        CountPosted();
        m_run.pOwner->OnAsyncStatus(m_nId, m_nDownloaded);
    }
}
