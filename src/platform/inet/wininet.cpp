#include "platform/inet/wininet.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "libcurl/curlholders.h"
#include "platform/codepage.h"
#include "platform/trace.h"

namespace kt {
namespace {

thread_local uint32_t t_dwLastError = 0;
std::atomic<bool> g_bRefuseTransfers{false};

bool Fail(uint32_t dwError) {
    t_dwLastError = dwError;
    return false;
}

HINTERNET FailHandle(uint32_t dwError) {
    t_dwLastError = dwError;
    return nullptr;
}

// How long InternetConnect waits for the TCP connection, and how long a transfer may go without a
// single byte before it fails with ERROR_INTERNET_TIMEOUT (WinInet's own defaults are of this
// order).
constexpr int kConnectTimeoutMs = 20000;
constexpr long kReceiveStallSeconds = 30;
// Received bytes held for InternetReadFile before the transfer is paused; it goes on once the
// reader has taken half of them.
constexpr size_t kMaxBuffered = 256 * 1024;

enum class EKind { kInternet, kConnect, kRequest };

struct HANDLE_OBJ {
    EKind eKind = EKind::kInternet;
    uintptr_t nId = 0;
    uintptr_t nParent = 0;
    DWORD_PTR dwContext = 0;
    INTERNET_STATUS_CALLBACK pfnCallback = nullptr;

    // Internet handle.
    std::string strAgent;
    uint32_t dwAccessType = INTERNET_OPEN_TYPE_PRECONFIG;
    std::string strProxy;
    std::string strProxyBypass;

    // Connection handle: the server and the socket InternetConnect connected (-1 once a request
    // took it).
    std::string strServer;
    INTERNET_PORT nPort = 0;
    int nSocket = -1;

    // Request handle.
    std::string strVerb;
    std::string strTarget;
    bool bHttp10 = false;
    uint32_t dwFlags = 0;
    // Created, set up and freed on the worker only.
    CCurlEasy pEasy;
    CCurlList headers;
    std::string strBody;
    int nOwnSocket = -1;         // the connection's socket, handed to curl on its first connect
    bool bHandedOver = false;    // curl just received nOwnSocket and must not connect it again
    bool bSent = false;          // HttpSendRequest was called
    bool bSendDone = false;      // its completion was reported
    bool bTransferDone = false;  // curl finished (bResultOk tells how)
    bool bResultOk = false;
    uint32_t dwResultError = 0;
    bool bInMulti = false;
    bool bPaused = false;
    long nStatusLine = 0;  // status code of the reply head being read
    bool bLocation = false;
    std::string strData;  // received, not yet read
    size_t nDataPos = 0;
    bool bReadPending = false;
    char* pReadBuffer = nullptr;
    uint32_t dwReadCapacity = 0;
    uint32_t* pdwRead = nullptr;
};

struct NOTE {
    uintptr_t nHandle;
    uint32_t dwStatus;
    INTERNET_ASYNC_RESULT result;
};

uint32_t MapCurlError(CURLcode code) {
    switch (code) {
        case CURLE_OK:
            return 0;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return ERROR_INTERNET_NAME_NOT_RESOLVED;
        case CURLE_COULDNT_CONNECT:
            return ERROR_INTERNET_CANNOT_CONNECT;
        case CURLE_OPERATION_TIMEDOUT:
            return ERROR_INTERNET_TIMEOUT;
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
            return ERROR_INTERNET_CONNECTION_RESET;
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
            return ERROR_INTERNET_CONNECTION_ABORTED;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_UNSUPPORTED_PROTOCOL:
            return ERROR_HTTP_INVALID_SERVER_RESPONSE;
        case CURLE_OUT_OF_MEMORY:
            return ERROR_NOT_ENOUGH_MEMORY;
        default:
            return ERROR_INTERNET_INTERNAL_ERROR;
    }
}

std::string Narrow(const char16_t* psz, size_t nLen = std::u16string::npos) {
    if (psz == nullptr) return std::string();
    std::u16string_view view =
        nLen == std::u16string::npos ? std::u16string_view(psz) : std::u16string_view(psz, nLen);
    return ToAnsi(view);
}

// The request target goes on the wire as the caller gave it ('#' and '%' included: the caller has
// escaped what it wanted escaped), except what would break the request line: a blank becomes %20
// (as the system's own library sends it) and control bytes are escaped the same way. A target
// without its leading '/' gets one.
std::string CleanTarget(const std::string& strObject) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string strOut;
    if (strObject.empty() || strObject[0] != '/') strOut.push_back('/');
    for (unsigned char ch : strObject) {
        if (ch <= 0x20) {
            strOut.push_back('%');
            strOut.push_back(kHex[ch >> 4]);
            strOut.push_back(kHex[ch & 0xF]);
        } else {
            strOut.push_back(static_cast<char>(ch));
        }
    }
    return strOut;
}

// Resolves and connects with a time-out; -1 with the error set on failure.
int ConnectSocket(const std::string& strServer, INTERNET_PORT nPort, uint32_t& dwError) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* pList = nullptr;
    const std::string strPort = std::to_string(nPort);
    if (getaddrinfo(strServer.c_str(), strPort.c_str(), &hints, &pList) != 0 || !pList) {
        dwError = ERROR_INTERNET_NAME_NOT_RESOLVED;
        return -1;
    }
    dwError = ERROR_INTERNET_CANNOT_CONNECT;
    int nFd = -1;
    for (addrinfo* p = pList; p != nullptr && nFd < 0; p = p->ai_next) {
        int nSock = socket(p->ai_family, p->ai_socktype | SOCK_CLOEXEC, p->ai_protocol);
        if (nSock < 0) continue;
        fcntl(nSock, F_SETFL, fcntl(nSock, F_GETFL, 0) | O_NONBLOCK);
        int nRc = connect(nSock, p->ai_addr, p->ai_addrlen);
        if (nRc != 0 && errno == EINPROGRESS) {
            pollfd pfd{nSock, POLLOUT, 0};
            nRc = poll(&pfd, 1, kConnectTimeoutMs);
            if (nRc == 0) {
                dwError = ERROR_INTERNET_TIMEOUT;
                nRc = -1;
            } else if (nRc > 0) {
                int nErr = 0;
                socklen_t nLen = sizeof(nErr);
                getsockopt(nSock, SOL_SOCKET, SO_ERROR, &nErr, &nLen);
                nRc = nErr == 0 ? 0 : -1;
            } else {
                nRc = -1;
            }
        }
        if (nRc == 0) {
            nFd = nSock;  // stays non-blocking: libcurl drives it
        } else {
            close(nSock);
        }
    }
    freeaddrinfo(pList);
    return nFd;
}

