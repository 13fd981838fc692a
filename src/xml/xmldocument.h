// CXmlDocument: one XML document held as a single UTF-16 text plus an index of fixed-size element
// records that say where each element lies in that text. There is no node tree: names, attributes
// and content are always read back from the text through the record offsets, and edits change the
// text in place and shift the offsets of the records that follow.
//
// Offsets and lengths are in UTF-16 units from the start of the text. A zero character inside the
// text ends the document for the parser, as the terminating zero does.
//
// Choices this class makes where the design leaves room:
//  - The level field keeps 16 bits: deeper elements have their level modulo 65,536. Children that
//    move up out of an element closed implicitly keep the level they were parsed at.
//  - IgnoreNameCase folds ASCII letters only.
//  - Rejected "<!x", "<!-x" and "<![x" nodes run to the next '>', as a bad tag name does.
//  - Elements added under the document itself (record 0) get level 0, as the root has.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace kt {

// One element of the document (record 0 stands for the document itself).
struct ElementRecord {
    int32_t nStart;        // offset of the '<' of the start tag
    int32_t nLength;       // through the end tag; the start tag alone when empty or not ended
    uint32_t nTagSizes;    // bits 0-21 start-tag length, bits 22-31 end-tag length
    uint32_t nLevelFlags;  // bits 0-15 nesting level, plus the flags below
    int32_t nParent;
    int32_t nFirstChild;
    int32_t nNext;
    int32_t nPrev;  // for a first child: the last child of the parent

    static constexpr uint32_t kReleased = 0x20000;
    static constexpr uint32_t kFirstChild = 0x80000;
    static constexpr uint32_t kNotEnded = 0x100000;
    static constexpr uint32_t kHoldsError = 0x200000;
    static constexpr uint32_t kIllFormed = 0x800000;
    static constexpr uint32_t kStartTagMask = 0x2FFFFF;

    int32_t StartTagLength() const { return static_cast<int32_t>(nTagSizes & kStartTagMask); }
    int32_t EndTagLength() const { return static_cast<int32_t>(nTagSizes) >> 22; }
    void SetTagSizes(int32_t nStartTag, int32_t nEndTag) {
        nTagSizes = (static_cast<uint32_t>(nStartTag) & kStartTagMask) |
                    (static_cast<uint32_t>(nEndTag) << 22);
    }
    int32_t Level() const { return static_cast<int32_t>(nLevelFlags & 0xFFFF); }
    uint32_t Flags() const { return nLevelFlags & 0xFFFF0000u; }
    int32_t ContentStart() const { return nStart + StartTagLength(); }
    int32_t ContentLength() const { return nLength - StartTagLength() - EndTagLength(); }
    int32_t End() const { return nStart + nLength; }
    bool IsEmpty() const { return StartTagLength() == nLength; }
};

// The scanner's description of one node.
struct NodeToken {
    int32_t nType = 0;
    int32_t nStart = 0;
    int32_t nLength = 0;
    uint32_t nFlags = 0;     // kEmptyTag: a start tag closed by "/>"
    std::u16string strText;  // name of a start tag, PI or declaration; message of a rejected node

    static constexpr uint32_t kEmptyTag = 0x10000;
};

// The cursor shared by the node scanner and the attribute reader.
struct TagScanner {
    int32_t nNameStart = 0;
    int32_t nNameEnd = -1;  // inclusive
    int32_t nNext = 0;
    const char16_t* pText = nullptr;
    uint32_t nFlags = 0;  // document flags, plus kQuoted for the last token read
    int32_t nValueStart = 0;
    int32_t nValueEnd = 0;
    int32_t nTextLength = -1;  // characters before the terminating zero, when known (-1: not)

    static constexpr uint32_t kQuoted = 0x8000;
    // Every node through the scanner's full state machine, none through its fast routines (the
    // two must agree; this is how checks compare them).
    static constexpr uint32_t kReferenceScan = 0x4000;
};

struct SavedPosition {
    std::u16string strName;
    int32_t nIndex = 0;
    uint32_t nFlags = 0;  // 1 main, 2 child, neither parent; 4 used; 8 last slot of the bucket
};

class CXmlDocument {
public:
    // Document flags.
    static constexpr uint32_t IgnoreNameCase = 8;

