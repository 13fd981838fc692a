// CXmlDocument: the records of well-formed and broken documents, every parser message, the
// scanner's node boundaries, the size of the record store, deep documents without recursion;
// navigation, reading, escaping; every edit with the exact text it leaves, the position after it
// and records checked against the text; saved positions; files through the ANSI code page.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <new>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/codepage.h"
#include "platform/paths.h"
#include "support/failalloc.h"
#include "xml/record_check.h"
#include "xml/xmldocument.h"

using kt::CXmlDocument;
using kt::ElementRecord;
namespace fs = std::filesystem;

namespace {

constexpr uint32_t kFirst = ElementRecord::kFirstChild;
constexpr uint32_t kNotEnded = ElementRecord::kNotEnded;
constexpr uint32_t kError = ElementRecord::kHoldsError;
constexpr uint32_t kIll = ElementRecord::kIllFormed;

// A record as "start+length start-tag/end-tag Llevel [flags] pParent cFirstChild nNext vPrevious",
// the flags as letters: F first child, N not ended, E holds the error, I ill-formed; a released
// record as "R nNext" (the chain).
std::string Record(const CXmlDocument& doc, int32_t i) {
    const ElementRecord& r = doc.GetRecord(i);
    auto N = [](int64_t n) { return std::to_string(n); };
    if (r.nLevelFlags & ElementRecord::kReleased) return "R n" + N(r.nNext);
    std::string str = N(r.nStart) + "+" + N(r.nLength) + " " + N(r.StartTagLength()) + "/" +
                      N(r.EndTagLength()) + " L" + N(r.Level()) + " ";
    uint32_t nFlags = r.Flags();
    for (auto [nFlag, ch] :
         {std::pair{kFirst, 'F'}, {kNotEnded, 'N'}, {kError, 'E'}, {kIll, 'I'}}) {
        if (nFlags & nFlag) str += ch;
        nFlags &= ~nFlag;
    }
    str += (nFlags ? "#" + N(nFlags) : "") + (r.Flags() ? " p" : "p");
    return str + N(r.nParent) + " c" + N(r.nFirstChild) + " n" + N(r.nNext) + " v" + N(r.nPrev);
}

// Every record from 0 on, separated by " | ".
std::string Records(const CXmlDocument& doc) {
    std::string str = Record(doc, 0);
    for (int32_t i = 1; i < doc.GetRecordCount(); ++i) str += " | " + Record(doc, i);
    return str;
}

std::u16string Repeat(std::u16string_view str, int n) {
    std::u16string s;
    for (int i = 0; i < n; ++i) s += str;
    return s;
}

// Every node the scanner finds as "type@start+length", "/" marking an empty-element tag, other
// flags in hex, and the token's text (name or message) in quotes.
std::string Scan(const std::u16string& strText) {
    kt::TagScanner sc;
    sc.pText = strText.c_str();
    kt::NodeToken tok;
    std::string str;
    for (int nType; (nType = CXmlDocument::ScanNode(sc, tok)) != CXmlDocument::ScanEnd;) {
        str += (str.empty() ? "" : " ") + std::to_string(nType) + "@" + std::to_string(tok.nStart) +
               "+" + std::to_string(tok.nLength);
        str += tok.nFlags == kt::NodeToken::kEmptyTag ? "/"
               : tok.nFlags                           ? "#" + std::to_string(tok.nFlags)
                                                      : "";
        if (!tok.strText.empty()) str += "'" + kt::ToUtf8(tok.strText) + "'";
    }
    return str;
}

using Pos = std::array<int32_t, 3>;  // parent, main, child

Pos At(const CXmlDocument& doc) {
    return {doc.GetParentIndex(), doc.GetMainIndex(), doc.GetChildIndex()};
}

// From the top: the root entered, then its child of that name (when given) as the main element.
void Go(CXmlDocument& doc, std::u16string_view strChild = {}) {
    doc.ResetPosition();
    ASSERT_TRUE(doc.FindElement());
    ASSERT_TRUE(doc.EnterElement());
    ASSERT_TRUE(strChild.empty() || doc.FindElement(strChild));
}

// The nodes FindNode(nMask) finds from the position on, as "type name 'text'" (at most 50).
std::string Walk(CXmlDocument& doc, int nMask = 0) {
    std::string str;
    for (int nType, n = 0; n < 50 && (nType = doc.FindNode(nMask)) != 0; ++n) {
        str += (str.empty() ? "" : " | ") + std::to_string(nType) + " " +
               kt::ToUtf8(doc.GetElementName()) + " '" + kt::ToUtf8(doc.GetText()) + "'";
    }
    return str;
}

// The exact text an edit left, and records that still describe it.
#define EXPECT_DOC(doc, text)                                                             \
    do {                                                                                  \
        EXPECT_EQ(std::u16string(text), (doc).GetDocument());                             \
        EXPECT_EQ("", kt_xml_test::CheckRecords(doc)) << kt::ToUtf8((doc).GetDocument()); \
    } while (0)

}  // namespace