// The library's state: the handle table, the worker thread that drives libcurl's multi interface
// and delivers every notification, and the commands other threads hand to it. One lock guards
// the table and every handle's fields; curl handles are touched on the worker only.
// What HttpSendRequest hands the worker, which builds the easy handle from it.
struct SEND_SETUP {
    std::string strUrl;  // scheme, host and port; the target goes separately, as given
    std::string strAgent;
    uint32_t dwAccessType = INTERNET_OPEN_TYPE_PRECONFIG;
    std::string strProxy;
    std::string strProxyBypass;
    std::vector<std::string> vecHeaderLines;
};

// On the worker: creates the request's easy handle and header list and sets every option; the
// first option libcurl refuses stops it (and is named in the trace). Returns libcurl's code.
CURLcode SetUpEasy(HANDLE_OBJ& obj, const SEND_SETUP& setup);

class CInetEngine {
public:
    static CInetEngine& Get() {
        // Never destroyed: a status callback may still run while static objects go away.
        static CInetEngine* s_pEngine = new CInetEngine;
        return *s_pEngine;
    }

    std::mutex m_mutex;
    std::map<uintptr_t, std::unique_ptr<HANDLE_OBJ>> m_mapHandles;

    HANDLE_OBJ* Find(HINTERNET h) {
        auto it = m_mapHandles.find(reinterpret_cast<uintptr_t>(h));
        return it == m_mapHandles.end() ? nullptr : it->second.get();
    }

    uintptr_t Add(std::unique_ptr<HANDLE_OBJ> pObj) {
        pObj->nId = m_nNextId;
        m_nNextId += 0x10;  // never 0, never reused within the process
        const uintptr_t nId = pObj->nId;
        m_mapHandles.emplace(nId, std::move(pObj));
        return nId;
    }

    bool OnWorker() const { return std::this_thread::get_id() == m_idWorker.load(); }

