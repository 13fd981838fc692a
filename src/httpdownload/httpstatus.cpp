#include "httpdownload/httpstatus.h"

#include <atomic>
#include <cmath>

#include "platform/msgbox.h"

namespace {

// Workers post to the handle while the pool's thread may be forgetting it at shut-down.
std::atomic<kt::HWND> g_hStatusWnd{0};
std::atomic<bool> g_bRegistered{false};
std::atomic<CHttp_StatusMgr::DISPATCH_FUNCTION> g_pfnDispatch{nullptr};

constexpr kt::HWND kInvalidWindow = static_cast<kt::HWND>(-1);

kt::LPARAM TruncateProgress(double dValue) {
    if (!(dValue == dValue)) return 0;  // NaN
    const double dTrunc = std::trunc(dValue);
    if (dTrunc >= 2147483647.0) return INT32_MAX;
    if (dTrunc <= -2147483648.0) return INT32_MIN;
    return static_cast<kt::LPARAM>(static_cast<int32_t>(dTrunc));
}

}  // namespace

int32_t CHttp_StatusMgr::OnAsyncFinished(long nId) {
    kt::PostMessage(g_hStatusWnd.load(), WM_HTTP_FINISHED, static_cast<kt::WPARAM>(nId), 0);
    return 0;
}

int32_t CHttp_StatusMgr::OnAsyncFailed(long nId, int32_t nResult) {
    kt::PostMessage(g_hStatusWnd.load(), WM_HTTP_FAILED, static_cast<kt::WPARAM>(nId), nResult);
    return 0;
}

int32_t CHttp_StatusMgr::OnAsyncStatus(long nId, int32_t nValue) {
    kt::PostMessage(g_hStatusWnd.load(), WM_HTTP_STATUS, static_cast<kt::WPARAM>(nId), nValue);
    return 0;
}

int32_t CHttp_StatusMgr::OnAsyncProgress(long nId, double dValue) {
    kt::PostMessage(g_hStatusWnd.load(), WM_HTTP_PROGRESS, static_cast<kt::WPARAM>(nId),
                    TruncateProgress(dValue));
    return 0;
}

kt::LPARAM CHttp_StatusMgr::ProgressParam(double dValue) {
    return TruncateProgress(dValue);
}

void CHttp_StatusMgr::PostUserMessage(long nId, int32_t nValue) {
    const kt::HWND hWnd = g_hStatusWnd.load();
    if (hWnd == 0 || hWnd == kInvalidWindow) return;
    kt::PostMessage(hWnd, WM_HTTP_USER, static_cast<kt::WPARAM>(nId), nValue);
}

bool CHttp_StatusMgr::RegisterStatusWindowClass(void* /*hInstance*/) {
    const bool bOk = kt::RegisterWindowClass(kStatusWindowClass, &CHttp_StatusMgr::WindowProc) ||
                     kt::GetLastPlatformError() == kt::kErrorClassAlreadyExists;
    g_bRegistered.store(bOk);
    return bOk;
}

bool CHttp_StatusMgr::CreateStatusWindow(void* hInstance, DISPATCH_FUNCTION pfnDispatch) {
    g_pfnDispatch.store(pfnDispatch);
    if (g_bRegistered.load()) return true;
    if (!RegisterStatusWindowClass(hInstance)) {
        kt::MessageBox(u"CHttp_Pool::Initialize Register failed!", u"", kt::kMbOk);
        return false;
    }
    const kt::HWND hWnd = kt::CreateMessageWindow(kStatusWindowClass);
    g_hStatusWnd.store(hWnd);
    return hWnd != 0;
}

void CHttp_StatusMgr::DestroyStatusWindow() {
    const kt::HWND hWnd = g_hStatusWnd.exchange(0);
    // A new pool makes a new window; notifications still queued for the old one die with it.
    if (hWnd != 0) kt::DestroyMessageWindow(hWnd);
    g_bRegistered.store(false);
}

kt::HWND CHttp_StatusMgr::GetWindow() {
    return g_hStatusWnd.load();
}

bool CHttp_StatusMgr::IsRegistered() {
    return g_bRegistered.load();
}

kt::LRESULT CHttp_StatusMgr::WindowProc(kt::HWND hWnd, kt::UINT uMsg, kt::WPARAM wParam,
                                        kt::LPARAM lParam) {
    switch (uMsg) {
        case WM_HTTP_USER:
        case WM_HTTP_FINISHED:
        case WM_HTTP_FAILED:
        case WM_HTTP_STATUS:
        case WM_HTTP_PROGRESS: {
            const DISPATCH_FUNCTION pfnDispatch = g_pfnDispatch.load();
            return pfnDispatch != nullptr ? pfnDispatch(uMsg, static_cast<long>(wParam), lParam)
                                          : 0;
        }
        default:
            return kt::DefWindowProc(hWnd, uMsg, wParam, lParam);
    }
}
