// The Windows Internet (WinInet) functions that the second HTTP layer calls, with their
// asynchronous contract, on libcurl.
//
// - Handles form a tree: an internet handle (InternetOpen), connection handles under it
//   (InternetConnect), request handles under those (HttpOpenRequest). Closing a handle closes
//   everything under it.
// - A status callback is installed per handle; a handle created later copies its parent's.
//   Notifications go only to handles with a non-zero context, always on the library's own
//   thread, never on the caller's: INTERNET_STATUS_HANDLE_CREATED (60) before the creating call
//   returns, INTERNET_STATUS_HANDLE_CLOSING (70) before InternetCloseHandle returns, and
//   INTERNET_STATUS_REQUEST_COMPLETE (100) when a pending send or read is over. After
//   InternetCloseHandle has returned no callback for that handle (or its children) runs.
// - HttpSendRequest always answers false with ERROR_IO_PENDING (997) and completes once the reply
//   head is in (or the transfer failed). InternetReadFile completes at once while received bytes
//   are waiting (or the reply has ended: 0 bytes); otherwise it answers pending and fills the
//   caller's buffer and count later, before the completion is reported, so both must stay valid
//   until then or until the handle is closed.
//   A connection closed before a reply head fails the send, and a reply that ends short of its
//   Content-Length fails the read, both with ERROR_INTERNET_CONNECTION_ABORTED; later reads give
//   the same error.
// - Failures set the calling thread's error (GetLastInetError).
// - InternetConnect makes a TCP connection, so an unreachable server fails at the connection
//   step, as the family's code expects. On libcurl the request then uses that socket; on
//   wininet.dll, which connects by itself when the request is sent, it is a trial connection,
//   closed at once without a byte: a server sees one connection more, but no request more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kt {

using HINTERNET = void*;
using DWORD_PTR = std::uintptr_t;
using INTERNET_PORT = uint16_t;

struct INTERNET_ASYNC_RESULT {
    DWORD_PTR dwResult;  // the handle for 60, TRUE/FALSE for 100
    uint32_t dwError;    // 0 or the error of a failed operation
};

using INTERNET_STATUS_CALLBACK = void (*)(HINTERNET hInternet, DWORD_PTR dwContext,
                                          uint32_t dwInternetStatus, void* lpvStatusInformation,
                                          uint32_t dwStatusInformationLength);
// InternetSetStatusCallback's answer for a handle it does not know.
inline const INTERNET_STATUS_CALLBACK INTERNET_INVALID_STATUS_CALLBACK =
    reinterpret_cast<INTERNET_STATUS_CALLBACK>(static_cast<intptr_t>(-1));

inline constexpr uint32_t INTERNET_STATUS_HANDLE_CREATED = 60;
inline constexpr uint32_t INTERNET_STATUS_HANDLE_CLOSING = 70;
inline constexpr uint32_t INTERNET_STATUS_REQUEST_COMPLETE = 100;

inline constexpr uint32_t INTERNET_OPEN_TYPE_PRECONFIG = 0;
inline constexpr uint32_t INTERNET_OPEN_TYPE_DIRECT = 1;
inline constexpr uint32_t INTERNET_OPEN_TYPE_PROXY = 3;
inline constexpr uint32_t INTERNET_OPEN_TYPE_PRECONFIG_WITH_NO_AUTOPROXY = 4;

inline constexpr uint32_t INTERNET_FLAG_ASYNC = 0x10000000;
inline constexpr uint32_t INTERNET_FLAG_RELOAD = 0x80000000;
inline constexpr uint32_t INTERNET_FLAG_NO_CACHE_WRITE = 0x04000000;
inline constexpr uint32_t INTERNET_FLAG_SECURE = 0x00800000;

inline constexpr uint32_t INTERNET_SERVICE_FTP = 1;
inline constexpr uint32_t INTERNET_SERVICE_HTTP = 3;

inline constexpr uint32_t INTERNET_CONNECTION_MODEM = 0x01;
inline constexpr uint32_t INTERNET_CONNECTION_LAN = 0x02;
inline constexpr uint32_t INTERNET_CONNECTION_PROXY = 0x04;
inline constexpr uint32_t INTERNET_CONNECTION_OFFLINE = 0x20;
inline constexpr uint32_t INTERNET_CONNECTION_CONFIGURED = 0x40;

inline constexpr INTERNET_PORT INTERNET_INVALID_PORT_NUMBER = 0;
inline constexpr INTERNET_PORT INTERNET_DEFAULT_HTTP_PORT = 80;
inline constexpr INTERNET_PORT INTERNET_DEFAULT_HTTPS_PORT = 443;

// Service kinds of AfxParseURL.
inline constexpr uint32_t AFX_INET_SERVICE_FTP = 1;
inline constexpr uint32_t AFX_INET_SERVICE_HTTP = 3;
inline constexpr uint32_t AFX_INET_SERVICE_UNK = 0x1000;
inline constexpr uint32_t AFX_INET_SERVICE_HTTPS = AFX_INET_SERVICE_UNK + 0x8;

