// The WinInet subset of wininet.h on the system's own wininet.dll.
//
// The system library reports from its own threads (and sometimes from the caller's), sends many
// more notifications than the layer above expects, and may report a handle's closing after
// InternetCloseHandle has returned. So the real handles get one trampoline of ours, their real
// context is a number of ours, and what the caller hears goes through one worker thread: the
// creation and closing notices are made here (and waited for), the completions are passed on,
// and nothing is passed on for a handle that the caller has closed.
// Winsock's header goes before the rest of the system's.
#include <winsock2.h>
// The rest of the system's.
#include <windows.h>
#include <wininet.h>
#include <ws2tcpip.h>

// The system headers' macros of the same names (the A/W function switches, the constants) give way
// to the declarations of our header, which has the same values.
#undef INTERNET_INVALID_STATUS_CALLBACK
#undef INTERNET_STATUS_HANDLE_CREATED
#undef INTERNET_STATUS_HANDLE_CLOSING
#undef INTERNET_STATUS_REQUEST_COMPLETE
#undef INTERNET_OPEN_TYPE_PRECONFIG
#undef INTERNET_OPEN_TYPE_DIRECT
#undef INTERNET_OPEN_TYPE_PROXY
#undef INTERNET_OPEN_TYPE_PRECONFIG_WITH_NO_AUTOPROXY
#undef INTERNET_FLAG_ASYNC
#undef INTERNET_FLAG_RELOAD
#undef INTERNET_FLAG_NO_CACHE_WRITE
#undef INTERNET_FLAG_SECURE
#undef INTERNET_SERVICE_FTP
#undef INTERNET_SERVICE_HTTP
#undef INTERNET_CONNECTION_MODEM
#undef INTERNET_CONNECTION_LAN
#undef INTERNET_CONNECTION_PROXY
#undef INTERNET_CONNECTION_OFFLINE
#undef INTERNET_CONNECTION_CONFIGURED
#undef INTERNET_INVALID_PORT_NUMBER
#undef INTERNET_DEFAULT_HTTP_PORT
#undef INTERNET_DEFAULT_HTTPS_PORT
#undef AFX_INET_SERVICE_FTP
#undef AFX_INET_SERVICE_HTTP
#undef AFX_INET_SERVICE_UNK
#undef AFX_INET_SERVICE_HTTPS
#undef ERROR_INVALID_HANDLE
#undef ERROR_NOT_ENOUGH_MEMORY
#undef ERROR_INVALID_PARAMETER
#undef ERROR_IO_PENDING
#undef ERROR_INTERNET_TIMEOUT
#undef ERROR_INTERNET_INTERNAL_ERROR
#undef ERROR_INTERNET_UNRECOGNIZED_SCHEME
#undef ERROR_INTERNET_NAME_NOT_RESOLVED
#undef ERROR_INTERNET_INCORRECT_HANDLE_TYPE
#undef ERROR_INTERNET_INCORRECT_HANDLE_STATE
#undef ERROR_INTERNET_CANNOT_CONNECT
#undef ERROR_INTERNET_CONNECTION_ABORTED
#undef ERROR_INTERNET_CONNECTION_RESET
#undef ERROR_HTTP_INVALID_SERVER_RESPONSE
#undef InternetOpen
#undef InternetConnect
#undef HttpOpenRequest
#undef HttpSendRequest
#undef InternetSetStatusCallback

