// Kernel stand-ins: events, waitable threads, WaitAny, tick counts, the critical section.
//
// On Linux every waitable object shares one process-wide wait mechanism, so that WaitAny can wait
// on any mix of events and thread ends with a single condition. On Windows an event is a kernel
// event and a thread's end is signalled through one, so WaitAny is WaitForMultipleObjects. The
// objects are small and move-free; they are owned by value or by unique_ptr, never through raw
// new/delete.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kt {

// INFINITE of the platform.
inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;
// WaitAny's answer when the time ran out (WAIT_TIMEOUT); otherwise it answers the index.
inline constexpr int kWaitTimeout = -1;

// The family's CRITICAL_SECTION: re-entrant for its owning thread.
using CCriticalSection = std::recursive_mutex;
using CAutoLock = std::lock_guard<std::recursive_mutex>;

class CWaitable {
public:
    virtual ~CWaitable() = default;

protected:
    friend int WaitAny(const std::vector<CWaitable*>& vecObjects, uint32_t dwMilliseconds);
#ifdef _WIN32
    // The kernel object WaitForMultipleObjects waits on (a HANDLE).
    virtual void* WaitHandle() const = 0;
#else
    // Called with the global wait lock held: is the object signalled? An auto-reset event that
    // answers true consumes its signal.
    virtual bool TryAcquireLocked() = 0;
#endif
};

// Event with manual or automatic reset (CreateEvent).
class CEvent : public CWaitable {
public:
    explicit CEvent(bool bManualReset = true, bool bInitialState = false);
    ~CEvent() override;
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    void Set();
    void Reset();
    // True when signalled within the time (an auto-reset event is then reset again).
    bool Wait(uint32_t dwMilliseconds = kInfinite);
    // Current state without consuming it.
    bool IsSet() const;

protected:
#ifdef _WIN32
    void* WaitHandle() const override {
        return m_hEvent;
    }

private:
    void* m_hEvent;
#else
    bool TryAcquireLocked() override;

private:
    const bool m_bManualReset;
    bool m_bSignalled;
#endif
};

// A thread whose end can be waited on. The destructor joins (a thread is never killed or leaked).
class CThread : public CWaitable {
public:
    CThread() = default;
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;
    ~CThread() override;

    // Starts the function on a new thread. False when a thread is already attached and not yet
    // joined, or when the system refuses a thread.
    bool Start(std::function<void()> fn);
    // True once started and until the function has returned.
    bool IsRunning() const;
    // True when the thread has ended (or was never started) within the time; joins it then.
    bool Join(uint32_t dwMilliseconds = kInfinite);
    // True when a thread is attached (started and not yet joined).
    bool IsAttached() const;
    // Id of the thread as the platform names it (0 when none).
    std::thread::id GetId() const;

protected:
#ifdef _WIN32
    void* WaitHandle() const override;
#else
    bool TryAcquireLocked() override;
#endif

private:
    struct State;
    std::shared_ptr<State> m_pState;
    std::thread m_thread;
};

// WaitForMultipleObjects(bWaitAll = FALSE): the index of the first signalled object (lowest index
// when several are), or kWaitTimeout. A thread counts as signalled once its function has returned.
int WaitAny(const std::vector<CWaitable*>& vecObjects, uint32_t dwMilliseconds);

// Milliseconds since an arbitrary start, monotonic (GetTickCount / GetTickCount64).
uint32_t GetTickCount();
uint64_t GetTickCount64();

// Sleep in milliseconds.
void SleepMs(uint32_t dwMilliseconds);

}  // namespace kt
