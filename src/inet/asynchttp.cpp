#include "inet/asynchttp.h"

#include <cstring>
#include <new>
#include <stdexcept>

#include "platform/codepage.h"
#include "platform/trace.h"

using namespace kt;

CAsyncHttp::CAsyncHttp(long nId, IAsyncReporter* pReporter) : m_nId(nId), m_pReporter(pReporter) {
    Reset();
}

CAsyncHttp::~CAsyncHttp() {
    if (!m_bClosed) Close();
}

void CAsyncHttp::Reset() {
    m_evtComplete.Reset();
    m_evtClosed.Reset();
    m_evtExit.Reset();
    m_nRunning.store(0);
    m_hRequest.store(nullptr);
    m_dwStatus.store(0);
    std::lock_guard<std::mutex> lock(m_bufferLock);
    m_nReceived = 0;
    if (!m_bBuffer) {
        m_pStorage.reset(new char[kAsyncInitialBuffer]);
        m_nBufferOffset = 0;
        m_nCapacity = kAsyncInitialBuffer;
        m_bBuffer = true;
    }
    m_strBody.clear();
}

void CAsyncHttp::SetExtraHeaders(const std::u16string& strHeaders) {
    m_strHeaders = strHeaders;
}

void CAsyncHttp::SetReporter(IAsyncReporter* pReporter) {
    m_pReporter.store(pReporter);
    KT_TRACE("Set Async http reporter to %p\n", static_cast<void*>(pReporter));
}

uint32_t CAsyncHttp::OpenRequest(int nKind, const std::u16string& strUrl, const char* pBody,
                                 int nLength) {
    if (m_nRunning.load() != 0) {
        {
            // A start announced for this refused call is over.
            std::lock_guard<std::mutex> lock(m_startLock);
            m_bArmed = false;
            m_bCancelPending = false;
        }
        m_dwStatus.fetch_or(kAsyncBusy);
        return m_dwStatus.load();
    }
    {
        // Armed by whoever announced this call, or from here on; a cancel in between stays.
        std::lock_guard<std::mutex> lock(m_startLock);
        if (!m_bArmed) m_bCancelPending = false;
        m_bArmed = true;
    }
    KT_TRACE("Enter OpenRequest()\n");
    // The main thread of the previous transfer clears the running flag before it has released its
    // handles; it is let finish before its events are reused.
    m_thrMain.Join(kInfinite);
    Reset();
    m_strUrl = strUrl;
    m_nKind = nKind;
    if (nKind > 0 && pBody != nullptr && nLength > 0) m_strBody.assign(pBody, nLength);

    {
        std::lock_guard<std::mutex> lock(m_startLock);
        const bool bCancelled = m_bCancelPending;
        m_bArmed = false;
        m_bCancelPending = false;
        // The flag is up before the thread runs, since its read loop runs while the flag is set.
        if (!bCancelled) m_nRunning.store(1);
    }
    if (m_nRunning.load() == 0) {
        // Cancelled before it began: stopped, and nothing was sent.
        m_dwStatus.fetch_or(kAsyncStopped);
        if (IAsyncReporter* pReporter = m_pReporter.load()) pReporter->ReportFinished(m_nId);
        return m_dwStatus.load();
    }
    if (!m_thrMain.Start([this]() { AsyncMainThread(this); })) {
        m_nRunning.store(0);
        m_dwStatus.fetch_or(kAsyncThreadFailed);
        return m_dwStatus.load();
    }

    const uint64_t qwStart = GetTickCount64();
    for (;;) {
        if (WaitAny({&m_thrMain}, 10) == 0) break;
        const int nTimeout = m_nTimeout.load();
        if (nTimeout > 0 && GetTickCount64() - qwStart > static_cast<uint64_t>(nTimeout)) {
            m_evtClosed.Set();
            break;
        }
        if (m_nRunning.load() == 0) {
            m_evtClosed.Set();
            break;
        }
    }
    KT_TRACE("WaitForSingleObject(m_hMainThread, INFINITE);\n");
    if (IAsyncReporter* pReporter = m_pReporter.load()) pReporter->ReportFinished(m_nId);
    KT_TRACE("Exit CAsyncHttp::OpenRequest()\n");
    return m_dwStatus.load();
}