#include "platform/inet/wininet.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kt {
namespace {

enum class KIND { Internet, Connect, Request };

struct NODE {
    ::HINTERNET hReal = nullptr;
    KIND nKind = KIND::Internet;
    uint64_t nId = 0;
    NODE* pParent = nullptr;
    std::vector<NODE*> vecChildren;
    DWORD_PTR dwContext = 0;
    INTERNET_STATUS_CALLBACK pfnCallback = nullptr;
    std::vector<char> vecBody;    // the system library reads it until the send is over
    bool bSent = false;           // a request: its send was made (reads are allowed from then on)
    bool bSendDone = false;       // its completion went out (later completions are reads')
    uint32_t dwFailure = 0;       // why the reply cannot be read (later reads fail with it)
    int64_t nExpected = -1;       // the reply's Content-Length, -1 without one
    uint64_t nDelivered = 0;      // reply bytes handed to the caller
    uint32_t* pdwRead = nullptr;  // the count of the read under way
};

struct NOTE {
    uint64_t nId;  // the handle it is for; dropped when that is gone by delivery time
    uint32_t dwStatus;
    INTERNET_ASYNC_RESULT result;
    uint64_t nSerial;
};

struct LIBRARY {
    std::mutex mtx;
    std::condition_variable cvQueue;
    std::condition_variable cvDone;
    std::map<uint64_t, std::unique_ptr<NODE>> mapNodes;  // by id
    std::map<::HINTERNET, NODE*> mapHandles;
    uint64_t nNextId = 1;
    uint64_t nNextSerial = 1;
    uint64_t nDelivered = 0;  // serial of the last note the worker has finished
    std::deque<NOTE> queue;
    std::thread thrWorker;
    std::thread::id idWorker;
    bool bStop = false;
    size_t nInternetHandles = 0;
};

LIBRARY& Lib() {
    static LIBRARY* pLib = new LIBRARY;  // outlives static destruction: callbacks may still come
    return *pLib;
}

void SetError(uint32_t dwError) {
    ::SetLastError(dwError);
}

const wchar_t* W(const char16_t* psz) {
    return reinterpret_cast<const wchar_t*>(psz);
}

// The closing notice carries the handle, the others the result.
void Deliver(INTERNET_STATUS_CALLBACK pfn, HINTERNET hHandle, DWORD_PTR dwContext,
             uint32_t dwStatus, INTERNET_ASYNC_RESULT result) {
    if (dwStatus == kt::INTERNET_STATUS_HANDLE_CLOSING)
        pfn(hHandle, dwContext, dwStatus, &hHandle, sizeof(hHandle));
    else
        pfn(hHandle, dwContext, dwStatus, &result, sizeof(result));
}

void WorkerLoop() {
    LIBRARY& lib = Lib();
    std::unique_lock lock(lib.mtx);
    for (;;) {
        lib.cvQueue.wait(lock, [&] { return lib.bStop || !lib.queue.empty(); });
        if (lib.queue.empty()) return;  // stopping, and everything queued has gone out
        NOTE note = lib.queue.front();
        lib.queue.pop_front();
        auto it = lib.mapNodes.find(note.nId);
        if (it != lib.mapNodes.end() && it->second->dwContext != 0 &&
            it->second->pfnCallback != nullptr) {
            NODE* pNode = it->second.get();
            const INTERNET_STATUS_CALLBACK pfn = pNode->pfnCallback;
            const HINTERNET hHandle = pNode->hReal;
            const DWORD_PTR dwContext = pNode->dwContext;
            lock.unlock();
            Deliver(pfn, hHandle, dwContext, note.dwStatus, note.result);
            lock.lock();
        }
        lib.nDelivered = note.nSerial;
        lib.cvDone.notify_all();
    }
}

// Queues a notice; with bWait, returns once it has been delivered (at once, from the worker
// itself, where waiting would never end). Called with the lock held.
void Notify(std::unique_lock<std::mutex>& lock, NODE* pNode, uint32_t dwStatus,
            INTERNET_ASYNC_RESULT result, bool bWait) {
    LIBRARY& lib = Lib();
    if (pNode->dwContext == 0 || pNode->pfnCallback == nullptr) return;
    if (bWait && std::this_thread::get_id() == lib.idWorker) {
        const INTERNET_STATUS_CALLBACK pfn = pNode->pfnCallback;
        const HINTERNET hHandle = pNode->hReal;
        const DWORD_PTR dwContext = pNode->dwContext;
        lock.unlock();
        Deliver(pfn, hHandle, dwContext, dwStatus, result);
        lock.lock();
        return;
    }
    const uint64_t nSerial = lib.nNextSerial++;
    lib.queue.push_back(NOTE{pNode->nId, dwStatus, result, nSerial});
    lib.cvQueue.notify_one();
    if (bWait) lib.cvDone.wait(lock, [&] { return lib.nDelivered >= nSerial; });
}

// The reply head's check once a send is over: the system library takes a connection closed
// without any answer for an empty reply of status 0; it is a failure, as it is everywhere else.
// Gives the send's error and notes the announced length.
uint32_t CheckReplyHead(::HINTERNET hReal, int64_t& nExpected) {
    DWORD dwCode = 0;
    DWORD dwSize = sizeof(dwCode);
    if (!::HttpQueryInfoW(hReal, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &dwCode, &dwSize,
                          nullptr) ||
        dwCode == 0)
        return kt::ERROR_INTERNET_CONNECTION_ABORTED;
    wchar_t szLength[32];
    dwSize = sizeof(szLength);
    if (::HttpQueryInfoW(hReal, HTTP_QUERY_CONTENT_LENGTH, szLength, &dwSize, nullptr))
        nExpected = _wcstoi64(szLength, nullptr, 10);
    return 0;
}

// A read's end: the system library answers a reply cut short of its announced length with a
// plain end of data; the caller hears of the cut. Called with the lock held.
uint32_t CountRead(NODE* pNode, uint32_t dwRead) {
    pNode->pdwRead = nullptr;
    pNode->nDelivered += dwRead;
    if (dwRead == 0 && pNode->nExpected >= 0 &&
        pNode->nDelivered < static_cast<uint64_t>(pNode->nExpected))
        pNode->dwFailure = kt::ERROR_INTERNET_CONNECTION_ABORTED;
    return pNode->dwFailure;
}

// A completion of the send (the first of a request) or of a read, passed on as the caller's.
void Complete(uint64_t nId, ::HINTERNET hReal, INTERNET_ASYNC_RESULT result) {
    LIBRARY& lib = Lib();
    std::unique_lock lock(lib.mtx);
    auto it = lib.mapNodes.find(nId);
    if (it == lib.mapNodes.end()) return;
    NODE* pNode = it->second.get();
    if (pNode->nKind == KIND::Request && !pNode->bSendDone) {
        pNode->bSendDone = true;
        if (result.dwError == 0) {
            lock.unlock();
            int64_t nExpected = -1;
            const uint32_t dwError = CheckReplyHead(hReal, nExpected);
            lock.lock();
            it = lib.mapNodes.find(nId);
            if (it == lib.mapNodes.end()) return;
            pNode = it->second.get();
            pNode->nExpected = nExpected;
            if (dwError != 0) result = INTERNET_ASYNC_RESULT{FALSE, dwError};
        }
        pNode->dwFailure = result.dwError;
    } else if (pNode->nKind == KIND::Request && pNode->pdwRead != nullptr) {
        if (result.dwError == 0) {
            if (const uint32_t dwError = CountRead(pNode, *pNode->pdwRead); dwError != 0)
                result = INTERNET_ASYNC_RESULT{FALSE, dwError};
        } else {
            pNode->pdwRead = nullptr;
            pNode->dwFailure = result.dwError;
        }
    }
    Notify(lock, pNode, kt::INTERNET_STATUS_REQUEST_COMPLETE, result, false);
}

void CALLBACK Trampoline(::HINTERNET hReal, DWORD_PTR dwContext, DWORD dwStatus, LPVOID pInfo,
                         DWORD) {
    if (dwStatus != INTERNET_STATUS_REQUEST_COMPLETE || pInfo == nullptr) return;
    const auto* pReal = static_cast<const ::INTERNET_ASYNC_RESULT*>(pInfo);
    Complete(dwContext, hReal, INTERNET_ASYNC_RESULT{pReal->dwResult, pReal->dwError});
}

NODE* Find(HINTERNET h) {
    LIBRARY& lib = Lib();
    auto it = lib.mapHandles.find(static_cast<::HINTERNET>(h));
    return it == lib.mapHandles.end() ? nullptr : it->second;
}

// The node of a handle that must be of one kind; otherwise null, with the error the system gives.
NODE* FindOfKind(HINTERNET h, KIND nKind) {
    NODE* pNode = Find(h);
    if (pNode == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
    } else if (pNode->nKind != nKind) {
        SetError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
        pNode = nullptr;
    }
    return pNode;
}

// Registers a node before the real handle exists, so that its real context is known.
NODE* NewNode(KIND nKind, NODE* pParent, DWORD_PTR dwContext) {
    LIBRARY& lib = Lib();
    auto pNode = std::make_unique<NODE>();
    pNode->nKind = nKind;
    pNode->nId = lib.nNextId++;
    pNode->pParent = pParent;
    pNode->dwContext = dwContext;
    if (pParent != nullptr) pNode->pfnCallback = pParent->pfnCallback;
    NODE* p = pNode.get();
    lib.mapNodes.emplace(p->nId, std::move(pNode));
    return p;
}

void Attach(NODE* pNode, ::HINTERNET hReal) {
    LIBRARY& lib = Lib();
    pNode->hReal = hReal;
    lib.mapHandles[hReal] = pNode;
    if (pNode->pParent != nullptr) pNode->pParent->vecChildren.push_back(pNode);
}

void Forget(NODE* pNode) {
    LIBRARY& lib = Lib();
    if (pNode->pParent != nullptr) {
        auto& vec = pNode->pParent->vecChildren;
        std::erase(vec, pNode);
    }
    if (pNode->hReal != nullptr) lib.mapHandles.erase(pNode->hReal);
    lib.mapNodes.erase(pNode->nId);
}

// Closes a node's children, then the node: the closing notice goes out (and is delivered) first,
// then the node is forgotten so that nothing more reaches the caller for it, then the real handle
// is closed. Called with the lock held.
void CloseTree(std::unique_lock<std::mutex>& lock, NODE* pNode) {
    while (!pNode->vecChildren.empty()) CloseTree(lock, pNode->vecChildren.back());
    Notify(lock, pNode, kt::INTERNET_STATUS_HANDLE_CLOSING,
           INTERNET_ASYNC_RESULT{reinterpret_cast<DWORD_PTR>(pNode->hReal), 0}, true);
    ::HINTERNET hReal = pNode->hReal;
    Forget(pNode);
    lock.unlock();
    ::InternetSetStatusCallbackW(hReal, nullptr);
    ::InternetCloseHandle(hReal);
    lock.lock();
}

bool EnsureWinsock() {
    static const bool bReady = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return bReady;
}

// The connection step's own check, as the family's code expects an unreachable server to fail
// there: a name that does not resolve or a port that refuses fails now, with WinInet's codes.
uint32_t ProbeServer(const char16_t* pszServer, INTERNET_PORT nPort) {
    if (!EnsureWinsock()) return ERROR_INTERNET_INTERNAL_ERROR;
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    ADDRINFOW* pList = nullptr;
    const std::wstring strPort = std::to_wstring(nPort);
    if (::GetAddrInfoW(W(pszServer), strPort.c_str(), &hints, &pList) != 0 || pList == nullptr)
        return ERROR_INTERNET_NAME_NOT_RESOLVED;
    uint32_t dwError = ERROR_INTERNET_CANNOT_CONNECT;
    for (ADDRINFOW* p = pList; p != nullptr && dwError != 0; p = p->ai_next) {
        SOCKET s = ::WSASocketW(p->ai_family, p->ai_socktype, p->ai_protocol, nullptr, 0,
                                WSA_FLAG_NO_HANDLE_INHERIT);
        if (s == INVALID_SOCKET) continue;
        if (::connect(s, p->ai_addr, static_cast<int>(p->ai_addrlen)) == 0) dwError = 0;
        ::closesocket(s);
    }
    ::FreeAddrInfoW(pList);
    return dwError;
}

}  // namespace