    // Runs fn on the worker and returns after it ran (at once when already on the worker).
    void RunOnWorker(const std::function<void()>& fn) {
        if (OnWorker()) {
            fn();
            return;
        }
        auto pDone = std::make_shared<bool>(false);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_queCommands.push_back([fn, pDone, this]() {
                fn();
                std::lock_guard<std::mutex> lockDone(m_mutex);
                *pDone = true;
                m_cvDone.notify_all();
            });
        }
        Wake();
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cvDone.wait(lock, [&] { return *pDone; });
    }

    void Post(std::function<void()> fn) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_queCommands.push_back(std::move(fn));
        }
        Wake();
    }

    // With m_mutex held.
    void Note(uintptr_t nHandle, uint32_t dwStatus, DWORD_PTR dwResult, uint32_t dwError) {
        m_queNotes.push_back(NOTE{nHandle, dwStatus, INTERNET_ASYNC_RESULT{dwResult, dwError}});
    }

    // Calls the handle's callback with m_mutex not held (the callback may call the library).
    void Deliver(uintptr_t nHandle, uint32_t dwStatus, INTERNET_ASYNC_RESULT result) {
        INTERNET_STATUS_CALLBACK pfn = nullptr;
        DWORD_PTR dwContext = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto it = m_mapHandles.find(nHandle);
            if (it == m_mapHandles.end()) return;
            pfn = it->second->pfnCallback;
            dwContext = it->second->dwContext;
        }
        if (pfn == nullptr || dwContext == 0) return;
        HINTERNET h = reinterpret_cast<HINTERNET>(nHandle);
        if (dwStatus == INTERNET_STATUS_HANDLE_CLOSING)
            pfn(h, dwContext, dwStatus, &h, sizeof(h));
        else
            pfn(h, dwContext, dwStatus, &result, sizeof(result));
    }

    // The internet handles keep the worker alive.
    void AddInternetHandle() {
        std::lock_guard<std::mutex> lock(m_lifeMutex);
        if (m_nInternetHandles++ == 0) StartWorker();
    }
    void ReleaseInternetHandle() {
        std::lock_guard<std::mutex> lock(m_lifeMutex);
        if (--m_nInternetHandles == 0) StopWorker();
    }
    bool WorkerRunning() {
        std::lock_guard<std::mutex> lock(m_lifeMutex);
        return m_thread.joinable();
    }

    // Closes the handle and everything under it, children first; runs on the worker. False when
    // the handle was already gone (closed by another thread meanwhile).
    bool CloseTree(uintptr_t nHandle) {
        std::vector<uintptr_t> vecOrder;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            CollectPostOrder(nHandle, vecOrder);
        }
        if (vecOrder.empty()) return false;
        for (uintptr_t nId : vecOrder) {
            HANDLE_OBJ* pObj = nullptr;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                auto it = m_mapHandles.find(nId);
                if (it == m_mapHandles.end()) continue;
                pObj = it->second.get();
            }
            // Only the worker removes handles, so pObj stays valid here.
            if (pObj->pEasy && pObj->bInMulti)
                curl_multi_remove_handle(m_pMulti.get(), pObj->pEasy.get());
            pObj->pEasy.reset();
            pObj->headers.Clear();
            if (pObj->nSocket >= 0) close(pObj->nSocket);
            if (pObj->nOwnSocket >= 0) close(pObj->nOwnSocket);
            pObj->nSocket = pObj->nOwnSocket = -1;
            Deliver(nId, INTERNET_STATUS_HANDLE_CLOSING, INTERNET_ASYNC_RESULT{nId, 0});
            std::lock_guard<std::mutex> lock(m_mutex);
            m_mapHandles.erase(nId);
        }
        return true;
    }

    // Sets up the easy handle of a sent request and starts its transfer; runs on the worker. A
    // handle that cannot be made, or an option libcurl refuses, completes the send with an error
    // and nothing goes out.
    void StartTransfer(uintptr_t nHandle, const SEND_SETUP& setup) {
        HANDLE_OBJ* pObj = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto it = m_mapHandles.find(nHandle);
            if (it == m_mapHandles.end()) return;
            pObj = it->second.get();
        }
        // Only the worker removes handles, so pObj stays valid here.
        CURLcode eCode = SetUpEasy(*pObj, setup);
        if (eCode == CURLE_OK) {
            if (!g_bRefuseTransfers.load() &&
                curl_multi_add_handle(m_pMulti.get(), pObj->pEasy.get()) == CURLM_OK) {
                pObj->bInMulti = true;
                return;
            }
            eCode = CURLE_FAILED_INIT;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        FinishLocked(*pObj, eCode);
    }

    // With m_mutex held: the transfer is over; completes a pending send or read.
    void FinishLocked(HANDLE_OBJ& obj, CURLcode code) {
        obj.bTransferDone = true;
        obj.bResultOk = code == CURLE_OK;
        obj.dwResultError = code == CURLE_OK ? 0 : MapCurlError(code);
        if (!obj.bSendDone) {
            obj.bSendDone = true;
            Note(obj.nId, INTERNET_STATUS_REQUEST_COMPLETE, obj.bResultOk ? 1 : 0,
                 obj.dwResultError);
        } else if (obj.bReadPending) {
            obj.bReadPending = false;
            *obj.pdwRead = 0;
            Note(obj.nId, INTERNET_STATUS_REQUEST_COMPLETE, obj.bResultOk ? 1 : 0,
                 obj.dwResultError);
        }
    }

    // With m_mutex held: copies waiting bytes into the reader's buffer.
    uint32_t TakeLocked(HANDLE_OBJ& obj, char* pBuffer, uint32_t dwCapacity) {
        const size_t nAvail = obj.strData.size() - obj.nDataPos;
        const uint32_t dwCount = static_cast<uint32_t>(std::min<size_t>(nAvail, dwCapacity));
        std::memcpy(pBuffer, obj.strData.data() + obj.nDataPos, dwCount);
        obj.nDataPos += dwCount;
        if (obj.nDataPos == obj.strData.size()) {
            obj.strData.clear();
            obj.nDataPos = 0;
        } else if (obj.nDataPos > kMaxBuffered) {
            obj.strData.erase(0, obj.nDataPos);
            obj.nDataPos = 0;
        }
        if (obj.bPaused && obj.strData.size() - obj.nDataPos < kMaxBuffered / 2) {
            obj.bPaused = false;
            const uintptr_t nId = obj.nId;
            m_queCommands.push_back([this, nId]() {
                CURL* pEasy = nullptr;
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    auto it = m_mapHandles.find(nId);
                    if (it != m_mapHandles.end()) pEasy = it->second->pEasy.get();
                }
                if (pEasy != nullptr) curl_easy_pause(pEasy, CURLPAUSE_CONT);
            });
            m_bWakePending = true;
        }
        return dwCount;
    }

    // With m_mutex held: the reply head is complete.
    void HeadDoneLocked(HANDLE_OBJ& obj) {
        if (obj.bSendDone) return;
        obj.bSendDone = true;
        Note(obj.nId, INTERNET_STATUS_REQUEST_COMPLETE, 1, 0);
    }

    // The wake-up may come from any thread while the worker is ending; m_wakeMutex keeps the
    // multi handle alive until the wake-up has written to it.
    void Wake() {
        std::lock_guard<std::mutex> lock(m_wakeMutex);
        if (m_pMultiForWake != nullptr) curl_multi_wakeup(m_pMultiForWake);
    }

    // Set when a command was queued under m_mutex by a caller that could not wake the worker.
    bool m_bWakePending = false;