    // Text flags of the writing operations.
    static constexpr uint32_t TextAsCData = 1;
    static constexpr uint32_t TextNoLineBreak = 2;
    static constexpr uint32_t TextSpaceBeforeSlash = 4;
    static constexpr uint32_t TextKeepReferences = 8;
    static constexpr uint32_t TextNoEndTag = 0x10;
    static constexpr uint32_t TextEscapeQuotes = 0x100;
    static constexpr uint32_t InsertReplaceContent = 0x1000;
    static constexpr uint32_t InsertBefore = 0x2000;
    static constexpr uint32_t InsertAsChild = 0x4000;

    // Node types.
    static constexpr int NodeElement = 1;
    static constexpr int NodeEndTag = 0;
    static constexpr int NodeText = 2;
    static constexpr int NodeBlanks = 4;
    static constexpr int NodeCData = 8;
    static constexpr int NodeProcessingInstruction = 16;
    static constexpr int NodeComment = 32;
    static constexpr int NodeDeclaration = 64;
    static constexpr int NodeLoneEndTag = 128;
    static constexpr int NodeRejected = 0x8000;
    static constexpr int ScanRejected = -1;
    static constexpr int ScanEnd = -2;

    CXmlDocument();
    explicit CXmlDocument(std::u16string_view strText);
    // Takes the text over without copying it.
    explicit CXmlDocument(std::u16string&& strText);
    explicit CXmlDocument(const char16_t* pszText)
        : CXmlDocument(std::u16string_view(pszText ? pszText : u"")) {}
    CXmlDocument(const CXmlDocument& other);
    CXmlDocument& operator=(const CXmlDocument& other);
    ~CXmlDocument();

    // ---- document ----
    // Stores the text, empties the result text and parses. Returns IsWellFormed().
    bool SetDocument(std::u16string_view strText);
    // The same, taking the text over without copying it (a large document is not held twice).
    bool SetDocument(std::u16string&& strText);
    bool SetDocument(const char16_t* pszText) {
        return SetDocument(std::u16string_view(pszText ? pszText : u""));
    }
    bool IsWellFormed() const;
    const std::u16string& GetError() const { return m_strResult; }
    const std::u16string& GetDocument() const { return m_strDoc; }
    uint32_t GetDocFlags() const { return m_nDocFlags; }
    void SetDocFlags(uint32_t nFlags) { m_nDocFlags = nFlags; }

    // Reads the file in one piece through the ANSI code page and parses it. The result text is
    // "<n> bytes to <m> wide chars", followed by ", " and the parse message when there is one.
    // When the file cannot be opened or read, the result text is the C runtime's message for the
    // error (cut before any line break), the document stays as it was, and the result is false.
    bool LoadFile(std::u16string_view strPath);
    // Writes the text through the ANSI code page; result text "<m> wide chars to <n> bytes".
    bool SaveFile(std::u16string_view strPath);

    // ---- records (read-only view of the index) ----
    int32_t GetRecordCount() const { return m_iNextFree; }  // next free index
    const ElementRecord& GetRecord(int32_t i) const { return Rec(i); }
    int32_t GetCapacity() const { return m_nCapacity; }
    int32_t GetReleasedChain() const { return m_iReleased; }

    // ---- position ----
    int32_t GetParentIndex() const { return m_iPosParent; }
    int32_t GetMainIndex() const { return m_iPos; }
    int32_t GetChildIndex() const { return m_iPosChild; }
    int GetNodeType() const { return m_nNodeType; }
    int32_t GetNodeOffset() const { return m_nNodeOffset; }
    int32_t GetNodeLength() const { return m_nNodeLength; }

    void ResetPosition();
    bool FindElement(std::u16string_view strName = {});
    bool FindChildElement(std::u16string_view strName = {});
    bool EnterElement();
    bool LeaveElement();
    // Moves to the next node after the selected node or main element whose type is in the mask
    // (0 = any). Returns the node type found, 0 when there is none.
    int FindNode(int nMask = 0);
    bool SavePosition(std::u16string_view strName);
    bool RestorePosition(std::u16string_view strName);
    // "/root/item[2]" style path; empty for 0, an index out of range or a released record.
    std::u16string GetElementPath(int32_t iElem) const;
    std::u16string GetElementPath() const { return GetElementPath(m_iPos); }
    // For every record (by index), the ordinal that GetElementPath gives it among its siblings of
    // the same name; 0 for record 0 and released records. One pass over each parent's children,
    // where GetElementPath walks the earlier siblings for each element.
    std::vector<int32_t> GetSiblingOrdinals() const;
    // GetElementPath with the ordinals taken from GetSiblingOrdinals (0 entries are counted).
    std::u16string GetElementPath(int32_t iElem, const std::vector<int32_t>& vecOrdinals) const;

