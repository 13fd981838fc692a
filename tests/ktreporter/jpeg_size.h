// A JPEG's size, for the capture's tests in and out of process.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace kttest {

// Width and height from a JPEG's start-of-frame marker; {0, 0} when there is none.
inline std::pair<int, int> JpegSize(const std::string& s) {
    const auto b = [&s](size_t i) { return i < s.size() ? static_cast<uint8_t>(s[i]) : 0; };
    if (b(0) != 0xFF || b(1) != 0xD8) return {0, 0};
    for (size_t i = 2; b(i) == 0xFF && i + 9 < s.size(); i += 2 + (b(i + 2) << 8 | b(i + 3))) {
        if (b(i + 1) >= 0xC0 && b(i + 1) <= 0xC2)
            return {b(i + 7) << 8 | b(i + 8), b(i + 5) << 8 | b(i + 6)};
    }
    return {0, 0};
}

}  // namespace kttest