void CAsyncHttp::Arm() {
    std::lock_guard<std::mutex> lock(m_startLock);
    m_bArmed = true;
    m_bCancelPending = false;
}

void CAsyncHttp::Cancel() {
    // The stored internet handle and thread id stay: the main thread releases them itself.
    {
        std::lock_guard<std::mutex> lock(m_startLock);
        if (m_nRunning.load() == 0) {
            // Not begun yet: the start takes it up. Nothing armed: nothing to cancel.
            if (m_bArmed) m_bCancelPending = true;
            return;
        }
        m_evtExit.Set();
        m_dwStatus.fetch_or(kAsyncStopped);
    }
    if (IAsyncReporter* pReporter = m_pReporter.load()) pReporter->ReportCancelled(m_nId);
}

const char* CAsyncHttp::GetData(int* pLength) const {
    std::lock_guard<std::mutex> lock(m_bufferLock);
    if (pLength != nullptr) *pLength = m_nReceived;
    return m_bBuffer ? m_pStorage.get() + m_nBufferOffset : nullptr;
}

const char* CAsyncHttp::TakeData(int* pLength, bool bConsume) {
    std::lock_guard<std::mutex> lock(m_bufferLock);
    if (pLength != nullptr) *pLength = m_nReceived;
    const char* pData = m_bBuffer ? m_pStorage.get() + m_nBufferOffset : nullptr;
    if (bConsume) {
        m_nCapacity -= m_nReceived;
        if (m_nReceived > 0) {
            m_nBufferOffset += m_nReceived;
        } else {
            // Nothing was received: the buffer is given up; the storage itself stays until the
            // next growth or Close, so the pointer handed out above remains readable.
            m_bBuffer = false;
        }
        m_nReceived = 0;
    }
    return pData;
}

std::string CAsyncHttp::CopyData() const {
    std::lock_guard<std::mutex> lock(m_bufferLock);
    if (!m_bBuffer || m_nReceived == 0) return std::string();
    return std::string(m_pStorage.get() + m_nBufferOffset, m_nReceived);
}

int CAsyncHttp::GetCapacity() const {
    std::lock_guard<std::mutex> lock(m_bufferLock);
    return m_nCapacity;
}

void CAsyncHttp::AppendData(const char* pData, int nLength) {
    std::lock_guard<std::mutex> lock(m_bufferLock);
    const int nTotal = m_nReceived + nLength;
    if (!m_bBuffer || nTotal > m_nCapacity) {
        int nCapacity = m_nCapacity;
        if (nTotal > nCapacity) nCapacity = ((nCapacity + nTotal) / 4096 * 4096) * 2;
        std::unique_ptr<char[]> pNew(new char[nCapacity]);
        if (m_bBuffer && m_nReceived > 0)
            std::memcpy(pNew.get(), m_pStorage.get() + m_nBufferOffset, m_nReceived);
        m_pStorage = std::move(pNew);
        m_nBufferOffset = 0;
        m_nCapacity = nCapacity;
        m_bBuffer = true;
    }
    std::memcpy(m_pStorage.get() + m_nBufferOffset + m_nReceived, pData, nLength);
    m_nReceived = nTotal;
}

void CAsyncHttp::Close() {
    // The main thread may still be writing into the buffers, so it ends first.
    m_thrMain.Join(kInfinite);
    KT_TRACE("-------m_hMainThread = %d  &m_hMainThread=%p;\n", m_thrMain.IsAttached() ? 1 : 0,
             static_cast<void*>(&m_thrMain));
    {
        std::lock_guard<std::mutex> lock(m_bufferLock);
        m_pStorage.reset();
        m_bBuffer = false;
        m_nBufferOffset = 0;
        m_nReceived = 0;
        m_nCapacity = 0;
        m_strBody.clear();
    }
    m_pReporter.store(nullptr);
    m_bClosed = true;
}

