// The node scanner: finds the next node of a document text and says what it is. Markup that
// documents are mostly made of (start tags with attributes, end tags, blank runs between
// elements, plain text) is read by fast routines that pass over whole runs at a time; anything
// else, and every node that runs into the end of the text, goes through the full state machine,
// which is the reference for what a node is.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "xml/xmldocument.h"
#include "xml/xmltext.h"

namespace kt {

using namespace xmltext;

namespace {

using D = CXmlDocument;
constexpr int kElement = D::NodeElement;
constexpr int kEndTag = D::NodeEndTag;
constexpr int kText = D::NodeText;
constexpr int kBlanks = D::NodeBlanks;
constexpr int kCData = D::NodeCData;
constexpr int kProcessingInstruction = D::NodeProcessingInstruction;
constexpr int kComment = D::NodeComment;
constexpr int kDeclaration = D::NodeDeclaration;
constexpr int kRejected = D::ScanRejected;
constexpr int kEnd = D::ScanEnd;

// The start-tag length field of a record has 20 usable bits.
constexpr int32_t kMaxStartTag = 0xFFFFF;

// Scanner state bits.
constexpr uint32_t kAfterLt = 1;
constexpr uint32_t kAfterBang = 2;
constexpr uint32_t kAfterBangDash = 4;
constexpr uint32_t kAfterBangBracket = 8;
constexpr uint32_t kBlankRun = 16;
constexpr uint32_t kInDoctype = 32;
constexpr uint32_t kSingleQuote = 64;
constexpr uint32_t kDoubleQuote = 128;
constexpr uint32_t kAwaitValue = 0x100;

const char* NodeWord(int nType) {
    switch (nType) {
        case kElement:
            return "Element tag";
        case kEndTag:
            return "Element end tag";
        case kCData:
            return "CDATA Section";
        case kProcessingInstruction:
            return "Processing instruction";
        case kComment:
            return "Comment";
        default:
            return "tag";
    }
}

inline bool IsNameEnd(char16_t ch) {
    return ch == 0 || IsBlank(ch) || ch == '/' || ch == '>';
}
#if defined(__SSE2__)
inline __m128i Eq(__m128i v, char16_t ch) {
    return _mm_cmpeq_epi16(v, _mm_set1_epi16(static_cast<short>(ch)));
}
inline __m128i Load8(const char16_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
inline __m128i Blanks8(__m128i v) {
    return _mm_or_si128(_mm_or_si128(Eq(v, ' '), Eq(v, '\t')),
                        _mm_or_si128(Eq(v, '\n'), Eq(v, '\r')));
}
// Sixteen characters as bytes, with signed saturation: ASCII stays itself, every other character
// becomes 0x7F or 0x80, which no delimiter the scanner looks for is.
inline __m128i Narrow16(const char16_t* p) {
    return _mm_packs_epi16(Load8(p), Load8(p + 8));
}
inline __m128i Eq8(__m128i v, char ch) {
    return _mm_cmpeq_epi8(v, _mm_set1_epi8(ch));
}
inline int32_t FirstHit(int32_t nPos, int nMask) {
    return nPos + (__builtin_ctz(static_cast<unsigned>(nMask)) >> 1);
}
// One bit a byte of two sixteen-byte comparisons.
inline uint32_t Mask32(__m128i vLow, __m128i vHigh) {
    return static_cast<uint32_t>(_mm_movemask_epi8(vLow)) |
           static_cast<uint32_t>(_mm_movemask_epi8(vHigh)) << 16;
}
// Bit k of the result: the parity of bits 0..k of x.
inline uint32_t PrefixParity(uint32_t x) {
    x ^= x << 1;
    x ^= x << 2;
    x ^= x << 4;
    x ^= x << 8;
    x ^= x << 16;
    return x;
}
#endif

// First offset from nPos that ends a name (see IsNameEnd). nLen < 0: the length is unknown and
// the text is read up to its terminating zero only.
inline int32_t FindNameEnd(const char16_t* p, int32_t nPos, int32_t nLen) {
#if defined(__SSE2__)
    for (; nPos + 8 <= nLen; nPos += 8) {
        const __m128i v = Load8(p + nPos);
        const __m128i vHit =
            _mm_or_si128(Blanks8(v), _mm_or_si128(_mm_or_si128(Eq(v, '/'), Eq(v, '>')), Eq(v, 0)));
        if (const int nMask = _mm_movemask_epi8(vHit)) return FirstHit(nPos, nMask);
    }
#endif
    while (!IsNameEnd(p[nPos])) ++nPos;
    return nPos;
}

int Finish(TagScanner& sc, NodeToken& tok, int nType, int32_t nEnd) {
    sc.nNext = nEnd;
    tok.nLength = nEnd - tok.nStart;
    if (nType == kElement && tok.nLength > kMaxStartTag) {
        nType = kRejected;
        tok.strText = Format("Incorrect %s at offset %d", u"tag", tok.nStart);
    }
    tok.nType = nType;
    return nType;
}

// Whether the quote at nQuote opens a value: the scanner awaits a value there when the last
// non-blank character since the name is a '=' that does not follow another '=' (every other
// non-blank character, a quote that opens nothing included, ends the wait).
inline bool OpensValue(const char16_t* p, int32_t nNameEnd, int32_t nQuote) {
    int32_t e = nQuote - 1;
    while (e >= nNameEnd && IsBlank(p[e])) --e;
    // p[nNameEnd] ends the name, so it is never '=', and a '=' found has a character before it.
    return e > nNameEnd && p[e] == '=' && p[e - 1] != '=';
}

// A start tag whose '<' is at nPos and whose name begins right after it. Returns false, having
// changed nothing of the scanner, when the tag runs into the end of the text.
//
// Every character after the name counts as seen, quoted or not, so the last two characters
// before the closing '>' are simply those before it; the only state to carry is the quote that a
// value is in. Outside a value only quotes, '>' and the end matter, inside it only its quote and
// the end: those are found eight characters at a time, every hit of a block taken in turn.
bool ScanStartTag(TagScanner& sc, NodeToken& tok, int32_t nPos, bool bName) {
    const char16_t* const p = sc.pText;
    const int32_t nLen = sc.nTextLength;
    const int32_t nName = nPos + 1;
    const int32_t nNameEnd = FindNameEnd(p, nName + 1, nLen);
    char16_t chQuote = 0;  // the quote of the value the scanner is in, 0 outside values
    int32_t i = nNameEnd;  // next character to look at
    int32_t nClose = -1;   // the closing '>'
#if defined(__SSE2__)
    // The usual tag first, 32 characters at a time with no branch per quote: values in double
    // quotes, each quote that the pairing says opens a value right after a '=' that does not
    // follow another '=' (so it does open one, and the pairing holds). A block with a single
    // quote or a zero, or with an opening quote placed otherwise, goes to the loop below, which
    // takes every quote in turn, from the state this one reached.
    uint32_t nEqBefore = 0;  // bits 0 and 1: whether the two characters before the block are '='
    for (; i + 32 <= nLen; i += 32) {
        const __m128i vLow = Narrow16(p + i);
        const __m128i vHigh = Narrow16(p + i + 16);
        if (Mask32(_mm_or_si128(Eq8(vLow, '\''), Eq8(vLow, 0)),
                   _mm_or_si128(Eq8(vHigh, '\''), Eq8(vHigh, 0))) != 0) {
            break;
        }
        const uint32_t nQuotes = Mask32(Eq8(vLow, '"'), Eq8(vHigh, '"'));
        const uint32_t nInside = PrefixParity(nQuotes) ^ (chQuote != 0 ? ~0u : 0u);
        const uint32_t nCloses = Mask32(Eq8(vLow, '>'), Eq8(vHigh, '>')) & ~nInside;
        const uint32_t nOpens =
            nQuotes & nInside & (nCloses != 0 ? (nCloses & (0u - nCloses)) - 1 : ~0u);
        // Bit j + 2: character i + j; bits 0 and 1: the two before the block.
        const uint64_t nEq =
            static_cast<uint64_t>(Mask32(Eq8(vLow, '='), Eq8(vHigh, '='))) << 2 | nEqBefore;
        const uint64_t nOpensAt = static_cast<uint64_t>(nOpens) << 2;
        if (((nOpensAt >> 1) & ~nEq) != 0 || ((nOpensAt >> 2) & nEq) != 0) break;
        if (nCloses != 0) {
            nClose = i + static_cast<int32_t>(__builtin_ctz(nCloses));
            break;
        }
        chQuote = (nInside >> 31) != 0 ? u'"' : 0;
        nEqBefore = static_cast<uint32_t>(nEq >> 32);
    }
    for (int32_t nBlock = i; nClose < 0 && nBlock + 16 <= nLen; nBlock += 16) {
        const __m128i v = Narrow16(p + nBlock);
        const unsigned nDouble = static_cast<unsigned>(_mm_movemask_epi8(Eq8(v, '"')));
        const unsigned nSingle = static_cast<unsigned>(_mm_movemask_epi8(Eq8(v, '\'')));
        const unsigned nZero = static_cast<unsigned>(_mm_movemask_epi8(Eq8(v, 0)));
        const unsigned nAny =
            nDouble | nSingle | nZero | static_cast<unsigned>(_mm_movemask_epi8(Eq8(v, '>')));
        for (;;) {
            // Hits at or after i within this block.
            const unsigned nFrom = ~0u << (i - nBlock);
            const unsigned nHits =
                nFrom & (chQuote == 0 ? nAny : (chQuote == '"' ? nDouble : nSingle) | nZero);
            if (nHits == 0) break;
            const int32_t k = nBlock + static_cast<int32_t>(__builtin_ctz(nHits));
            const char16_t ch = p[k];
            if (ch == 0) return false;
            i = k + 1;
            if (chQuote != 0) {
                chQuote = 0;
            } else if (ch == '>') {
                nClose = k;
                break;
            } else if (OpensValue(p, nNameEnd, k)) {
                chQuote = ch;
            }
        }
        if (nClose < 0) i = std::max(i, nBlock + 16);
    }
#endif
    for (; nClose < 0; ++i) {
        const char16_t ch = p[i];
        if (ch == 0) return false;
        if (chQuote != 0) {
            if (ch == chQuote) chQuote = 0;
        } else if (ch == '>') {
            nClose = i;
        } else if ((ch == '"' || ch == '\'') && OpensValue(p, nNameEnd, i)) {
            chQuote = ch;
        }
    }
    if (bName) {
        tok.strText.assign(p + nName, nNameEnd - nName);
    } else {
        tok.strText.clear();
    }
    const char16_t chLast = nClose - 1 >= nNameEnd ? p[nClose - 1] : 0;
    const char16_t chBeforeLast = nClose - 2 >= nNameEnd ? p[nClose - 2] : 0;
    if (chLast == '/' && (chBeforeLast == 0 || IsBlank(chBeforeLast) || chBeforeLast == '\'' ||
                          chBeforeLast == '"')) {
        tok.nFlags |= NodeToken::kEmptyTag;
    }
    Finish(sc, tok, kElement, nClose + 1);
    return true;
}

// An end tag whose '<' is at nPos ("</" there). Returns false when it runs into the end.
bool ScanEndTag(TagScanner& sc, NodeToken& tok, int32_t nPos) {
    const char16_t* const p = sc.pText;
    const int32_t nName = nPos + 2;
    const int32_t nNameEnd = FindNameEnd(p, nName, sc.nTextLength);
    const int32_t nClose =
        p[nNameEnd] == '>' ? nNameEnd : SkipTo(p, nNameEnd, sc.nTextLength, '>', '>');
    if (p[nClose] == 0) return false;
    sc.nNameStart = nName;
    sc.nNameEnd = nNameEnd - 1;
    Finish(sc, tok, kEndTag, nClose + 1);
    return true;
}

// The whole state machine, character by character where no run can be skipped.
int ScanGeneric(TagScanner& sc, NodeToken& tok) {
    const char16_t* const p = sc.pText;
    int32_t nPos = sc.nNext;
    tok.nStart = nPos;
    tok.nFlags = 0;
    tok.strText.clear();
    if (p[nPos] == 0) {
        tok.nLength = 0;
        tok.nType = kEndTag;
        return kEnd;
    }
    uint32_t nBits = 0;
    const char16_t* pszTerm = nullptr;
    int nTermLen = 0;
    int nType = kRejected;  // nothing begun yet reads as rejected until a type is known
    int32_t nName = 0;      // where a name began; 0 = none
    char16_t chLast = 0;
    char16_t chBeforeLast = 0;
    int32_t nEnd = nPos;  // one past the node's last character

    for (;; ++nPos) {
        char16_t ch = p[nPos];
        if (ch == 0) {
            nEnd = nPos;
            if (nType != kText && nType != kBlanks) {
                const char* pszWord =
                    ((nBits & kInDoctype) || nType == kDeclaration) ? "Doctype" : NodeWord(nType);
                nType = kRejected;
                tok.strText = Format("%s at offset %d unterminated", Ascii(pszWord), tok.nStart);
            }
            break;
        }
        if (nName != 0) {
            while (ch != 0 && !IsBlank(ch) && ch != '/' && ch != '>') ch = p[++nPos];
            if (ch == 0) {
                --nPos;  // the end of the text is handled above
                continue;
            }
            if (nType == kEndTag) {
                sc.nNameStart = nName;
                sc.nNameEnd = nPos - 1;
            } else {
                tok.strText.assign(p + nName, nPos - nName);
            }
            nName = 0;
            chLast = chBeforeLast = 0;
        }
        if (nTermLen > 0) {
            if (nType == kText) {
                // Plain text: nothing but '<', '>' or the end can change anything.
                nPos = SkipTo(p, nPos, sc.nTextLength, u'<', u'>');
                ch = p[nPos];
                if (ch == 0) {
                    --nPos;
                    continue;
                }
            }
            if (nType == kCData || nType == kProcessingInstruction || nType == kComment) {
                // Inside a CDATA section, processing instruction or comment only a '>' can end it.
                if (ch != '>') {
                    nPos = SkipTo(p, nPos, sc.nTextLength, u'>', u'>');
                    ch = p[nPos];
                    if (ch == 0) {
                        --nPos;
                        continue;
                    }
                }
            } else if (nType == kElement && !(nBits & (kSingleQuote | kDoubleQuote))) {
                // Attribute names and unquoted values: only quotes, '=', '>' and the end matter;
                // the rest only moves the last two characters on (and a non-blank ends the wait
                // for a value).
                while (ch != '"' && ch != '\'' && ch != '=' && ch != '>' && ch != 0) {
                    if (!IsBlank(ch)) nBits &= ~kAwaitValue;
                    chBeforeLast = chLast;
                    chLast = ch;
                    ch = p[++nPos];
                }
                if (ch == 0) {
                    --nPos;
                    continue;
                }
            }
            const bool bQuoted = (nBits & (kSingleQuote | kDoubleQuote)) != 0;
            if (ch != '>' || bQuoted) {
                if (ch == '<' && (nType == kText || nType == kRejected)) {
                    nEnd = nPos;
                    break;
                }
                if (nType == kElement) {
                    if (bQuoted) {
                        // Inside a quoted value only its closing quote matters; the last two
                        // characters are those before it.
                        const char16_t chQuote = (nBits & kDoubleQuote) ? u'"' : u'\'';
                        if (ch != chQuote) {
                            const int32_t nFrom = nPos;
                            nPos = SkipTo(p, nPos, sc.nTextLength, chQuote, chQuote);
                            ch = p[nPos];
                            if (nPos - nFrom >= 2) {
                                chBeforeLast = p[nPos - 2];
                                chLast = p[nPos - 1];
                            } else if (nPos - nFrom == 1) {
                                chBeforeLast = chLast;
                                chLast = p[nPos - 1];
                            }
                            if (ch == 0) {
                                --nPos;
                                continue;
                            }
                        }
                        if ((ch == '"' && (nBits & kDoubleQuote)) ||
                            (ch == '\'' && (nBits & kSingleQuote))) {
                            nBits &= ~(kSingleQuote | kDoubleQuote);
                        }
                    } else if ((ch == '"' || ch == '\'') && (nBits & kAwaitValue)) {
                        nBits = (nBits & ~kAwaitValue) | (ch == '"' ? kDoubleQuote : kSingleQuote);
                    } else if (ch == '=' && chLast != '=') {
                        nBits |= kAwaitValue;
                    } else if (!IsBlank(ch)) {
                        nBits &= ~kAwaitValue;
                    }
                    chBeforeLast = chLast;
                    chLast = ch;
                } else if (nType == kDeclaration) {
                    if (ch == '"' && !(nBits & kSingleQuote)) nBits ^= kDoubleQuote;
                    if (ch == '\'' && !(nBits & kDoubleQuote)) nBits ^= kSingleQuote;
                }
                continue;
            }
            bool bOver = false;
            if (nTermLen == 1) {
                bOver = true;
                if (nType == kElement && chLast == '/' &&
                    (chBeforeLast == 0 || IsBlank(chBeforeLast) || chBeforeLast == '\'' ||
                     chBeforeLast == '"')) {
                    tok.nFlags |= NodeToken::kEmptyTag;
                }
            } else if (nPos > nTermLen) {
                bOver = true;
                for (int i = 0; i < nTermLen - 1; ++i) {
                    if (p[nPos - (nTermLen - 1) + i] != pszTerm[i]) {
                        bOver = false;
                        break;
                    }
                }
            }
            if (bOver) {
                if (!(nBits & kInDoctype)) {
                    nEnd = nPos + 1;
                    break;
                }
                nBits = kInDoctype;
                nTermLen = 0;
                pszTerm = nullptr;
            }
            continue;
        }
        if (nBits == 0 && nType == kRejected) {
            if (ch == '<') {
                nBits = kAfterLt;
            } else if (IsBlank(ch)) {
                nBits = kBlankRun;
                nType = kBlanks;
            } else {
                nType = kText;
                pszTerm = u"<";
                nTermLen = 1;
            }
            continue;
        }
        if (nBits & kBlankRun) {
            if (ch == '<') {
                nEnd = nPos;
                break;
            }
            if (!IsBlank(ch)) {
                nBits &= ~kBlankRun;
                nType = kText;
                pszTerm = u"<";
                nTermLen = 1;
            }
            continue;
        }
        if (nBits & kAfterLt) {
            nBits &= ~kAfterLt;
            if (ch >= 'a' || (ch >= 'A' && ch <= 'Z') || ch == '_' || ch == ':') {
                nType = kElement;
                pszTerm = u">";
                nTermLen = 1;
                nName = nPos;
            } else if (ch == '/') {
                nType = kEndTag;
                pszTerm = u">";
                nTermLen = 1;
                nName = nPos + 1;
            } else if (ch == '!') {
                nBits |= kAfterBang;
            } else if (ch == '?') {
                nType = kProcessingInstruction;
                pszTerm = u"?>";
                nTermLen = 2;
                nName = nPos + 1;
            } else {
                pszTerm = u">";
                nTermLen = 1;
                nType = kRejected;
                tok.strText =
                    Format("Incorrect %s at offset %d", u"tag name character", tok.nStart);
            }
            continue;
        }
        if (nBits & kAfterBang) {
            nBits &= ~kAfterBang;
            if (ch == '-') {
                nBits |= kAfterBangDash;
            } else if (ch == '[' && !(nBits & kInDoctype)) {
                nBits |= kAfterBangBracket;
            } else if (ch == 'D' && !(nBits & kInDoctype)) {
                nBits |= kInDoctype;
                nType = kDeclaration;
            } else if (ch == 'E' || ch == 'A' || ch == 'N') {
                nType = kDeclaration;
                pszTerm = u">";
                nTermLen = 1;
            } else {
                nType = kRejected;
                pszTerm = u">";
                nTermLen = 1;
                tok.strText = Format("Incorrect %s at offset %d", u"! tag", tok.nStart);
            }
            continue;
        }
        if (nBits & kAfterBangDash) {
            nBits &= ~kAfterBangDash;
            if (ch == '-') {
                nType = kComment;
                pszTerm = u"-->";
                nTermLen = 3;
            } else {
                nType = kRejected;
                pszTerm = u">";
                nTermLen = 1;
                tok.strText = Format("Incorrect %s at offset %d", u"comment tag", tok.nStart);
            }
            continue;
        }
        if (nBits & kAfterBangBracket) {
            nBits &= ~kAfterBangBracket;
            pszTerm = u"]]>";
            nTermLen = 3;
            if (ch == 'C') {
                nType = kCData;
            } else {
                nType = kRejected;
                pszTerm = u">";
                nTermLen = 1;
                tok.strText = Format("Incorrect %s at offset %d", u"tag", tok.nStart);
            }
            continue;
        }
        if (nBits & kInDoctype) {
            if (ch == '<') {
                nBits |= kAfterLt;
            } else if (ch == '>') {
                nType = kDeclaration;
                nEnd = nPos + 1;
                break;
            }
            continue;
        }
    }
    return Finish(sc, tok, nType, nEnd);
}

// The fast routines first; the state machine for the rest. Without bName a start tag's name
// is not copied into the token (the parse reads names from the text).
int Scan(TagScanner& sc, NodeToken& tok, bool bName) {
    const char16_t* const p = sc.pText;
    const int32_t nPos = sc.nNext;
    const char16_t ch = p[nPos];
    if (sc.nFlags & TagScanner::kReferenceScan) return ScanGeneric(sc, tok);
    if (ch == '<') {
        const char16_t chNext = p[nPos + 1];
        if (chNext >= 'a' || (chNext >= 'A' && chNext <= 'Z') || chNext == '_' || chNext == ':') {
            tok.nStart = nPos;
            tok.nFlags = 0;
            if (ScanStartTag(sc, tok, nPos, bName)) return tok.nType;
        } else if (chNext == '/') {
            tok.nStart = nPos;
            tok.nFlags = 0;
            tok.strText.clear();
            if (ScanEndTag(sc, tok, nPos)) return kEndTag;
        }
    } else if (IsBlank(ch)) {
        const int32_t nEnd = FindNonBlank(p, nPos + 1, sc.nTextLength);
        if (p[nEnd] == '<' || p[nEnd] == 0) {
            tok.nStart = nPos;
            tok.nFlags = 0;
            tok.strText.clear();
            return Finish(sc, tok, kBlanks, nEnd);
        }
    } else if (ch != 0) {
        // Plain text ends before '<', after a '>' or at the end of the text.
        int32_t nEnd = SkipTo(p, nPos + 1, sc.nTextLength, u'<', u'>');
        if (p[nEnd] == '>') ++nEnd;
        tok.nStart = nPos;
        tok.nFlags = 0;
        tok.strText.clear();
        return Finish(sc, tok, kText, nEnd);
    }
    return ScanGeneric(sc, tok);
}

}  // namespace

int CXmlDocument::ScanNode(TagScanner& sc, NodeToken& tok) {
    return Scan(sc, tok, true);
}

int CXmlDocument::ScanForParse(TagScanner& sc, NodeToken& tok) {
    return Scan(sc, tok, false);
}

bool CXmlDocument::MatchName(const TagScanner& sc, std::u16string_view strName) {
    const int32_t nLen = sc.nNameEnd - sc.nNameStart + 1;
    if (nLen < 0 || static_cast<size_t>(nLen) > strName.size()) return false;
    const char16_t* p = sc.pText + sc.nNameStart;
    if (sc.nFlags & IgnoreNameCase) {
        for (int32_t i = 0; i < nLen; ++i) {
            if (FoldCase(p[i]) != FoldCase(strName[i])) return false;
        }
    } else {
        for (int32_t i = 0; i < nLen; ++i) {
            if (p[i] != strName[i]) return false;
        }
    }
    if (static_cast<size_t>(nLen) == strName.size()) return true;
    const char16_t ch = strName[nLen];
    return ch == 0 || ch == ' ' || ch == '=' || ch == '/' || ch == '[' || ch == ']';
}

}  // namespace kt
