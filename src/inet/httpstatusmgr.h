// The WinInet pool's status manager: one STATUSINFO record per request id, a thread per started
// request, the request's reports (it is the requests' IAsyncReporter), a copy of each reply, and
// the hand-over of each outcome to the request's owner on the thread that owns the hidden window
// of class "StatusMgr".
//
// Threads: owners (IHttpReporter, first three slots) are called only from the window procedure,
// with the table lock held; the status and progress callbacks run on the request's threads.
// A request being deleted (or the pool being shut down) is cancelled and waited for, never killed:
// its reports stop trying for the table lock, so a deleter that holds it (an owner deleting its
// own request from inside a notification) cannot block them.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
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
    // Ids whose records are being torn down; their reports give up instead of waiting for the
    // table lock. bStopping covers every id while the pool shuts down.
    std::mutex mutexDeleting;
    std::set<long> setDeleting;
    std::atomic<bool> bStopping{false};
};
INET_POOL_STATE& GetInetPoolState();
