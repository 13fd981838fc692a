#include <windows.h>

#include <atomic>
#include <mutex>
#include <unordered_map>

#include "platform/codepage.h"
#include "platform/msgwindow.h"

// Message windows are the system's own: message-only windows (HWND_MESSAGE) of registered classes,
// messages posted with PostMessageW into the creating thread's queue and dispatched by a
// PeekMessage pump on that thread. The window procedure of the family's code is kept in the
// window's user data; one system procedure hands every message on to it.

// Outside the namespace, where HWND is the system's.
static const HWND kMessageParent = HWND_MESSAGE;

namespace kt {
namespace {

struct Registry {
    std::mutex mutex;
    std::unordered_map<std::u16string, WNDPROC> classes;         // the family's procedure per class
    std::unordered_map<DWORD, std::function<void()>> wakeHooks;  // per owner thread
    std::atomic<bool> bAnyWakeHook{false};  // spares each post the owner look-up when none is set
    DefWindowProcHook defHook;
};

Registry& Reg() {
    static Registry* s_pReg = new Registry;  // workers may post during static destruction
    return *s_pReg;
}

thread_local uint32_t t_dwLastError = 0;

void SaveLastError() {
    t_dwLastError = ::GetLastError();
}

HINSTANCE Instance() {
    return ::GetModuleHandleW(nullptr);
}

const wchar_t* Wide(const std::u16string& str) {
    return reinterpret_cast<const wchar_t*>(str.c_str());
}

LRESULT CALLBACK SystemProc(::HWND hWnd, ::UINT uMsg, ::WPARAM wParam, ::LPARAM lParam) {
    if (uMsg == WM_NCCREATE) {
        const auto* pCreate = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        ::SetWindowLongPtrW(hWnd, GWLP_USERDATA,
                            reinterpret_cast<LONG_PTR>(pCreate->lpCreateParams));
    }
    auto pfnProc = reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    // Messages of the window's creation and destruction belong to the system.
    if (!pfnProc || uMsg < WM_USER) return ::DefWindowProcW(hWnd, uMsg, wParam, lParam);
    return pfnProc(reinterpret_cast<HWND>(hWnd), uMsg, wParam, lParam);
}

// True when the message goes to a window of ours that is still alive: those are the ones a pump
// counts as dispatched.
bool IsOurs(::HWND hWnd) {
    return hWnd && ::IsWindow(hWnd) &&
           ::GetWindowLongPtrW(hWnd, GWLP_WNDPROC) == reinterpret_cast<LONG_PTR>(&SystemProc);
}

}  // namespace

bool RegisterWindowClass(const std::string& strClassName, WNDPROC pfnWndProc) {
    const std::u16string name = FromUtf8(strClassName);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = &SystemProc;
    wc.hInstance = Instance();
    wc.lpszClassName = Wide(name);
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    if (!::RegisterClassExW(&wc)) {
        SaveLastError();
        return false;
    }
    reg.classes[name] = pfnWndProc;
    t_dwLastError = 0;
    return true;
}

bool UnregisterWindowClass(const std::string& strClassName) {
    const std::u16string name = FromUtf8(strClassName);
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    if (!::UnregisterClassW(Wide(name), Instance())) {
        SaveLastError();
        return false;
    }
    reg.classes.erase(name);
    return true;
}

HWND CreateMessageWindow(const std::string& strClassName) {
    const std::u16string name = FromUtf8(strClassName);
    WNDPROC pfnProc = nullptr;
    {
        Registry& reg = Reg();
        std::lock_guard<std::mutex> lock(reg.mutex);
        auto it = reg.classes.find(name);
        if (it == reg.classes.end()) {
            t_dwLastError = kErrorCannotFindWndClass;
            return 0;
        }
        pfnProc = it->second;
    }
    ::HWND hWnd = ::CreateWindowExW(0, Wide(name), L"", 0, 0, 0, 0, 0, kMessageParent, nullptr,
                                    Instance(), reinterpret_cast<void*>(pfnProc));
    if (!hWnd) SaveLastError();
    return reinterpret_cast<HWND>(hWnd);
}

bool DestroyMessageWindow(HWND hWnd) {
    ::HWND h = reinterpret_cast<::HWND>(hWnd);
    // Only the owner thread may destroy a window; from another thread the window is cut off from
    // its procedure (queued messages are dropped) and its owner destroys it at its next pump.
    DWORD dwOwner = ::GetWindowThreadProcessId(h, nullptr);
    if (dwOwner == 0) {
        t_dwLastError = kErrorInvalidWindowHandle;
        return false;
    }
    if (dwOwner == ::GetCurrentThreadId()) {
        if (!::DestroyWindow(h)) {
            SaveLastError();
            return false;
        }
        return true;
    }
    ::SetWindowLongPtrW(h, GWLP_USERDATA, 0);
    ::PostMessageW(h, WM_CLOSE, 0, 0);
    return true;
}

bool IsMessageWindow(HWND hWnd) {
    return ::IsWindow(reinterpret_cast<::HWND>(hWnd)) != FALSE;
}

bool PostMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    ::HWND h = reinterpret_cast<::HWND>(hWnd);
    if (!h || !::PostMessageW(h, uMsg, wParam, lParam)) {
        if (h)
            SaveLastError();
        else
            t_dwLastError = kErrorInvalidWindowHandle;
        return false;
    }
    Registry& reg = Reg();
    if (!reg.bAnyWakeHook.load(std::memory_order_acquire)) return true;
    const DWORD dwOwner = ::GetWindowThreadProcessId(h, nullptr);
    std::function<void()> fnWake;
    {
        std::lock_guard<std::mutex> lock(reg.mutex);
        auto it = reg.wakeHooks.find(dwOwner);
        if (it != reg.wakeHooks.end()) fnWake = it->second;
    }
    if (fnWake) fnWake();
    return true;
}