uint32_t GetLastInetError() {
    return ::GetLastError();
}

bool InternetGetConnectedState(uint32_t* pdwFlags, uint32_t dwReserved) {
    DWORD dwFlags = 0;
    const BOOL bOk = ::InternetGetConnectedState(&dwFlags, dwReserved);
    if (pdwFlags != nullptr) *pdwFlags = dwFlags;
    return bOk != FALSE;
}

HINTERNET InternetOpen(const char16_t* pszAgent, uint32_t dwAccessType, const char16_t* pszProxy,
                       const char16_t* pszProxyBypass, uint32_t dwFlags) {
    const bool bKnownAccess = dwAccessType == INTERNET_OPEN_TYPE_PRECONFIG ||
                              dwAccessType == INTERNET_OPEN_TYPE_DIRECT ||
                              dwAccessType == INTERNET_OPEN_TYPE_PROXY ||
                              dwAccessType == INTERNET_OPEN_TYPE_PRECONFIG_WITH_NO_AUTOPROXY;
    if ((dwFlags & INTERNET_FLAG_ASYNC) == 0 || (dwFlags & ~INTERNET_FLAG_ASYNC) != 0 ||
        !bKnownAccess ||
        (dwAccessType == INTERNET_OPEN_TYPE_PROXY && (pszProxy == nullptr || *pszProxy == 0))) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    ::HINTERNET hReal = ::InternetOpenW(W(pszAgent), dwAccessType, W(pszProxy), W(pszProxyBypass),
                                        INTERNET_FLAG_ASYNC);
    if (hReal == nullptr) return nullptr;
    LIBRARY& lib = Lib();
    std::unique_lock lock(lib.mtx);
    NODE* pNode = NewNode(KIND::Internet, nullptr, 0);
    Attach(pNode, hReal);
    if (lib.nInternetHandles++ == 0) {
        lib.bStop = false;
        lib.thrWorker = std::thread(WorkerLoop);
        lib.idWorker = lib.thrWorker.get_id();
    }
    return hReal;
}

