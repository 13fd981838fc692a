// Small text helpers that the document and its node scanner share (not part of the interface).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kt::xmltext {

inline bool IsBlank(char16_t ch) {
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r';
}

inline char16_t FoldCase(char16_t ch) {
    return (ch >= 'A' && ch <= 'Z') ? ch + 32 : ch;
}

inline std::u16string Ascii(const char* psz) {
    std::u16string str;
    for (; *psz; ++psz) str += static_cast<char16_t>(static_cast<unsigned char>(*psz));
    return str;
}

// Formats of the parser's messages: '%s' and '%d' only, in the order given.
inline std::u16string Format(const char* pszFormat, std::u16string_view str1, int n1,
                             std::u16string_view str2 = {}, int n2 = 0) {
    char sz[64];
    std::u16string strOut;
    int nStr = 0;
    int nNum = 0;
    for (const char* p = pszFormat; *p; ++p) {
        if (p[0] == '%' && p[1] == 's') {
            strOut += (nStr++ == 0) ? str1 : str2;
            ++p;
        } else if (p[0] == '%' && p[1] == 'd') {
            std::snprintf(sz, sizeof(sz), "%d", (nNum++ == 0) ? n1 : n2);
            for (const char* q = sz; *q; ++q) strOut += static_cast<char16_t>(*q);
            ++p;
        } else {
            strOut += static_cast<char16_t>(*p);
        }
    }
    return strOut;
}

// First offset from nPos whose character is a, b (both ASCII) or the terminating zero. Runs of
// plain text and quoted values are most of a document, so they are passed over eight characters at
// a time where the text length is known (never reading past it).
inline int32_t SkipTo(const char16_t* p, int32_t nPos, int32_t nLen, char16_t a, char16_t b) {
#if defined(__SSE2__)
    if (nLen >= 0) {
        // Sixteen at a time as bytes (signed saturation keeps ASCII and turns every other
        // character into 0x7F or 0x80, so a and b, being ASCII, are found exactly).
        const __m128i vA8 = _mm_set1_epi8(static_cast<char>(a));
        const __m128i vB8 = _mm_set1_epi8(static_cast<char>(b));
        const __m128i vZero8 = _mm_setzero_si128();
        while (nPos + 16 <= nLen) {
            const __m128i v =
                _mm_packs_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + nPos)),
                                _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + nPos + 8)));
            const __m128i vHit =
                _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, vA8), _mm_cmpeq_epi8(v, vB8)),
                             _mm_cmpeq_epi8(v, vZero8));
            const int nMask = _mm_movemask_epi8(vHit);
            if (nMask != 0) return nPos + __builtin_ctz(static_cast<unsigned>(nMask));
            nPos += 16;
        }
        const __m128i vA = _mm_set1_epi16(static_cast<short>(a));
        const __m128i vB = _mm_set1_epi16(static_cast<short>(b));
        const __m128i vZero = _mm_setzero_si128();
        while (nPos + 8 <= nLen) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + nPos));
            const __m128i vHit =
                _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(v, vA), _mm_cmpeq_epi16(v, vB)),
                             _mm_cmpeq_epi16(v, vZero));
            const int nMask = _mm_movemask_epi8(vHit);
            if (nMask != 0) return nPos + (__builtin_ctz(static_cast<unsigned>(nMask)) >> 1);
            nPos += 8;
        }
    }
#else
    (void)nLen;
#endif
    for (;; ++nPos) {
        const char16_t ch = p[nPos];
        if (ch == a || ch == b || ch == 0) return nPos;
    }
}

// First offset from nPos that is not a blank (the terminating zero is not one); nLen < 0: the
// length is unknown and the text is read up to its terminating zero only.
inline int32_t FindNonBlank(const char16_t* p, int32_t nPos, int32_t nLen) {
#if defined(__SSE2__)
    for (; nPos + 8 <= nLen; nPos += 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + nPos));
        const __m128i vBlank = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(v, _mm_set1_epi16(' ')),
                                                         _mm_cmpeq_epi16(v, _mm_set1_epi16('\t'))),
                                            _mm_or_si128(_mm_cmpeq_epi16(v, _mm_set1_epi16('\n')),
                                                         _mm_cmpeq_epi16(v, _mm_set1_epi16('\r'))));
        const int nMask = _mm_movemask_epi8(vBlank) ^ 0xFFFF;
        if (nMask != 0) return nPos + (__builtin_ctz(static_cast<unsigned>(nMask)) >> 1);
    }
#endif
    while (IsBlank(p[nPos])) ++nPos;
    return nPos;
}

}  // namespace kt::xmltext
