// Decimal conversions with the C runtime semantics the family relies on (_wtol, atoi, _wtof):
// leading blanks are skipped, one optional sign, digits up to the first other character, 0 when no
// digit follows. Out-of-range integers saturate at LONG_MIN/LONG_MAX of a 32-bit long, as the
// Windows runtime does. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string_view>

namespace kt {

int32_t WToL(std::u16string_view str);
int32_t AToI(std::string_view str);
double WToF(std::u16string_view str);
double AToF(std::string_view str);

}  // namespace kt