    // ---- reading ----
    std::u16string GetElementName() const;
    // The tag name of any record (empty for 0 or an index out of range).
    std::u16string GetTagName(int32_t iElem) const;
    // Attributes of the main element, or of the selected processing instruction.
    std::u16string GetAttribute(std::u16string_view strName) const;
    std::u16string GetAttributeName(int nIndex) const;
    // Text of an element (main or child), or of the selected node when iElem is the main position
    // and a node is selected. Blank-only text between other nodes counts as text.
    std::u16string GetText(int32_t iElem) const;
    std::u16string GetText() const { return GetText(m_iPos); }
    std::u16string GetChildText() const { return GetText(m_iPosChild); }

    // ---- writing ----
    // An existing attribute's value is replaced; an attribute written without a value
    // (<input disabled>) gets ="value" after its name. A new one goes before the end of the list.
    bool SetAttribute(std::u16string_view strName, std::u16string_view strValue);
    // Integer values are written with "%d". (A template, so that a braced empty value "{}"
    // still means "no value" rather than 0.)
    template <typename T, std::enable_if_t<std::is_integral_v<T>, int> = 0>
    bool SetAttribute(std::u16string_view strName, T nValue) {
        return SetAttribute(strName, std::u16string_view(IntText(static_cast<long long>(nValue))));
    }
    bool SetText(int32_t iElem, std::u16string_view strText, uint32_t nFlags = 0);
    bool SetText(std::u16string_view strText, uint32_t nFlags = 0) {
        return SetText(m_iPos, strText, nFlags);
    }
    bool SetChildText(std::u16string_view strText, uint32_t nFlags = 0) {
        return SetText(m_iPosChild, strText, nFlags);
    }
    // An empty value means no value (so an empty element is written). The new record is linked
    // among its siblings at the place its text went, so links always follow document order.
    // Adding to a document whose text is empty writes no leading line break. InsertReplaceContent
    // releases the parent's child elements whose text it replaces.
    bool AddElement(std::u16string_view strName, std::u16string_view strValue = {},
                    uint32_t nFlags = 0);
    template <typename T, std::enable_if_t<std::is_integral_v<T>, int> = 0>
    bool AddElement(std::u16string_view strName, T nValue, uint32_t nFlags = 0) {
        return AddElement(strName, std::u16string_view(IntText(static_cast<long long>(nValue))),
                          nFlags);
    }
    // Nodes other than elements are written without line breaks (a text node with line breaks
    // around it would be a different text); afterwards the new node is selected. Type 1 adds an
    // empty element as AddElement does.
    bool AddNode(int nType, std::u16string_view strText, uint32_t nFlags = 0);
    // True when the fragment was one well-formed element. An ill-formed fragment is inserted as
    // given and its records are linked as parsed, shifted to where the text went: they describe
    // the text they were parsed from, which is the text inserted.
    bool AddSubDocument(std::u16string_view strText, uint32_t nFlags = 0);
    // Replaces the main element by the elements of a fragment: the element's text goes (not the
    // blanks around it, and its records are released), and the fragment goes in exactly where
    // it stood, without line breaks, as AddSubDocument would place it after a node there. The
    // position becomes (parent, first inserted element, 0). True when the element was replaced
    // by one well-formed element; false without a main element (nothing changes then).
    bool ReplaceWithSubDocument(std::u16string_view strText);
    bool RemoveElement();
    bool RemoveChildElement();
    // Removes the selected non-element node's text (with no blanks around it); the position
    // stays on the element before it. False when no node is selected, or when the node does not
    // lie inside its parent's content clear of every element (a broken document can give such
    // nodes); SetText of a selected node refuses them the same way.
    bool RemoveNode();

