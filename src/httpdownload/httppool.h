// The pool behind the public functions: ids, the request and download tables, reuse of released
// objects, libcurl's global state and the status window. Every operation is meant for the thread
// that initialised the pool; workers never touch the tables.
#pragma once

#include <cstdint>
#include <string>

#include "platform/msgwindow.h"

class CHttp_Async;
class CMTRDownload;
class IHttpReporter;

// At most this many released objects of each kind wait for reuse.
inline constexpr size_t kHttpMaxParked = 16;

enum class HttpObjectKind { Request, Download };

class CHttp_Pool {
public:
    bool Initialize(void* hInstance);
    void Uninitialize();

    long NewRequest();
    long NewDownload();
    // 1 when the id is active in the kind's table; a parked id is taken back into use.
    int32_t Exists(long nId, HttpObjectKind eKind);

    int32_t SetForm(long nId, const char16_t* pszUrl, const char16_t* pszForm,
                    IHttpReporter* pReporter, uint32_t dwTimeout);
    int32_t SetData(long nId, const char16_t* pszUrl, const void* pData, uint32_t nLength,
                    IHttpReporter* pReporter, uint32_t dwTimeout);
    int32_t SetDownload(long nId, const char16_t* pszUrl, const char16_t* pszPath,
                        IHttpReporter* pReporter, uint32_t dwTimeout);
    int32_t AddHeader(long nId, const char16_t* pszLine);
    int32_t Start(long nId);
    int32_t StartDownload(long nId, int32_t bWait);
    void Cancel(long nId);
    void Release(long nId);
    void StopAll();
    char* GetData(long nId, int32_t* pLength);
    char* TakeData(long nId, int32_t* pLength);
    int32_t GetResult(long nId);
    int32_t IsFinished(long nId);
    int32_t IsRunning(long nId);
    int32_t AreAllRunning();
    void SetTimeout(long nId, uint32_t dwMilliseconds);
    void PostUserMessage(long nId, int32_t nValue);
    void DetachReporter(IHttpReporter* pReporter);
    std::u16string GetRequestUrl(long nId);

    // The status window's procedure for the five notification messages: looks the id up under
    // the kind's lock and calls its reporter while holding it.
    kt::LRESULT Dispatch(kt::UINT uMsg, long nId, kt::LPARAM lValue);

    // Pool is up: a status manager exists.
    static bool HasStatusMgr();

private:
    CHttp_Async* FindRequest(long nId);
    CMTRDownload* FindDownload(long nId);
};

// The process-wide pool.
CHttp_Pool& HttpPool();