inline constexpr uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr uint32_t ERROR_IO_PENDING = 997;
inline constexpr uint32_t ERROR_INTERNET_TIMEOUT = 12002;
inline constexpr uint32_t ERROR_INTERNET_INTERNAL_ERROR = 12004;
inline constexpr uint32_t ERROR_INTERNET_UNRECOGNIZED_SCHEME = 12006;
inline constexpr uint32_t ERROR_INTERNET_NAME_NOT_RESOLVED = 12007;
inline constexpr uint32_t ERROR_INTERNET_INCORRECT_HANDLE_TYPE = 12018;
inline constexpr uint32_t ERROR_INTERNET_INCORRECT_HANDLE_STATE = 12019;
inline constexpr uint32_t ERROR_INTERNET_CANNOT_CONNECT = 12029;
inline constexpr uint32_t ERROR_INTERNET_CONNECTION_ABORTED = 12030;
inline constexpr uint32_t ERROR_INTERNET_CONNECTION_RESET = 12031;
inline constexpr uint32_t ERROR_HTTP_INVALID_SERVER_RESPONSE = 12152;

// The error of the calling thread's last failed call (GetLastError).
uint32_t GetLastInetError();

// LAN when a network interface other than loopback is up, PROXY (with CONFIGURED) when the proxy
// environment (http_proxy, https_proxy, all_proxy in either case) names one; true when either.
bool InternetGetConnectedState(uint32_t* pdwFlags, uint32_t dwReserved);

// Only INTERNET_FLAG_ASYNC is supported among the flags (the layer is asynchronous only).
// PRECONFIG and PRECONFIG_WITH_NO_AUTOPROXY take the proxy environment, DIRECT ignores it, PROXY
// uses pszProxy (with pszProxyBypass as the no-proxy list).
HINTERNET InternetOpen(const char16_t* pszAgent, uint32_t dwAccessType, const char16_t* pszProxy,
                       const char16_t* pszProxyBypass, uint32_t dwFlags);

INTERNET_STATUS_CALLBACK InternetSetStatusCallback(HINTERNET hInternet,
                                                   INTERNET_STATUS_CALLBACK pfnCallback);

// Splits "scheme://[user[:password]@]server[:port][/path][?query][#fragment]" into the service
// kind, the server, the object (path and query, "/" when there is no path) and the port (the
// scheme's default when none is given). False for anything without a known scheme, a server or a
// valid port.
bool AfxParseURL(const char16_t* pszUrl, uint32_t& dwServiceType, std::u16string& strServer,
                 std::u16string& strObject, INTERNET_PORT& nPort);

HINTERNET InternetConnect(HINTERNET hInternet, const char16_t* pszServerName,
                          INTERNET_PORT nServerPort, const char16_t* pszUserName,
                          const char16_t* pszPassword, uint32_t dwService, uint32_t dwFlags,
                          DWORD_PTR dwContext);

// pszVerb null means GET, pszVersion null means HTTP/1.1. The object is sent as the request
// target; blanks and bytes a request line cannot carry are percent-escaped on the way.
HINTERNET HttpOpenRequest(HINTERNET hConnect, const char16_t* pszVerb,
                          const char16_t* pszObjectName, const char16_t* pszVersion,
                          const char16_t* pszReferrer, const char16_t** ppszAcceptTypes,
                          uint32_t dwFlags, DWORD_PTR dwContext);

// dwHeadersLength (uint32_t)-1: the header text runs to its terminator. Header lines are
// separated by "\r\n". The optional bytes (the body) are copied before the call returns.
bool HttpSendRequest(HINTERNET hRequest, const char16_t* pszHeaders, uint32_t dwHeadersLength,
                     const void* pOptional, uint32_t dwOptionalLength);

bool InternetReadFile(HINTERNET hFile, void* pBuffer, uint32_t dwNumberOfBytesToRead,
                      uint32_t* pdwNumberOfBytesRead);

// Returns after HANDLE_CLOSING went out for the handle and everything under it. An internet handle
// cannot be closed from inside a status callback (ERROR_INTERNET_INCORRECT_HANDLE_STATE): its
// last close stops the thread the callback runs on.
bool InternetCloseHandle(HINTERNET hInternet);

// Diagnostics for tests and tools: handles open in the process, and whether the library's thread
// runs (it runs while an internet handle is open).
size_t InternetOpenHandleCount();
bool InternetWorkerRunning();

#ifndef _WIN32
// Test seam of the libcurl version: while set, libcurl's multi interface is taken to refuse every
// transfer it is given; the send completes with ERROR_INTERNET_INTERNAL_ERROR and nothing goes out.
void InternetRefuseTransfersForTest(bool bRefuse);
#endif

}  // namespace kt
