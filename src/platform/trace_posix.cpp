#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform_impl.h"

namespace kt::detail {

// There is no debugger output here: stderr stands in for it, when asked for.
bool TraceDefaultActive() {
    static const bool s_bEnabled = [] {
        const char* p = std::getenv("KTREPORTER_TRACE");
        return p && std::strcmp(p, "1") == 0;
    }();
    return s_bEnabled;
}

void TraceDefaultEmit(std::string_view strLine) {
    if (!TraceDefaultActive()) return;
    std::fwrite(strLine.data(), 1, strLine.size(), stderr);
    std::fflush(stderr);
}

}  // namespace kt::detail