TEST(XmlParse, MessagesAndRecords) {
    const std::u16string strLongValue = u"<r><a x='" + std::u16string(0x100000, u'v') + u"'/></r>";
    const std::u16string strLongName(600, u'n');
    struct Case {
        std::u16string text, message;
        std::string records;  // empty: not checked
    };
    const Case cases[] = {
        {u"", u"Empty document", ""},
        {u"just text", u"No root element", ""},
        {u"<a></a><b/>", u"Root element has sibling", ""},
        {u"<a>x", u"Element 'a' at offset 0 not ended", ""},
        // r is closed implicitly too, and its child a moves up beside it.
        {u"<r><a></a>", u"Root element has sibling", ""},
        {u"<r></x></r>", u"No start tag for end tag 'x' at offset 3", ""},
        {u"</x>", u"No root element", ""},
        {u"<r><1/></r>", u"Incorrect tag name character at offset 3", ""},
        {u"<1/>", u"No root element", ""},
        {u"<r><!x></r>", u"Incorrect ! tag at offset 3", ""},
        {u"<r><!-x></r>", u"Incorrect comment tag at offset 3", ""},
        {u"<r><![x></r>", u"Incorrect tag at offset 3", ""},
        {u"<a><!-- x", u"Comment at offset 3 unterminated", ""},
        {u"<a><![CDATA[x", u"CDATA Section at offset 3 unterminated", ""},
        {u"<a><?pi x", u"Processing instruction at offset 3 unterminated", ""},
        {u"<a><b x", u"Element tag at offset 3 unterminated", ""},
        {u"<a></a", u"Element end tag at offset 3 unterminated", ""},
        {u"<a><!DOCTYPE x [", u"Doctype at offset 3 unterminated", ""},
        {u"<a><!ENTITY x", u"Doctype at offset 3 unterminated", ""},
        {u"<a><", u"tag at offset 3 unterminated", ""},
        {u"<a x='>'/>", u"", ""},
        {u"<?xml version=\"1.0\"?>\n<!-- c --><r><![CDATA[<x>]]></r>\n", u"", ""},
        // Start tags too long for the record's field are rejected, not cut; so are end tags.
        {strLongValue, u"Incorrect tag at offset 3", ""},
        {u"<" + strLongName + u"></" + strLongName + u">",
         u"No start tag for end tag '" + strLongName + u"' at offset 602", ""},
        {u"<a/>", u"", "0+4 0/0 L0 p0 c1 n0 v0 | 0+4 4/0 L0 F p0 c0 n0 v1"},
        //  0         1         2         3
        //  0123456789012345678901234567890123456
        {u"<r>\n <a x='1'>t</a><b/><c></c>\n</r>", u"",
         "0+35 0/0 L0 p0 c1 n0 v0 | 0+35 3/4 L0 F p0 c2 n0 v1 | 5+14 9/4 L1 F p1 c0 n3 v4 | "
         "19+4 4/0 L1 p1 c0 n4 v2 | 23+7 3/4 L1 p1 c0 n0 v3"},
        {u"<a><b></a>", u"End tag 'a' at offset 7 does not match start tag 'b' at offset 3",
         "0+10 0/0 L0 I p0 c1 n0 v0 | 0+10 3/4 L0 F p0 c2 n0 v1 | 3+3 3/0 L1 FN p1 c0 n0 v2"},
        // z moves up behind y under a, a's back link names z, and z keeps its level.
        {u"<a><x/><y><z/></a>",
         u"End tag 'a' at offset 15 does not match start tag 'y' at offset 7",
         "0+18 0/0 L0 I p0 c1 n0 v0 | 0+18 3/4 L0 F p0 c2 n0 v1 | 3+4 4/0 L1 F p1 c0 n3 v4 | "
         "7+3 3/0 L1 N p1 c0 n4 v2 | 10+4 4/0 L2 p1 c0 n0 v3"},
        // Closed by an end tag further out: both inner levels move under the matched element.
        {u"<r><a><x/><b><y/></r>",
         u"End tag 'r' at offset 18 does not match start tag 'b' at offset 10",
         "0+21 0/0 L0 I p0 c1 n0 v0 | 0+21 3/4 L0 F p0 c2 n0 v1 | 3+3 3/0 L1 FN p1 c0 n3 v5 | "
         "6+4 4/0 L2 p1 c0 n4 v2 | 10+3 3/0 L2 N p1 c0 n5 v3 | 13+4 4/0 L3 p1 c0 n0 v4"},
        // Only the first message is kept; the element around the bad tag holds the mark.
        {u"<r><1/></x><a></r>", u"Incorrect tag name character at offset 3",
         "0+18 0/0 L0 I p0 c1 n0 v0 | 0+18 3/4 L0 FE p0 c2 n0 v1 | 11+3 3/0 L1 FN p1 c0 n0 v2"},
        // The bad tag lies in b; b is closed implicitly, so its mark goes up to a.
        {u"<a><b><1></a>", u"Incorrect tag name character at offset 6",
         "0+13 0/0 L0 I p0 c1 n0 v0 | 0+13 3/4 L0 FE p0 c2 n0 v1 | 3+3 3/0 L1 FN p1 c0 n0 v2"},
    };
    for (const Case& c : cases) {
        const std::string strName = kt::ToUtf8(c.text.substr(0, 60));
        CXmlDocument doc(c.text);
        EXPECT_EQ(c.message, doc.GetError()) << strName;
        EXPECT_EQ(c.message.empty(), doc.IsWellFormed()) << strName;
        if (!c.records.empty()) {
            EXPECT_EQ(c.records, Records(doc)) << strName;
        }
    }
    CXmlDocument empty;
    EXPECT_EQ(u"Empty document", empty.GetError());
    EXPECT_FALSE(empty.IsWellFormed());
}

// Out of memory surfaces as std::bad_alloc from the parse; the document can be set again after it.
TEST(XmlParse, EachFailingAllocationThrowsBadAllocAndLeavesTheDocumentUsable) {
    // A good document and one with an error message (its text is formatted too).
    for (const char16_t* pszText :
         {u"<r a='1'><x/><y>t</y><z><w/></z></r>", u"<r><a><b></a><c></c></r>"}) {
        const CXmlDocument reference(pszText);
        std::unique_ptr<CXmlDocument> pDoc;
        bool bThrew = false;
        bool bWellFormed = false;
        const size_t nFailures = kttest::ForEachFailingAllocation(
            [&] {
                bThrew = false;
                pDoc.reset();
                try {
                    pDoc = std::make_unique<CXmlDocument>();
                    bWellFormed = pDoc->SetDocument(pszText);
                } catch (const std::bad_alloc&) {
                    bThrew = true;
                }
            },
            [&](bool bFailed) {
                EXPECT_EQ(bFailed, bThrew);
                if (!pDoc) pDoc = std::make_unique<CXmlDocument>();
                if (bThrew) bWellFormed = pDoc->SetDocument(pszText);
                EXPECT_EQ(bWellFormed, reference.IsWellFormed());
                EXPECT_EQ(pDoc->GetError(), reference.GetError());
                EXPECT_EQ(pDoc->GetDocument(), reference.GetDocument());
            });
        EXPECT_GT(nFailures, 3u);
    }
}

TEST(XmlParse, NameCase) {
    CXmlDocument doc;
    EXPECT_FALSE(doc.SetDocument(u"<A></a>"));
    doc.SetDocFlags(CXmlDocument::IgnoreNameCase);
    EXPECT_TRUE(doc.SetDocument(u"<A></a>"));
    // A longer end-tag name does not match a prefix, nor the reverse.
    EXPECT_FALSE(doc.SetDocument(u"<ab></a>"));
    EXPECT_FALSE(doc.SetDocument(u"<a></ab>"));
    // Lookups fold the case too.
    ASSERT_TRUE(doc.SetDocument(u"<Root><URL ID=\"7\"/></root>"));
    ASSERT_TRUE(doc.FindElement(u"root"));
    ASSERT_TRUE(doc.FindChildElement(u"url"));
    doc.EnterElement();
    EXPECT_EQ(u"URL", doc.GetElementName());
    EXPECT_EQ(u"7", doc.GetAttribute(u"id"));
}

TEST(XmlParse, ScannerNodeBoundaries) {
    const std::pair<std::u16string, std::string> cases[] = {
        {u"x>y<", "2@0+2 2@2+1 -1@3+1'tag at offset 3 unterminated'"},
        {u" \t\r\n<a b=\"/>\"/>", "4@0+4 1@4+11/'a'"},
        // In <a x=1/> the slash belongs to the unquoted value.
        {u"<a x=1/>", "1@0+8'a'"},
        {u"<a />", "1@0+5/'a'"},
        {u"<a x='1'/>", "1@0+10/'a'"},
        {u"<!DOCTYPE r [<!ELEMENT r (#PCDATA)><!ENTITY e \"a>b\"><!-- > -->]><r/>",
         "64@0+64 1@64+4/'r'"},
        // "]]>" outside a section is text ending at its '>'.
        {u"<?pi a?><!--c--><![CDATA[x]]>]]></e>", "16@0+8'pi' 32@8+8 8@16+13 2@29+3 0@32+4"},
    };
    for (const auto& [strText, strExpected] : cases) {
        EXPECT_EQ(strExpected, Scan(strText)) << kt::ToUtf8(strText);
    }
}

