// The pool behind the public functions: ids, the request and download tables, reuse of released
// objects, libcurl's global state and the status window.
//
// Thread model:
// - Every operation is for the pool's thread (the one that called Initialize, which also owns the
//   status window and so calls every reporter); debug builds report a call from another thread.
//   Workers never touch the tables: they report through IAsyReporter, which only posts.
// - The request lock guards the request tables, the download lock the download tables; no
//   operation holds both. Objects are removed only by the pool's thread, so a pointer found under
//   a lock stays good on that thread after the lock is let go.
// - No reporter is called and no worker is joined while a table lock is held: look up and copy
//   under the lock, let it go, then call or join. Reporters may therefore call any operation,
//   including Release of their own id, from inside a notification.
// - A cancel is sticky: it holds from the moment it is made until the next start, so a cancel that
//   comes before the worker's transfer has begun stops that transfer before anything is sent.
#pragma once

#include <cstdint>
#include <functional>
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
    // 1 when the id's last reply arrived whole by its own framing, 0 when not, -100 for an
    // unknown id, -14 when the pool is down.
    int32_t IsReplyComplete(long nId);
    int32_t IsFinished(long nId);
    int32_t IsRunning(long nId);
    int32_t AreAllRunning();
    void SetTimeout(long nId, uint32_t dwMilliseconds);
    void PostUserMessage(long nId, int32_t nValue);
    void DetachReporter(IHttpReporter* pReporter);
    std::u16string GetRequestUrl(long nId);

    // The status window's procedure for the five notification messages: looks the id up under
    // the kind's lock and calls its reporter after letting it go.
    kt::LRESULT Dispatch(kt::UINT uMsg, long nId, kt::LPARAM lValue);

    // Pool is up: a status manager exists.
    static bool HasStatusMgr();

private:
    // SetForm and SetData: checks, stop of a previous run, time-out, fnBody, reporter and owner.
    int32_t SetRequest(long nId, const char16_t* pszUrl, IHttpReporter* pReporter,
                       uint32_t dwTimeout, const std::function<void(CHttp_Async&)>& fnBody);
    CHttp_Async* FindRequest(long nId);
    CMTRDownload* FindDownload(long nId);
};

// The process-wide pool.
CHttp_Pool& HttpPool();
