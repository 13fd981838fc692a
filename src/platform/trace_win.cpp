#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/codepage.h"
#include "platform/platform_impl.h"

namespace kt::detail {

// The debugger output always listens on Windows (a debugger or DebugView may be attached at any
// time); stderr only when asked for.
bool TraceDefaultActive() {
    return true;
}

void TraceDefaultEmit(std::string_view strLine) {
    const std::u16string wide = FromUtf8(strLine);
    ::OutputDebugStringW(reinterpret_cast<const wchar_t*>(wide.c_str()));
    static const bool s_bStderr = [] {
        const char* p = std::getenv("KTREPORTER_TRACE");
        return p && std::strcmp(p, "1") == 0;
    }();
    if (s_bStderr) {
        std::fwrite(strLine.data(), 1, strLine.size(), stderr);
        std::fflush(stderr);
    }
}

}  // namespace kt::detail
