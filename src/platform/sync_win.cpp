#include <windows.h>

#include <chrono>
#include <system_error>

#include "platform/sync.h"

namespace kt {

// ---- CEvent ----

CEvent::CEvent(bool bManualReset, bool bInitialState)
    : m_hEvent(::CreateEventW(nullptr, bManualReset, bInitialState, nullptr)) {}

CEvent::~CEvent() {
    if (m_hEvent) ::CloseHandle(m_hEvent);
}

void CEvent::Set() {
    ::SetEvent(m_hEvent);
}

void CEvent::Reset() {
    ::ResetEvent(m_hEvent);
}

bool CEvent::IsSet() const {
    // A zero-time wait would consume an auto-reset event's signal; put it back.
    if (::WaitForSingleObject(m_hEvent, 0) != WAIT_OBJECT_0) return false;
    ::SetEvent(m_hEvent);
    return true;
}

bool CEvent::Wait(uint32_t dwMilliseconds) {
    return ::WaitForSingleObject(m_hEvent, dwMilliseconds) == WAIT_OBJECT_0;
}

// ---- CThread ----

// The thread runs on the C++ runtime (std::thread maps one to one onto a Windows thread here); its
// end is a manual-reset kernel event, so that it can be waited on together with events.
struct CThread::State {
    HANDLE hEnded = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~State() {
        if (hEnded) ::CloseHandle(hEnded);
    }
};

CThread::~CThread() {
    Join(kInfinite);
}

bool CThread::Start(std::function<void()> fn) {
    if (m_thread.joinable()) return false;
    auto pState = std::make_shared<State>();
    if (!pState->hEnded) return false;
    try {
        m_thread = std::thread([pState, fn = std::move(fn)]() mutable {
            fn();
            fn = nullptr;  // release captured resources before the end is announced
            ::SetEvent(pState->hEnded);
        });
    } catch (const std::system_error&) {
        return false;
    }
    m_pState = std::move(pState);
    return true;
}

bool CThread::IsRunning() const {
    return m_pState && ::WaitForSingleObject(m_pState->hEnded, 0) != WAIT_OBJECT_0;
}

bool CThread::IsAttached() const {
    return m_thread.joinable();
}

std::thread::id CThread::GetId() const {
    return m_thread.get_id();
}

void* CThread::WaitHandle() const {
    return m_pState ? m_pState->hEnded : nullptr;
}

bool CThread::Join(uint32_t dwMilliseconds) {
    if (!m_thread.joinable()) return true;
    if (m_thread.get_id() == std::this_thread::get_id())
        return false;  // a thread cannot join itself
    if (::WaitForSingleObject(m_pState->hEnded, dwMilliseconds) != WAIT_OBJECT_0) return false;
    m_thread.join();
    return true;
}

// ---- waits and time ----

int WaitAny(const std::vector<CWaitable*>& vecObjects, uint32_t dwMilliseconds) {
    // As on Linux: a null entry is never signalled, a thread that was never started always is (it
    // has no kernel object), and the lowest signalled index wins.
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    int indices[MAXIMUM_WAIT_OBJECTS];
    DWORD nHandles = 0;
    int nAlwaysSignalled = -1;
    for (size_t i = 0; i < vecObjects.size() && nHandles < MAXIMUM_WAIT_OBJECTS; ++i) {
        if (!vecObjects[i]) continue;
        HANDLE h = vecObjects[i]->WaitHandle();
        if (!h) {
            nAlwaysSignalled = static_cast<int>(i);
            break;
        }
        handles[nHandles] = h;
        indices[nHandles] = static_cast<int>(i);
        ++nHandles;
    }
    if (nAlwaysSignalled >= 0) dwMilliseconds = 0;
    if (nHandles == 0) {
        if (nAlwaysSignalled >= 0) return nAlwaysSignalled;
        if (dwMilliseconds != 0) ::Sleep(dwMilliseconds == kInfinite ? INFINITE : dwMilliseconds);
        return kWaitTimeout;
    }
    const DWORD r = ::WaitForMultipleObjects(nHandles, handles, FALSE, dwMilliseconds);
    if (r < WAIT_OBJECT_0 + nHandles) return indices[r - WAIT_OBJECT_0];
    return nAlwaysSignalled >= 0 ? nAlwaysSignalled : kWaitTimeout;
}

uint64_t GetTickCount64() {
    return ::GetTickCount64();
}

uint32_t GetTickCount() {
    return ::GetTickCount();
}

void SleepMs(uint32_t dwMilliseconds) {
    ::Sleep(dwMilliseconds);
}

}  // namespace kt