TEST(XmlParse, RecordStoreGrowsBySegmentsAndFitsLongText) {
    // 200,000 elements in a short text: the first estimate is small, and growth goes on one
    // segment at a time, so the store never overshoots by more than one.
    const std::u16string strMany = u"<r>" + Repeat(u"<e/>", 200000) + u"</r>";
    CXmlDocument doc(strMany);
    ASSERT_TRUE(doc.IsWellFormed());
    ASSERT_EQ(200002, doc.GetRecordCount());
    EXPECT_GE(doc.GetCapacity(), 200002);
    EXPECT_LT(doc.GetCapacity(), 200002 + 65536);
    EXPECT_EQ(3 + 4 * 199999, doc.GetRecord(200001).nStart);
    EXPECT_EQ("", kt_xml_test::CheckRecords(doc));  // links across segment boundaries
    CXmlDocument copy;
    copy = doc;
    EXPECT_EQ(Records(doc), Records(copy));
    EXPECT_EQ(doc.GetDocument(), copy.GetDocument());

    // 3 MB of text in 300 elements: the estimate from the length (~49,000 records) is given back.
    const std::u16string strLong =
        u"<doc>" + Repeat(u"<p>" + std::u16string(10000, u'x') + u"</p>", 300) + u"</doc>";
    ASSERT_TRUE(doc.SetDocument(strLong));
    ASSERT_EQ(302, doc.GetRecordCount());
    EXPECT_LE(doc.GetCapacity(), 302 + 302 / 8);
    // The cut store still grows for edits, and parses again at full size.
    ASSERT_TRUE(doc.FindElement(u"doc"));
    ASSERT_TRUE(doc.EnterElement());
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(doc.AddElement(u"n", u"v"));
    EXPECT_EQ(1302, doc.GetRecordCount());
    EXPECT_TRUE(doc.IsWellFormed());
    ASSERT_TRUE(doc.SetDocument(strMany));
    EXPECT_EQ(3 + 4 * 199999, doc.GetRecord(200001).nStart);
    ASSERT_TRUE(doc.SetDocument(strLong));
    EXPECT_EQ(302, doc.GetRecordCount());
    EXPECT_EQ(5 + 10007 * 299, doc.GetRecord(301).nStart);
}

TEST(XmlParse, DeepDocumentsWithoutRecursion) {
    constexpr int kDepth = 1000000;
    CXmlDocument doc(Repeat(u"<a>", kDepth) + u"x" + Repeat(u"</a>", kDepth));
    ASSERT_TRUE(doc.IsWellFormed()) << kt::ToUtf8(doc.GetError());
    ASSERT_EQ(kDepth + 1, doc.GetRecordCount());
    const ElementRecord& inner = doc.GetRecord(kDepth);
    EXPECT_EQ(3 * (kDepth - 1), inner.nStart);
    EXPECT_EQ(8, inner.nLength);
    EXPECT_EQ((kDepth - 1) & 0xFFFF, inner.Level());  // the level field wraps
    EXPECT_EQ(kDepth - 1, inner.nParent);
    int nDepth = 0;
    for (; doc.FindElement(); doc.EnterElement()) ++nDepth;
    EXPECT_EQ(kDepth, nDepth);
    EXPECT_EQ(u"x", doc.GetText(doc.GetParentIndex()));

    // Every element closed implicitly: all end up siblings under the document, in order, in one
    // pass (moving children up level by level took quadratic time here).
    constexpr int kPairs = 300000;
    ASSERT_FALSE(doc.SetDocument(Repeat(u"<a><b/>", kPairs)));
    EXPECT_EQ(u"Root element has sibling", doc.GetError());
    ASSERT_EQ(2 * kPairs + 1, doc.GetRecordCount());
    // One sibling chain under the document, from the first record to the last in order.
    EXPECT_EQ("", kt_xml_test::CheckRecords(doc));
    EXPECT_EQ(1, doc.GetRecord(0).nFirstChild);
    EXPECT_EQ(2 * kPairs, doc.GetRecord(1).nPrev);
    for (int32_t i = 1; i <= 2 * kPairs; ++i) {
        const ElementRecord& r = doc.GetRecord(i);  // the a elements (odd) are not ended
        ASSERT_TRUE(r.nParent == 0 && r.nNext == (i == 2 * kPairs ? 0 : i + 1) &&
                    (r.Flags() & kNotEnded) == (i % 2 ? kNotEnded : 0u))
            << i;
    }
}

TEST(XmlParse, BlockScanningAtEveryRunLength) {
    // Runs of text, quoted values, comments, sections and instructions are passed over in
    // blocks: where a run ends against a block boundary must not matter.
    for (int n = 0; n < 20; ++n) {
        const std::u16string strRun(n, u'x');
        const std::u16string s = u"<r a=\"" + strRun + u"\" b='" + strRun + u"/'/>" + strRun;
        CXmlDocument doc(s);
        ASSERT_TRUE(doc.IsWellFormed()) << n;
        EXPECT_EQ(static_cast<int32_t>(s.size()) - n, doc.GetRecord(1).nLength) << n;
        doc.FindElement();
        EXPECT_EQ(strRun + u"/", doc.GetAttribute(u"b"));
        // A zero character ends the document wherever it falls.
        const std::u16string strCut = u"<r>" + strRun + u'\0' + u"</r>";
        CXmlDocument cut(strCut);
        EXPECT_EQ(u"Element 'r' at offset 0 not ended", cut.GetError()) << n;
        EXPECT_EQ(static_cast<int32_t>(strCut.size()), cut.GetRecord(0).nLength);
        EXPECT_EQ(u"No root element", CXmlDocument(u"<r a='" + strRun + u'\0' + u"'/>").GetError());

        const std::u16string strRun1 = strRun + u"x";
        ASSERT_TRUE(doc.SetDocument(u"<r><!--" + strRun1 + u"> -- >--><![CDATA[" + strRun1 +
                                    u"]>]]><?p " + strRun1 + u"> ?></r>"))
            << n << " " << kt::ToUtf8(doc.GetError());
        doc.FindElement();
        doc.EnterElement();
        ASSERT_EQ(32, doc.FindNode());
        EXPECT_EQ(strRun1 + u"> -- >", doc.GetText()) << n;
        ASSERT_EQ(8, doc.FindNode());
        EXPECT_EQ(strRun1 + u"]>", doc.GetText()) << n;
        ASSERT_EQ(16, doc.FindNode());
        EXPECT_EQ(u"p " + strRun1 + u"> ", doc.GetText()) << n;
        EXPECT_EQ(u"Comment at offset 3 unterminated",
                  CXmlDocument(u"<r><!--" + strRun1 + u"->").GetError());
    }
    // The terminator is looked for from the opener's own characters on: "<!-->" is a whole
    // comment (its inside, 2 characters short, reads as empty).
    CXmlDocument quirk(u"<r><!-->x</r>");
    ASSERT_TRUE(quirk.IsWellFormed());
    quirk.FindElement();
    quirk.EnterElement();
    ASSERT_EQ(32, quirk.FindNode());
    EXPECT_EQ(5, quirk.GetNodeLength());
    EXPECT_EQ(u"", quirk.GetText());
}