private:
    CInetEngine() = default;

    void CollectPostOrder(uintptr_t nHandle, std::vector<uintptr_t>& vecOrder) {
        for (const auto& [nId, pObj] : m_mapHandles) {
            if (pObj->nParent == nHandle) CollectPostOrder(nId, vecOrder);
        }
        if (m_mapHandles.count(nHandle) != 0) vecOrder.push_back(nHandle);
    }

    // With m_lifeMutex held.
    void StartWorker() {
        if (m_thread.joinable()) m_thread.join();  // a worker told to stop from within itself
        m_bGlobal = CurlGlobal::Acquire();
        m_pMulti = MakeCurlMulti();
        {
            std::lock_guard<std::mutex> lock(m_wakeMutex);
            m_pMultiForWake = m_pMulti.get();
        }
        m_bStop = false;
        m_thread = std::thread([this]() { Loop(); });
    }

    // With m_lifeMutex held.
    void StopWorker() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bStop = true;
        }
        Wake();
        if (OnWorker()) return;  // the next start joins it
        m_thread.join();
    }

    void Loop() {
        m_idWorker.store(std::this_thread::get_id());
        for (;;) {
            std::deque<std::function<void()>> queCommands;
            bool bStop = false;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                queCommands.swap(m_queCommands);
                bStop = m_bStop && queCommands.empty();
                m_bWakePending = false;
            }
            if (bStop) break;
            for (auto& fn : queCommands) fn();

            int nRunning = 0;
            curl_multi_perform(m_pMulti.get(), &nRunning);
            int nLeft = 0;
            while (CURLMsg* pMsg = curl_multi_info_read(m_pMulti.get(), &nLeft)) {
                if (pMsg->msg != CURLMSG_DONE) continue;
                HANDLE_OBJ* pObj = nullptr;
                curl_easy_getinfo(pMsg->easy_handle, CURLINFO_PRIVATE, &pObj);
                const CURLcode code = pMsg->data.result;
                curl_multi_remove_handle(m_pMulti.get(), pMsg->easy_handle);
                if (pObj == nullptr) continue;
                pObj->bInMulti = false;
                std::lock_guard<std::mutex> lock(m_mutex);
                FinishLocked(*pObj, code);
            }
            DeliverNotes();

            bool bBusy = false;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                bBusy = !m_queCommands.empty() || !m_queNotes.empty();
            }
            if (!bBusy) curl_multi_poll(m_pMulti.get(), nullptr, 0, 1000, nullptr);
        }
        // Every handle is closed by now (the last internet handle went); nothing is left in the
        // multi handle.
        {
            std::lock_guard<std::mutex> lock(m_wakeMutex);
            m_pMultiForWake = nullptr;
        }
        m_pMulti.reset();
        if (m_bGlobal) CurlGlobal::Release();
        m_bGlobal = false;
        m_idWorker.store(std::thread::id());
    }

    void DeliverNotes() {
        for (;;) {
            NOTE note;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_queNotes.empty()) return;
                note = m_queNotes.front();
                m_queNotes.pop_front();
            }
            Deliver(note.nHandle, note.dwStatus, note.result);
        }
    }

    uintptr_t m_nNextId = 0x1000;
    std::deque<std::function<void()>> m_queCommands;
    std::deque<NOTE> m_queNotes;
    std::condition_variable m_cvDone;
    bool m_bStop = false;

    std::mutex m_lifeMutex;
    int m_nInternetHandles = 0;
    std::thread m_thread;
    std::atomic<std::thread::id> m_idWorker{};
    CCurlMulti m_pMulti;
    bool m_bGlobal = false;  // this worker holds libcurl's global state
    std::mutex m_wakeMutex;  // a leaf: nothing else is taken while it is held
    CURLM* m_pMultiForWake = nullptr;
};

// ---- libcurl callbacks (on the worker, inside curl_multi_perform) ----

