#include "platform/sync.h"

#include <chrono>
#include <condition_variable>
#include <system_error>

namespace kt {
namespace {

// One lock and one condition for every waitable object: WaitAny over a mix of events and threads
// then needs no per-object registration, and signalling stays a single notify. The objects of this
// program are few and signal rarely, so the shared wake-ups cost nothing worth measuring.
struct WaitHub {
    std::mutex mutex;
    std::condition_variable cv;
};

WaitHub& Hub() {
    static WaitHub* s_pHub = new WaitHub;  // outlives every static object that may still signal
    return *s_pHub;
}

using Clock = std::chrono::steady_clock;

}  // namespace

// ---- CEvent ----

CEvent::CEvent(bool bManualReset, bool bInitialState)
    : m_bManualReset(bManualReset), m_bSignalled(bInitialState) {}

CEvent::~CEvent() = default;

void CEvent::Set() {
    WaitHub& hub = Hub();
    {
        std::lock_guard<std::mutex> lock(hub.mutex);
        m_bSignalled = true;
    }
    // Notified after unlocking so that the woken waiter does not block on the lock at once.
    hub.cv.notify_all();
}

void CEvent::Reset() {
    std::lock_guard<std::mutex> lock(Hub().mutex);
    m_bSignalled = false;
}

bool CEvent::IsSet() const {
    std::lock_guard<std::mutex> lock(Hub().mutex);
    return m_bSignalled;
}

bool CEvent::TryAcquireLocked() {
    if (!m_bSignalled) return false;
    if (!m_bManualReset) m_bSignalled = false;
    return true;
}

bool CEvent::Wait(uint32_t dwMilliseconds) {
    return WaitAny({this}, dwMilliseconds) == 0;
}

// ---- CThread ----

struct CThread::State {
    bool bEnded = false;  // guarded by the hub lock
};

CThread::~CThread() {
    Join(kInfinite);
}

bool CThread::Start(std::function<void()> fn) {
    if (m_thread.joinable()) return false;
    auto pState = std::make_shared<State>();
    try {
        m_thread = std::thread([pState, fn = std::move(fn)]() mutable {
            fn();
            fn = nullptr;  // release captured resources before the end is announced
            WaitHub& hub = Hub();
            {
                std::lock_guard<std::mutex> lock(hub.mutex);
                pState->bEnded = true;
            }
            hub.cv.notify_all();
        });
    } catch (const std::system_error&) {
        return false;
    }
    m_pState = std::move(pState);
    return true;
}

bool CThread::IsRunning() const {
    if (!m_pState) return false;
    std::lock_guard<std::mutex> lock(Hub().mutex);
    return !m_pState->bEnded;
}

bool CThread::IsAttached() const {
    return m_thread.joinable();
}

std::thread::id CThread::GetId() const {
    return m_thread.get_id();
}

bool CThread::TryAcquireLocked() {
    return !m_pState || m_pState->bEnded;
}

bool CThread::Join(uint32_t dwMilliseconds) {
    if (!m_thread.joinable()) return true;
    if (m_thread.get_id() == std::this_thread::get_id())
        return false;  // a thread cannot join itself
    if (WaitAny({this}, dwMilliseconds) != 0) return false;
    m_thread.join();
    return true;
}

// ---- waits and time ----

int WaitAny(const std::vector<CWaitable*>& vecObjects, uint32_t dwMilliseconds) {
    WaitHub& hub = Hub();
    std::unique_lock<std::mutex> lock(hub.mutex);
    const auto deadline = Clock::now() + std::chrono::milliseconds(dwMilliseconds);
    while (true) {
        for (size_t i = 0; i < vecObjects.size(); ++i) {
            if (vecObjects[i] && vecObjects[i]->TryAcquireLocked()) return static_cast<int>(i);
        }
        if (dwMilliseconds == kInfinite) {
            hub.cv.wait(lock);
        } else if (hub.cv.wait_until(lock, deadline) == std::cv_status::timeout) {
            for (size_t i = 0; i < vecObjects.size(); ++i) {
                if (vecObjects[i] && vecObjects[i]->TryAcquireLocked()) return static_cast<int>(i);
            }
            return kWaitTimeout;
        }
    }
}

uint64_t GetTickCount64() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
            .count());
}

uint32_t GetTickCount() {
    return static_cast<uint32_t>(GetTickCount64());
}

void SleepMs(uint32_t dwMilliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

}  // namespace kt