TEST(XmlNavigate, FindEnterLeave) {
    //                 1  2            3  4       5
    CXmlDocument doc(u"<r><a x=\"1\"/><b><c/></b><a x=\"2\"/></r>");
    EXPECT_FALSE(doc.EnterElement());
    EXPECT_TRUE(doc.FindChildElement(u"b"));  // finds r first
    EXPECT_EQ((Pos{0, 1, 3}), At(doc));
    ASSERT_TRUE(doc.EnterElement());
    EXPECT_EQ((Pos{1, 3, 0}), At(doc));
    EXPECT_EQ(u"b", doc.GetElementName());
    ASSERT_TRUE(doc.FindChildElement());
    EXPECT_EQ(u"/r/b/c", doc.GetElementPath(doc.GetChildIndex()));
    EXPECT_TRUE(doc.LeaveElement());
    EXPECT_EQ((Pos{0, 1, 3}), At(doc));
    EXPECT_TRUE(doc.FindChildElement(u"a"));  // only after the child position
    EXPECT_EQ((Pos{0, 1, 5}), At(doc));
    EXPECT_FALSE(doc.FindChildElement(u"a"));
    EXPECT_EQ((Pos{0, 1, 5}), At(doc));
    Go(doc, u"a");
    EXPECT_EQ(u"1", doc.GetAttribute(u"x"));
    ASSERT_TRUE(doc.FindElement(u"a"));
    EXPECT_FALSE(doc.FindElement(u"a"));
    EXPECT_EQ((Pos{1, 5, 0}), At(doc));  // stays on the second a
    EXPECT_EQ(u"2", doc.GetAttribute(u"x"));
    EXPECT_TRUE(doc.LeaveElement());
    EXPECT_EQ((Pos{0, 1, 5}), At(doc));
    EXPECT_FALSE(doc.LeaveElement());
    // A name followed by a blank or '=' matches its first word only.
    doc.ResetPosition();
    EXPECT_TRUE(doc.FindElement(u"r extra"));
    EXPECT_FALSE(doc.FindElement(u"r"));
}

TEST(XmlNavigate, ElementPath) {
    const CXmlDocument doc(u"<root><item/><other/><item><item/></item></root>");
    const char16_t* const paths[] = {
        u"", u"/root", u"/root/item", u"/root/other", u"/root/item[2]", u"/root/item[2]/item"};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(paths[i], doc.GetElementPath(i)) << i;
    EXPECT_EQ(u"", doc.GetElementPath(99));
}

TEST(XmlNavigate, FindNodeWalksEveryNode) {
    CXmlDocument doc(
        u"<?xml version=\"1.0\" encoding=\"GBK\"?>\n<!DOCTYPE r>\n"
        u"<r>t&amp;1<!--c--><![CDATA[d<]]><?pi a='1'?><e>x</e>  </r>");
    ASSERT_TRUE(doc.IsWellFormed());
    EXPECT_EQ(
        "16 xml 'xml version=\"1.0\" encoding=\"GBK\"' | 4 #text '\n' | "
        "64 DOCTYPE '<!DOCTYPE r>' | 4 #text '\n' | 1 r ''",
        Walk(doc));
    EXPECT_EQ((Pos{0, 1, 0}), At(doc));  // nothing after the root
    ASSERT_TRUE(doc.EnterElement());
    EXPECT_EQ(
        "2 #text 't&1' | 32 #comment 'c' | 8 #cdata-section 'd<' | 16 pi 'pi a='1'' | "
        "1 e 'x' | 4 #text '  '",
        Walk(doc));
    // A mask passes over what it does not name, elements included; the main position follows.
    Go(doc);
    EXPECT_EQ(4, doc.FindNode(4));
    EXPECT_EQ((Pos{1, 2, 0}), At(doc));
    // Attributes of the selected processing instruction.
    Go(doc);
    ASSERT_EQ(16, doc.FindNode(16));
    EXPECT_EQ(u"1", doc.GetAttribute(u"a"));
    doc.ResetPosition();
    ASSERT_EQ(16, doc.FindNode());
    EXPECT_EQ(u"GBK", doc.GetAttribute(u"encoding"));
    EXPECT_EQ(u"encoding", doc.GetAttributeName(1));
    // Lone end tags and rejected tags are nodes too; an empty element has none.
    ASSERT_FALSE(doc.SetDocument(u"<r>a</x>b<1>c<e/></r>"));
    Go(doc);
    EXPECT_EQ("2 #text 'a' | 128 x 'x' | 2 #text 'b' | 32768  '<1>' | 2 #text 'c' | 1 e ''",
              Walk(doc));
    ASSERT_TRUE(doc.EnterElement());
    EXPECT_EQ("", Walk(doc));
}

TEST(XmlRead, AttributesAndText) {
    CXmlDocument doc(u"<input disabled x='a&amp;b' y=\"&#65;&#x41;&#0;&foo;\" z=1/>");
    ASSERT_TRUE(doc.FindElement());
    // An attribute without a value reads as its name; an unquoted value takes the slash.
    const std::pair<const char16_t*, const char16_t*> attributes[] = {{u"disabled", u"disabled"},
                                                                      {u"w", u""},
                                                                      {u"x", u"a&b"},
                                                                      {u"y", u"AA&#0;&foo;"},
                                                                      {u"z", u"1/"}};
    for (const auto& [pszName, pszValue] : attributes)
        EXPECT_EQ(pszValue, doc.GetAttribute(pszName));
    EXPECT_EQ(u"disabled", doc.GetAttributeName(0));
    EXPECT_EQ(u"z", doc.GetAttributeName(3));
    EXPECT_EQ(u"", doc.GetAttributeName(4));

    ASSERT_TRUE(doc.SetDocument(
        u"<r><a>x &lt; y</a><b>1<!--no-->2<![CDATA[<3>]]><?p?></b><c/><d><e/></d></r>"));
    // Comments and instructions are left out; an element with child elements has no text.
    const std::pair<const char16_t*, const char16_t*> texts[] = {
        {u"a", u"x < y"}, {u"b", u"12<3>"}, {u"c", u""}, {u"d", u""}};
    for (const auto& [pszName, pszText] : texts) {
        Go(doc, pszName);
        EXPECT_EQ(pszText, doc.GetText()) << kt::ToUtf8(pszName);
    }
}

TEST(XmlEscape, EscapeUnescapeAndDeclaredEncoding) {
    const uint32_t nKeep = CXmlDocument::TextKeepReferences;
    const std::tuple<const char16_t*, uint32_t, const char16_t*> escapes[] = {
        {u"a<b", 0, u"a&lt;b"},
        {u"&>'\"", 0, u"&amp;&gt;'\""},
        {u"'\"", CXmlDocument::TextEscapeQuotes, u"&apos;&quot;"},
        {u"&amp;", 0, u"&amp;amp;"},
        {u"&amp;", nKeep, u"&amp;"},
        {u"& x", nKeep, u"&amp; x"},
        {u"&#65;&x-1.y;&1;&a", nKeep, u"&#65;&x-1.y;&amp;1;&amp;a"},
    };
    for (const auto& [pszIn, nFlags, pszOut] : escapes) {
        EXPECT_EQ(pszOut, CXmlDocument::EscapeText(pszIn, nFlags));
    }
    const std::pair<const char16_t*, std::u16string> unescapes[] = {
        {u"&lt;&amp;&gt;&apos;&quot;", u"<&>'\""},
        {u"&#65;&#x41;", u"AA"},
        {u"&#0;&#x0;&foo;&", u"&#0;&#x0;&foo;&"},  // zero and unknown names stay
        {u"&#x4E2D;", u"\u4E2D"},
        {u"&#x12345;", std::u16string(1, u'\x2345')},  // the low 16 bits
        {u"&#1234567;", u"&#1234567;"},                // the ';' out of reach
        {u"&lt", u"&lt"},
    };
    for (const auto& [pszIn, strOut] : unescapes)
        EXPECT_EQ(strOut, CXmlDocument::UnescapeText(pszIn));
    EXPECT_EQ(u"<", CXmlDocument::UnescapeText(u"&lt;tail", 4));
    EXPECT_EQ(u"a>b", CXmlDocument::UnescapeText(u"a&gt;b", -1));

    const std::pair<const char16_t*, const char16_t*> encodings[] = {
        {u"<?xml version=\"1.0\" encoding=\"GBK\"?><r/>", u"GBK"},
        {u"  <?xml encoding='utf-8' ?>", u"utf-8"},
        {u"<r/><?xml encoding='x'?>", u""},
        {u"<?xml encoding='x'", u""},
        {u"<?xml version='1.0'?>", u""},
    };
    for (const auto& [pszText, pszEncoding] : encodings) {
        EXPECT_EQ(pszEncoding, CXmlDocument::GetDeclaredEncoding(pszText)) << kt::ToUtf8(pszText);
    }
}