INTERNET_STATUS_CALLBACK InternetSetStatusCallback(HINTERNET hInternet,
                                                   INTERNET_STATUS_CALLBACK pfnCallback) {
    LIBRARY& lib = Lib();
    std::unique_lock lock(lib.mtx);
    NODE* pNode = Find(hInternet);
    if (pNode == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return INTERNET_INVALID_STATUS_CALLBACK;
    }
    const INTERNET_STATUS_CALLBACK pfnOld = pNode->pfnCallback;
    pNode->pfnCallback = pfnCallback;
    return pfnOld;
}

// Makes the real child handle of pParent (the node of hParentKey) outside the lock, since the
// system may call back while it does, then registers it under dwContext and reports its
// creation. Null with the error when the system refused, or when the parent or the new node was
// closed meanwhile (the real handle is closed again then).
template <class OPEN>
HINTERNET OpenChild(std::unique_lock<std::mutex>& lock, HINTERNET hParentKey, NODE* pParent,
                    KIND nKind, DWORD_PTR dwContext, OPEN fnOpen) {
    LIBRARY& lib = Lib();
    NODE* pNode = NewNode(nKind, pParent, dwContext);
    const uint64_t nId = pNode->nId;
    ::HINTERNET hParent = pParent->hReal;
    lock.unlock();
    ::HINTERNET hReal = fnOpen(hParent, static_cast<DWORD_PTR>(nId));
    const DWORD dwError = ::GetLastError();
    lock.lock();
    if (hReal == nullptr || lib.mapNodes.find(nId) == lib.mapNodes.end() ||
        Find(hParentKey) != pParent) {
        if (lib.mapNodes.count(nId) != 0) Forget(pNode);
        lock.unlock();
        if (hReal != nullptr) ::InternetCloseHandle(hReal);
        SetError(hReal == nullptr ? dwError : ERROR_INVALID_HANDLE);
        return nullptr;
    }
    ::InternetSetStatusCallbackW(hReal, &Trampoline);
    Attach(pNode, hReal);
    Notify(lock, pNode, kt::INTERNET_STATUS_HANDLE_CREATED,
           INTERNET_ASYNC_RESULT{reinterpret_cast<DWORD_PTR>(hReal), 0}, true);
    return hReal;
}

