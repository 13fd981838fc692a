// Hidden message windows: the bridge that carries results from worker threads to the thread that
// owns a window, as the family does with registered window classes and PostMessage.
//
// - A registry of window classes by name; registering a name twice fails with error 1410
//   (ERROR_CLASS_ALREADY_EXISTS), read through GetLastPlatformError().
// - A window is bound to the thread that creates it. Its messages are queued on that thread's queue
//   and dispatched only when that thread pumps.
// - PostMessage may be called from any thread and never waits for dispatch. Posting to window 0 (or
//   to a destroyed window) loses the message and answers false.
// - Dispatch is re-entrant: a window procedure may pump the same queue again (a modal message box
//   does); each message is still dispatched exactly once and in the order it was posted.
// - A per-thread wake hook tells a foreign event loop (Qt) that a message arrived; it is called on
//   the posting thread and must only schedule a pump, never dispatch.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// <windows.h> renames these to their wide forms; here they name the family's own functions.
#ifdef PostMessage
#undef PostMessage
#endif
#ifdef DefWindowProc
#undef DefWindowProc
#endif

namespace kt {

using HWND = std::uintptr_t;
using UINT = uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using WNDPROC = LRESULT (*)(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

inline constexpr uint32_t kErrorClassAlreadyExists = 1410;
inline constexpr uint32_t kErrorInvalidWindowHandle = 1400;
inline constexpr uint32_t kErrorCannotFindWndClass = 1407;

// RegisterClass: false with GetLastPlatformError() == 1410 when the name is taken.
bool RegisterWindowClass(const std::string& strClassName, WNDPROC pfnWndProc);
// UnregisterClass: false when no such class. Windows of the class keep working until destroyed.
bool UnregisterWindowClass(const std::string& strClassName);

// CreateWindow of a registered class, bound to the calling thread; 0 when the class is unknown.
HWND CreateMessageWindow(const std::string& strClassName);
// DestroyWindow: later posts to the handle fail, queued messages for it are dropped.
bool DestroyMessageWindow(HWND hWnd);
// IsWindow.
bool IsMessageWindow(HWND hWnd);

bool PostMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

// DefWindowProc: the answer for a message a window procedure does not handle (0). Tests may watch
// it.
LRESULT DefWindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
using DefWindowProcHook = std::function<void(HWND, UINT, WPARAM, LPARAM)>;
DefWindowProcHook SetDefWindowProcHook(DefWindowProcHook hook);

// Dispatches every message queued for the calling thread at the time of the call (and those that
// arrive meanwhile), returning how many were dispatched.
int PumpMessages();
// Waits up to the time for a message on the calling thread's queue, then pumps. Returns the number
// dispatched (0 after a time-out).
int PumpMessagesFor(uint32_t dwMilliseconds);
// True when the calling thread's queue holds a message.
bool HasPendingMessages();

// The calling thread's wake hook; an empty function removes it.
void SetThreadWakeHook(std::function<void()> fnWake);

// GetLastError of the message-window functions, per thread.
uint32_t GetLastPlatformError();

}  // namespace kt