    // ---- helpers ----
    static std::u16string EscapeText(std::u16string_view strText, uint32_t nFlags = 0);
    // nLength -1: up to the terminating zero.
    static std::u16string UnescapeText(const char16_t* pText, int nLength = -1);
    static std::u16string UnescapeText(std::u16string_view strText) {
        return UnescapeText(strText.data(), static_cast<int>(strText.size()));
    }
    static std::u16string GetDeclaredEncoding(std::u16string_view strText);

    // ---- scanner (exposed for tests and tools) ----
    // Scans one node at the scanner's next offset. Start tags longer than 1,048,575 characters
    // do not fit the record's start-tag field and are rejected ("Incorrect tag at offset %d");
    // end tags longer than 511 characters do not fit its end-tag field and match no start tag.
    static int ScanNode(TagScanner& scanner, NodeToken& token);
    static bool MatchName(const TagScanner& scanner, std::u16string_view strName);

    // "%d" of a value, as UTF-16.
    static std::u16string IntText(long long nValue);

private:
    ElementRecord& Rec(int32_t i) { return m_ppSegments[i >> 16][i & 0xFFFF]; }
    const ElementRecord& Rec(int32_t i) const { return m_ppSegments[i >> 16][i & 0xFFFF]; }
    void GrowStore(int32_t nWanted);
    void TrimStore();
    void FreeStore();
    int32_t NewRecord();
    bool Parse();
    // ScanNode without the name of a start tag in the token.
    static int ScanForParse(TagScanner& scanner, NodeToken& token);
    int32_t ParseElements(int32_t iParent, TagScanner& scanner);
    void CloseNotEnded(std::vector<int32_t>& vecOpen, size_t nKeep, int32_t iStart);
    void SetPos(int32_t iParent, int32_t iMain, int32_t iChild);
    bool NodeSelected() const { return m_nNodeType > 1 || m_nNodeType < 0; }
    bool NodeEditable() const;
    bool ValidElement(int32_t i) const;
    static int32_t ElementNameLength(const char16_t* pText, int32_t nOffset);
    std::u16string_view ReadName(int32_t nOffset) const;
    int32_t FindSibling(int32_t iParent, int32_t iAfter, std::u16string_view strName) const;
    int32_t SiblingOrdinal(int32_t iElem) const;
    struct AttrHit;
    bool FindAttribute(int32_t nFrom, int32_t nLimit, std::u16string_view strName, int nIndex,
                       AttrHit& hit) const;
    bool AttributeRange(int32_t& nFrom, int32_t& nLimit) const;
    static std::u16string MakeCData(std::u16string_view strText);
    static bool MakeNode(int nType, std::u16string_view strText, std::u16string& strOut);
    void ReplaceText(int32_t nOffset, int32_t nRemove, std::u16string_view strNew);
    void AdjustOffsets(int32_t iParent, int32_t iFirstShifted, int32_t nDiff);
    int32_t FirstChildFrom(int32_t iParent, int32_t nOffset) const;
    int32_t LastChildBefore(int32_t iParent, int32_t nOffset) const;
    void LinkAfter(int32_t iParent, int32_t iPrev, int32_t iNew);
    void Unlink(int32_t iElem);
    void ReleaseTree(int32_t iElem);
    void DropReleasedPositions();
    bool InsertText(int32_t iParent, int32_t iRel, bool bAfterNode, std::u16string strNew,
                    uint32_t nFlags, int32_t& nNewStart);
    bool PlaceFor(uint32_t nFlags, int32_t& iParent, int32_t& iRel, bool& bNode) const;
    bool RemoveRecord(int32_t iElem, bool bWithBlanks = true);

    std::u16string m_strDoc;
    std::u16string m_strResult;
    int32_t m_iPosParent = 0;
    int32_t m_iPos = 0;
    int32_t m_iPosChild = 0;
    int32_t m_iNextFree = 0;
    int32_t m_iReleased = 0;
    int m_nNodeType = 0;
    int32_t m_nNodeOffset = 0;
    int32_t m_nNodeLength = 0;
    uint32_t m_nDocFlags = 0;
    std::unique_ptr<std::array<std::vector<SavedPosition>, 7>> m_pSaved;
    ElementRecord** m_ppSegments = nullptr;
    int32_t m_nCapacity = 0;
    int32_t m_nSegmentSlots = 0;
};

}  // namespace kt
