#include "platform/trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/platform_impl.h"

namespace kt {
namespace {

struct TraceState {
    std::mutex mutex;
    TraceSink sink;  // empty: the default sink
    std::atomic<bool> bActive{false};
};

TraceState& State() {
    static TraceState* s_pState = [] {
        auto* p = new TraceState;  // never destroyed: trace may run during static destruction
        p->bActive = detail::TraceDefaultActive();
        return p;
    }();
    return *s_pState;
}

}  // namespace

TraceSink SetTraceSink(TraceSink sink) {
    TraceState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    TraceSink previous = std::move(s.sink);
    s.sink = std::move(sink);
    s.bActive = s.sink ? true : detail::TraceDefaultActive();
    return previous;
}

void Trace(const char* pszFormat, ...) {
    TraceState& s = State();
    if (!s.bActive.load(std::memory_order_relaxed)) return;
    va_list args;
    va_start(args, pszFormat);
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, pszFormat, copy);
    va_end(copy);
    std::string line(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(line.data(), line.size() + 1, pszFormat, args);
    va_end(args);

    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.sink) {
        s.sink(line);
    } else {
        detail::TraceDefaultEmit(line);
    }
}

void DebugAssertFailed(const char* pszFile, int nLine, const char* pszExpr) {
    Trace("%s(%d) : Assertion failed: %s\n", pszFile, nLine, pszExpr);
}

}  // namespace kt
