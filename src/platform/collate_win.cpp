#include <windows.h>

#include "platform/collate.h"

namespace kt {

int CompareStringIgnoreWidth(std::u16string_view strLeft, std::u16string_view strRight) {
    const int r = ::CompareStringW(
        LOCALE_USER_DEFAULT, NORM_IGNOREWIDTH, reinterpret_cast<const wchar_t*>(strLeft.data()),
        static_cast<int>(strLeft.size()), reinterpret_cast<const wchar_t*>(strRight.data()),
        static_cast<int>(strRight.size()));
    return r == 0 ? strLeft.compare(strRight) : r - CSTR_EQUAL;
}

}  // namespace kt
