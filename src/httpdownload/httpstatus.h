// The bridge from worker threads to the pool's thread: workers report to the status manager, which
// posts one message per report to a hidden window of class "LumHttpPool"; the window procedure,
// run by that thread's message loop, hands each report to the dispatch function it was created
// with (the pool's, which calls the request's IHttpReporter).
#pragma once

#include <cstdint>

#include "httpdownload/httpreporter.h"
#include "platform/msgwindow.h"

inline constexpr kt::UINT WM_HTTP_USER = 0x601;
inline constexpr kt::UINT WM_HTTP_FINISHED = 0x1400;
inline constexpr kt::UINT WM_HTTP_FAILED = 0x1401;
inline constexpr kt::UINT WM_HTTP_STATUS = 0x1402;
inline constexpr kt::UINT WM_HTTP_PROGRESS = 0x1403;

class CHttp_StatusMgr final : public IAsyReporter {
public:
    int32_t OnAsyncFinished(long nId) override;
    int32_t OnAsyncFailed(long nId, int32_t nResult) override;
    int32_t OnAsyncStatus(long nId, int32_t nValue) override;
    // The value goes out truncated toward zero (1234.9 arrives as 1234).
    int32_t OnAsyncProgress(long nId, double dValue) override;

    // A progress value as a message carries it: truncated toward zero, clamped to 32 bits.
    static kt::LPARAM ProgressParam(double dValue);

    // Posts WM_HTTP_USER, only to a window that exists.
    static void PostUserMessage(long nId, int32_t nValue);

    // True once the class is registered (also when it already was).
    static bool RegisterStatusWindowClass(void* hInstance);
    // What the window procedure hands each notification to (the pool's look-up and reporter call).
    using DISPATCH_FUNCTION = kt::LRESULT (*)(kt::UINT uMsg, long nId, kt::LPARAM lValue);

    // Registers if needed and creates the window on the calling thread; the window stays hidden
    // and gives its notifications to pfnDispatch.
    static bool CreateStatusWindow(void* hInstance, DISPATCH_FUNCTION pfnDispatch);
    // Forgets the window (destroying it) and clears the registered flag.
    static void DestroyStatusWindow();

    static kt::HWND GetWindow();
    static bool IsRegistered();

    static kt::LRESULT WindowProc(kt::HWND hWnd, kt::UINT uMsg, kt::WPARAM wParam,
                                  kt::LPARAM lParam);
};

inline constexpr const char* kStatusWindowClass = "LumHttpPool";