TEST(XmlEdit, AddElement) {
    // A child of an empty element opens it, with line breaks around.
    CXmlDocument doc(u"<a/>");
    ASSERT_TRUE(doc.FindElement());
    ASSERT_TRUE(doc.AddElement(u"b", u"1", CXmlDocument::InsertAsChild));
    EXPECT_DOC(doc, u"<a>\r\n<b>1</b>\r\n</a>");
    EXPECT_EQ("0+19 0/0 L0 p0 c1 n0 v0 | 0+19 3/4 L0 F p0 c2 n0 v1 | 5+8 3/4 L1 F p1 c0 n0 v2",
              Records(doc));
    EXPECT_EQ((Pos{0, 1, 2}), At(doc));
    EXPECT_EQ(u"1", doc.GetChildText());

    ASSERT_TRUE(doc.SetDocument(u"<r>\r\n  <a/>\r\n  <c/>\r\n</r>"));
    Go(doc, u"a");
    // After a: the blanks after a are passed over, the new element comes before c.
    ASSERT_TRUE(doc.AddElement(u"b"));
    EXPECT_DOC(doc, u"<r>\r\n  <a/>\r\n  <b/>\r\n<c/>\r\n</r>");
    EXPECT_EQ(u"/r/b", doc.GetElementPath());
    // Before b, no line break, space before the slash.
    ASSERT_TRUE(doc.AddElement(u"x", {},
                               CXmlDocument::InsertBefore | CXmlDocument::TextNoLineBreak |
                                   CXmlDocument::TextSpaceBeforeSlash));
    EXPECT_DOC(doc, u"<r>\r\n  <a/>\r\n  <x /><b/>\r\n<c/>\r\n</r>");
    // Start tag alone, marked not ended; a value with it is refused.
    EXPECT_FALSE(doc.AddElement(u"v", u"1", CXmlDocument::TextNoEndTag));
    ASSERT_TRUE(
        doc.AddElement(u"o", {}, CXmlDocument::TextNoEndTag | CXmlDocument::TextNoLineBreak));
    EXPECT_DOC(doc, u"<r>\r\n  <a/>\r\n  <x /><o><b/>\r\n<c/>\r\n</r>");
    EXPECT_TRUE(doc.GetRecord(doc.GetMainIndex()).nLevelFlags & ElementRecord::kNotEnded);
    // A child under the not-ended element opens it.
    ASSERT_TRUE(
        doc.AddElement(u"k", 5, CXmlDocument::InsertAsChild | CXmlDocument::TextNoLineBreak));
    EXPECT_DOC(doc, u"<r>\r\n  <a/>\r\n  <x /><o><k>5</k></o><b/>\r\n<c/>\r\n</r>");
    // After o (the main element): an escaped value, and a CDATA value split around "]]>".
    ASSERT_TRUE(doc.AddElement(u"t", u"<&>", CXmlDocument::TextNoLineBreak));
    ASSERT_TRUE(
        doc.AddElement(u"d", u"x]]>y", CXmlDocument::TextNoLineBreak | CXmlDocument::TextAsCData));
    EXPECT_DOC(doc,
               u"<r>\r\n  <a/>\r\n  <x /><o><k>5</k></o><t>&lt;&amp;&gt;</t>"
               u"<d><![CDATA[x]]]]><![CDATA[>y]]></d><b/>\r\n<c/>\r\n</r>");
    EXPECT_EQ(u"x]]>y", doc.GetText());
    EXPECT_FALSE(doc.AddElement(u""));
}

TEST(XmlEdit, AddAtStartEndAndToEmptyDocument) {
    CXmlDocument doc(u"<r></r>");
    doc.FindElement();
    ASSERT_TRUE(doc.AddElement(u"a", {}, CXmlDocument::InsertAsChild));
    EXPECT_DOC(doc, u"<r>\r\n<a/>\r\n</r>");
    // No child position: at the end of the content; InsertBefore: at its start, after blanks.
    doc.ResetPosition();
    doc.FindElement();
    ASSERT_TRUE(doc.AddElement(u"z", {}, CXmlDocument::InsertAsChild));
    doc.ResetPosition();
    doc.FindElement();
    ASSERT_TRUE(doc.AddElement(u"f", {}, CXmlDocument::InsertAsChild | CXmlDocument::InsertBefore));
    EXPECT_DOC(doc, u"<r>\r\n<f/>\r\n<a/>\r\n<z/>\r\n</r>");  // links in document order too

    CXmlDocument empty;
    ASSERT_TRUE(empty.AddElement(u"root"));
    EXPECT_DOC(empty, u"<root/>\r\n");
    EXPECT_TRUE(empty.AddElement(u"n", u"v", CXmlDocument::InsertAsChild));
    EXPECT_DOC(empty, u"<root>\r\n<n>v</n>\r\n</root>\r\n");
}

TEST(XmlEdit, SetTextAndAttributes) {
    CXmlDocument doc(u"<r><a x=\"1\">old</a><b/><c><d/></c></r>");
    Go(doc, u"a");
    ASSERT_TRUE(doc.SetText(u"n<1"));
    EXPECT_DOC(doc, u"<r><a x=\"1\">n&lt;1</a><b/><c><d/></c></r>");
    ASSERT_TRUE(doc.SetAttribute(u"x", u"q\"'"));
    ASSERT_TRUE(doc.SetAttribute(u"y", 12));
    EXPECT_DOC(doc, u"<r><a x=\"q&quot;&apos;\" y=\"12\">n&lt;1</a><b/><c><d/></c></r>");
    EXPECT_EQ(u"q\"'", doc.GetAttribute(u"x"));
    ASSERT_TRUE(doc.FindElement(u"b"));
    ASSERT_TRUE(doc.SetText(u"x]]>y", CXmlDocument::TextAsCData));
    ASSERT_TRUE(doc.SetAttribute(u"k", u"v"));
    EXPECT_DOC(doc,
               u"<r><a x=\"q&quot;&apos;\" y=\"12\">n&lt;1</a>"
               u"<b k=\"v\"><![CDATA[x]]]]><![CDATA[>y]]></b><c><d/></c></r>");
    EXPECT_EQ(u"x]]>y", doc.GetText());
    ASSERT_TRUE(doc.FindElement(u"c"));
    EXPECT_FALSE(doc.SetText(u"no"));  // has a child element

    // An attribute written without a value takes one after its name.
    doc.SetDocument(u"<input disabled/>");  // not ended: the slash follows a name
    doc.FindElement();
    ASSERT_TRUE(doc.SetAttribute(u"disabled", u"yes"));
    EXPECT_DOC(doc, u"<input disabled=\"yes\"/>");
    // An attribute of the selected processing instruction.
    ASSERT_TRUE(doc.SetDocument(u"<?xml version=\"1.0\"?><r/>"));
    ASSERT_EQ(16, doc.FindNode());
    ASSERT_TRUE(doc.SetAttribute(u"encoding", u"GBK"));
    EXPECT_DOC(doc, u"<?xml version=\"1.0\" encoding=\"GBK\"?><r/>");
    // New text in an element that held the error clears its mark.
    ASSERT_FALSE(doc.SetDocument(u"<r><a><1></a></r>"));
    EXPECT_TRUE(doc.GetRecord(2).nLevelFlags & ElementRecord::kHoldsError);
    Go(doc, u"a");
    ASSERT_TRUE(doc.SetText(u"fine"));
    EXPECT_FALSE(doc.GetRecord(2).nLevelFlags & ElementRecord::kHoldsError);
    EXPECT_DOC(doc, u"<r><a>fine</a></r>");
}