std::u16string CAsyncHttp::EscapeObject(const std::u16string& strText) {
    static const char16_t kHex[] = u"0123456789ABCDEF";
    std::u16string strOut;
    if (strText.empty()) return strOut;
    const std::string strAnsi = ToAnsi(strText);
    for (unsigned char ch : strAnsi) {
        if (ch >= 32 && ch <= 127 && ch != '%') {
            strOut.push_back(static_cast<char16_t>(ch));
        } else {
            strOut.push_back(u'%');
            strOut.push_back(kHex[ch >> 4]);
            strOut.push_back(kHex[ch & 0xF]);
        }
    }
    return strOut;
}

void CAsyncHttp::Progress(long nStage, long nValue) {
    if (IAsyncReporter* pReporter = m_pReporter.load())
        pReporter->ReportProgress(m_nId, nStage, nValue);
}

void CAsyncHttp::StatusCallback(HINTERNET, DWORD_PTR dwContext, uint32_t dwStatus, void* pInfo,
                                uint32_t) {
    auto* pThis = reinterpret_cast<CAsyncHttp*>(dwContext);
    if (pThis == nullptr) return;
    switch (dwStatus) {
        case INTERNET_STATUS_HANDLE_CREATED: {
            const auto* pResult = static_cast<const INTERNET_ASYNC_RESULT*>(pInfo);
            pThis->m_hRequest.store(reinterpret_cast<HINTERNET>(pResult->dwResult));
            break;
        }
        case INTERNET_STATUS_HANDLE_CLOSING:
            pThis->m_evtClosed.Set();
            break;
        case INTERNET_STATUS_REQUEST_COMPLETE: {
            const auto* pResult = static_cast<const INTERNET_ASYNC_RESULT*>(pInfo);
            if (pResult->dwError != 0)
                pThis->m_evtExit.Set();
            else
                pThis->m_evtComplete.Set();
            break;
        }
        default:
            break;
    }
}

void CAsyncHttp::AsyncCallbackThread(CAsyncHttp* pThis) {
    InternetSetStatusCallback(pThis->m_hInternet, &CAsyncHttp::StatusCallback);
    pThis->m_evtComplete.Set();
    pThis->m_evtExit.Wait(kInfinite);
    // The exit event resets itself when one waiter takes it. The main thread may be waiting for
    // the same signal (a failed completion, a cancel), so it is passed on; when the main thread
    // itself sent it at its end, the extra signal is cleared by the next transfer's reset.
    pThis->m_evtExit.Set();
}

void CAsyncHttp::AsyncMainThread(CAsyncHttp* pThis) {
    KT_TRACE("Enter AsyncMainThread()\n");
    pThis->Transfer();
    pThis->m_evtComplete.Reset();
    pThis->m_evtExit.Set();
    pThis->m_thrCallback.Join(kInfinite);
    if (pThis->m_hInternet != nullptr) {
        InternetSetStatusCallback(pThis->m_hInternet, nullptr);
        // Closing the internet handle also closes a request or connection left open by a stop or
        // a failure, and with it any transfer still under way.
        InternetCloseHandle(pThis->m_hInternet);
        pThis->m_hInternet = nullptr;
    }
    KT_TRACE("Exit AsyncMainThread()\n");
    pThis->m_nRunning.store(0);
    KT_TRACE("Exit  CAsyncHttp::AsyncMainThread()\n");
}

int CAsyncHttp::WaitExitEvent() {
    const int nIndex = WaitAny({&m_evtComplete, &m_evtClosed, &m_evtExit}, kInfinite);
    if (nIndex == 0) return 0;
    if (nIndex == 1) {
        KT_TRACE("Handle be closed.\n");
        return 1;
    }
    m_dwStatus.fetch_or(kAsyncStopped);
    return 1;
}

int CAsyncHttp::Transfer() {
    int nResult = -1;
    try {
        nResult = TransferSteps();
    } catch (...) {
        m_dwStatus.fetch_or(kAsyncException);
        Progress(255, static_cast<long>(m_dwStatus.load()));
        nResult = -1;
    }
    m_nRunning.store(0);
    return nResult;
}