size_t OnCurlWrite(char* pData, size_t nSize, size_t nCount, void* pUser) {
    auto* pObj = static_cast<HANDLE_OBJ*>(pUser);
    CInetEngine& engine = CInetEngine::Get();
    const size_t nBytes = nSize * nCount;
    std::lock_guard<std::mutex> lock(engine.m_mutex);
    // A reply without a recognisable head (or with a redirect that is not followed) still counts
    // as sent once its body starts.
    engine.HeadDoneLocked(*pObj);
    if (pObj->strData.size() - pObj->nDataPos >= kMaxBuffered) {
        pObj->bPaused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    pObj->strData.append(pData, nBytes);
    if (pObj->bReadPending) {
        pObj->bReadPending = false;
        *pObj->pdwRead = engine.TakeLocked(*pObj, pObj->pReadBuffer, pObj->dwReadCapacity);
        engine.Note(pObj->nId, INTERNET_STATUS_REQUEST_COMPLETE, 1, 0);
    }
    return nBytes;
}

size_t OnCurlHeader(char* pData, size_t nSize, size_t nCount, void* pUser) {
    auto* pObj = static_cast<HANDLE_OBJ*>(pUser);
    const size_t nBytes = nSize * nCount;
    std::string strLine(pData, nBytes);
    CInetEngine& engine = CInetEngine::Get();
    std::lock_guard<std::mutex> lock(engine.m_mutex);
    if (strLine.compare(0, 5, "HTTP/") == 0) {
        const size_t nSpace = strLine.find(' ');
        pObj->nStatusLine = nSpace == std::string::npos ? 0 : std::atol(strLine.c_str() + nSpace);
        pObj->bLocation = false;
    } else if (strLine.size() > 9 && strncasecmp(strLine.c_str(), "location:", 9) == 0) {
        pObj->bLocation = true;
    } else if (strLine == "\r\n" || strLine == "\n") {
        const long n = pObj->nStatusLine;
        const bool bInterim = n >= 100 && n < 200;
        const bool bFollowed =
            pObj->bLocation && (n == 301 || n == 302 || n == 303 || n == 307 || n == 308);
        if (!bInterim && !bFollowed) engine.HeadDoneLocked(*pObj);
    }
    return nBytes;
}

// The connection's socket serves the first connect of the request; later ones (redirects) open
// their own.
curl_socket_t OnOpenSocket(void* pUser, curlsocktype, curl_sockaddr* pAddr) {
    auto* pObj = static_cast<HANDLE_OBJ*>(pUser);
    {
        std::lock_guard<std::mutex> lock(CInetEngine::Get().m_mutex);
        if (pObj->nOwnSocket >= 0) {
            const int nFd = pObj->nOwnSocket;
            pObj->nOwnSocket = -1;
            pObj->bHandedOver = true;
            return nFd;
        }
    }
    return socket(pAddr->family, pAddr->socktype | SOCK_CLOEXEC, pAddr->protocol);
}

int OnSockOpt(void* pUser, curl_socket_t, curlsocktype) {
    auto* pObj = static_cast<HANDLE_OBJ*>(pUser);
    std::lock_guard<std::mutex> lock(CInetEngine::Get().m_mutex);
    if (pObj->bHandedOver) {
        pObj->bHandedOver = false;
        return CURL_SOCKOPT_ALREADY_CONNECTED;
    }
    return CURL_SOCKOPT_OK;
}

CURLcode SetUpEasy(HANDLE_OBJ& obj, const SEND_SETUP& setup) {
    obj.pEasy = MakeCurlEasy();
    if (!obj.pEasy) return CURLE_OUT_OF_MEMORY;
    CCurlList headers;
    for (const std::string& strLine : setup.vecHeaderLines) {
        if (!headers.Append(strLine.c_str())) return CURLE_OUT_OF_MEMORY;
    }
    obj.headers = std::move(headers);
    CCurlOptions options(obj.pEasy.get(), "HttpSendRequest");
    // The target is sent exactly as the caller gave it (libcurl would normalise a path taken from
    // the URL).
    options.Set(CURLOPT_URL, setup.strUrl.c_str())
        .Set(CURLOPT_REQUEST_TARGET, obj.strTarget.c_str())
        .Set(CURLOPT_PATH_AS_IS, 1L)
        .Set(CURLOPT_PRIVATE, static_cast<void*>(&obj))
        .Set(CURLOPT_NOSIGNAL, 1L)
        .Set(CURLOPT_FRESH_CONNECT, 1L)
        .Set(CURLOPT_FORBID_REUSE, 1L)
        .Set(CURLOPT_OPENSOCKETFUNCTION, &OnOpenSocket)
        .Set(CURLOPT_OPENSOCKETDATA, static_cast<void*>(&obj))
        .Set(CURLOPT_SOCKOPTFUNCTION, &OnSockOpt)
        .Set(CURLOPT_SOCKOPTDATA, static_cast<void*>(&obj))
        .Set(CURLOPT_WRITEFUNCTION, &OnCurlWrite)
        .Set(CURLOPT_WRITEDATA, static_cast<void*>(&obj))
        .Set(CURLOPT_HEADERFUNCTION, &OnCurlHeader)
        .Set(CURLOPT_HEADERDATA, static_cast<void*>(&obj))
        .Set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(kConnectTimeoutMs))
        .Set(CURLOPT_LOW_SPEED_LIMIT, 1L)
        .Set(CURLOPT_LOW_SPEED_TIME, kReceiveStallSeconds)
        .Set(CURLOPT_FOLLOWLOCATION, 1L)
        .Set(CURLOPT_MAXREDIRS, 10L)
        .Set(CURLOPT_HTTP_VERSION, obj.bHttp10 ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1);
    if (!setup.strAgent.empty()) options.Set(CURLOPT_USERAGENT, setup.strAgent.c_str());
    if (setup.dwAccessType == INTERNET_OPEN_TYPE_DIRECT) {
        options.Set(CURLOPT_PROXY, "");
    } else if (setup.dwAccessType == INTERNET_OPEN_TYPE_PROXY) {
        options.Set(CURLOPT_PROXY, setup.strProxy.c_str());
        if (!setup.strProxyBypass.empty())
            options.Set(CURLOPT_NOPROXY, setup.strProxyBypass.c_str());
    }
    const auto nBody = static_cast<curl_off_t>(obj.strBody.size());
    if (obj.strVerb == "POST") {
        options.Set(CURLOPT_POST, 1L)
            .Set(CURLOPT_POSTFIELDSIZE_LARGE, nBody)
            .Set(CURLOPT_POSTFIELDS, obj.strBody.data());
    } else if (obj.strVerb == "HEAD") {
        options.Set(CURLOPT_NOBODY, 1L);
    } else {
        if (!obj.strBody.empty()) {
            options.Set(CURLOPT_POSTFIELDSIZE_LARGE, nBody)
                .Set(CURLOPT_POSTFIELDS, obj.strBody.data());
        }
        if (obj.strVerb != "GET" || !obj.strBody.empty())
            options.Set(CURLOPT_CUSTOMREQUEST, obj.strVerb.c_str());
    }
    options.Set(CURLOPT_HTTPHEADER, obj.headers.Get());
    if (!options.Ok()) obj.pEasy.reset();
    return options.Code();
}

