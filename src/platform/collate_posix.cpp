#include <locale.h>
#include <wchar.h>

#include <string>

#include "platform/collate.h"

// The user's locale through wcscoll_l, after folding full-width forms to half-width ones.

namespace kt {
namespace {

locale_t CollationLocale() {
    static const locale_t s_loc = [] {
        locale_t loc = newlocale(LC_COLLATE_MASK | LC_CTYPE_MASK, "", static_cast<locale_t>(0));
        if (!loc) loc = newlocale(LC_COLLATE_MASK | LC_CTYPE_MASK, "C", static_cast<locale_t>(0));
        return loc;
    }();
    return s_loc;
}

// UTF-16 to wchar_t (UTF-32) with full-width forms folded to half-width ones.
std::wstring FoldWidth(std::u16string_view str) {
    std::wstring out;
    out.reserve(str.size());
    for (size_t i = 0; i < str.size(); ++i) {
        char32_t c = str[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < str.size() && str[i + 1] >= 0xDC00 &&
            str[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (str[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xFF01 && c <= 0xFF5E) {
            c = c - 0xFF01 + 0x21;
        } else if (c == 0x3000) {
            c = 0x20;
        } else if (c == 0) {
            c = 0xFFFF;  // wcscoll stops at NUL; keep the rest of the text in the comparison
        }
        out += static_cast<wchar_t>(c);
    }
    return out;
}

}  // namespace

int CompareStringIgnoreWidth(std::u16string_view strLeft, std::u16string_view strRight) {
    const std::wstring a = FoldWidth(strLeft);
    const std::wstring b = FoldWidth(strRight);
    if (a == b) return 0;
    if (locale_t loc = CollationLocale()) return wcscoll_l(a.c_str(), b.c_str(), loc);
    return a.compare(b);
}

}  // namespace kt