LRESULT DefWindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    DefWindowProcHook hook;
    {
        Registry& reg = Reg();
        std::lock_guard<std::mutex> lock(reg.mutex);
        hook = reg.defHook;
    }
    if (hook) hook(hWnd, uMsg, wParam, lParam);
    return ::DefWindowProcW(reinterpret_cast<::HWND>(hWnd), uMsg, wParam, lParam);
}

DefWindowProcHook SetDefWindowProcHook(DefWindowProcHook hook) {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    DefWindowProcHook previous = std::move(reg.defHook);
    reg.defHook = std::move(hook);
    return previous;
}

int PumpMessages() {
    int nDispatched = 0;
    MSG msg;
    // One message at a time: a window procedure may pump again (a modal box) and each message is
    // still taken from the queue exactly once, in order.
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_CLOSE && msg.hwnd &&
            ::GetWindowLongPtrW(msg.hwnd, GWLP_USERDATA) == 0) {
            ::DestroyWindow(msg.hwnd);  // asked for by another thread
            continue;
        }
        const bool bOurs = IsOurs(msg.hwnd) && ::GetWindowLongPtrW(msg.hwnd, GWLP_USERDATA) != 0;
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
        if (bOurs) ++nDispatched;
    }
    return nDispatched;
}

int PumpMessagesFor(uint32_t dwMilliseconds) {
    ::MsgWaitForMultipleObjectsEx(0, nullptr, dwMilliseconds, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    return PumpMessages();
}

bool HasPendingMessages() {
    MSG msg;
    return ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE) != FALSE;
}

void SetThreadWakeHook(std::function<void()> fnWake) {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    if (fnWake) {
        reg.wakeHooks[::GetCurrentThreadId()] = std::move(fnWake);
    } else {
        reg.wakeHooks.erase(::GetCurrentThreadId());
    }
    reg.bAnyWakeHook.store(!reg.wakeHooks.empty(), std::memory_order_release);
}

uint32_t GetLastPlatformError() {
    return t_dwLastError;
}

}  // namespace kt
