#include "platform/msgwindow.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace kt {
namespace {

struct QueuedMessage {
    HWND hWnd;
    UINT uMsg;
    WPARAM wParam;
    LPARAM lParam;
};

// The message queue of one thread. Windows hold it by shared_ptr, so a post that races with the
// owner thread's end still has a queue to land in (and is simply never dispatched).
struct ThreadQueue {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<QueuedMessage> messages;
    std::function<void()> fnWake;
};

struct WindowEntry {
    WNDPROC pfnProc;
    std::shared_ptr<ThreadQueue> pQueue;
};

struct Registry {
    std::mutex mutex;
    std::unordered_map<std::string, WNDPROC> classes;
    std::unordered_map<HWND, WindowEntry> windows;
    HWND hNext = 0x10;  // handles are never reused, so a stale handle can never reach a new window
    DefWindowProcHook defHook;
};

Registry& Reg() {
    static Registry* s_pReg = new Registry;  // workers may post during static destruction
    return *s_pReg;
}

thread_local std::shared_ptr<ThreadQueue> t_pQueue;
thread_local uint32_t t_dwLastError = 0;

const std::shared_ptr<ThreadQueue>& CurrentQueue() {
    if (!t_pQueue) t_pQueue = std::make_shared<ThreadQueue>();
    return t_pQueue;
}

bool PopMessage(ThreadQueue& queue, QueuedMessage& msg) {
    std::lock_guard<std::mutex> lock(queue.mutex);
    if (queue.messages.empty()) return false;
    msg = queue.messages.front();
    queue.messages.pop_front();
    return true;
}

}  // namespace

bool RegisterWindowClass(const std::string& strClassName, WNDPROC pfnWndProc) {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    if (!reg.classes.emplace(strClassName, pfnWndProc).second) {
        t_dwLastError = kErrorClassAlreadyExists;
        return false;
    }
    t_dwLastError = 0;
    return true;
}

bool UnregisterWindowClass(const std::string& strClassName) {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    if (reg.classes.erase(strClassName) == 0) {
        t_dwLastError = kErrorCannotFindWndClass;
        return false;
    }
    return true;
}

HWND CreateMessageWindow(const std::string& strClassName) {
    const std::shared_ptr<ThreadQueue>& pQueue = CurrentQueue();
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    auto it = reg.classes.find(strClassName);
    if (it == reg.classes.end()) {
        t_dwLastError = kErrorCannotFindWndClass;
        return 0;
    }
    const HWND hWnd = reg.hNext++;
    reg.windows.emplace(hWnd, WindowEntry{it->second, pQueue});
    return hWnd;
}

bool DestroyMessageWindow(HWND hWnd) {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    if (reg.windows.erase(hWnd) == 0) {
        t_dwLastError = kErrorInvalidWindowHandle;
        return false;
    }
    return true;
}

bool IsMessageWindow(HWND hWnd) {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    return reg.windows.count(hWnd) != 0;
}

bool PostMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<ThreadQueue> pQueue;
    {
        Registry& reg = Reg();
        std::lock_guard<std::mutex> lock(reg.mutex);
        auto it = reg.windows.find(hWnd);
        if (it == reg.windows.end()) {
            t_dwLastError = kErrorInvalidWindowHandle;
            return false;
        }
        pQueue = it->second.pQueue;
    }
    std::function<void()> fnWake;
    {
        std::lock_guard<std::mutex> lock(pQueue->mutex);
        pQueue->messages.push_back({hWnd, uMsg, wParam, lParam});
        fnWake = pQueue->fnWake;
    }
    // Woken after unlocking: the owner takes the queue lock as soon as it wakes.
    pQueue->cv.notify_all();
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
    return 0;
}

DefWindowProcHook SetDefWindowProcHook(DefWindowProcHook hook) {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    DefWindowProcHook previous = std::move(reg.defHook);
    reg.defHook = std::move(hook);
    return previous;
}

int PumpMessages() {
    const std::shared_ptr<ThreadQueue> pQueue = CurrentQueue();
    int nDispatched = 0;
    QueuedMessage msg;
    // One message at a time, with no lock held during dispatch: a window procedure may pump again
    // (a modal box) and each message is still taken from the queue exactly once, in order.
    while (PopMessage(*pQueue, msg)) {
        WNDPROC pfnProc = nullptr;
        {
            Registry& reg = Reg();
            std::lock_guard<std::mutex> lock(reg.mutex);
            auto it = reg.windows.find(msg.hWnd);
            if (it != reg.windows.end()) pfnProc = it->second.pfnProc;
        }
        if (pfnProc) {
            pfnProc(msg.hWnd, msg.uMsg, msg.wParam, msg.lParam);
            ++nDispatched;
        }
    }
    return nDispatched;
}

int PumpMessagesFor(uint32_t dwMilliseconds) {
    const std::shared_ptr<ThreadQueue> pQueue = CurrentQueue();
    {
        std::unique_lock<std::mutex> lock(pQueue->mutex);
        pQueue->cv.wait_for(lock, std::chrono::milliseconds(dwMilliseconds),
                            [&] { return !pQueue->messages.empty(); });
    }
    return PumpMessages();
}

bool HasPendingMessages() {
    const std::shared_ptr<ThreadQueue>& pQueue = CurrentQueue();
    std::lock_guard<std::mutex> lock(pQueue->mutex);
    return !pQueue->messages.empty();
}

void SetThreadWakeHook(std::function<void()> fnWake) {
    const std::shared_ptr<ThreadQueue>& pQueue = CurrentQueue();
    std::lock_guard<std::mutex> lock(pQueue->mutex);
    pQueue->fnWake = std::move(fnWake);
}

uint32_t GetLastPlatformError() {
    return t_dwLastError;
}

}  // namespace kt
