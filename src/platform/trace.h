// Diagnostic trace: the family writes its trace lines to the debugger output. Here they go to the
// trace sink: stderr when KTREPORTER_TRACE=1, nowhere otherwise. Tests install a capturing sink to
// check exact lines. Lines are printf-formatted and passed to the sink whole, as formatted (the
// family's formats carry their own "\n").
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace kt {

using TraceSink = std::function<void(std::string_view strLine)>;

// Installs a sink for the whole process and returns the previous one. An empty sink restores the
// default (environment-controlled) one. Thread-safe; the sink itself may be called from any thread,
// one call at a time.
TraceSink SetTraceSink(TraceSink sink);

// Formats and emits one line. Cheap when nothing listens (no formatting happens).
void Trace(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));

// Reports a failed debug assertion (file, line, expression) through the trace.
void DebugAssertFailed(const char* pszFile, int nLine, const char* pszExpr);

}  // namespace kt

#define KT_TRACE(...) ::kt::Trace(__VA_ARGS__)

#ifdef NDEBUG
#define KT_DEBUG_ASSERT(expr) ((void)0)
#else
#define KT_DEBUG_ASSERT(expr) \
    ((expr) ? (void)0 : ::kt::DebugAssertFailed(__FILE__, __LINE__, #expr))
#endif