bool ProxyFromEnvironment() {
    for (const char* pszName :
         {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
        const char* pszValue = std::getenv(pszName);
        if (pszValue != nullptr && *pszValue != '\0') return true;
    }
    return false;
}

}  // namespace

uint32_t GetLastInetError() {
    return t_dwLastError;
}

bool InternetGetConnectedState(uint32_t* pdwFlags, uint32_t) {
    uint32_t dwFlags = 0;
    ifaddrs* pList = nullptr;
    if (getifaddrs(&pList) == 0) {
        for (ifaddrs* p = pList; p != nullptr; p = p->ifa_next) {
            if (p->ifa_addr == nullptr) continue;
            if ((p->ifa_flags & IFF_UP) && (p->ifa_flags & IFF_RUNNING) &&
                !(p->ifa_flags & IFF_LOOPBACK)) {
                dwFlags |= INTERNET_CONNECTION_LAN;
                break;
            }
        }
        freeifaddrs(pList);
    }
    if (ProxyFromEnvironment())
        dwFlags |= INTERNET_CONNECTION_PROXY | INTERNET_CONNECTION_CONFIGURED;
    const bool bConnected = dwFlags != 0;
    if (!bConnected) dwFlags = INTERNET_CONNECTION_OFFLINE;
    if (pdwFlags != nullptr) *pdwFlags = dwFlags;
    return bConnected;
}

HINTERNET InternetOpen(const char16_t* pszAgent, uint32_t dwAccessType, const char16_t* pszProxy,
                       const char16_t* pszProxyBypass, uint32_t dwFlags) {
    if ((dwFlags & INTERNET_FLAG_ASYNC) == 0) return FailHandle(ERROR_INVALID_PARAMETER);
    if (dwAccessType != INTERNET_OPEN_TYPE_PRECONFIG && dwAccessType != INTERNET_OPEN_TYPE_DIRECT &&
        dwAccessType != INTERNET_OPEN_TYPE_PROXY &&
        dwAccessType != INTERNET_OPEN_TYPE_PRECONFIG_WITH_NO_AUTOPROXY)
        return FailHandle(ERROR_INVALID_PARAMETER);
    if (dwAccessType == INTERNET_OPEN_TYPE_PROXY && (pszProxy == nullptr || *pszProxy == 0))
        return FailHandle(ERROR_INVALID_PARAMETER);
    auto pObj = std::make_unique<HANDLE_OBJ>();
    pObj->eKind = EKind::kInternet;
    pObj->strAgent = Narrow(pszAgent);
    pObj->dwAccessType = dwAccessType;
    pObj->strProxy = Narrow(pszProxy);
    pObj->strProxyBypass = Narrow(pszProxyBypass);
    CInetEngine& engine = CInetEngine::Get();
    engine.AddInternetHandle();
    std::lock_guard<std::mutex> lock(engine.m_mutex);
    return reinterpret_cast<HINTERNET>(engine.Add(std::move(pObj)));
}

INTERNET_STATUS_CALLBACK InternetSetStatusCallback(HINTERNET hInternet,
                                                   INTERNET_STATUS_CALLBACK pfnCallback) {
    CInetEngine& engine = CInetEngine::Get();
    std::lock_guard<std::mutex> lock(engine.m_mutex);
    HANDLE_OBJ* pObj = engine.Find(hInternet);
    if (pObj == nullptr) {
        t_dwLastError = ERROR_INVALID_HANDLE;
        return INTERNET_INVALID_STATUS_CALLBACK;
    }
    INTERNET_STATUS_CALLBACK pfnPrevious = pObj->pfnCallback;
    pObj->pfnCallback = pfnCallback;
    return pfnPrevious;
}