TEST(XmlEdit, NodesAddSetRemove) {
    CXmlDocument doc(u"<r><a/></r>");
    Go(doc, u"a");
    ASSERT_TRUE(doc.AddNode(CXmlDocument::NodeComment, u"c"));
    EXPECT_DOC(doc, u"<r><a/><!--c--></r>");
    EXPECT_EQ(32, doc.GetNodeType());
    EXPECT_EQ((Pos{1, 2, 0}), At(doc));
    ASSERT_TRUE(doc.SetText(u"longer"));
    EXPECT_DOC(doc, u"<r><a/><!--longer--></r>");
    EXPECT_EQ(13, doc.GetNodeLength());
    ASSERT_TRUE(doc.AddNode(CXmlDocument::NodeText, u"1<2"));
    ASSERT_TRUE(doc.AddNode(CXmlDocument::NodeProcessingInstruction, u"p q"));
    ASSERT_TRUE(doc.AddNode(CXmlDocument::NodeDeclaration, u"<!ENTITY e 'x'>"));
    ASSERT_TRUE(doc.AddNode(CXmlDocument::NodeCData, u"]]"));
    EXPECT_FALSE(doc.AddNode(CXmlDocument::NodeCData, u"]]>"));
    EXPECT_FALSE(doc.AddNode(128, u"x"));
    EXPECT_DOC(doc, u"<r><a/><!--longer-->1&lt;2<?p q?><!ENTITY e 'x'><![CDATA[]]]]></r>");
    ASSERT_TRUE(doc.AddNode(CXmlDocument::NodeElement, u"e"));
    EXPECT_EQ(1, doc.GetNodeType());
    EXPECT_EQ(u"e", doc.GetElementName());
    EXPECT_DOC(doc, u"<r><a/><!--longer-->1&lt;2<?p q?><!ENTITY e 'x'><![CDATA[]]]]><e/>\r\n</r>");
    // Remove the comment: the position stays on the element before it.
    Go(doc, u"a");
    ASSERT_EQ(32, doc.FindNode(32));
    ASSERT_TRUE(doc.RemoveNode());
    EXPECT_EQ((Pos{1, 2, 0}), At(doc));
    EXPECT_DOC(doc, u"<r><a/>1&lt;2<?p q?><!ENTITY e 'x'><![CDATA[]]]]><e/>\r\n</r>");
    EXPECT_FALSE(doc.RemoveNode());  // nothing selected now
}

TEST(XmlEdit, RemoveElementAndChild) {
    CXmlDocument doc(u"<r>\n <a><x/></a>\n <b/>\n <c/>\n</r>");
    Go(doc, u"b");
    ASSERT_TRUE(doc.SavePosition(u"b"));
    ASSERT_TRUE(doc.RemoveElement());
    EXPECT_DOC(doc, u"<r>\n <a><x/></a>\n <c/>\n</r>");
    EXPECT_EQ((Pos{1, 2, 0}), At(doc));
    EXPECT_EQ(4, doc.GetReleasedChain());
    EXPECT_FALSE(doc.RestorePosition(u"b"));  // dropped with the record
    // Remove a with its child x: both released and chained, newest first (x, a, b).
    ASSERT_TRUE(doc.RemoveElement());
    EXPECT_EQ((Pos{1, 0, 0}), At(doc));
    EXPECT_DOC(doc, u"<r>\n <c/>\n</r>");
    EXPECT_EQ(3, doc.GetReleasedChain());
    // c took over the first-child flag and the back link.
    EXPECT_EQ(
        "0+14 0/0 L0 p0 c1 n0 v0 | 0+14 3/4 L0 F p0 c5 n0 v1 | R n4 | R n2 | R n0 | "
        "5+4 4/0 L1 F p1 c0 n0 v5",
        Records(doc));
    // Records are never reused.
    ASSERT_TRUE(doc.AddElement(u"n"));
    EXPECT_EQ(6, doc.GetMainIndex());
    EXPECT_FALSE(doc.RemoveChildElement());
    doc.ResetPosition();
    doc.FindElement();
    doc.FindChildElement(u"c");
    ASSERT_TRUE(doc.RemoveChildElement());
    EXPECT_EQ((Pos{0, 1, 0}), At(doc));  // c was the first child
    ASSERT_TRUE(doc.FindChildElement(u"n"));
    ASSERT_TRUE(doc.RemoveChildElement());
    EXPECT_EQ((Pos{0, 1, 0}), At(doc));
    EXPECT_DOC(doc, u"<r>\n </r>");
    EXPECT_EQ(0, doc.GetRecord(1).nFirstChild);
}

TEST(XmlEdit, SubDocuments) {
    CXmlDocument doc(u"<r><a/></r>");
    Go(doc, u"a");
    ASSERT_TRUE(doc.AddSubDocument(u" text <s k='1'><t/></s> tail", CXmlDocument::TextNoLineBreak));
    EXPECT_DOC(doc, u"<r><a/><s k='1'><t/></s></r>");
    EXPECT_EQ(u"1", doc.GetAttribute(u"k"));
    EXPECT_EQ(1, doc.GetRecord(doc.GetMainIndex()).Level());
    ASSERT_TRUE(doc.FindChildElement(u"t"));
    EXPECT_EQ(u"/r/s/t", doc.GetElementPath(doc.GetChildIndex()));
    EXPECT_EQ(2, doc.GetRecord(doc.GetChildIndex()).Level());
    // Two top-level elements: both go in, the result is false.
    EXPECT_FALSE(doc.AddSubDocument(u"<u/><v/>", CXmlDocument::TextNoLineBreak));
    EXPECT_DOC(doc, u"<r><a/><s k='1'><t/></s><u/><v/></r>");
    // Ill-formed: inserted as given, without line breaks; its records are linked as parsed.
    EXPECT_FALSE(doc.AddSubDocument(u"<w><q></w>"));
    EXPECT_DOC(doc, u"<r><a/><s k='1'><t/></s><u/><w><q></w><v/></r>");
    // As a child, with line breaks.
    Go(doc, u"a");
    ASSERT_TRUE(doc.AddSubDocument(u"<in/>", CXmlDocument::InsertAsChild));
    EXPECT_DOC(doc, u"<r><a>\r\n<in/>\r\n</a><s k='1'><t/></s><u/><w><q></w><v/></r>");
    EXPECT_EQ(u"/r/a/in", doc.GetElementPath(doc.GetChildIndex()));
    EXPECT_EQ(u"End tag 'w' at offset 47 does not match start tag 'q' at offset 43",
              CXmlDocument(doc.GetDocument()).GetError());

    // Replacing the content releases the child elements it held.
    ASSERT_TRUE(doc.SetDocument(u"<r><a><b/></a><c/></r>"));
    doc.FindElement();
    ASSERT_TRUE(doc.SavePosition(u"root"));
    ASSERT_TRUE(doc.AddElement(u"n", u"1",
                               CXmlDocument::InsertAsChild | CXmlDocument::InsertReplaceContent));
    EXPECT_DOC(doc, u"<r><n>1</n>\r\n</r>");
    EXPECT_EQ(
        "0+17 0/0 L0 p0 c1 n0 v0 | 0+17 3/4 L0 F p0 c5 n0 v1 | R n0 | R n2 | R n3 | "
        "3+8 3/4 L1 F p1 c0 n0 v5",
        Records(doc));
    EXPECT_TRUE(doc.RestorePosition(u"root"));
}

