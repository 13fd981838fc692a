// The WinInet pool's status manager: one STATUSINFO record per request id, a thread per started
// request, the request's reports (it is the requests' IAsyncReporter), a copy of each reply, and
// the hand-over of each outcome to the request's owner on the thread that owns the hidden window
// of class "StatusMgr".
//
// Thread model:
// - Pool functions may be called from any thread; InitPool and UninitPool belong to the thread
//   that runs the notification window (debug builds report other callers), and owners
//   (IHttpReporter, first three slots) are called only from that window's procedure.
// - The table lock guards the map, the list and every record's fields; a record's reply lock its
//   reply copy. The window procedure looks the id up under the table lock, copies what the call
//   needs and lets the lock go before it calls the owner; the status and progress callbacks are
//   called on the request's threads, also without the lock.
// - No owner or callback is called and no thread is joined while the table lock is held, so a
//   request's reports always get the lock, and an owner may delete its own request from inside a
//   notification.
// - A request being deleted (or the pool being shut down) is cancelled once and waited for, never
//   killed; the cancel holds even when the request's thread has not begun its transfer yet.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "httpdownload/httpreporter.h"
#include "inet/asynchttp.h"
#include "platform/msgwindow.h"
#include "platform/sync.h"

inline constexpr kt::UINT WM_INET_USER_MESSAGE = 1225;      // OnRequestMessage(id, lParam)
inline constexpr kt::UINT WM_INET_REQUEST_FINISHED = 2024;  // OnRequestFinished(id)
inline constexpr kt::UINT WM_INET_REQUEST_FAILED = 2025;    // OnRequestFailed(id, status)
inline constexpr const char* kInetStatusWindowClass = "StatusMgr";

using INET_STATUS_CALLBACK = void (*)(long nId, long nCode);
using INET_PROGRESS_CALLBACK = void (*)(long nId, long nStage, long nValue);

struct STATUSINFO {
    STATUSINFO() = default;
    ~STATUSINFO();
    STATUSINFO(const STATUSINFO&) = delete;
    STATUSINFO& operator=(const STATUSINFO&) = delete;

    long m_nId = -1;
    IHttpReporter* m_pOwner = nullptr;
    INET_STATUS_CALLBACK m_pfnStatus = nullptr;
    INET_PROGRESS_CALLBACK m_pfnProgress = nullptr;
    int m_nKind = kAsyncKindGet;
    std::unique_ptr<CAsyncHttp> m_pAsyncHttp;
    // A start while the previous transfer still runs gets a thread of its own (its OpenRequest is
    // refused with status 3); ended threads are dropped at the next start.
    std::vector<std::unique_ptr<kt::CThread>> m_vecThreads;
    std::thread::id m_idThread;
    std::u16string m_strHeaders;
    std::u16string m_strUrl;
    int m_nBodyLength = 0;
    std::string m_strBody;
    int m_nReplyCapacity = 0;
    int m_nReplyLength = 0;
    std::unique_ptr<char[]> m_pReply;
    kt::CCriticalSection m_csReply;
    int m_nTimeout = 0;
    bool m_bDeleting = false;  // DeleteRequest or UninitPool has it; nothing else may start it
    // Calls of the owner under way on the window's thread; a deleter on another thread waits for
    // them to end before the record (and perhaps the owner) goes.
    int m_nOwnerCalls = 0;
};

class CHttpStatusMgr : public IAsyncReporter {
public:
    void ReportStatus(long nId, long nCode) override;
    void ReportProgress(long nId, long nStage, long nValue) override;
    void ReportCancelled(long nId) override;
    void ReportFinished(long nId) override;

    static kt::LRESULT WindowProc(kt::HWND hWnd, kt::UINT uMsg, kt::WPARAM wParam,
                                  kt::LPARAM lParam);
};

// The pool's process-wide state, shared by the manager and the pool functions.
struct INET_POOL_STATE {
    std::unique_ptr<CHttpStatusMgr> pManager;  // null: no pool
    std::atomic<kt::HWND> hWnd{0};
    bool bClassRegistered = false;
    std::atomic<long> nLastId{0};
    std::map<long, STATUSINFO*> mapInfo;
    std::list<std::unique_ptr<STATUSINFO>> listInfo;  // creation order; owns the records
    kt::CCriticalSection csTable;
    std::condition_variable_any cvOwnerCalls;  // a record's m_nOwnerCalls fell to 0
    // The thread that runs the notification window (set by InitPool).
    std::atomic<std::thread::id> idWindowThread{};
};
INET_POOL_STATE& GetInetPoolState();
