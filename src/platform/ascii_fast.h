// ASCII runs of multibyte text, found and widened to UTF-16 a block at a time. Most of the text
// that the family reads through the ANSI code page (markup, URLs, numbers) is ASCII; these
// helpers let a reader widen those runs itself and hand only the other spans to the code-page
// conversion. Header-only: SSE2 where the compiler offers it, eight bytes at a time otherwise.
#pragma once

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kt {

// Widens the leading ASCII bytes (below 0x80) of [pIn, pIn + nLen) into pOut, which has room for
// nLen units, and returns how many there were.
inline size_t WidenAsciiRun(const char* pIn, size_t nLen, char16_t* pOut) {
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i vZero = _mm_setzero_si128();
    for (; i + 16 <= nLen; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pIn + i));
        const int nHigh = _mm_movemask_epi8(v);
        if (nHigh != 0) {
            const size_t nRun = static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(nHigh)));
            for (size_t k = 0; k < nRun; ++k) {
                pOut[i + k] = static_cast<char16_t>(static_cast<unsigned char>(pIn[i + k]));
            }
            return i + nRun;
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pOut + i), _mm_unpacklo_epi8(v, vZero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pOut + i + 8), _mm_unpackhi_epi8(v, vZero));
    }
#else
    for (; i + 8 <= nLen; i += 8) {
        uint64_t nBlock;
        std::memcpy(&nBlock, pIn + i, sizeof(nBlock));
        if (nBlock & 0x8080808080808080ull) break;
        for (size_t k = 0; k < 8; ++k) pOut[i + k] = static_cast<char16_t>(pIn[i + k]);
    }
#endif
    for (; i < nLen; ++i) {
        const auto ch = static_cast<unsigned char>(pIn[i]);
        if (ch >= 0x80) break;
        pOut[i] = static_cast<char16_t>(ch);
    }
    return i;
}

// End of the non-ASCII span that begins at nStart (pIn[nStart] >= 0x80): the first offset from
// which the text is surely a fresh character, that is, the first ASCII byte that follows another
// ASCII byte. An ASCII byte right after a non-ASCII one stays in the span, because in the double-
// byte code pages (GBK, Big5, Shift_JIS, GB18030) trail bytes reach down into 0x30..0x7E. Returns
// nLen when the text ends first (the span may then go on in bytes not yet read).
inline size_t NonAsciiSpanEnd(const char* pIn, size_t nStart, size_t nLen) {
    for (size_t j = nStart + 1; j < nLen; ++j) {
        if (static_cast<unsigned char>(pIn[j]) < 0x80 &&
            static_cast<unsigned char>(pIn[j - 1]) < 0x80)
            return j;
    }
    return nLen;
}

// True for code pages in which every ASCII byte that follows another ASCII byte stands for
// itself and starts a character, whatever came before: the stateless ASCII-compatible single-,
// double- and multibyte pages. Stateful pages (ISO-2022-*, HZ, UTF-7) and UTF-16/32 are not.
inline bool IsAsciiTransparent(std::string_view strName) {
    std::string strKey;
    for (const char ch : strName) {
        if (ch != '-' && ch != '_' && ch != ' ')
            strKey += static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    }
    if (const size_t nSlash = strKey.find('/'); nSlash != std::string::npos) strKey.resize(nSlash);
    // Not here: SHIFT_JIS as iconv has it maps 0x5C and 0x7E to the yen sign and the overline,
    // and BIG5-HKSCS holds a character back to see whether a combining one follows.
    if (strKey.rfind("BIG5HKSCS", 0) == 0) return false;
    static constexpr const char* kPrefixes[] = {
        "UTF8",         "CP65001", "GBK",   "CP936", "MS936",      "GB2312", "GB18030", "EUCCN",
        "EUCJP",        "EUCKR",   "EUCTW", "BIG5",  "CP950",      "CP949",  "UHC",     "CP932",
        "MS932",        "ISO8859", "LATIN", "CP125", "WINDOWS125", "KOI8",   "ASCII",   "USASCII",
        "ANSIX3.41968", "CP437",   "CP850", "CP866", "CP874",      "TIS620"};
    for (const char* pszPrefix : kPrefixes) {
        if (strKey.rfind(pszPrefix, 0) == 0) return true;
    }
    return false;
}

}  // namespace kt
