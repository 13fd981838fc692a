#pragma once

namespace kt {
inline constexpr const char* kProductName = "KTReporter";
inline constexpr const char* kProductVersion = "1.0.0";
}  // namespace kt