TEST(XmlEdit, ReplaceWithSubDocument) {
    CXmlDocument doc(u"<r>\r\n  <a/>\r\n  <b><x/></b>\r\n  <c/>\r\n</r>");
    EXPECT_FALSE(doc.ReplaceWithSubDocument(u"<n/>"));  // no main element
    Go(doc, u"b");
    ASSERT_TRUE(doc.ReplaceWithSubDocument(u" <n k='1'><m/></n> "));
    EXPECT_DOC(doc, u"<r>\r\n  <a/>\r\n  <n k='1'><m/></n>\r\n  <c/>\r\n</r>");
    EXPECT_EQ(u"/r/n", doc.GetElementPath());
    EXPECT_EQ("R n0", Record(doc, 3));  // b
    EXPECT_EQ("R n3", Record(doc, 4));  // x
    // The first child replaced: the new one takes its place and its first-child flag.
    Go(doc, u"a");
    EXPECT_FALSE(doc.ReplaceWithSubDocument(u"<p/><q/>"));  // two elements: in, but false
    EXPECT_DOC(doc, u"<r>\r\n  <p/><q/>\r\n  <n k='1'><m/></n>\r\n  <c/>\r\n</r>");
    EXPECT_EQ(u"p", doc.GetElementName());
}

TEST(XmlPositions, SurviveEditsNotAParse) {
    CXmlDocument doc(u"<r><a><b/></a><c/></r>");
    EXPECT_FALSE(doc.SavePosition(u""));
    EXPECT_FALSE(doc.RestorePosition(u"none"));
    ASSERT_TRUE(doc.SavePosition(u"top"));  // the document level
    doc.FindElement();
    doc.FindChildElement(u"a");
    ASSERT_TRUE(doc.SavePosition(u"child"));  // (0, r, a)
    doc.EnterElement();
    doc.FindChildElement();
    doc.EnterElement();
    ASSERT_TRUE(doc.SavePosition(u"main"));  // (a, b, 0)
    // Many names in one bucket (equal character sums) make it grow.
    std::vector<std::u16string> vecNames;
    for (int i = 0; i < 20; ++i) {
        vecNames.push_back(std::u16string(1, static_cast<char16_t>(u'A' + i * 7)) + u"x");
        ASSERT_TRUE(doc.SavePosition(vecNames.back()));
    }
    // Edits before them keep them valid.
    doc.ResetPosition();
    doc.FindElement();
    ASSERT_TRUE(doc.SetAttribute(u"attr", u"value"));
    ASSERT_TRUE(doc.AddElement(u"z", {}, CXmlDocument::InsertAsChild | CXmlDocument::InsertBefore));
    ASSERT_TRUE(doc.RestorePosition(u"child"));
    EXPECT_EQ((Pos{0, 1, 2}), At(doc));
    EXPECT_EQ(u"/r/a", doc.GetElementPath(doc.GetChildIndex()));
    ASSERT_TRUE(doc.RestorePosition(u"main"));
    EXPECT_EQ((Pos{2, 3, 0}), At(doc));
    EXPECT_EQ(u"b", doc.GetElementName());
    ASSERT_TRUE(doc.RestorePosition(u"top"));
    EXPECT_EQ((Pos{0, 0, 0}), At(doc));
    for (const auto& strName : vecNames) {
        ASSERT_TRUE(doc.RestorePosition(strName)) << kt::ToUtf8(strName);
        EXPECT_EQ(3, doc.GetMainIndex());
    }
    // Saving a name again replaces its entry.
    doc.ResetPosition();
    doc.FindElement();
    ASSERT_TRUE(doc.SavePosition(u"main"));
    doc.ResetPosition();
    ASSERT_TRUE(doc.RestorePosition(u"main"));
    EXPECT_EQ((Pos{0, 1, 0}), At(doc));
    // A copy carries them; a parse drops them and the position.
    CXmlDocument copy;
    copy = doc;
    ASSERT_TRUE(doc.SetDocument(doc.GetDocument()));
    EXPECT_EQ((Pos{0, 0, 0}), At(doc));
    EXPECT_FALSE(doc.RestorePosition(u"child"));
    EXPECT_TRUE(copy.RestorePosition(u"child"));
}

// Inputs the fuzz target found; each once broke the records' agreement with the text.
TEST(XmlEdit, FuzzFindings) {
    // An attribute added to an element closed implicitly goes before its own '>'.
    CXmlDocument doc(u"<a><x/><y><z/></a>");
    Go(doc, u"y");
    ASSERT_TRUE(doc.SetAttribute(u"k", u"v"));
    EXPECT_DOC(doc, u"<a><x/><y k=\"v\"><z/></a>");
    // A quote the scanner did not follow (not after '=') does not carry the reader past the
    // tag's end.
    CXmlDocument quote(u"<r><e a \"x>y\"></e></r>");
    Go(quote, u"e");
    ASSERT_TRUE(quote.SetAttribute(u"k", u"v"));
    EXPECT_DOC(quote, u"<r><e a \"x k=\"v\">y\"></e></r>");
    // In <u p=v'/> the scanner took "/>" as the empty-element end; edits keep it so.
    CXmlDocument unquoted(u"<r><u p=v'/></r>");
    Go(unquoted, u"u");
    EXPECT_EQ(u"v'", unquoted.GetAttribute(u"p"));
    ASSERT_TRUE(unquoted.SetAttribute(u"k", u"1"));
    EXPECT_DOC(unquoted, u"<r><u p=v' k=\"1\"/></r>");
    ASSERT_TRUE(unquoted.SetAttribute(u"p", u"2"));
    EXPECT_DOC(unquoted, u"<r><u p=\"2\" k=\"1\"/></r>");
    // An ill-formed fragment goes in as text; a node scanned over it may run past the parent's
    // end tag, and such a node cannot be changed or removed.
    CXmlDocument open(u"<r><a/></r>");
    Go(open, u"a");
    EXPECT_FALSE(open.AddSubDocument(u"<!--"));
    EXPECT_DOC(open, u"<r><a/><!--</r>");
    Go(open, u"a");
    ASSERT_EQ(0x8000, open.FindNode());
    EXPECT_FALSE(open.RemoveNode());
    EXPECT_FALSE(open.SetText(u"x"));
    EXPECT_DOC(open, u"<r><a/><!--</r>");
}

