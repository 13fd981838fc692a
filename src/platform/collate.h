// Locale-aware comparison of texts, as CompareString with NORM_IGNOREWIDTH does it: full-width and
// half-width forms of a character compare equal, the rest follows the user's locale.
#pragma once

#include <string_view>

namespace kt {

// <0, 0 or >0.
int CompareStringIgnoreWidth(std::u16string_view strLeft, std::u16string_view strRight);

}  // namespace kt
