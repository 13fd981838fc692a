#include "platform/trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace kt {
namespace {

struct TraceState {
    std::mutex mutex;
    TraceSink sink;  // empty: the default sink
    std::atomic<bool> bActive{false};
};

bool DefaultEnabled() {
    static const bool s_bEnabled = [] {
        const char* p = std::getenv("KTREPORTER_TRACE");
        return p && std::strcmp(p, "1") == 0;
    }();
    return s_bEnabled;
}

TraceState& State() {
    static TraceState* s_pState = [] {
        auto* p = new TraceState;  // never destroyed: trace may run during static destruction
        p->bActive = DefaultEnabled();
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
    s.bActive = s.sink ? true : DefaultEnabled();
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
    } else if (DefaultEnabled()) {
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    }
}

void DebugAssertFailed(const char* pszFile, int nLine, const char* pszExpr) {
    Trace("%s(%d) : Assertion failed: %s\n", pszFile, nLine, pszExpr);
}

}  // namespace kt