namespace {

// Creates a child handle and reports HANDLE_CREATED on the worker before returning.
HINTERNET AddChild(std::unique_ptr<HANDLE_OBJ> pObj, uintptr_t nParent) {
    CInetEngine& engine = CInetEngine::Get();
    uintptr_t nId = 0;
    {
        std::lock_guard<std::mutex> lock(engine.m_mutex);
        auto it = engine.m_mapHandles.find(nParent);
        if (it == engine.m_mapHandles.end()) {
            if (pObj->nSocket >= 0) close(pObj->nSocket);
            return FailHandle(ERROR_INVALID_HANDLE);
        }
        pObj->nParent = nParent;
        pObj->pfnCallback = it->second->pfnCallback;
        nId = engine.Add(std::move(pObj));
    }
    engine.RunOnWorker([&engine, nId]() {
        engine.Deliver(nId, INTERNET_STATUS_HANDLE_CREATED, INTERNET_ASYNC_RESULT{nId, 0});
    });
    return reinterpret_cast<HINTERNET>(nId);
}

}  // namespace

HINTERNET InternetConnect(HINTERNET hInternet, const char16_t* pszServerName,
                          INTERNET_PORT nServerPort, const char16_t*, const char16_t*,
                          uint32_t dwService, uint32_t dwFlags, DWORD_PTR dwContext) {
    CInetEngine& engine = CInetEngine::Get();
    {
        std::lock_guard<std::mutex> lock(engine.m_mutex);
        HANDLE_OBJ* pParent = engine.Find(hInternet);
        if (pParent == nullptr) return FailHandle(ERROR_INVALID_HANDLE);
        if (pParent->eKind != EKind::kInternet)
            return FailHandle(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    }
    if (dwService != INTERNET_SERVICE_HTTP) return FailHandle(ERROR_INVALID_PARAMETER);
    const std::string strServer = Narrow(pszServerName);
    if (strServer.empty()) return FailHandle(ERROR_INVALID_PARAMETER);
    if (nServerPort == INTERNET_INVALID_PORT_NUMBER)
        nServerPort = (dwFlags & INTERNET_FLAG_SECURE) ? INTERNET_DEFAULT_HTTPS_PORT
                                                       : INTERNET_DEFAULT_HTTP_PORT;

    uint32_t dwError = 0;
    const int nSocket = ConnectSocket(strServer, nServerPort, dwError);
    if (nSocket < 0) return FailHandle(dwError);

    auto pObj = std::make_unique<HANDLE_OBJ>();
    pObj->eKind = EKind::kConnect;
    pObj->dwContext = dwContext;
    pObj->strServer = strServer;
    pObj->nPort = nServerPort;
    pObj->nSocket = nSocket;
    return AddChild(std::move(pObj), reinterpret_cast<uintptr_t>(hInternet));
}

HINTERNET HttpOpenRequest(HINTERNET hConnect, const char16_t* pszVerb,
                          const char16_t* pszObjectName, const char16_t* pszVersion,
                          const char16_t*, const char16_t**, uint32_t dwFlags,
                          DWORD_PTR dwContext) {
    CInetEngine& engine = CInetEngine::Get();
    {
        std::lock_guard<std::mutex> lock(engine.m_mutex);
        HANDLE_OBJ* pParent = engine.Find(hConnect);
        if (pParent == nullptr) return FailHandle(ERROR_INVALID_HANDLE);
        if (pParent->eKind != EKind::kConnect)
            return FailHandle(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    }
    auto pObj = std::make_unique<HANDLE_OBJ>();
    pObj->eKind = EKind::kRequest;
    pObj->dwContext = dwContext;
    pObj->strVerb = (pszVerb == nullptr || *pszVerb == 0) ? std::string("GET") : Narrow(pszVerb);
    pObj->strTarget = CleanTarget(Narrow(pszObjectName));
    pObj->bHttp10 = pszVersion != nullptr && std::u16string_view(pszVersion) == u"HTTP/1.0";
    pObj->dwFlags = dwFlags;
    return AddChild(std::move(pObj), reinterpret_cast<uintptr_t>(hConnect));
}

bool HttpSendRequest(HINTERNET hRequest, const char16_t* pszHeaders, uint32_t dwHeadersLength,
                     const void* pOptional, uint32_t dwOptionalLength) {
    CInetEngine& engine = CInetEngine::Get();
    const uintptr_t nId = reinterpret_cast<uintptr_t>(hRequest);
    std::string strHeaders;
    if (pszHeaders != nullptr) {
        strHeaders = dwHeadersLength == static_cast<uint32_t>(-1)
                         ? Narrow(pszHeaders)
                         : Narrow(pszHeaders, dwHeadersLength);
    }
    bool bStarted = false;
    auto pSetup = std::make_shared<SEND_SETUP>();
    SEND_SETUP& setup = *pSetup;
    {
        std::lock_guard<std::mutex> lock(engine.m_mutex);
        HANDLE_OBJ* pObj = engine.Find(hRequest);
        if (pObj == nullptr) return Fail(ERROR_INVALID_HANDLE);
        if (pObj->eKind != EKind::kRequest) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
        if (pObj->bSent) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
        HANDLE_OBJ* pConnect = engine.Find(reinterpret_cast<HINTERNET>(pObj->nParent));
        HANDLE_OBJ* pInternet =
            pConnect ? engine.Find(reinterpret_cast<HINTERNET>(pConnect->nParent)) : nullptr;
        if (pConnect == nullptr || pInternet == nullptr) return Fail(ERROR_INVALID_HANDLE);

        if (dwOptionalLength > 0 && pOptional != nullptr)
            pObj->strBody.assign(static_cast<const char*>(pOptional), dwOptionalLength);
        pObj->nOwnSocket = pConnect->nSocket;
        pConnect->nSocket = -1;

        const bool bSecure = (pObj->dwFlags & INTERNET_FLAG_SECURE) != 0;
        std::string strHost = pConnect->strServer;
        if (strHost.find(':') != std::string::npos) strHost = "[" + strHost + "]";
        setup.strUrl = std::string(bSecure ? "https://" : "http://") + strHost + ":" +
                       std::to_string(pConnect->nPort) + "/";
        setup.strAgent = pInternet->strAgent;
        setup.dwAccessType = pInternet->dwAccessType;
        setup.strProxy = pInternet->strProxy;
        setup.strProxyBypass = pInternet->strProxyBypass;
        // The caller's lines go first and as given; libcurl's own Accept and Expect lines are
        // not part of this client's requests.
        size_t nPos = 0;
        while (nPos < strHeaders.size()) {
            size_t nEnd = strHeaders.find("\r\n", nPos);
            if (nEnd == std::string::npos) nEnd = strHeaders.size();
            std::string strLine = strHeaders.substr(nPos, nEnd - nPos);
            while (!strLine.empty() && (strLine.back() == '\n' || strLine.back() == '\r'))
                strLine.pop_back();
            if (!strLine.empty()) setup.vecHeaderLines.push_back(std::move(strLine));
            nPos = nEnd + 2;
        }
        if (pObj->dwFlags & INTERNET_FLAG_RELOAD)
            setup.vecHeaderLines.emplace_back("Cache-Control: no-cache");
        setup.vecHeaderLines.emplace_back("Accept:");
        setup.vecHeaderLines.emplace_back("Expect:");
        pObj->bSent = true;
        bStarted = true;
    }
    if (bStarted) engine.Post([&engine, nId, pSetup]() { engine.StartTransfer(nId, *pSetup); });
    return Fail(ERROR_IO_PENDING);
}

bool InternetReadFile(HINTERNET hFile, void* pBuffer, uint32_t dwNumberOfBytesToRead,
                      uint32_t* pdwNumberOfBytesRead) {
    CInetEngine& engine = CInetEngine::Get();
    bool bWake = false;
    bool bResult = false;
    {
        std::lock_guard<std::mutex> lock(engine.m_mutex);
        HANDLE_OBJ* pObj = engine.Find(hFile);
        if (pObj == nullptr) return Fail(ERROR_INVALID_HANDLE);
        if (pObj->eKind != EKind::kRequest) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
        if (pdwNumberOfBytesRead == nullptr || (pBuffer == nullptr && dwNumberOfBytesToRead > 0))
            return Fail(ERROR_INVALID_PARAMETER);
        if (!pObj->bSendDone || pObj->bReadPending)
            return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
        *pdwNumberOfBytesRead = 0;
        const bool bHaveData = pObj->strData.size() > pObj->nDataPos;
        if (bHaveData && dwNumberOfBytesToRead > 0) {
            *pdwNumberOfBytesRead =
                engine.TakeLocked(*pObj, static_cast<char*>(pBuffer), dwNumberOfBytesToRead);
            bResult = true;
        } else if (pObj->bTransferDone && !bHaveData) {
            if (!pObj->bResultOk) return Fail(pObj->dwResultError);
            bResult = true;
        } else if (dwNumberOfBytesToRead == 0) {
            bResult = true;
        } else {
            pObj->bReadPending = true;
            pObj->pReadBuffer = static_cast<char*>(pBuffer);
            pObj->dwReadCapacity = dwNumberOfBytesToRead;
            pObj->pdwRead = pdwNumberOfBytesRead;
            t_dwLastError = ERROR_IO_PENDING;
        }
        bWake = engine.m_bWakePending;
    }
    if (bWake) engine.Wake();
    return bResult;
}

bool InternetCloseHandle(HINTERNET hInternet) {
    CInetEngine& engine = CInetEngine::Get();
    EKind eKind;
    {
        std::lock_guard<std::mutex> lock(engine.m_mutex);
        HANDLE_OBJ* pObj = engine.Find(hInternet);
        if (pObj == nullptr) return Fail(ERROR_INVALID_HANDLE);
        eKind = pObj->eKind;
    }
    // The last internet handle stops the worker, which cannot wait for itself.
    if (eKind == EKind::kInternet && engine.OnWorker())
        return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    const uintptr_t nId = reinterpret_cast<uintptr_t>(hInternet);
    bool bClosed = false;
    engine.RunOnWorker([&engine, nId, &bClosed]() { bClosed = engine.CloseTree(nId); });
    if (!bClosed) return Fail(ERROR_INVALID_HANDLE);
    if (eKind == EKind::kInternet) engine.ReleaseInternetHandle();
    return true;
}

void InternetRefuseTransfersForTest(bool bRefuse) {
    g_bRefuseTransfers.store(bRefuse);
}

size_t InternetOpenHandleCount() {
    CInetEngine& engine = CInetEngine::Get();
    std::lock_guard<std::mutex> lock(engine.m_mutex);
    return engine.m_mapHandles.size();
}

bool InternetWorkerRunning() {
    return CInetEngine::Get().WorkerRunning();
}

}  // namespace kt
