#include <algorithm>
#include <cstring>

#include "platform/codepage.h"

// The parts of the code-page service that do not depend on the platform: UTF-8 (the common case on
// Linux, and the route of JSON output and file names everywhere) and the Windows-contract buffer
// calls over ToAnsi / FromAnsi.

namespace kt {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string Utf16ToUtf8(std::u16string_view in) {
    std::string out;
    out.reserve(in.size() * 3 / 2 + 8);
    for (size_t i = 0; i < in.size(); ++i) {
        char32_t c = in[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
            in[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            out += '?';  // a lone surrogate has no UTF-8 form
            continue;
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::u16string Utf8ToUtf16(std::string_view in) {
    std::u16string out;
    out.reserve(in.size());
    const auto* p = reinterpret_cast<const unsigned char*>(in.data());
    const size_t n = in.size();
    size_t i = 0;
    while (i < n) {
        const unsigned char b = p[i];
        if (b < 0x80) {
            out += static_cast<char16_t>(b);
            ++i;
            continue;
        }
        int nTrail = 0;
        char32_t cp = 0, cpMin = 0;
        if (b >= 0xC2 && b <= 0xDF) {
            nTrail = 1, cp = b & 0x1F, cpMin = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            nTrail = 2, cp = b & 0x0F, cpMin = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            nTrail = 3, cp = b & 0x07, cpMin = 0x10000;
        } else {
            out += kReplacement;
            ++i;
            continue;
        }
        size_t j = i + 1;
        bool bOk = true;
        for (int k = 0; k < nTrail; ++k, ++j) {
            if (j >= n || (p[j] & 0xC0) != 0x80) {
                bOk = false;
                break;
            }
            cp = (cp << 6) | (p[j] & 0x3F);
        }
        if (!bOk || cp < cpMin || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            // Replace the maximal ill-formed prefix (at least the lead byte) with one U+FFFD.
            out += kReplacement;
            i = bOk ? j : std::max(i + 1, j);
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i = j;
    }
    return out;
}

}  // namespace

int WideToAnsi(const char16_t* pWide, int nWideLen, char* pOut, int nOutCap) {
    if (nWideLen < 0 || nOutCap < 0 || (nWideLen > 0 && !pWide)) return 0;
    const std::string str = ToAnsi(std::u16string_view(pWide, nWideLen));
    if (nOutCap == 0) return static_cast<int>(str.size());
    if (static_cast<int>(str.size()) > nOutCap || !pOut) return 0;
    std::memcpy(pOut, str.data(), str.size());
    return static_cast<int>(str.size());
}

int AnsiToWide(const char* pAnsi, int nAnsiLen, char16_t* pOut, int nOutCap) {
    if (nAnsiLen < 0 || nOutCap < 0 || (nAnsiLen > 0 && !pAnsi)) return 0;
    const std::u16string str = FromAnsi(std::string_view(pAnsi, nAnsiLen));
    if (nOutCap == 0) return static_cast<int>(str.size());
    if (static_cast<int>(str.size()) > nOutCap || !pOut) return 0;
    std::memcpy(pOut, str.data(), str.size() * sizeof(char16_t));
    return static_cast<int>(str.size());
}

std::string ToUtf8(std::u16string_view strWide) {
    return Utf16ToUtf8(strWide);
}

std::u16string FromUtf8(std::string_view strUtf8) {
    return Utf8ToUtf16(strUtf8);
}

}  // namespace kt