class XmlFile : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(m_dir); }
    void TearDown() override {
        kt::SetAnsiCodePage("");
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    std::u16string Path(const std::string& strName) const {
        return kt::FromFsPath((m_dir / strName).string());
    }
    std::u16string Write(const std::string& strName, const std::string& strBytes) const {
        std::ofstream(m_dir / strName, std::ios::binary) << strBytes;
        return Path(strName);
    }
    const fs::path m_dir = fs::temp_directory_path() / ("kt_xml_test_" + std::to_string(getpid()));
};

TEST_F(XmlFile, LoadResults) {
    // Missing, or a directory: the runtime's message on one line, and the document is kept.
    fs::create_directories(m_dir / "dir.xml");
    CXmlDocument doc(u"<kept/>");
    EXPECT_FALSE(doc.LoadFile(Path("missing.xml")));
    EXPECT_EQ(u"No such file or directory", doc.GetError());
    EXPECT_FALSE(doc.LoadFile(Path("dir.xml")));
    EXPECT_FALSE(doc.GetError().empty());
    EXPECT_EQ(std::u16string::npos, doc.GetError().find_first_of(u"\r\n"));
    EXPECT_TRUE(doc.IsWellFormed());
    EXPECT_TRUE(doc.FindElement(u"kept"));
    // Read: the counts, then the parse message; the document flags are kept through a load.
    EXPECT_FALSE(doc.LoadFile(Write("empty.xml", "")));
    EXPECT_EQ(u"0 bytes to 0 wide chars, Empty document", doc.GetError());
    EXPECT_EQ(u"", doc.GetDocument());
    EXPECT_TRUE(doc.LoadFile(Write("a.xml", "<root>" + std::string(107, ' ') + "</root>")));
    EXPECT_EQ(u"120 bytes to 120 wide chars", doc.GetError());
    EXPECT_FALSE(doc.LoadFile(Write("bad.xml", "<a></b>")));
    EXPECT_EQ(u"7 bytes to 7 wide chars, No start tag for end tag 'b' at offset 3", doc.GetError());
    doc.SetDocFlags(CXmlDocument::IgnoreNameCase);
    EXPECT_TRUE(doc.LoadFile(Write("case.xml", "<A></a>")));
    EXPECT_EQ(CXmlDocument::IgnoreNameCase, doc.GetDocFlags());
}

TEST_F(XmlFile, GbkFileWithChineseTextLoadsAndSavesBack) {
    ASSERT_TRUE(kt::SetAnsiCodePage("GBK"));
    const std::string strUtf8 =
        "<?xml version=\"1.0\" encoding=\"GBK\"?>\r\n<root name=\"服务器\">问题反馈</root>";
    const std::string strGbk = kt::ConvertCodePage(strUtf8, "UTF-8", "GBK");
    ASSERT_NE(strUtf8, strGbk);
    CXmlDocument doc;
    ASSERT_TRUE(doc.LoadFile(Write("gbk.xml", strGbk)));
    const std::u16string strWide = kt::FromUtf8(strUtf8);
    const std::string strBytes = std::to_string(strGbk.size()) + " bytes";
    const std::string strChars = std::to_string(strWide.size()) + " wide chars";
    EXPECT_EQ(kt::FromUtf8(strBytes + " to " + strChars), doc.GetError());
    EXPECT_EQ(strWide, doc.GetDocument());
    ASSERT_TRUE(doc.FindElement(u"root"));
    EXPECT_EQ(kt::FromUtf8("服务器"), doc.GetAttribute(u"name"));
    EXPECT_EQ(kt::FromUtf8("问题反馈"), doc.GetText());

    ASSERT_TRUE(doc.SaveFile(Path("out.xml")));
    EXPECT_EQ(kt::FromUtf8(strChars + " to " + strBytes), doc.GetError());
    std::ifstream in(m_dir / "out.xml", std::ios::binary);
    EXPECT_EQ(strGbk, std::string(std::istreambuf_iterator<char>(in), {}));
    EXPECT_FALSE(doc.SaveFile(Path("no/such/dir.xml")));
    EXPECT_EQ(u"No such file or directory", doc.GetError());
}

// LoadFile widens ASCII itself and converts only the other spans, a piece of the file at a time;
// the text and records must be those of converting the whole file at once. GBK trail bytes in
// 0x40..0x7E, sequences cut by '<' or by the end, invalid bytes, and spans across the boundary of
// the pieces the file is read in.
TEST_F(XmlFile, NonAsciiFilesGiveTheRecordsOfAWholeFileConversion) {
    const auto Gbk = [](const char* pszUtf8) {
        return kt::ConvertCodePage(pszUtf8, "UTF-8", "GBK");
    };
    std::string strLarge = "<root>";
    for (int i = 0; strLarge.size() < 700000; ++i) {
        strLarge += "<e a=\"" + std::to_string(i) + "\xe4\xb8\xad\xe6\x96\x87\">\xe9\x97\xae" +
                    std::string(i % 7, 'x') + "\xe9\xa2\x98</e>\r\n";
    }
    strLarge += "</root>";
    const struct {
        const char* pszCodePage;
        std::string strBytes;
        std::u16string strMustHold;  // known text, so that both routes cannot be wrong alike
    } cases[] = {
        {"GBK", "<r a=\"" + Gbk("丂亐") + "\">" + Gbk("问题") + "</r>", u"\u4E02\u4E90\">\u95EE"},
        {"GBK", "<r>\x81<a/>\x80\xff" + Gbk("丂") + "x</r>\x81", u"<a/>"},
        {"GBK", kt::ConvertCodePage(strLarge, "UTF-8", "GBK"), u"\u95EExxxxxx\u9898"},
        {"UTF-8", "<r a=\"\xe4\xb8\xad\xf0\x9f\x98\x80\">\xe9\x97\xae</r>", u"\u4E2D\xD83D\xDE00"},
        {"UTF-8", "<r>\xe4\xb8<a/>\x80\xc3</r>\xe4", u"\uFFFD<a/>"},
        {"UTF-8", strLarge, u"\u95EExxxxxx\u9898"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.pszCodePage) + " " + std::to_string(c.strBytes.size()));
        ASSERT_TRUE(kt::SetAnsiCodePage(c.pszCodePage));
        const CXmlDocument whole(kt::FromAnsi(c.strBytes));
        ASSERT_NE(std::u16string::npos, whole.GetDocument().find(c.strMustHold));
        CXmlDocument doc;
        EXPECT_EQ(whole.IsWellFormed(), doc.LoadFile(Write("n.xml", c.strBytes)));
        ASSERT_EQ(whole.GetDocument(), doc.GetDocument());
        std::u16string strResult =
            kt::FromUtf8(std::to_string(c.strBytes.size()) + " bytes to " +
                         std::to_string(whole.GetDocument().size()) + " wide chars");
        if (!whole.GetError().empty()) strResult += u", " + whole.GetError();
        EXPECT_EQ(strResult, doc.GetError());
        ASSERT_EQ(whole.GetRecordCount(), doc.GetRecordCount());
        for (int32_t i = 0; i < doc.GetRecordCount(); ++i) {
            const kt::ElementRecord& a = whole.GetRecord(i);
            const kt::ElementRecord& b = doc.GetRecord(i);
            ASSERT_TRUE(std::memcmp(&a, &b, sizeof(a)) == 0) << "record " << i;
        }
    }
}
