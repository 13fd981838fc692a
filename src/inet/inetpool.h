// The WinInet pool: numbered HTTP requests over CAsyncHttp, run by the process-wide
// CHttpStatusMgr. Owners hear the outcome on the thread that called InitPool, from its message
// loop (kt::PumpMessages or the application's loop). This folder is the second HTTP layer; it sits
// above the transfer engine only for the result codes and IHttpReporter that both share
// (httpdownload/httpreporter.h), and the thread model is in inet/httpstatusmgr.h.
//
// Start-up calls InitPool (a false answer shows kInetPoolInitFailedText and ends the program);
// shut-down calls UninitPool, which cancels every request, waits for its threads and frees it.
//
// Result codes: 0 success; -1 bad argument or no pool; -2 no request with that id; -5 the request
// thread did not start; -6 the table pointer was not empty; -7 no reply; -8 the reply is not a
// table or reports an error; -100 an exception while reading the reply.
// Buffers returned by GetReply come from std::malloc; the caller frees them with std::free.
#pragma once

#include <cstdint>
#include <string>

#include "datatable/datatable.h"
#include "inet/httpstatusmgr.h"

inline constexpr int kInetOk = 0;
inline constexpr int kInetBadArgument = -1;
inline constexpr int kInetNoRequest = -2;
inline constexpr int kInetThreadFailed = -5;
inline constexpr int kInetTableNotEmpty = -6;
inline constexpr int kInetNoReply = -7;
inline constexpr int kInetBadReply = -8;
inline constexpr int kInetException = -100;

// The message start-up shows when InitPool fails.
inline constexpr char16_t kInetPoolInitFailedText[] = u"初始化HTTP操作请求池信息！";

bool InitPool(void* hInstance);
void UninitPool();
long CreateRequest(IHttpReporter* pOwner, INET_STATUS_CALLBACK pfnStatus,
                   INET_PROGRESS_CALLBACK pfnProgress);
int SetRequest(long nId, const char16_t* pszUrl, const void* pBody, int nLength);
int SetRequestText(long nId, const char16_t* pszUrl, const char16_t* pszBody);
int SetRequestUrl(long nId, const char16_t* pszUrl);
// Extra header lines ("Name: value\r\n" each) sent after the fixed ones.
int SetRequestHeaders(long nId, const char16_t* pszHeaders);
int StartRequest(long nId, int nKind);
void CancelRequest(long nId);
void DeleteRequest(long nId);
bool IsRequestRunning(long nId);
uint32_t GetRequestStatus(long nId);
bool IsRequestSucceeded(long nId);
char* GetReply(long nId, long* pLength);
int GetReplyTable(long nId, kt::CDataTable*& pTable);
void SetRequestTimeout(long nId, int nMilliseconds);
void PostRequestMessage(long nId, int32_t nValue);

// The address ProbeConnection asks for: KTREPORTER_PROBE_URL when set, else a small image on a
// public news site. SetProbeUrl replaces it for the process (an empty text restores the rule).
std::u16string GetProbeUrl();
void SetProbeUrl(const std::u16string& strUrl);

// A request id carried as an object; destroying it deletes a request it holds.
class CAsyncHttpHandle {
public:
    CAsyncHttpHandle() = default;
    ~CAsyncHttpHandle();
    CAsyncHttpHandle(const CAsyncHttpHandle&) = delete;
    CAsyncHttpHandle& operator=(const CAsyncHttpHandle&) = delete;

    long GetId() const { return m_nId; }
    // Creates a request for this handle (deleting one it held); the new id or -1.
    long CreateRequest(IHttpReporter* pOwner = nullptr, INET_STATUS_CALLBACK pfnStatus = nullptr,
                       INET_PROGRESS_CALLBACK pfnProgress = nullptr);
    int SetRequest(const char16_t* pszUrl, const void* pBody, int nLength);
    int SetRequestText(const char16_t* pszUrl, const char16_t* pszBody);
    int SetRequestUrl(const char16_t* pszUrl);
    int StartRequest(int nKind);
    void CancelRequest();
    void DeleteRequest();
    bool IsRequestRunning() const;
    uint32_t GetRequestStatus() const;
    bool IsRequestSucceeded() const;
    char* GetReply(long* pLength) const;
    int GetReplyTable(kt::CDataTable*& pTable) const;
    void SetRequestTimeout(int nMilliseconds);
    void PostRequestMessage(int32_t nValue);
    // GET of GetProbeUrl() under this handle's id (a request without owner or callbacks is
    // created first when the handle has none); the start's result code.
    int ProbeConnection();

private:
    long m_nId = 0;
};