HINTERNET InternetConnect(HINTERNET hInternet, const char16_t* pszServerName,
                          INTERNET_PORT nServerPort, const char16_t* pszUserName,
                          const char16_t* pszPassword, uint32_t dwService, uint32_t dwFlags,
                          DWORD_PTR dwContext) {
    LIBRARY& lib = Lib();
    std::unique_lock lock(lib.mtx);
    NODE* pParent = FindOfKind(hInternet, KIND::Internet);
    if (pParent == nullptr) return nullptr;
    if (pszServerName == nullptr || *pszServerName == 0 || dwService != INTERNET_SERVICE_HTTP) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    lock.unlock();
    const INTERNET_PORT nPort =
        nServerPort != INTERNET_INVALID_PORT_NUMBER
            ? nServerPort
            : ((dwFlags & INTERNET_FLAG_SECURE) ? INTERNET_DEFAULT_HTTPS_PORT
                                                : INTERNET_DEFAULT_HTTP_PORT);
    if (const uint32_t dwError = ProbeServer(pszServerName, nPort); dwError != 0) {
        SetError(dwError);
        return nullptr;
    }
    lock.lock();
    pParent = Find(hInternet);
    if (pParent == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return OpenChild(lock, hInternet, pParent, KIND::Connect, dwContext,
                     [&](::HINTERNET hParent, DWORD_PTR nId) {
                         return ::InternetConnectW(hParent, W(pszServerName), nPort, W(pszUserName),
                                                   W(pszPassword), INTERNET_SERVICE_HTTP, dwFlags,
                                                   nId);
                     });
}

HINTERNET HttpOpenRequest(HINTERNET hConnect, const char16_t* pszVerb,
                          const char16_t* pszObjectName, const char16_t* pszVersion,
                          const char16_t* pszReferrer, const char16_t** ppszAcceptTypes,
                          uint32_t dwFlags, DWORD_PTR dwContext) {
    LIBRARY& lib = Lib();
    std::unique_lock lock(lib.mtx);
    NODE* pParent = FindOfKind(hConnect, KIND::Connect);
    if (pParent == nullptr) return nullptr;
    return OpenChild(
        lock, hConnect, pParent, KIND::Request, dwContext, [&](::HINTERNET hParent, DWORD_PTR nId) {
            ::HINTERNET hReal = ::HttpOpenRequestW(
                hParent, pszVerb != nullptr ? W(pszVerb) : L"GET", W(pszObjectName),
                pszVersion != nullptr ? W(pszVersion) : L"HTTP/1.1", W(pszReferrer),
                reinterpret_cast<const wchar_t**>(ppszAcceptTypes), dwFlags, nId);
            // The system keeps an idle connection in a process-wide pool for about
            // a minute after its handles are closed; closing a handle here closes
            // what is under it, the connection too.
            if (hReal != nullptr)
                ::HttpAddRequestHeadersW(hReal, L"Connection: close\r\n", static_cast<DWORD>(-1),
                                         HTTP_ADDREQ_FLAG_ADD_IF_NEW);
            return hReal;
        });
}

bool HttpSendRequest(HINTERNET hRequest, const char16_t* pszHeaders, uint32_t dwHeadersLength,
                     const void* pOptional, uint32_t dwOptionalLength) {
    LIBRARY& lib = Lib();
    std::unique_lock lock(lib.mtx);
    NODE* pNode = FindOfKind(hRequest, KIND::Request);
    if (pNode == nullptr) return false;
    if (pNode->bSent) {
        SetError(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
        return false;
    }
    pNode->bSent = true;
    const uint64_t nId = pNode->nId;
    // Copied before the call returns; the send reads it until it is over.
    pNode->vecBody.assign(
        static_cast<const char*>(pOptional),
        static_cast<const char*>(pOptional) + (pOptional != nullptr ? dwOptionalLength : 0));
    void* pBody = pNode->vecBody.empty() ? nullptr : pNode->vecBody.data();
    const auto dwBody = static_cast<DWORD>(pNode->vecBody.size());
    lock.unlock();
    const DWORD dwLength = pszHeaders == nullptr ? 0 : dwHeadersLength;
    const BOOL bDone = ::HttpSendRequestW(static_cast<::HINTERNET>(hRequest), W(pszHeaders),
                                          dwLength, pBody, dwBody);
    if (!bDone) {
        const DWORD dwError = ::GetLastError();
        SetError(dwError);
        return false;
    }
    // Done at once: the caller still hears of it as a completion.
    Complete(nId, static_cast<::HINTERNET>(hRequest), INTERNET_ASYNC_RESULT{TRUE, 0});
    SetError(ERROR_IO_PENDING);
    return false;
}

bool InternetReadFile(HINTERNET hFile, void* pBuffer, uint32_t dwNumberOfBytesToRead,
                      uint32_t* pdwNumberOfBytesRead) {
    LIBRARY& lib = Lib();
    std::unique_lock lock(lib.mtx);
    NODE* pNode = FindOfKind(hFile, KIND::Request);
    if (pNode == nullptr) return false;
    if (!pNode->bSent) {
        SetError(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
        return false;
    }
    if (pBuffer == nullptr || pdwNumberOfBytesRead == nullptr) {
        SetError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (pNode->dwFailure != 0) {
        SetError(pNode->dwFailure);
        return false;
    }
    pNode->pdwRead = pdwNumberOfBytesRead;
    const uint64_t nId = pNode->nId;
    lock.unlock();
    static_assert(sizeof(DWORD) == sizeof(uint32_t));
    if (!::InternetReadFile(static_cast<::HINTERNET>(hFile), pBuffer, dwNumberOfBytesToRead,
                            reinterpret_cast<DWORD*>(pdwNumberOfBytesRead)))
        return false;  // pending (its completion counts it) or failed, the error set
    lock.lock();
    auto it = lib.mapNodes.find(nId);
    if (it == lib.mapNodes.end() || it->second->pdwRead == nullptr) return true;
    if (const uint32_t dwError = CountRead(it->second.get(), *pdwNumberOfBytesRead); dwError != 0) {
        SetError(dwError);
        return false;
    }
    return true;
}

bool InternetCloseHandle(HINTERNET hInternet) {
    LIBRARY& lib = Lib();
    std::unique_lock lock(lib.mtx);
    NODE* pNode = Find(hInternet);
    if (pNode == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return false;
    }
    const bool bInternet = pNode->nKind == KIND::Internet;
    if (bInternet && std::this_thread::get_id() == lib.idWorker) {
        SetError(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
        return false;
    }
    CloseTree(lock, pNode);
    if (bInternet && --lib.nInternetHandles == 0) {
        lib.bStop = true;
        lib.cvQueue.notify_all();
        std::thread thr = std::move(lib.thrWorker);
        lib.idWorker = std::thread::id();
        lock.unlock();
        thr.join();
    }
    return true;
}

size_t InternetOpenHandleCount() {
    LIBRARY& lib = Lib();
    std::lock_guard lock(lib.mtx);
    return lib.mapHandles.size();
}

bool InternetWorkerRunning() {
    LIBRARY& lib = Lib();
    std::lock_guard lock(lib.mtx);
    return lib.thrWorker.joinable();
}

}  // namespace kt
