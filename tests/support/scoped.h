// Scoped stand-ins for the process-wide trace sink and message-box handler, and the message pump
// every suite waits with. The guards put back what was installed before them when the scope ends,
// also when a failed ASSERT leaves the test early, so a failure never leaks into the next test.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/msgbox.h"
#include "platform/msgwindow.h"
#include "platform/trace.h"

namespace kttest {

// Installs a process-wide handler through its setter (which returns the one it replaces) for
// the guard's lifetime.
template <typename HANDLER, HANDLER (*pfnSet)(HANDLER)>
class CScopedHandler {
public:
    explicit CScopedHandler(HANDLER handler) : m_previous(pfnSet(std::move(handler))) {}
    ~CScopedHandler() { pfnSet(std::move(m_previous)); }
    CScopedHandler(const CScopedHandler&) = delete;
    CScopedHandler& operator=(const CScopedHandler&) = delete;

private:
    HANDLER m_previous;
};
using CScopedTraceSink = CScopedHandler<kt::TraceSink, &kt::SetTraceSink>;
using CScopedMessageBoxHandler = CScopedHandler<kt::MessageBoxHandler, &kt::SetMessageBoxHandler>;

// Keeps every trace line emitted during its lifetime, from any thread.
class CTraceLog {
public:
    CTraceLog()
        : m_guard([this](std::string_view strLine) {
              std::lock_guard<std::mutex> lock(m_mutex);
              m_vecLines.emplace_back(strLine);
          }) {}
    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecLines;
    }
    size_t Count(const std::string& strLine) const {
        const std::vector<std::string> vec = Lines();
        return static_cast<size_t>(std::count(vec.begin(), vec.end(), strLine));
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vecLines.clear();
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_vecLines;
    CScopedTraceSink m_guard;  // last: removed before the lines it writes to
};

// Records the text of every message box shown during its lifetime instead of showing it, and
// answers each with nAnswer.
class CMessageBoxLog {
public:
    explicit CMessageBoxLog(int nAnswer = kt::kIdOk)
        : m_guard([this, nAnswer](std::u16string_view strText, std::u16string_view, unsigned) {
              std::lock_guard<std::mutex> lock(m_mutex);
              m_vecTexts.emplace_back(strText);
              return nAnswer;
          }) {}
    std::vector<std::u16string> Texts() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecTexts;
    }
    size_t Count() const { return Texts().size(); }

private:
    mutable std::mutex m_mutex;
    std::vector<std::u16string> m_vecTexts;
    CScopedMessageBoxHandler m_guard;
};

// How long a wait may take before it gives up. Not a bound under test: it only keeps a broken
// build from hanging the suite, and is generous enough for sanitizers and Wine.
inline constexpr int kGuardMs = 60000;

// Pumps the calling thread's messages (or runs fnPump, e.g. a Qt event loop pass) until fnDone
// holds; false when the guard time passed first.
inline bool PumpUntil(const std::function<bool()>& fnDone, int nGuardMs = kGuardMs,
                      const std::function<void()>& fnPump = {}) {
    const auto tGuard = std::chrono::steady_clock::now() + std::chrono::milliseconds(nGuardMs);
    while (!fnDone()) {
        if (std::chrono::steady_clock::now() > tGuard) return false;
        if (fnPump)
            fnPump();
        else
            kt::PumpMessagesFor(5);
    }
    return true;
}

// Dispatches everything posted to the calling thread before the call; true when a marker posted
// behind it came through. This is the wait of "nothing (more) arrives" checks: a thread's messages
// are dispatched in the order they were posted, so once a marker posted after everything that could
// still arrive has been dispatched, whatever was going to arrive has; a check made then fails if
// something did, and nothing waits on the clock.
inline bool PumpUntilMarker() {
    constexpr kt::UINT kMarker = 0x8000 + 0x7E57;
    static const bool s_bRegistered = kt::RegisterWindowClass(
        "kttest-marker", [](kt::HWND hWnd, kt::UINT uMsg, kt::WPARAM wParam, kt::LPARAM lParam) {
            if (uMsg != kMarker) return kt::DefWindowProc(hWnd, uMsg, wParam, lParam);
            *reinterpret_cast<std::atomic<bool>*>(wParam) = true;
            return kt::LRESULT{0};
        });
    const kt::HWND hWnd = kt::CreateMessageWindow("kttest-marker");
    std::atomic<bool> bSeen{false};
    const bool bDone = s_bRegistered && hWnd != 0 &&
                       kt::PostMessage(hWnd, kMarker, reinterpret_cast<kt::WPARAM>(&bSeen), 0) &&
                       PumpUntil([&] { return bSeen.load(); });
    kt::DestroyMessageWindow(hWnd);
    return bDone;
}

}  // namespace kttest
