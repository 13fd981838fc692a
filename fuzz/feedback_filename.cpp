// Arbitrary attachment names through the receiver's file-name cleaner. Whatever comes in, the
// name must stay inside the report's folder (no separator, no leading dot, not the report's own
// record), keep to its length, keep UTF-8 whole, and be its own cleaned form: stored files are
// served only under names that clean to themselves.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "multipart.h"

namespace {

bool IsUtf8(std::string_view str) {
    for (size_t i = 0; i < str.size();) {
        const unsigned char c = static_cast<unsigned char>(str[i]);
        const size_t nLen = c < 0x80         ? 1
                            : (c >> 5) == 6  ? 2
                            : (c >> 4) == 14 ? 3
                            : (c >> 3) == 30 ? 4
                                             : 0;
        if (nLen == 0 || i + nLen > str.size()) return false;
        for (size_t k = 1; k < nLen; ++k) {
            if ((static_cast<unsigned char>(str[i + k]) & 0xC0) != 0x80) return false;
        }
        i += nLen;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize > 4096) return 0;
    const std::string_view strName(reinterpret_cast<const char*>(pData), nSize);
    const std::string strSafe = ktfeedback::SafeFileName(strName);
    if (strSafe.empty() || strSafe.size() > 130 || strSafe == ktfeedback::kReportFile ||
        strSafe.front() == '.' || strSafe.front() == ' ') {
        __builtin_trap();
    }
    for (unsigned char c : strSafe) {
        if (c < 0x20 || c == 0x7F ||
            std::string_view("/\\:*?\"<>|").find(static_cast<char>(c)) != std::string_view::npos) {
            __builtin_trap();
        }
    }
    if (IsUtf8(strName) && !IsUtf8(strSafe)) __builtin_trap();
    if (ktfeedback::SafeFileName(strSafe) != strSafe) __builtin_trap();
    return 0;
}
