#include "platform/decimal.h"

#include <locale.h>

#include <cstdlib>
#include <limits>
#include <string>

namespace kt {
namespace {

bool IsBlank(char32_t c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

template <typename Char>
int32_t ParseLong(std::basic_string_view<Char> str) {
    size_t i = 0;
    while (i < str.size() && IsBlank(str[i])) ++i;
    bool bNegative = false;
    if (i < str.size() && (str[i] == '+' || str[i] == '-')) {
        bNegative = str[i] == '-';
        ++i;
    }
    // Accumulate toward the sign so that INT32_MIN itself is representable.
    int64_t nValue = 0;
    bool bOverflow = false;
    for (; i < str.size() && str[i] >= '0' && str[i] <= '9'; ++i) {
        if (!bOverflow) {
            nValue = nValue * 10 + (str[i] - '0');
            if (nValue > int64_t{std::numeric_limits<int32_t>::max()} + 1) bOverflow = true;
        }
    }
    if (bNegative) {
        if (bOverflow || -nValue < std::numeric_limits<int32_t>::min())
            return std::numeric_limits<int32_t>::min();
        return static_cast<int32_t>(-nValue);
    }
    if (bOverflow || nValue > std::numeric_limits<int32_t>::max())
        return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(nValue);
}

// Numbers are read in the C locale whatever the user's locale says about the decimal point.
#ifdef _WIN32
_locale_t CLocale() {
    static _locale_t s_loc = _create_locale(LC_ALL, "C");
    return s_loc;
}

double ParseDouble(const std::string& str) {
    return _strtod_l(str.c_str(), nullptr, CLocale());
}
#else
locale_t CLocale() {
    static locale_t s_loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return s_loc;
}

double ParseDouble(const std::string& str) {
    return strtod_l(str.c_str(), nullptr, CLocale());
}
#endif

}  // namespace

int32_t WToL(std::u16string_view str) {
    return ParseLong(str);
}
int32_t AToI(std::string_view str) {
    return ParseLong(str);
}

double WToF(std::u16string_view str) {
    // Only ASCII can belong to a number: stop at the first other unit.
    std::string narrow;
    narrow.reserve(str.size());
    for (char16_t c : str) {
        if (c == 0 || c > 0x7F) break;
        narrow += static_cast<char>(c);
    }
    return ParseDouble(narrow);
}

double AToF(std::string_view str) {
    return ParseDouble(std::string(str.substr(0, str.find('\0'))));
}

}  // namespace kt