int CAsyncHttp::TransferSteps() {
    uint32_t dwConnection = 0;
    InternetGetConnectedState(&dwConnection, 0);
    const uint32_t dwAccess = (dwConnection & INTERNET_CONNECTION_PROXY)
                                  ? INTERNET_OPEN_TYPE_PRECONFIG
                                  : INTERNET_OPEN_TYPE_PRECONFIG_WITH_NO_AUTOPROXY;
    m_hInternet = InternetOpen(u"ASYNCHTTP", dwAccess, nullptr, nullptr, INTERNET_FLAG_ASYNC);
    if (m_hInternet == nullptr) {
        m_dwStatus.fetch_or(kAsyncOpenFailed);
        return -1;
    }

    m_evtComplete.Reset();
    if (!m_thrCallback.Start([this]() { AsyncCallbackThread(this); })) {
        m_dwStatus.fetch_or(kAsyncThreadFailed);
        return -1;
    }
    m_evtComplete.Wait(kInfinite);
    m_evtComplete.Reset();

    uint32_t dwService = 0;
    std::u16string strServer;
    std::u16string strObject;
    INTERNET_PORT nPort = 0;
    if (!AfxParseURL(m_strUrl.c_str(), dwService, strServer, strObject, nPort)) {
        m_dwStatus.fetch_or(kAsyncUrlFailed);
        return -1;
    }
    strObject = EscapeObject(strObject);

    const auto dwContext = reinterpret_cast<DWORD_PTR>(this);
    HINTERNET hConnect = InternetConnect(m_hInternet, strServer.c_str(), nPort, nullptr, nullptr,
                                         INTERNET_SERVICE_HTTP, 0, dwContext);
    if (hConnect == nullptr) {
        m_dwStatus.fetch_or(kAsyncConnectFailed);
        return -1;
    }

    const char16_t* pszVerb = u"GET";
    if (m_nKind == kAsyncKindPost) {
        pszVerb = u"POST";
    } else if (m_nKind != kAsyncKindGet) {
        m_dwStatus.fetch_or(kAsyncBadKind);
    }
    // The request works on the handle it was given; the field follows the status callback too.
    HINTERNET hRequest =
        HttpOpenRequest(hConnect, pszVerb, strObject.c_str(), u"HTTP/1.1", nullptr, nullptr,
                        INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, dwContext);
    m_hRequest.store(hRequest);
    if (hRequest == nullptr) {
        m_dwStatus.fetch_or(kAsyncSendFailed);
        return -1;
    }

    const std::u16string strHeaders =
        u"Content-Type: application/x-www-form-urlencoded\r\n"
        u"Priority: low\r\n" +
        m_strHeaders;
    if (!HttpSendRequest(hRequest, strHeaders.c_str(), static_cast<uint32_t>(strHeaders.size()),
                         m_strBody.empty() ? nullptr : m_strBody.data(),
                         static_cast<uint32_t>(m_strBody.size()))) {
        if (GetLastInetError() != ERROR_IO_PENDING) {
            m_dwStatus.fetch_or(kAsyncSendFailed);
            return -1;
        }
        KT_TRACE("Enter WaitExitEvent()\n");
        const int nWait = WaitExitEvent();
        KT_TRACE("Exit WaitExitEvent()\n");
        if (nWait != 0) return 1;
    }

    Progress(0, -1);
    while (m_nRunning.load() != 0) {
        m_dwRead = 0;
        if (!InternetReadFile(hRequest, m_szReadBlock, kAsyncReadBlock, &m_dwRead)) {
            if (GetLastInetError() != ERROR_IO_PENDING) return -1;
            if (WaitExitEvent() != 0) return 1;
        } else if (m_evtExit.Wait(0)) {
            return 1;
        }
        if (m_dwRead == 0) break;
        AppendData(m_szReadBlock, static_cast<int>(m_dwRead));
        int nReceived = 0;
        GetData(&nReceived);
        Progress(2, nReceived);
    }
    Progress(3, 0);
    InternetCloseHandle(hRequest);
    InternetCloseHandle(hConnect);
    return 0;
}
