#include "xml/xmldocument.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "platform/ascii_fast.h"
#include "platform/codepage.h"
#include "platform/paths.h"
#include "xml/xmltext.h"

namespace kt {

namespace {

constexpr int32_t kSegmentSize = 0x10000;

// The five entities, in the order they are tried.
struct Entity {
    char16_t ch;
    const char16_t* pszName;  // without '&'
    int nLen;
};
constexpr Entity kEntities[] = {
    {u'<', u"lt;", 3},    {u'&', u"amp;", 4},  {u'>', u"gt;", 3},
    {u'\'', u"apos;", 5}, {u'"', u"quot;", 5},
};

}  // namespace

using namespace xmltext;

// ---------------------------------------------------------------------------------------------
// Construction, copying, the record store

std::u16string CXmlDocument::IntText(long long nValue) {
    char sz[24];
    std::snprintf(sz, sizeof(sz), "%lld", nValue);
    return Ascii(sz);
}

// A constructor that runs out of memory gets no destructor call: it frees the record store itself.
CXmlDocument::CXmlDocument() {
    try {
        SetDocument(std::u16string_view());
    } catch (...) {
        FreeStore();
        throw;
    }
}

CXmlDocument::CXmlDocument(std::u16string_view strText) {
    try {
        SetDocument(strText);
    } catch (...) {
        FreeStore();
        throw;
    }
}

CXmlDocument::CXmlDocument(std::u16string&& strText) {
    try {
        SetDocument(std::move(strText));
    } catch (...) {
        FreeStore();
        throw;
    }
}

CXmlDocument::CXmlDocument(const CXmlDocument& other) {
    try {
        *this = other;
    } catch (...) {
        FreeStore();
        throw;
    }
}

CXmlDocument::~CXmlDocument() {
    FreeStore();
}

CXmlDocument& CXmlDocument::operator=(const CXmlDocument& other) {
    if (this == &other) return *this;
    m_strDoc = other.m_strDoc;
    m_strResult = other.m_strResult;
    m_iPosParent = other.m_iPosParent;
    m_iPos = other.m_iPos;
    m_iPosChild = other.m_iPosChild;
    m_nNodeType = other.m_nNodeType;
    m_nNodeOffset = other.m_nNodeOffset;
    m_nNodeLength = other.m_nNodeLength;
    m_nDocFlags = other.m_nDocFlags;
    m_iReleased = other.m_iReleased;
    FreeStore();
    const int32_t nWanted = other.m_iNextFree > 8 ? other.m_iNextFree : 8;
    while (m_nCapacity < nWanted) GrowStore(nWanted);
    for (int32_t i = 0; i < other.m_iNextFree; ++i) Rec(i) = other.Rec(i);
    m_iNextFree = other.m_iNextFree;
    if (other.m_pSaved) {
        m_pSaved = std::make_unique<std::array<std::vector<SavedPosition>, 7>>(*other.m_pSaved);
    } else {
        m_pSaved.reset();
    }
    return *this;
}

void CXmlDocument::FreeStore() {
    if (m_ppSegments) {
        const int32_t nSegments = m_nCapacity > 0 ? ((m_nCapacity - 1) >> 16) + 1 : 0;
        for (int32_t i = 0; i < nSegments; ++i) delete[] m_ppSegments[i];
        delete[] m_ppSegments;
    }
    m_ppSegments = nullptr;
    m_nCapacity = 0;
    m_nSegmentSlots = 0;
    m_iNextFree = 0;
}

// One request adds at most one segment, and only a partial last segment is ever copied.
void CXmlDocument::GrowStore(int32_t nWanted) {
    int64_t n = nWanted;
    if (n == 0) n = static_cast<int64_t>(m_iNextFree) + m_iNextFree / 2;
    if (n <= m_nCapacity) return;
    const int32_t nLast = m_nCapacity > 0 ? (m_nCapacity - 1) >> 16 : 0;
    int32_t nSeg = static_cast<int32_t>((n - 1) >> 16);
    if (nSeg > nLast + 1) {
        nSeg = nLast + 1;
        n = static_cast<int64_t>(nLast + 2) * kSegmentSize;
    }
    if (nSeg >= m_nSegmentSlots) {
        const int32_t nSlots = nSeg * 2 + 4;
        auto** ppNew = new ElementRecord*[nSlots]();
        for (int32_t i = 0; i < m_nSegmentSlots; ++i) ppNew[i] = m_ppSegments[i];
        delete[] m_ppSegments;
        m_ppSegments = ppNew;
        m_nSegmentSlots = nSlots;
    }
    const int32_t nInLast = m_nCapacity - nLast * kSegmentSize;  // records in the last segment
    if (nSeg > nLast && nInLast < kSegmentSize) {
        auto* pFull = new ElementRecord[kSegmentSize];
        if (nInLast > 0) std::memcpy(pFull, m_ppSegments[nLast], nInLast * sizeof(ElementRecord));
        delete[] m_ppSegments[nLast];
        m_ppSegments[nLast] = pFull;
    }
    const int32_t nSize = static_cast<int32_t>(n - static_cast<int64_t>(nSeg) * kSegmentSize);
    auto* pSeg = new ElementRecord[nSize];
    if (nSeg == nLast && nInLast > 0) {
        std::memcpy(pSeg, m_ppSegments[nLast], nInLast * sizeof(ElementRecord));
        delete[] m_ppSegments[nLast];
    }
    m_ppSegments[nSeg] = pSeg;
    m_nCapacity = static_cast<int32_t>(n);
}

// The first estimate is one record per 64 characters, far too many for long text content (a
// 20 MB document of 8 KB paragraphs would keep 4 MB of records for 2,600 elements). Once a parse
// has used less than 8/9 of the store, whole segments past the last record go back and a partial
// last segment is cut to fit, so the index costs what the document holds. Later additions grow
// from there by the usual rule.
void CXmlDocument::TrimStore() {
    const int32_t nUsed = m_iNextFree > 8 ? m_iNextFree : 8;
    if (m_nCapacity - nUsed <= nUsed / 8) return;
    const int32_t nLast = (m_nCapacity - 1) >> 16;
    const int32_t nLastUsed = (nUsed - 1) >> 16;
    for (int32_t i = nLastUsed + 1; i <= nLast; ++i) {
        delete[] m_ppSegments[i];
        m_ppSegments[i] = nullptr;
    }
    const int32_t nInLast = nUsed - nLastUsed * kSegmentSize;
    if (nInLast < kSegmentSize) {
        auto* pSeg = new ElementRecord[nInLast];
        std::memcpy(pSeg, m_ppSegments[nLastUsed], nInLast * sizeof(ElementRecord));
        delete[] m_ppSegments[nLastUsed];
        m_ppSegments[nLastUsed] = pSeg;
    }
    m_nCapacity = nUsed;
}

int32_t CXmlDocument::NewRecord() {
    if (m_iNextFree == m_nCapacity) GrowStore(0);
    if (m_iNextFree == m_nCapacity) GrowStore(m_nCapacity + 1);  // 0 or 1 record in use
    return m_iNextFree++;
}

// ---------------------------------------------------------------------------------------------
// Parsing

bool CXmlDocument::SetDocument(std::u16string_view strText) {
    m_strDoc.assign(strText.data(), strText.size());
    m_strResult.clear();
    return Parse();
}

bool CXmlDocument::SetDocument(std::u16string&& strText) {
    m_strDoc = std::move(strText);
    m_strResult.clear();
    return Parse();
}

bool CXmlDocument::IsWellFormed() const {
    if (m_iNextFree < 1) return false;
    const ElementRecord& doc = Rec(0);
    if (doc.nLevelFlags & ElementRecord::kIllFormed) return false;
    if (doc.nFirstChild == 0) return false;
    return Rec(doc.nFirstChild).nNext == 0;
}

bool CXmlDocument::Parse() {
    std::u16string strKept;
    strKept.swap(m_strResult);
    SetPos(0, 0, 0);
    m_pSaved.reset();
    const int32_t nEstimate = static_cast<int32_t>(m_strDoc.size() / 64) + 8;
    // The old records mean nothing to the new parse: a store that the last parse cut to fit is
    // dropped rather than copied into its larger successor.
    if (m_nCapacity < nEstimate && (m_nCapacity & (kSegmentSize - 1)) != 0) FreeStore();
    m_iNextFree = 1;
    m_iReleased = 0;
    m_nNodeType = 0;
    m_nNodeOffset = 0;
    m_nNodeLength = 0;
    GrowStore(nEstimate);
    Rec(0) = ElementRecord{};
    if (m_strDoc.empty()) {
        m_strResult = u"Empty document";
    } else {
        TagScanner scanner;
        scanner.pText = m_strDoc.c_str();
        scanner.nTextLength = static_cast<int32_t>(m_strDoc.size());
        scanner.nFlags = m_nDocFlags;
        const int32_t iRoot = ParseElements(0, scanner);
        Rec(0).nLength = static_cast<int32_t>(m_strDoc.size());
        if (iRoot == 0) {
            m_strResult = u"No root element";
        } else {
            Rec(0).nFirstChild = iRoot;
            if (Rec(iRoot).nNext != 0) m_strResult = u"Root element has sibling";
        }
    }
    SetPos(0, 0, 0);
    if (!strKept.empty()) {
        if (!m_strResult.empty()) {
            strKept += u", ";
            strKept += m_strResult;
        }
        m_strResult.swap(strKept);
    }
    TrimStore();
    return IsWellFormed();
}

// Length of the element name that starts at nOffset (as the scanner reads a start tag's name).
int32_t CXmlDocument::ElementNameLength(const char16_t* p, int32_t nOffset) {
    int32_t n = nOffset;
    if (p[n] == 0) return 0;
    ++n;  // the first character is taken whatever it is
    while (p[n] != 0 && !IsBlank(p[n]) && p[n] != '/' && p[n] != '>') ++n;
    return n - nOffset;
}

int32_t CXmlDocument::ParseElements(int32_t iParent, TagScanner& sc) {
    NodeToken tok;
    std::vector<int32_t> vecOpen;  // open elements, outermost first
    vecOpen.reserve(64);
    int32_t iCurrent = iParent;
    int32_t iFirst = 0;
    const int32_t nBaseLevel = Rec(iParent).Level();
    const char16_t* const p = sc.pText;
    sc.nNext = 0;
    m_strResult.clear();

    auto Message = [this](std::u16string&& strMessage) {
        if (m_strResult.empty()) m_strResult = std::move(strMessage);
    };
    auto Name = [this, p](int32_t iElem) {
        const int32_t nStart = Rec(iElem).nStart + 1;
        return std::u16string_view(p + nStart, ElementNameLength(p, nStart));
    };

    for (;;) {
        // Blanks before markup make no record and change nothing: passed over without a token.
        if (IsBlank(p[sc.nNext])) {
            const int32_t nAfter = FindNonBlank(p, sc.nNext, sc.nTextLength);
            if (p[nAfter] == '<' || p[nAfter] == 0) sc.nNext = nAfter;
        }
        const int nType = ScanForParse(sc, tok);
        if (nType == NodeElement) {
            const int32_t iNew = NewRecord();
            if (iFirst == 0) iFirst = iNew;
            ElementRecord& parent = Rec(iCurrent);
            ElementRecord& rec = Rec(iNew);
            rec.nParent = iCurrent;
            rec.nNext = 0;
            uint32_t nFlags = 0;
            if (parent.nFirstChild == 0) {
                parent.nFirstChild = iNew;
                rec.nPrev = iNew;
                nFlags = ElementRecord::kFirstChild;
            } else {
                ElementRecord& first = Rec(parent.nFirstChild);
                const int32_t iLast = first.nPrev;
                Rec(iLast).nNext = iNew;
                rec.nPrev = iLast;
                first.nPrev = iNew;
            }
            rec.nLevelFlags =
                (static_cast<uint32_t>(nBaseLevel + static_cast<int32_t>(vecOpen.size())) &
                 0xFFFF) |
                nFlags;
            rec.nFirstChild = 0;
            rec.nStart = tok.nStart;
            rec.nLength = tok.nLength;
            rec.SetTagSizes(tok.nLength, 0);
            if (!(tok.nFlags & NodeToken::kEmptyTag)) {
                iCurrent = iNew;
                vecOpen.push_back(iNew);
            }
        } else if (nType == NodeEndTag) {
            size_t nDepth = vecOpen.size();
            bool bFound = false;
            if (tok.nLength <= 511) {
                while (nDepth > 0) {
                    if (MatchName(sc, Name(vecOpen[nDepth - 1]))) {
                        bFound = true;
                        break;
                    }
                    --nDepth;
                }
            }
            if (!bFound) {
                Rec(iParent).nLevelFlags |= ElementRecord::kIllFormed;
                Rec(iCurrent).nLevelFlags |= ElementRecord::kHoldsError;
                const int32_t nNameLen = sc.nNameEnd - sc.nNameStart + 1;
                Message(Format("No start tag for end tag '%s' at offset %d",
                               std::u16string_view(p + sc.nNameStart, nNameLen > 0 ? nNameLen : 0),
                               tok.nStart));
                continue;
            }
            const int32_t iMatched = vecOpen[nDepth - 1];
            ElementRecord& matched = Rec(iMatched);
            matched.nLength = tok.nStart - matched.nStart + tok.nLength;
            matched.SetTagSizes(matched.StartTagLength(), tok.nLength);
            if (nDepth < vecOpen.size()) {
                Rec(iParent).nLevelFlags |= ElementRecord::kIllFormed;
                const int32_t nNameLen = sc.nNameEnd - sc.nNameStart + 1;
                const std::u16string_view strEnd(p + sc.nNameStart, nNameLen > 0 ? nNameLen : 0);
                // Only the innermost element's message can be the first one.
                const int32_t iInner = vecOpen.back();
                Message(
                    Format("End tag '%s' at offset %d does not match start tag '%s' at "
                           "offset %d",
                           strEnd, sc.nNameStart - 1, Name(iInner), Rec(iInner).nStart));
                CloseNotEnded(vecOpen, nDepth, iParent);
            }
            vecOpen.pop_back();
            iCurrent = matched.nParent;
        } else if (nType == ScanRejected) {
            Rec(iParent).nLevelFlags |= ElementRecord::kIllFormed;
            Rec(iCurrent).nLevelFlags |= ElementRecord::kHoldsError;
            Message(std::move(tok.strText));
        } else if (nType == ScanEnd) {
            if (!vecOpen.empty()) {
                Rec(iParent).nLevelFlags |= ElementRecord::kIllFormed;
                const int32_t iInner = vecOpen.back();
                Message(Format("Element '%s' at offset %d not ended", Name(iInner),
                               Rec(iInner).nStart));
                CloseNotEnded(vecOpen, 0, iParent);
            }
            return iFirst;
        }
    }
}

// Closes the open elements from vecOpen[nKeep] inward, innermost first, as not ended: each keeps
// its start tag alone, and its children move up to follow it under its parent - so in the end
// every closed element and all their children are siblings under the element they were open in,
// in document order. That end state is built in one pass over those children (closing them one by
// one would move the same children again at every level). Levels stay as they were parsed.
void CXmlDocument::CloseNotEnded(std::vector<int32_t>& vecOpen, size_t nKeep, int32_t iStart) {
    const int32_t iUp = nKeep > 0 ? vecOpen[nKeep - 1] : iStart;
    bool bError = false;
    int32_t iLast = vecOpen[nKeep];
    for (size_t k = nKeep; k < vecOpen.size(); ++k) {
        const int32_t iElem = vecOpen[k];
        ElementRecord& rec = Rec(iElem);
        rec.SetTagSizes(rec.StartTagLength(), 0);
        rec.nLevelFlags |= ElementRecord::kNotEnded;
        rec.nLength = rec.StartTagLength();
        if (rec.nLevelFlags & ElementRecord::kHoldsError) {
            rec.nLevelFlags &= ~ElementRecord::kHoldsError;
            bError = true;
        }
        const int32_t iChild = rec.nFirstChild;
        if (iChild == 0) continue;  // only the innermost can be childless
        rec.nNext = iChild;
        rec.nFirstChild = 0;
        int32_t iPrev = iElem;
        // Its children up to the next closed element (its last child), which the next round
        // continues from.
        const int32_t iStop = k + 1 < vecOpen.size() ? vecOpen[k + 1] : 0;
        for (int32_t i = iChild;; i = Rec(i).nNext) {
            ElementRecord& child = Rec(i);
            child.nParent = iUp;
            child.nPrev = iPrev;
            child.nLevelFlags &= ~ElementRecord::kFirstChild;
            iPrev = i;
            iLast = i;
            if (i == iStop || child.nNext == 0) break;
        }
    }
    if (bError) Rec(iUp).nLevelFlags |= ElementRecord::kHoldsError;
    Rec(Rec(iUp).nFirstChild).nPrev = iLast;
    vecOpen.resize(nKeep);
}

// ---------------------------------------------------------------------------------------------
// Files

namespace {

std::u16string RuntimeMessage(int nErrno) {
    std::string str = std::strerror(nErrno);
    const size_t nCut = str.find_first_of("\r\n");
    if (nCut != std::string::npos) str.resize(nCut);
    return FromUtf8(str);
}

struct FileCloser {
    void operator()(FILE* pFile) const { std::fclose(pFile); }
};

}  // namespace

namespace {

// The file is read in pieces of this size and each piece is converted before the next is read,
// so the file's bytes are never all in memory beside their text.
constexpr size_t kLoadPiece = 256 * 1024;

// Converts the ANSI bytes [pIn, pIn + nLen) that lie at the end of what has been read so far into
// strText from nOut on: ASCII runs are widened here, the other spans go through the code-page
// conversion. Returns how many bytes were consumed: all of them when bFinal, else up to the
// start of a span that the bytes still to come may continue.
size_t ConvertPiece(const char* pIn, size_t nLen, bool bFinal, std::u16string& strText,
                    size_t& nOut) {
    size_t i = 0;
    while (i < nLen) {
        // Room for every byte as a unit: what the ASCII runs need at most.
        if (strText.size() < nOut + (nLen - i)) strText.resize(nOut + (nLen - i));
        const size_t nRun = WidenAsciiRun(pIn + i, nLen - i, strText.data() + nOut);
        i += nRun;
        nOut += nRun;
        if (i == nLen) break;
        const size_t nEnd = NonAsciiSpanEnd(pIn, i, nLen);
        if (nEnd == nLen && !bFinal) break;
        const int nSpan = static_cast<int>(nEnd - i);
        int nWide = AnsiToWide(pIn + i, nSpan, strText.data() + nOut,
                               static_cast<int>(strText.size() - nOut));
        if (nWide == 0) {
            nWide = AnsiToWide(pIn + i, nSpan, nullptr, 0);
            strText.resize(nOut + static_cast<size_t>(nWide) + (nLen - nEnd));
            AnsiToWide(pIn + i, nSpan, strText.data() + nOut, nWide);
        }
        nOut += static_cast<size_t>(nWide);
        i = nEnd;
    }
    return i;
}

}  // namespace

bool CXmlDocument::LoadFile(std::u16string_view strPath) {
    std::unique_ptr<FILE, FileCloser> file(OpenFile(strPath, "rb"));
    if (!file) {
        m_strResult = RuntimeMessage(errno);
        return false;
    }
    errno = 0;
    long nSize = -1;
    if (std::fseek(file.get(), 0, SEEK_END) == 0) nSize = std::ftell(file.get());
    if (nSize < 0 || nSize > 0x7FFFFFFF || std::fseek(file.get(), 0, SEEK_SET) != 0) {
        // A directory opens here and fails at the seek; the read says what is wrong with it.
        const int nSeekErrno = errno;
        errno = 0;
        std::fgetc(file.get());
        m_strResult = RuntimeMessage(errno ? errno : nSeekErrno ? nSeekErrno : EIO);
        return false;
    }
    const size_t nBytes = static_cast<size_t>(nSize);
    auto ReadFailed = [this] {
        m_strResult = RuntimeMessage(errno ? errno : EIO);
        return false;
    };
    std::u16string strText;
    if (!IsAsciiTransparent(AnsiCodePageName())) {
        // A code page with shift states: the bytes go through the conversion in one piece.
        std::string strBytes(nBytes, '\0');
        if (nBytes > 0 && std::fread(strBytes.data(), 1, nBytes, file.get()) != nBytes)
            return ReadFailed();
        strText = FromAnsi(strBytes);
    } else {
        // The text takes one unit per byte at most (a character of two to four bytes gives one
        // or two units), so its storage is sized once and cut to fit at the end.
        strText.resize(nBytes);
        std::string strPiece;
        size_t nOut = 0;
        size_t nKept = 0;  // bytes of a span carried over from the last piece
        for (size_t nLeft = nBytes; nLeft > 0 || nKept > 0;) {
            const size_t nRead = std::min(nLeft, kLoadPiece);
            if (strPiece.size() < nKept + nRead) strPiece.resize(nKept + nRead);
            if (nRead > 0 && std::fread(strPiece.data() + nKept, 1, nRead, file.get()) != nRead)
                return ReadFailed();
            nLeft -= nRead;
            const size_t nHave = nKept + nRead;
            const size_t nUsed = ConvertPiece(strPiece.data(), nHave, nLeft == 0, strText, nOut);
            nKept = nHave - nUsed;
            if (nKept > 0) std::memmove(strPiece.data(), strPiece.data() + nUsed, nKept);
        }
        strText.resize(nOut);
    }
    file.reset();
    const int nWide = static_cast<int>(strText.size());
    m_strDoc = std::move(strText);
    m_strResult = Format("%s%d bytes to %d wide chars", u"", static_cast<int>(nBytes), {}, nWide);
    return Parse();
}

bool CXmlDocument::SaveFile(std::u16string_view strPath) {
    std::unique_ptr<FILE, FileCloser> file(OpenFile(strPath, "wb"));
    if (!file) {
        m_strResult = RuntimeMessage(errno);
        return false;
    }
    const int nWide = static_cast<int>(m_strDoc.size());
    const int nBytes = nWide > 0 ? WideToAnsi(m_strDoc.data(), nWide, nullptr, 0) : 0;
    std::string strBytes(static_cast<size_t>(nBytes), '\0');
    if (nBytes > 0) WideToAnsi(m_strDoc.data(), nWide, strBytes.data(), nBytes);
    errno = 0;
    const bool bWritten =
        std::fwrite(strBytes.data(), 1, strBytes.size(), file.get()) == strBytes.size();
    const bool bClosed = std::fclose(file.release()) == 0;
    if (!bWritten || !bClosed) {
        m_strResult = RuntimeMessage(errno ? errno : EIO);
        return false;
    }
    std::u16string str = IntText(nWide);
    str += u" wide chars to ";
    str += IntText(nBytes);
    str += u" bytes";
    m_strResult = std::move(str);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Position and navigation

void CXmlDocument::SetPos(int32_t iParent, int32_t iMain, int32_t iChild) {
    m_iPosParent = iParent;
    m_iPos = iMain;
    m_iPosChild = iChild;
    m_nNodeOffset = 0;
    m_nNodeLength = 0;
    m_nNodeType = iMain != 0 ? 1 : 0;
}

void CXmlDocument::ResetPosition() {
    SetPos(0, 0, 0);
}

bool CXmlDocument::ValidElement(int32_t i) const {
    return i > 0 && i < m_iNextFree && !(Rec(i).nLevelFlags & ElementRecord::kReleased);
}

// Name read for lookups: blanks skipped, then up to a delimiter, at least one character.
std::u16string_view CXmlDocument::ReadName(int32_t nOffset) const {
    const char16_t* p = m_strDoc.c_str();
    const int32_t nSize = static_cast<int32_t>(m_strDoc.size());
    if (nOffset < 0 || nOffset >= nSize) return {};
    int32_t n = nOffset;
    while (p[n] != 0 && IsBlank(p[n])) ++n;
    if (p[n] == 0) return {};
    const int32_t nStart = n++;
    auto Delimiter = [](char16_t ch) {
        return ch == 0 || IsBlank(ch) || ch == '<' || ch == '>' || ch == '=' || ch == '\\' ||
               ch == '/' || ch == '?' || ch == '!';
    };
    if (!Delimiter(p[nStart])) {
        while (!Delimiter(p[n])) ++n;
    }
    return std::u16string_view(p + nStart, n - nStart);
}

int32_t CXmlDocument::FindSibling(int32_t iParent, int32_t iAfter,
                                  std::u16string_view strName) const {
    int32_t i = iAfter != 0 ? Rec(iAfter).nNext : Rec(iParent).nFirstChild;
    if (strName.empty()) return i;
    TagScanner sc;
    sc.pText = m_strDoc.c_str();
    sc.nFlags = m_nDocFlags;
    for (; i != 0; i = Rec(i).nNext) {
        const std::u16string_view strHere = ReadName(Rec(i).nStart + 1);
        if (strHere.empty()) continue;
        sc.nNameStart = static_cast<int32_t>(strHere.data() - sc.pText);
        sc.nNameEnd = sc.nNameStart + static_cast<int32_t>(strHere.size()) - 1;
        if (MatchName(sc, strName)) return i;
    }
    return 0;
}

bool CXmlDocument::FindElement(std::u16string_view strName) {
    if (m_iNextFree <= 1) return false;
    const int32_t i = FindSibling(m_iPosParent, m_iPos, strName);
    if (i == 0) return false;
    SetPos(Rec(i).nParent, i, 0);
    return true;
}

bool CXmlDocument::FindChildElement(std::u16string_view strName) {
    if (m_iPos == 0 && !FindElement()) return false;
    if (m_iPos == 0) return false;
    const int32_t i = FindSibling(m_iPos, m_iPosChild, strName);
    if (i == 0) return false;
    SetPos(m_iPosParent, m_iPos, i);
    return true;
}

bool CXmlDocument::EnterElement() {
    if (m_nNodeType != 1 || m_iPos == 0) return false;
    SetPos(m_iPos, m_iPosChild, 0);
    return true;
}

bool CXmlDocument::LeaveElement() {
    if (m_iPosParent == 0) return false;
    SetPos(Rec(m_iPosParent).nParent, m_iPosParent, m_iPos);
    return true;
}

int CXmlDocument::FindNode(int nMask) {
    if (m_iNextFree < 1) return 0;
    const ElementRecord& parent = Rec(m_iPosParent);
    int32_t nOffset;
    if (NodeSelected()) {
        nOffset = m_nNodeOffset + m_nNodeLength;
    } else if (m_iPos != 0) {
        nOffset = Rec(m_iPos).End();
    } else {
        if (m_iPosParent != 0 && parent.IsEmpty()) return 0;
        nOffset = parent.ContentStart();
    }
    const int32_t nContentEnd =
        m_iPosParent == 0 ? parent.nLength : parent.nStart + parent.nLength - parent.EndTagLength();
    TagScanner sc;
    sc.pText = m_strDoc.c_str();
    sc.nFlags = m_nDocFlags;
    sc.nNext = nOffset;
    sc.nTextLength = static_cast<int32_t>(m_strDoc.size());
    NodeToken tok;
    int32_t iLast = m_iPos;
    for (;;) {
        if (sc.nNext >= static_cast<int32_t>(m_strDoc.size())) return 0;
        int nType = ScanNode(sc, tok);
        if (nType == ScanEnd) return 0;
        if (nType == NodeEndTag) {
            if (tok.nStart == nContentEnd) return 0;
            nType = NodeLoneEndTag;
        } else if (nType == ScanRejected) {
            nType = NodeRejected;
        }
        if (nType == NodeElement) {
            const int32_t iElem = iLast != 0 ? Rec(iLast).nNext : parent.nFirstChild;
            if (iElem == 0) return 0;
            if (nMask == 0 || (nMask & 1)) {
                SetPos(m_iPosParent, iElem, 0);
                return 1;
            }
            iLast = iElem;
            sc.nNext = Rec(iElem).End();
            continue;
        }
        if (nMask == 0 || (nMask & nType)) {
            SetPos(m_iPosParent, iLast, 0);
            m_nNodeType = nType;
            m_nNodeOffset = tok.nStart;
            m_nNodeLength = tok.nLength;
            return nType;
        }
    }
}

bool CXmlDocument::SavePosition(std::u16string_view strName) {
    if (strName.empty()) return false;
    SavedPosition entry;
    entry.strName.assign(strName.data(), strName.size());
    if (m_iPosChild != 0) {
        entry.nIndex = m_iPosChild;
        entry.nFlags = 2;
    } else if (m_iPos != 0) {
        entry.nIndex = m_iPos;
        entry.nFlags = 1;
    } else {
        entry.nIndex = m_iPosParent;
    }
    entry.nFlags |= 4;
    if (!m_pSaved) m_pSaved = std::make_unique<std::array<std::vector<SavedPosition>, 7>>();
    unsigned nSum = 0;
    for (char16_t ch : strName) nSum += ch;
    std::vector<SavedPosition>& bucket = (*m_pSaved)[nSum % 7];
    if (bucket.empty()) {
        bucket.resize(2);
        bucket.back().nFlags = 8;
    }
    size_t nSlot = 0;
    for (;; ++nSlot) {
        SavedPosition& slot = bucket[nSlot];
        if (!(slot.nFlags & 4) || slot.strName == entry.strName) break;
        if (slot.nFlags & 8) {
            // The last slot is taken by another name: the array grows first.
            bucket.resize(nSlot * 2 + 12);
            bucket[nSlot].nFlags &= ~8u;
            bucket.back().nFlags = 8;
            ++nSlot;
            break;
        }
    }
    const uint32_t nLastFlag = bucket[nSlot].nFlags & 8;
    bucket[nSlot] = std::move(entry);
    bucket[nSlot].nFlags |= nLastFlag;
    return true;
}

bool CXmlDocument::RestorePosition(std::u16string_view strName) {
    if (strName.empty() || !m_pSaved) return false;
    unsigned nSum = 0;
    for (char16_t ch : strName) nSum += ch;
    for (const SavedPosition& slot : (*m_pSaved)[nSum % 7]) {
        if (!(slot.nFlags & 4)) break;
        if (slot.strName == strName) {
            const int32_t i = slot.nIndex;
            if (slot.nFlags & 2) {
                const int32_t iParent = Rec(i).nParent;
                SetPos(Rec(iParent).nParent, iParent, i);
            } else if (slot.nFlags & 1) {
                SetPos(Rec(i).nParent, i, 0);
            } else {
                SetPos(i, 0, 0);
            }
            return true;
        }
        if (slot.nFlags & 8) break;
    }
    return false;
}

void CXmlDocument::DropReleasedPositions() {
    if (!m_pSaved) return;
    for (std::vector<SavedPosition>& bucket : *m_pSaved) {
        size_t nKeep = 0;
        for (size_t i = 0; i < bucket.size(); ++i) {
            if (!(bucket[i].nFlags & 4)) continue;
            const int32_t n = bucket[i].nIndex;
            if (n != 0 && (Rec(n).nLevelFlags & ElementRecord::kReleased)) continue;
            if (nKeep != i) bucket[nKeep] = std::move(bucket[i]);
            bucket[nKeep].nFlags &= ~8u;
            ++nKeep;
        }
        for (size_t i = nKeep; i < bucket.size(); ++i) bucket[i] = SavedPosition{};
        if (!bucket.empty()) bucket.back().nFlags |= 8;
    }
}

std::u16string CXmlDocument::GetElementPath(int32_t iElem) const {
    return GetElementPath(iElem, {});
}

// Ordinal of iElem among the earlier siblings of the same name, by a walk over them.
int32_t CXmlDocument::SiblingOrdinal(int32_t iElem) const {
    const std::u16string_view strName = ReadName(Rec(iElem).nStart + 1);
    TagScanner sc;
    sc.pText = m_strDoc.c_str();
    sc.nFlags = m_nDocFlags;
    int32_t nOrdinal = 1;
    for (int32_t j = Rec(Rec(iElem).nParent).nFirstChild; j != 0 && j != iElem; j = Rec(j).nNext) {
        const std::u16string_view strOther = ReadName(Rec(j).nStart + 1);
        if (strOther.empty()) continue;
        sc.nNameStart = static_cast<int32_t>(strOther.data() - sc.pText);
        sc.nNameEnd = sc.nNameStart + static_cast<int32_t>(strOther.size()) - 1;
        if (strOther.size() == strName.size() && MatchName(sc, strName)) ++nOrdinal;
    }
    return nOrdinal;
}

std::u16string CXmlDocument::GetElementPath(int32_t iElem,
                                            const std::vector<int32_t>& vecOrdinals) const {
    if (!ValidElement(iElem)) return {};
    std::vector<std::u16string> vecLevels;
    for (int32_t i = iElem; i != 0; i = Rec(i).nParent) {
        const std::u16string_view strName = ReadName(Rec(i).nStart + 1);
        const int32_t nOrdinal = static_cast<size_t>(i) < vecOrdinals.size() && vecOrdinals[i] > 0
                                     ? vecOrdinals[i]
                                     : SiblingOrdinal(i);
        std::u16string strLevel = u"/";
        strLevel += strName;
        if (nOrdinal != 1) {
            strLevel += u"[";
            strLevel += IntText(nOrdinal);
            strLevel += u"]";
        }
        vecLevels.push_back(std::move(strLevel));
    }
    std::u16string strPath;
    for (auto it = vecLevels.rbegin(); it != vecLevels.rend(); ++it) strPath += *it;
    return strPath;
}

// Each parent's children are walked once, with a count per name: the n-th child of a name gets n.
// A record that no walk reaches (a link left broken) keeps 0 and is counted on its own.
std::vector<int32_t> CXmlDocument::GetSiblingOrdinals() const {
    std::vector<int32_t> vecOrdinals(static_cast<size_t>(std::max(m_iNextFree, 0)), 0);
    std::unordered_map<std::u16string, int32_t> mapCounts;
    std::u16string strKey;
    for (int32_t iParent = 0; iParent < m_iNextFree; ++iParent) {
        if (iParent != 0 && !ValidElement(iParent)) continue;
        const int32_t iFirst = Rec(iParent).nFirstChild;
        if (iFirst == 0) continue;
        mapCounts.clear();
        int32_t nSteps = 0;
        for (int32_t j = iFirst; j != 0 && nSteps < m_iNextFree; j = Rec(j).nNext, ++nSteps) {
            const std::u16string_view strName = ReadName(Rec(j).nStart + 1);
            int32_t nOrdinal = 1;
            if (!strName.empty()) {
                strKey.assign(strName);
                if (m_nDocFlags & IgnoreNameCase) {
                    for (char16_t& ch : strKey) ch = FoldCase(ch);
                }
                nOrdinal = ++mapCounts[strKey];
            }
            if (Rec(j).nParent == iParent && vecOrdinals[j] == 0) vecOrdinals[j] = nOrdinal;
        }
    }
    return vecOrdinals;
}

// ---------------------------------------------------------------------------------------------
// Reading

std::u16string CXmlDocument::GetElementName() const {
    if (NodeSelected()) {
        switch (m_nNodeType) {
            case NodeText:
            case NodeBlanks:
                return u"#text";
            case NodeCData:
                return u"#cdata-section";
            case NodeComment:
                return u"#comment";
            case NodeProcessingInstruction:
            case NodeDeclaration:
            case NodeLoneEndTag:
                return std::u16string(ReadName(m_nNodeOffset + 2));
            default:
                return {};
        }
    }
    if (!ValidElement(m_iPos)) return {};
    return std::u16string(ReadName(Rec(m_iPos).nStart + 1));
}

std::u16string CXmlDocument::GetTagName(int32_t iElem) const {
    if (iElem <= 0 || iElem >= m_iNextFree) return {};
    return std::u16string(ReadName(Rec(iElem).nStart + 1));
}

struct CXmlDocument::AttrHit {
    bool bHasValue = false;
    int32_t nNameStart = 0;
    int32_t nNameEnd = 0;     // exclusive
    int32_t nValueStart = 0;  // value token without its quotes
    int32_t nValueEnd = 0;
    int32_t nValueTokenStart = 0;  // with its quotes
    int32_t nValueTokenEnd = 0;
    int32_t nListEnd = -1;  // offset of the '>', '/' or '?' that ended the list; -1 at the text end
};

// Walks the attribute list that starts after the tag name at nFrom. Finds the attribute by name
// (strName not empty) or by its 0-based number. The list end is reported either way.
bool CXmlDocument::FindAttribute(int32_t nFrom, int32_t nLimit, std::u16string_view strName,
                                 int nIndex, AttrHit& hit) const {
    TagScanner sc;
    sc.pText = m_strDoc.c_str();
    sc.nFlags = m_nDocFlags;
    sc.nNext = nFrom;
    const char16_t* p = sc.pText;
    bool bFirst = true;
    bool bExpectValue = false;
    bool bPending = false;  // the last name matched, its value may follow
    bool bFound = false;
    int nCount = 0;
    for (;;) {
        int32_t n = sc.nNext;
        while (n < nLimit && IsBlank(p[n])) ++n;
        if (n >= nLimit) {
            // The tag's own end: a quote of the reader never runs past what the scanner took.
            hit.nListEnd = nLimit;
            return bPending || bFound;
        }
        sc.nFlags &= ~TagScanner::kQuoted;
        int32_t nStart = n;
        int32_t nEnd;
        int32_t nTokStart = n;
        int32_t nTokEnd;
        if (p[n] == '"' || p[n] == '\'') {
            const char16_t chQuote = p[n];
            nStart = n + 1;
            nEnd = nStart;
            for (;;) {  // a value runs to its quote or the end of the list
                nEnd = SkipTo(p, nEnd, nLimit, chQuote, chQuote);
                if (nEnd >= nLimit) {
                    nEnd = nLimit;
                    break;
                }
                if (p[nEnd] == chQuote) break;
                ++nEnd;  // a zero character: not an end here
            }
            nTokEnd = p[nEnd] == chQuote ? nEnd + 1 : nEnd;
            sc.nFlags |= TagScanner::kQuoted;
        } else {
            auto Stop = [bExpectValue](char16_t ch) {
                if (ch == 0 || IsBlank(ch) || ch == '>') return true;
                return !bExpectValue && (ch == '=' || ch == '/' || ch == '?');
            };
            nEnd = n + 1;
            if (!Stop(p[n])) {
                while (nEnd < nLimit && !Stop(p[nEnd])) ++nEnd;
            }
            nTokEnd = nEnd;
        }
        sc.nNext = nTokEnd;
        sc.nValueStart = nStart;
        sc.nValueEnd = nEnd;
        const bool bQuoted = (sc.nFlags & TagScanner::kQuoted) != 0;
        const bool bSingle = !bQuoted && nEnd == nStart + 1;
        if (bFirst) {
            bFirst = false;
            continue;
        }
        if (bSingle &&
            (p[nStart] == '>' || (!bExpectValue && (p[nStart] == '/' || p[nStart] == '?')))) {
            hit.nListEnd = nStart;
            return bPending || bFound;
        }
        if (bSingle && p[nStart] == '=' && !bExpectValue) {
            bExpectValue = true;
            continue;
        }
        if (bExpectValue) {
            bExpectValue = false;
            if (bPending) {
                hit.bHasValue = true;
                hit.nValueStart = nStart;
                hit.nValueEnd = nEnd;
                hit.nValueTokenStart = nTokStart;
                hit.nValueTokenEnd = nTokEnd;
                bPending = false;
                bFound = true;
            }
            continue;
        }
        if (bQuoted) {
            if (bPending) {
                bPending = false;
                bFound = true;
            }
            continue;
        }
        // An attribute name.
        if (bPending) {
            bPending = false;
            bFound = true;
        }
        if (!bFound) {
            bool bMatch;
            if (!strName.empty()) {
                sc.nNameStart = nStart;
                sc.nNameEnd = nEnd - 1;
                bMatch = MatchName(sc, strName);
            } else {
                bMatch = nCount == nIndex;
            }
            ++nCount;
            if (bMatch) {
                bPending = true;
                hit.nNameStart = nStart;
                hit.nNameEnd = nEnd;
                hit.nValueStart = nStart;
                hit.nValueEnd = nEnd;
            }
        }
    }
}

// The attribute list of the main element's start tag (up to its '>'), or of the selected
// processing instruction (up to the '?' of its "?>").
bool CXmlDocument::AttributeRange(int32_t& nFrom, int32_t& nLimit) const {
    if (NodeSelected()) {
        if (m_nNodeType != NodeProcessingInstruction || m_nNodeLength < 4) return false;
        nFrom = m_nNodeOffset + 2;
        nLimit = m_nNodeOffset + m_nNodeLength - 2;
        return true;
    }
    if (!ValidElement(m_iPos)) return false;
    const ElementRecord& rec = Rec(m_iPos);
    nFrom = rec.nStart + 1;
    nLimit = rec.nStart + rec.StartTagLength() - 1;
    // In an empty element the "/>" belongs to the tag whatever the unquoted value before it
    // looks like (<a p=x'/>): the scanner decided so, and an edit must keep it.
    if (rec.IsEmpty() && !(rec.nLevelFlags & ElementRecord::kNotEnded) && nLimit > nFrom) --nLimit;
    return true;
}

std::u16string CXmlDocument::GetAttribute(std::u16string_view strName) const {
    if (strName.empty()) return {};
    int32_t nFrom;
    int32_t nLimit;
    if (!AttributeRange(nFrom, nLimit)) return {};
    AttrHit hit;
    if (!FindAttribute(nFrom, nLimit, strName, -1, hit)) return {};
    return UnescapeText(m_strDoc.data() + hit.nValueStart, hit.nValueEnd - hit.nValueStart);
}

std::u16string CXmlDocument::GetAttributeName(int nIndex) const {
    if (nIndex < 0) return {};
    int32_t nFrom;
    int32_t nLimit;
    if (!AttributeRange(nFrom, nLimit)) return {};
    AttrHit hit;
    if (!FindAttribute(nFrom, nLimit, {}, nIndex, hit)) return {};
    return m_strDoc.substr(hit.nNameStart, hit.nNameEnd - hit.nNameStart);
}

std::u16string CXmlDocument::GetText(int32_t iElem) const {
    const char16_t* p = m_strDoc.data();
    auto Inner = [&](int32_t nOff, int32_t nLen) {
        if (nLen <= 0) return std::u16string();
        return std::u16string(p + nOff, nLen);
    };
    if (NodeSelected() && iElem == m_iPos) {
        const int32_t nOff = m_nNodeOffset;
        const int32_t nLen = m_nNodeLength;
        switch (m_nNodeType) {
            case NodeComment:
                return Inner(nOff + 4, nLen - 7);
            case NodeProcessingInstruction:
                return Inner(nOff + 2, nLen - 4);
            case NodeCData:
                return Inner(nOff + 9, nLen - 12);
            case NodeLoneEndTag:
                return Inner(nOff + 2, nLen - 3);
            case NodeText:
            case NodeBlanks:
                return UnescapeText(p + nOff, nLen);
            default:
                return Inner(nOff, nLen);
        }
    }
    if (!ValidElement(iElem)) return {};
    const ElementRecord& rec = Rec(iElem);
    if (rec.nFirstChild != 0 || rec.IsEmpty()) return {};
    const int32_t nStart = rec.ContentStart();
    const int32_t nLen = rec.ContentLength();
    if (nLen <= 0) return {};
    if (std::u16string_view(p + nStart, nLen).find(u'<') == std::u16string_view::npos) {
        return UnescapeText(p + nStart, nLen);
    }
    std::u16string strOut;
    TagScanner sc;
    sc.pText = m_strDoc.c_str();
    sc.nFlags = m_nDocFlags;
    sc.nNext = nStart;
    NodeToken tok;
    while (sc.nNext < nStart + nLen) {
        const int nType = ScanNode(sc, tok);
        if (nType == ScanEnd) break;
        const int32_t nTokLen = std::min(tok.nLength, nStart + nLen - tok.nStart);
        if (nType == NodeText || nType == NodeBlanks) {
            strOut += UnescapeText(p + tok.nStart, nTokLen);
        } else if (nType == NodeCData) {
            strOut += Inner(tok.nStart + 9, nTokLen - 12);
        }
    }
    return strOut;
}

// ---------------------------------------------------------------------------------------------
// Escaping

std::u16string CXmlDocument::EscapeText(std::u16string_view strText, uint32_t nFlags) {
    const bool bQuotes = (nFlags & TextEscapeQuotes) != 0;
    const bool bKeep = (nFlags & TextKeepReferences) != 0;
    std::u16string strOut;
    strOut.reserve(strText.size() + strText.size() / 10 + 7);
    const size_t nSize = strText.size();
    for (size_t i = 0; i < nSize; ++i) {
        const char16_t ch = strText[i];
        const bool bSpecial =
            ch == '<' || ch == '&' || ch == '>' || (bQuotes && (ch == '\'' || ch == '"'));
        if (!bSpecial) {
            strOut += ch;
            continue;
        }
        if (ch == '&' && bKeep && i + 1 < nSize) {
            const char16_t c1 = strText[i + 1];
            auto Letter = [](char16_t c) {
                return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            };
            if (Letter(c1) || c1 == '#' || c1 == '_' || c1 == ':' || c1 >= 128) {
                size_t j = i + 2;
                while (j < nSize) {
                    const char16_t c = strText[j];
                    if (Letter(c) || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == ':' ||
                        c == '_' || c >= 128) {
                        ++j;
                    } else {
                        break;
                    }
                }
                if (j < nSize && strText[j] == ';') {
                    strOut.append(strText.data() + i, j + 1 - i);
                    i = j;
                    continue;
                }
            }
        }
        for (const Entity& e : kEntities) {
            if (e.ch == ch) {
                strOut += u'&';
                strOut += e.pszName;
                break;
            }
        }
    }
    return strOut;
}

std::u16string CXmlDocument::UnescapeText(const char16_t* pText, int nLength) {
    if (pText == nullptr) return {};
    size_t nSize;
    if (nLength < 0) {
        nSize = 0;
        while (pText[nSize] != 0) ++nSize;
    } else {
        nSize = static_cast<size_t>(nLength);
    }
    std::u16string strOut;
    strOut.reserve(nSize);
    for (size_t i = 0; i < nSize; ++i) {
        // The text up to the next '&' goes over in one piece.
        const std::u16string_view strRest(pText + i, nSize - i);
        const size_t nAmp = strRest.find(u'&');
        if (nAmp == std::u16string_view::npos) {
            strOut += strRest;
            break;
        }
        strOut.append(pText + i, nAmp);
        i += nAmp;
        const char16_t ch = pText[i];
        if (i + 1 < nSize && pText[i + 1] == '#') {
            size_t nDigits = i + 2;
            int nBase = 10;
            if (nDigits < nSize && (pText[nDigits] == 'x')) {
                nBase = 16;
                ++nDigits;
            }
            size_t nSemi = nDigits;
            while (nSemi < nSize && nSemi < nDigits + 7 && pText[nSemi] != ';') ++nSemi;
            if (nSemi < nSize && nSemi < nDigits + 7 && pText[nSemi] == ';') {
                unsigned long nValue = 0;
                for (size_t k = nDigits; k < nSemi; ++k) {
                    const char16_t c = pText[k];
                    int nDigit;
                    if (c >= '0' && c <= '9') {
                        nDigit = c - '0';
                    } else if (nBase == 16 && c >= 'a' && c <= 'f') {
                        nDigit = c - 'a' + 10;
                    } else if (nBase == 16 && c >= 'A' && c <= 'F') {
                        nDigit = c - 'A' + 10;
                    } else {
                        break;
                    }
                    nValue = nValue * nBase + nDigit;
                }
                if (nValue != 0) {
                    strOut += static_cast<char16_t>(nValue & 0xFFFF);
                    i = nSemi;
                    continue;
                }
            }
            strOut += ch;
            continue;
        }
        bool bDone = false;
        for (const Entity& e : kEntities) {
            if (i + 1 + e.nLen <= nSize &&
                std::u16string_view(pText + i + 1, e.nLen) == std::u16string_view(e.pszName)) {
                strOut += e.ch;
                i += e.nLen;
                bDone = true;
                break;
            }
        }
        if (!bDone) strOut += ch;
    }
    return strOut;
}

std::u16string CXmlDocument::GetDeclaredEncoding(std::u16string_view strText) {
    const size_t nLt = strText.find(u'<');
    if (nLt == std::u16string_view::npos || nLt + 1 >= strText.size() || strText[nLt + 1] != '?') {
        return {};
    }
    const size_t nEnd = strText.find(u"?>", nLt + 2);
    if (nEnd == std::u16string_view::npos) return {};
    CXmlDocument decl(strText.substr(nLt, nEnd + 2 - nLt));
    if (decl.FindNode(NodeProcessingInstruction) != NodeProcessingInstruction) return {};
    return decl.GetAttribute(u"encoding");
}

// ---------------------------------------------------------------------------------------------
// Editing

std::u16string CXmlDocument::MakeCData(std::u16string_view strText) {
    std::u16string strOut = u"<![CDATA[";
    size_t nFrom = 0;
    for (;;) {
        const size_t nAt = strText.find(u"]]>", nFrom);
        if (nAt == std::u16string_view::npos) break;
        strOut.append(strText.data() + nFrom, nAt - nFrom);
        strOut += u"]]]]><![CDATA[>";
        nFrom = nAt + 3;
    }
    strOut.append(strText.data() + nFrom, strText.size() - nFrom);
    strOut += u"]]>";
    return strOut;
}

bool CXmlDocument::MakeNode(int nType, std::u16string_view strText, std::u16string& strOut) {
    switch (nType) {
        case NodeElement:
            strOut = u"<";
            strOut += strText;
            strOut += u"/>";
            return true;
        case NodeText:
        case NodeBlanks:
            strOut = EscapeText(strText);
            return true;
        case NodeCData:
            if (strText.find(u"]]>") != std::u16string_view::npos) return false;
            strOut = u"<![CDATA[";
            strOut += strText;
            strOut += u"]]>";
            return true;
        case NodeProcessingInstruction:
            strOut = u"<?";
            strOut += strText;
            strOut += u"?>";
            return true;
        case NodeComment:
            strOut = u"<!--";
            strOut += strText;
            strOut += u"-->";
            return true;
        case NodeDeclaration:
            strOut.assign(strText.data(), strText.size());
            return true;
        default:
            return false;
    }
}

void CXmlDocument::ReplaceText(int32_t nOffset, int32_t nRemove, std::u16string_view strNew) {
    const size_t nNewSize = m_strDoc.size() - nRemove + strNew.size();
    if (nNewSize > m_strDoc.capacity()) m_strDoc.reserve(nNewSize + nNewSize / 2 + 128);
    m_strDoc.replace(nOffset, nRemove, strNew.data(), strNew.size());
}

// Shifts the starts of iFirstShifted, its later siblings and all their descendants, then
// lengthens every enclosing element from iParent up to the document, shifting at each level the
// siblings that follow.
void CXmlDocument::AdjustOffsets(int32_t iParent, int32_t iFirstShifted, int32_t nDiff) {
    if (nDiff == 0) return;
    auto ShiftFrom = [this, nDiff](int32_t iStart) {
        for (int32_t iTop = iStart; iTop != 0; iTop = Rec(iTop).nNext) {
            int32_t i = iTop;
            for (;;) {
                Rec(i).nStart += nDiff;
                if (Rec(i).nFirstChild != 0) {
                    i = Rec(i).nFirstChild;
                    continue;
                }
                while (i != iTop && Rec(i).nNext == 0) i = Rec(i).nParent;
                if (i == iTop) break;
                i = Rec(i).nNext;
            }
        }
    };
    ShiftFrom(iFirstShifted);
    int32_t i = iParent;
    for (;;) {
        Rec(i).nLength += nDiff;
        if (i == 0) break;
        ShiftFrom(Rec(i).nNext);
        i = Rec(i).nParent;
    }
}

int32_t CXmlDocument::FirstChildFrom(int32_t iParent, int32_t nOffset) const {
    const int32_t iFirst = Rec(iParent).nFirstChild;
    if (iFirst == 0) return 0;
    int32_t iResult = 0;
    int32_t i = Rec(iFirst).nPrev;  // the last child
    for (;;) {
        if (Rec(i).nStart < nOffset) break;
        iResult = i;
        if (i == iFirst) break;
        i = Rec(i).nPrev;
    }
    return iResult;
}

int32_t CXmlDocument::LastChildBefore(int32_t iParent, int32_t nOffset) const {
    const int32_t iFirst = Rec(iParent).nFirstChild;
    if (iFirst == 0) return 0;
    int32_t i = Rec(iFirst).nPrev;
    for (;;) {
        if (Rec(i).nStart < nOffset) return i;
        if (i == iFirst) return 0;
        i = Rec(i).nPrev;
    }
}

// Links iNew under iParent after iPrev (0 = as the first child).
void CXmlDocument::LinkAfter(int32_t iParent, int32_t iPrev, int32_t iNew) {
    ElementRecord& parent = Rec(iParent);
    ElementRecord& rec = Rec(iNew);
    rec.nParent = iParent;
    rec.nLevelFlags &= ~ElementRecord::kFirstChild;
    if (parent.nFirstChild == 0) {
        parent.nFirstChild = iNew;
        rec.nPrev = iNew;
        rec.nNext = 0;
        rec.nLevelFlags |= ElementRecord::kFirstChild;
        return;
    }
    const int32_t iFirst = parent.nFirstChild;
    if (iPrev == 0) {
        ElementRecord& first = Rec(iFirst);
        rec.nPrev = first.nPrev;
        rec.nNext = iFirst;
        first.nPrev = iNew;
        first.nLevelFlags &= ~ElementRecord::kFirstChild;
        rec.nLevelFlags |= ElementRecord::kFirstChild;
        parent.nFirstChild = iNew;
        return;
    }
    ElementRecord& prev = Rec(iPrev);
    rec.nPrev = iPrev;
    rec.nNext = prev.nNext;
    if (prev.nNext != 0) {
        Rec(prev.nNext).nPrev = iNew;
    } else {
        Rec(iFirst).nPrev = iNew;
    }
    prev.nNext = iNew;
}

void CXmlDocument::Unlink(int32_t iElem) {
    ElementRecord& rec = Rec(iElem);
    ElementRecord& parent = Rec(rec.nParent);
    const int32_t iFirst = parent.nFirstChild;
    if (!(rec.nLevelFlags & ElementRecord::kFirstChild)) {
        Rec(rec.nPrev).nNext = rec.nNext;
        if (rec.nNext != 0) {
            Rec(rec.nNext).nPrev = rec.nPrev;
        } else {
            Rec(iFirst).nPrev = rec.nPrev;
        }
    } else if (rec.nNext != 0) {
        ElementRecord& next = Rec(rec.nNext);
        next.nPrev = rec.nPrev;  // the back link to the last child
        next.nLevelFlags |= ElementRecord::kFirstChild;
        parent.nFirstChild = rec.nNext;
    } else {
        parent.nFirstChild = 0;
    }
}

void CXmlDocument::ReleaseTree(int32_t iElem) {
    std::vector<int32_t> vecAll;
    vecAll.push_back(iElem);
    for (size_t k = 0; k < vecAll.size(); ++k) {
        for (int32_t c = Rec(vecAll[k]).nFirstChild; c != 0; c = Rec(c).nNext) vecAll.push_back(c);
    }
    for (int32_t i : vecAll) {
        ElementRecord& rec = Rec(i);
        rec.nLevelFlags |= ElementRecord::kReleased;
        rec.nNext = m_iReleased;
        m_iReleased = i;
    }
    DropReleasedPositions();
}

// Where an addition goes: under the parent relative to main (or the selected node), or with
// InsertAsChild under main relative to the child position.
bool CXmlDocument::PlaceFor(uint32_t nFlags, int32_t& iParent, int32_t& iRel, bool& bNode) const {
    if (nFlags & InsertAsChild) {
        if (m_iPos == 0 || m_nNodeType != 1) return false;
        iParent = m_iPos;
        iRel = m_iPosChild;
        bNode = false;
    } else {
        iParent = m_iPosParent;
        iRel = m_iPos;
        bNode = NodeSelected();
    }
    return true;
}

bool CXmlDocument::InsertText(int32_t iParent, int32_t iRel, bool bAfterNode, std::u16string strNew,
                              uint32_t nFlags, int32_t& nNewStart) {
    if (m_iNextFree < 1) return false;
    const char16_t* p = m_strDoc.c_str();
    const int32_t nDocLen = static_cast<int32_t>(m_strDoc.size());
    ElementRecord& parent = Rec(iParent);
    const bool bNotEnded = iParent != 0 && (parent.nLevelFlags & ElementRecord::kNotEnded);
    const bool bEmptyElem = iParent != 0 && !bNotEnded && parent.IsEmpty();
    const int32_t nContentStart = parent.ContentStart();
    const int32_t nContentEnd =
        iParent == 0 ? parent.nLength : parent.End() - parent.EndTagLength();
    const bool bBefore = (nFlags & InsertBefore) != 0;
    const bool bReplace = (nFlags & InsertReplaceContent) != 0;
    const bool bNoBreak = (nFlags & TextNoLineBreak) != 0;

    int32_t nOffset;
    int32_t nRemove = 0;
    if (bReplace) {
        nOffset = nContentStart;
        nRemove = std::max(0, nContentEnd - nContentStart);
        while (parent.nFirstChild != 0) {
            const int32_t iChild = parent.nFirstChild;
            Unlink(iChild);
            ReleaseTree(iChild);
        }
        if (bEmptyElem || bNotEnded) nRemove = 0;
    } else if (bAfterNode) {
        nOffset = bBefore ? m_nNodeOffset : m_nNodeOffset + m_nNodeLength;
    } else if (iRel != 0) {
        nOffset = bBefore ? Rec(iRel).nStart : Rec(iRel).End();
    } else {
        nOffset = bBefore ? nContentStart : nContentEnd;
    }
    if (nOffset < 0 || nOffset > nDocLen) return false;
    if (!bNoBreak && !bReplace && !bEmptyElem && !bNotEnded) {
        int32_t n = nOffset;
        while (n < nDocLen && IsBlank(p[n])) ++n;
        if (n > nOffset && (n == nDocLen || p[n] == '<')) nOffset = n;
    }
    int32_t nPrefix = 0;
    if (!bNoBreak) {
        strNew += u"\r\n";
        const bool bNoContent = nContentEnd <= nContentStart;
        if (bNoContent && !bReplace && !bEmptyElem && !bNotEnded &&
            !(iParent == 0 && nDocLen == 0)) {
            strNew.insert(0, u"\r\n");
            nPrefix = 2;
        }
    }
    if (bEmptyElem || bNotEnded) {
        const std::u16string_view strName = ReadName(parent.nStart + 1);
        std::u16string strOpen = bNoBreak ? u">" : u">\r\n";
        nPrefix = static_cast<int32_t>(strOpen.size());
        strOpen += strNew;
        strOpen += u"</";
        strOpen += strName;
        strNew.swap(strOpen);
        const int32_t nStartTag = parent.StartTagLength();
        if (bNotEnded) {
            nOffset = parent.nStart + nStartTag - 1;
            nRemove = 0;
            parent.nLevelFlags &= ~ElementRecord::kNotEnded;
            parent.SetTagSizes(nStartTag, static_cast<int32_t>(strName.size()) + 3);
        } else {
            if (nStartTag < 2 || p[parent.nStart + nStartTag - 2] != '/') return false;
            nOffset = parent.nStart + nStartTag - 2;
            nRemove = 1;
            parent.SetTagSizes(nStartTag - 1, static_cast<int32_t>(strName.size()) + 3);
        }
    }
    nNewStart = nOffset + nPrefix;
    const int32_t iShift = FirstChildFrom(iParent, nOffset + nRemove);
    const int32_t nDiff = static_cast<int32_t>(strNew.size()) - nRemove;
    ReplaceText(nOffset, nRemove, strNew);
    AdjustOffsets(iParent, iShift, nDiff);
    return true;
}

bool CXmlDocument::AddElement(std::u16string_view strName, std::u16string_view strValue,
                              uint32_t nFlags) {
    if (strName.empty()) return false;
    const bool bValue = !strValue.empty();
    if (bValue && (nFlags & TextNoEndTag)) return false;
    int32_t iParent, iRel;
    bool bNode;
    if (!PlaceFor(nFlags, iParent, iRel, bNode)) return false;
    const int32_t iMain = m_iPos;
    std::u16string strNew = u"<";
    strNew += strName;
    int32_t nStartTag;
    int32_t nEndTag = 0;
    int32_t nLength;
    if (!bValue) {
        strNew += (nFlags & TextNoEndTag) ? u">" : (nFlags & TextSpaceBeforeSlash) ? u" />" : u"/>";
        nStartTag = nLength = static_cast<int32_t>(strNew.size());
    } else {
        strNew += u">";
        strNew += (nFlags & TextAsCData) ? MakeCData(strValue) : EscapeText(strValue, nFlags);
        strNew += u"</";
        strNew += strName;
        strNew += u">";
        nStartTag = static_cast<int32_t>(strName.size()) + 2;
        nEndTag = static_cast<int32_t>(strName.size()) + 3;
        nLength = static_cast<int32_t>(strNew.size());
    }
    int32_t nStart;
    if (!InsertText(iParent, iRel, bNode, std::move(strNew), nFlags, nStart)) return false;
    const int32_t iPrev = LastChildBefore(iParent, nStart);
    const int32_t iNew = NewRecord();
    ElementRecord& rec = Rec(iNew);
    rec = ElementRecord{};
    rec.nStart = nStart;
    rec.nLength = nLength;
    rec.SetTagSizes(nStartTag, nEndTag);
    const int32_t nLevel = iParent == 0 ? 0 : Rec(iParent).Level() + 1;
    rec.nLevelFlags = (static_cast<uint32_t>(nLevel) & 0xFFFF) |
                      ((nFlags & TextNoEndTag) ? ElementRecord::kNotEnded : 0);
    LinkAfter(iParent, iPrev, iNew);
    if (nFlags & InsertAsChild) {
        SetPos(m_iPosParent, iMain, iNew);
    } else {
        SetPos(iParent, iNew, 0);
    }
    return true;
}

bool CXmlDocument::AddNode(int nType, std::u16string_view strText, uint32_t nFlags) {
    if (nType == NodeElement) return AddElement(strText, {}, nFlags & ~TextNoEndTag);
    std::u16string strNew;
    if (!MakeNode(nType, strText, strNew)) return false;
    int32_t iParent, iRel;
    bool bNode;
    if (!PlaceFor(nFlags, iParent, iRel, bNode)) return false;
    const int32_t nLen = static_cast<int32_t>(strNew.size());
    int32_t nStart;
    if (!InsertText(iParent, iRel, bNode, std::move(strNew), nFlags | TextNoLineBreak, nStart)) {
        return false;
    }
    const int32_t iBefore = LastChildBefore(iParent, nStart);
    if (nFlags & InsertAsChild) {
        // The node lies under main: it becomes the parent of the selection.
        SetPos(m_iPos, iBefore, 0);
    } else {
        SetPos(iParent, iBefore, 0);
    }
    m_nNodeType = nType;
    m_nNodeOffset = nStart;
    m_nNodeLength = nLen;
    return true;
}

bool CXmlDocument::AddSubDocument(std::u16string_view strText, uint32_t nFlags) {
    int32_t iParent, iRel;
    bool bNode;
    if (!PlaceFor(nFlags, iParent, iRel, bNode)) return false;
    const int32_t iMain = m_iPos;
    std::u16string strFragment(strText);
    const int32_t iTemp = NewRecord();
    Rec(iTemp) = ElementRecord{};
    const int32_t nLevel = iParent == 0 ? 0 : Rec(iParent).Level() + 1;
    Rec(iTemp).nLevelFlags = static_cast<uint32_t>(nLevel) & 0xFFFF;
    // The fragment's parse must not disturb the document's result text.
    std::u16string strKeep;
    strKeep.swap(m_strResult);
    TagScanner sc;
    sc.pText = strFragment.c_str();
    sc.nFlags = m_nDocFlags;
    const int32_t iFirst = strFragment.empty() ? 0 : ParseElements(iTemp, sc);
    m_strResult.swap(strKeep);
    ElementRecord& temp = Rec(iTemp);
    const bool bWellFormed = iFirst != 0 && !(temp.nLevelFlags & ElementRecord::kIllFormed);
    if (temp.nLevelFlags & ElementRecord::kHoldsError) {
        Rec(iParent).nLevelFlags |= ElementRecord::kHoldsError;
    }
    bool bResult = bWellFormed;
    int32_t nFragStart = 0;
    std::u16string strInsert;
    uint32_t nInsertFlags = nFlags;
    if (bWellFormed) {
        const int32_t iLastTop = Rec(temp.nFirstChild).nPrev;
        nFragStart = Rec(iFirst).nStart;
        strInsert = strFragment.substr(nFragStart, Rec(iLastTop).End() - nFragStart);
        if (Rec(iFirst).nNext != 0) bResult = false;
    } else {
        strInsert = strFragment;
        nInsertFlags |= TextNoLineBreak;
    }
    const int32_t iFirstTop = Rec(iTemp).nFirstChild;
    int32_t nStart;
    if (!InsertText(iParent, iRel, bNode, std::move(strInsert), nInsertFlags, nStart)) {
        // Nothing went in: the fragment's records are released with the temporary one.
        while (Rec(iTemp).nFirstChild != 0) {
            const int32_t iChild = Rec(iTemp).nFirstChild;
            Unlink(iChild);
            ReleaseTree(iChild);
        }
        ReleaseTree(iTemp);
        return false;
    }
    // Shift the fragment's records to where its text went.
    const int32_t nShift = nStart - nFragStart;
    for (int32_t i = iTemp + 1; i < m_iNextFree; ++i) Rec(i).nStart += nShift;
    int32_t iPrev = LastChildBefore(iParent, nStart);
    for (int32_t iTop = iFirstTop; iTop != 0;) {
        const int32_t iNext = Rec(iTop).nNext;
        LinkAfter(iParent, iPrev, iTop);
        iPrev = iTop;
        iTop = iNext;
    }
    Rec(iTemp).nFirstChild = 0;
    ReleaseTree(iTemp);
    if (iFirstTop == 0) {
        // No element came of it: the text went in as it was, and it is selected as a node.
        if (nFlags & InsertAsChild) {
            SetPos(m_iPosParent, iMain, 0);
        } else {
            SetPos(iParent, LastChildBefore(iParent, nStart), 0);
        }
        return false;
    }
    if (nFlags & InsertAsChild) {
        SetPos(m_iPosParent, iMain, iFirstTop);
    } else {
        SetPos(iParent, iFirstTop, 0);
    }
    return bResult;
}

bool CXmlDocument::RemoveRecord(int32_t iElem, bool bWithBlanks) {
    if (!ValidElement(iElem)) return false;
    const ElementRecord& rec = Rec(iElem);
    const int32_t iParent = rec.nParent;
    const int32_t nStart = rec.nStart;
    int32_t nEnd = rec.End();
    const int32_t nDocLen = static_cast<int32_t>(m_strDoc.size());
    int32_t n = nEnd;
    while (bWithBlanks && n < nDocLen && IsBlank(m_strDoc[n])) ++n;
    if (bWithBlanks && (n == nDocLen || m_strDoc[n] == '<')) nEnd = n;
    const int32_t iNext = rec.nNext;
    ReplaceText(nStart, nEnd - nStart, {});
    AdjustOffsets(iParent, iNext, nStart - nEnd);
    Unlink(iElem);
    ReleaseTree(iElem);
    return true;
}

bool CXmlDocument::ReplaceWithSubDocument(std::u16string_view strText) {
    if (m_nNodeType != 1 || !ValidElement(m_iPos)) return false;
    const int32_t iElem = m_iPos;
    const int32_t iParent = Rec(iElem).nParent;
    const int32_t nStart = Rec(iElem).nStart;
    const int32_t iPrev =
        (Rec(iElem).nLevelFlags & ElementRecord::kFirstChild) ? 0 : Rec(iElem).nPrev;
    if (!RemoveRecord(iElem, false)) return false;
    // An empty text node where the element was: the fragment goes right after it.
    SetPos(iParent, iPrev, 0);
    m_nNodeType = NodeText;
    m_nNodeOffset = nStart;
    m_nNodeLength = 0;
    return AddSubDocument(strText, TextNoLineBreak);
}

bool CXmlDocument::RemoveElement() {
    if (m_nNodeType != 1 || !ValidElement(m_iPos)) return false;
    const int32_t iElem = m_iPos;
    const int32_t iParent = Rec(iElem).nParent;
    const int32_t iPrev =
        (Rec(iElem).nLevelFlags & ElementRecord::kFirstChild) ? 0 : Rec(iElem).nPrev;
    if (!RemoveRecord(iElem)) return false;
    SetPos(iParent, iPrev, 0);
    return true;
}

bool CXmlDocument::RemoveChildElement() {
    if (!ValidElement(m_iPosChild)) return false;
    const int32_t iElem = m_iPosChild;
    const int32_t iPrev =
        (Rec(iElem).nLevelFlags & ElementRecord::kFirstChild) ? 0 : Rec(iElem).nPrev;
    if (!RemoveRecord(iElem)) return false;
    SetPos(m_iPosParent, m_iPos, iPrev);
    return true;
}

// A selected node may be changed only when it lies inside its parent's content and clear of
// every element: a node scanned from a broken document can run over an end tag.
bool CXmlDocument::NodeEditable() const {
    if (!NodeSelected() || m_nNodeLength <= 0) return false;
    const ElementRecord& parent = Rec(m_iPosParent);
    const int32_t nLow = m_iPosParent == 0 ? 0 : parent.ContentStart();
    const int32_t nHigh = m_iPosParent == 0 ? parent.nLength : parent.End() - parent.EndTagLength();
    const int32_t nEnd = m_nNodeOffset + m_nNodeLength;
    if (m_nNodeOffset < nLow || nEnd > nHigh) return false;
    const int32_t iAfter = FirstChildFrom(m_iPosParent, m_nNodeOffset);
    if (iAfter != 0 && Rec(iAfter).nStart < nEnd) return false;
    const int32_t iBefore = LastChildBefore(m_iPosParent, m_nNodeOffset);
    return iBefore == 0 || Rec(iBefore).End() <= m_nNodeOffset;
}

bool CXmlDocument::RemoveNode() {
    if (!NodeEditable()) return false;
    const int32_t nOffset = m_nNodeOffset;
    const int32_t nLen = m_nNodeLength;
    const int32_t iShift = FirstChildFrom(m_iPosParent, nOffset + nLen);
    ReplaceText(nOffset, nLen, {});
    AdjustOffsets(m_iPosParent, iShift, -nLen);
    SetPos(m_iPosParent, m_iPos, 0);
    return true;
}

bool CXmlDocument::SetAttribute(std::u16string_view strName, std::u16string_view strValue) {
    if (strName.empty()) return false;
    int32_t nFrom;
    int32_t nLimit;
    const bool bNode = NodeSelected();
    if (!AttributeRange(nFrom, nLimit)) return false;
    if (bNode && !NodeEditable()) return false;
    std::u16string strNew = u"\"";
    strNew += EscapeText(strValue, TextEscapeQuotes);
    strNew += u"\"";
    AttrHit hit;
    int32_t nOffset;
    int32_t nRemove;
    if (FindAttribute(nFrom, nLimit, strName, -1, hit)) {
        if (hit.bHasValue) {
            nOffset = hit.nValueTokenStart;
            nRemove = hit.nValueTokenEnd - hit.nValueTokenStart;
        } else {
            nOffset = hit.nNameEnd;
            nRemove = 0;
            strNew.insert(0, u"=");
        }
    } else {
        if (hit.nListEnd < 0) return false;
        nOffset = hit.nListEnd;
        nRemove = 0;
        std::u16string strAttr = u" ";
        strAttr += strName;
        strAttr += u"=";
        strAttr += strNew;
        strNew.swap(strAttr);
    }
    const int32_t nDiff = static_cast<int32_t>(strNew.size()) - nRemove;
    ReplaceText(nOffset, nRemove, strNew);
    if (bNode) {
        m_nNodeLength += nDiff;
        AdjustOffsets(m_iPosParent, FirstChildFrom(m_iPosParent, nOffset), nDiff);
    } else {
        ElementRecord& rec = Rec(m_iPos);
        rec.SetTagSizes(rec.StartTagLength() + nDiff, rec.EndTagLength());
        AdjustOffsets(m_iPos, rec.nFirstChild, nDiff);
    }
    return true;
}

bool CXmlDocument::SetText(int32_t iElem, std::u16string_view strText, uint32_t nFlags) {
    if (NodeSelected() && iElem == m_iPos) {
        std::u16string strNew;
        if (!NodeEditable() || !MakeNode(m_nNodeType, strText, strNew)) return false;
        const int32_t nOffset = m_nNodeOffset;
        const int32_t nRemove = m_nNodeLength;
        const int32_t nDiff = static_cast<int32_t>(strNew.size()) - nRemove;
        const int32_t iShift = FirstChildFrom(m_iPosParent, nOffset + nRemove);
        ReplaceText(nOffset, nRemove, strNew);
        AdjustOffsets(m_iPosParent, iShift, nDiff);
        m_nNodeLength = static_cast<int32_t>(strNew.size());
        return true;
    }
    if (!ValidElement(iElem)) return false;
    if (Rec(iElem).nFirstChild != 0) return false;
    std::u16string strNew =
        (nFlags & TextAsCData) ? MakeCData(strText) : EscapeText(strText, nFlags);
    int32_t nStart;
    if (!InsertText(iElem, 0, false, std::move(strNew), InsertReplaceContent | TextNoLineBreak,
                    nStart)) {
        return false;
    }
    Rec(iElem).nLevelFlags &= ~ElementRecord::kHoldsError;
    return true;
}

}  // namespace kt
