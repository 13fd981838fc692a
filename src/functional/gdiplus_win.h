// GDI+'s C++ headers, which expect the min and max that NOMINMAX keeps out of <windows.h>.
#pragma once

#include <windows.h>
// After <windows.h>, which it needs.
#include <objidl.h>

#include <algorithm>

namespace Gdiplus {
using std::max;
using std::min;
}  // namespace Gdiplus

#include <gdiplus.h>
