// The parser: records of well-formed and broken documents, every message, the scanner's node
// boundaries, the record store's growth, and a deep document without recursion.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "xml/xmldocument.h"

using kt::CXmlDocument;
using kt::ElementRecord;
using kt::NodeToken;
using kt::TagScanner;

namespace {

constexpr uint32_t kFirst = ElementRecord::kFirstChild;
constexpr uint32_t kNotEnded = ElementRecord::kNotEnded;
constexpr uint32_t kError = ElementRecord::kHoldsError;
constexpr uint32_t kIll = ElementRecord::kIllFormed;

struct Rec {
    int32_t start, length, startTag, endTag, level;
    uint32_t flags;
    int32_t parent, firstChild, next, prev;
    bool operator==(const Rec& o) const {
        return start == o.start && length == o.length && startTag == o.startTag &&
               endTag == o.endTag && level == o.level && flags == o.flags && parent == o.parent &&
               firstChild == o.firstChild && next == o.next && prev == o.prev;
    }
};

std::ostream& operator<<(std::ostream& os, const Rec& r) {
    return os << "{" << r.start << "," << r.length << "," << r.startTag << "," << r.endTag << ","
              << r.level << ",0x" << std::hex << r.flags << std::dec << "," << r.parent << ","
              << r.firstChild << "," << r.next << "," << r.prev << "}";
}

Rec Get(const CXmlDocument& doc, int32_t i) {
    const ElementRecord& r = doc.GetRecord(i);
    return Rec{r.nStart,  r.nLength, r.StartTagLength(), r.EndTagLength(), r.Level(),
               r.Flags(), r.nParent, r.nFirstChild,      r.nNext,          r.nPrev};
}

std::string U8(const std::u16string& s) {
    return std::string(s.begin(), s.end());
}

struct Scanned {
    int type;
    int32_t start, length;
    uint32_t flags;
    std::u16string text;
};

std::vector<Scanned> ScanAll(const std::u16string& strText) {
    TagScanner sc;
    sc.pText = strText.c_str();
    NodeToken tok;
    std::vector<Scanned> vec;
    for (;;) {
        const int nType = CXmlDocument::ScanNode(sc, tok);
        if (nType == CXmlDocument::ScanEnd) break;
        vec.push_back({nType, tok.nStart, tok.nLength, tok.nFlags, tok.strText});
    }
    return vec;
}

}  // namespace

TEST(XmlParse, ConstructionAndEmptyText) {
    CXmlDocument doc;
    EXPECT_EQ(u"Empty document", doc.GetError());
    EXPECT_FALSE(doc.IsWellFormed());
    EXPECT_EQ(1, doc.GetRecordCount());
    EXPECT_FALSE(doc.FindElement());
    EXPECT_FALSE(doc.SetDocument(u""));
    EXPECT_EQ(u"Empty document", doc.GetError());

    CXmlDocument doc2(u"<a/>");
    EXPECT_TRUE(doc2.IsWellFormed());
    EXPECT_EQ(u"", doc2.GetError());
    EXPECT_EQ(0u, doc2.GetDocFlags());
}

TEST(XmlParse, EmptyElementRecord) {
    CXmlDocument doc(u"<a/>");
    ASSERT_EQ(2, doc.GetRecordCount());
    EXPECT_EQ((Rec{0, 4, 4, 0, 0, kFirst, 0, 0, 0, 1}), Get(doc, 1));
    EXPECT_EQ((Rec{0, 4, 0, 0, 0, 0, 0, 1, 0, 0}), Get(doc, 0));
}

TEST(XmlParse, NestedRecordsAndLinks) {
    //                        0         1         2         3
    //                        0123456789012345678901234567890123456
    const std::u16string s = u"<r>\n <a x='1'>t</a><b/><c></c>\n</r>";
    CXmlDocument doc(s);
    ASSERT_TRUE(doc.IsWellFormed()) << U8(doc.GetError());
    ASSERT_EQ(5, doc.GetRecordCount());
    EXPECT_EQ((Rec{0, 35, 3, 4, 0, kFirst, 0, 2, 0, 1}), Get(doc, 1));
    EXPECT_EQ((Rec{5, 14, 9, 4, 1, kFirst, 1, 0, 3, 4}), Get(doc, 2));
    EXPECT_EQ((Rec{19, 4, 4, 0, 1, 0, 1, 0, 4, 2}), Get(doc, 3));
    EXPECT_EQ((Rec{23, 7, 3, 4, 1, 0, 1, 0, 0, 3}), Get(doc, 4));
    EXPECT_EQ(static_cast<int32_t>(s.size()), doc.GetRecord(0).nLength);
}

TEST(XmlParse, EveryMessage) {
    struct Case {
        const char16_t* text;
        const char16_t* message;
        bool wellFormed;
    };
    const Case cases[] = {
        {u"", u"Empty document", false},
        {u"just text", u"No root element", false},
        {u"<a></a><b/>", u"Root element has sibling", false},
        {u"<a><b></a>", u"End tag 'a' at offset 7 does not match start tag 'b' at offset 3", false},
        {u"<a>x", u"Element 'a' at offset 0 not ended", false},
        // r is closed implicitly too, and its child a moves up beside it.
        {u"<r><a></a>", u"Root element has sibling", false},
        {u"<r></x></r>", u"No start tag for end tag 'x' at offset 3", false},
        {u"</x>", u"No root element", false},
        {u"<r><1/></r>", u"Incorrect tag name character at offset 3", false},
        {u"<1/>", u"No root element", false},
        {u"<r><!x></r>", u"Incorrect ! tag at offset 3", false},
        {u"<r><!-x></r>", u"Incorrect comment tag at offset 3", false},
        {u"<r><![x></r>", u"Incorrect tag at offset 3", false},
        {u"<a><!-- x", u"Comment at offset 3 unterminated", false},
        {u"<a><![CDATA[x", u"CDATA Section at offset 3 unterminated", false},
        {u"<a><?pi x", u"Processing instruction at offset 3 unterminated", false},
        {u"<a><b x", u"Element tag at offset 3 unterminated", false},
        {u"<a></a", u"Element end tag at offset 3 unterminated", false},
        {u"<a><!DOCTYPE x [", u"Doctype at offset 3 unterminated", false},
        {u"<a><!ENTITY x", u"Doctype at offset 3 unterminated", false},
        {u"<a><", u"tag at offset 3 unterminated", false},
        {u"<a x='>'/>", u"", true},
        {u"<?xml version=\"1.0\"?>\n<!-- c --><r><![CDATA[<x>]]></r>\n", u"", true},
    };
    for (const Case& c : cases) {
        CXmlDocument doc(c.text);
        EXPECT_EQ(std::u16string(c.message), doc.GetError()) << U8(c.text);
        EXPECT_EQ(c.wellFormed, doc.IsWellFormed()) << U8(c.text);
    }
}

TEST(XmlParse, OnlyTheFirstMessageIsKept) {
    CXmlDocument doc(u"<r><1/></x><a></r>");
    EXPECT_EQ(u"Incorrect tag name character at offset 3", doc.GetError());
    EXPECT_TRUE(doc.GetRecord(0).nLevelFlags & kIll);
    EXPECT_TRUE(doc.GetRecord(1).nLevelFlags & kError) << "r holds the error";
}

TEST(XmlParse, MismatchedEndTagClosesInnerElement) {
    CXmlDocument doc(u"<a><b></a>");
    ASSERT_EQ(3, doc.GetRecordCount());
    EXPECT_EQ((Rec{0, 10, 3, 4, 0, kFirst, 0, 2, 0, 1}), Get(doc, 1));
    EXPECT_EQ((Rec{3, 3, 3, 0, 1, kFirst | kNotEnded, 1, 0, 0, 2}), Get(doc, 2));
    EXPECT_TRUE(doc.GetRecord(0).nLevelFlags & kIll);
}

TEST(XmlParse, ChildrenOfUnendedElementMoveUp) {
    //                          0123456789012345678
    CXmlDocument doc(u"<a><x/><y><z/></a>");
    ASSERT_EQ(5, doc.GetRecordCount());
    // a's children are x, y, z; z now follows y under a, and a's back link names z.
    EXPECT_EQ((Rec{0, 18, 3, 4, 0, kFirst, 0, 2, 0, 1}), Get(doc, 1));
    EXPECT_EQ((Rec{3, 4, 4, 0, 1, kFirst, 1, 0, 3, 4}), Get(doc, 2));
    EXPECT_EQ((Rec{7, 3, 3, 0, 1, kNotEnded, 1, 0, 4, 2}), Get(doc, 3));
    EXPECT_EQ((Rec{10, 4, 4, 0, 2, 0, 1, 0, 0, 3}), Get(doc, 4));
    EXPECT_EQ(u"End tag 'a' at offset 15 does not match start tag 'y' at offset 7", doc.GetError());
}

TEST(XmlParse, ErrorMarkMovesUpWithImplicitClose) {
    // The bad tag lies in b; b is closed implicitly, so its mark goes to a.
    CXmlDocument doc(u"<a><b><1></a>");
    EXPECT_FALSE(doc.GetRecord(2).nLevelFlags & kError);
    EXPECT_TRUE(doc.GetRecord(1).nLevelFlags & kError);
    EXPECT_EQ(u"Incorrect tag name character at offset 6", doc.GetError());
}

TEST(XmlParse, NameCase) {
    CXmlDocument doc;
    EXPECT_FALSE(doc.SetDocument(u"<A></a>"));
    doc.SetDocFlags(CXmlDocument::IgnoreNameCase);
    EXPECT_TRUE(doc.SetDocument(u"<A></a>"));
    // A longer end-tag name does not match a prefix, nor the reverse.
    EXPECT_FALSE(doc.SetDocument(u"<ab></a>"));
    EXPECT_FALSE(doc.SetDocument(u"<a></ab>"));
}

TEST(XmlParse, ScannerNodeBoundaries) {
    auto v = ScanAll(u"x>y<");
    ASSERT_EQ(3u, v.size());
    EXPECT_EQ(2, v[0].type);
    EXPECT_EQ(2, v[0].length);
    EXPECT_EQ(2, v[1].type);
    EXPECT_EQ(2, v[1].start);
    EXPECT_EQ(1, v[1].length);
    EXPECT_EQ(-1, v[2].type);  // a lone '<' at the end
    EXPECT_EQ(u"tag at offset 3 unterminated", v[2].text);

    v = ScanAll(u" \t\r\n<a b=\"/>\"/>");
    ASSERT_EQ(2u, v.size());
    EXPECT_EQ(4, v[0].type);
    EXPECT_EQ(4, v[0].length);
    EXPECT_EQ(1, v[1].type);
    EXPECT_EQ(11, v[1].length);
    EXPECT_EQ(NodeToken::kEmptyTag, v[1].flags);
    EXPECT_EQ(u"a", v[1].text);

    // In <a x=1/> the slash belongs to the unquoted value; <a /> and <a x='1'/> are empty.
    EXPECT_EQ(0u, ScanAll(u"<a x=1/>")[0].flags);
    EXPECT_EQ(NodeToken::kEmptyTag, ScanAll(u"<a />")[0].flags);
    EXPECT_EQ(NodeToken::kEmptyTag, ScanAll(u"<a x='1'/>")[0].flags);

    v = ScanAll(u"<!DOCTYPE r [<!ELEMENT r (#PCDATA)><!ENTITY e \"a>b\"><!-- > -->]><r/>");
    ASSERT_EQ(2u, v.size());
    EXPECT_EQ(64, v[0].type);
    EXPECT_EQ(64, v[0].length);
    EXPECT_EQ(1, v[1].type);

    v = ScanAll(u"<?pi a?><!--c--><![CDATA[x]]>]]></e>");
    ASSERT_EQ(5u, v.size());
    EXPECT_EQ(16, v[0].type);
    EXPECT_EQ(u"pi", v[0].text);
    EXPECT_EQ(8, v[0].length);
    EXPECT_EQ(32, v[1].type);
    EXPECT_EQ(8, v[1].length);
    EXPECT_EQ(8, v[2].type);
    EXPECT_EQ(13, v[2].length);
    EXPECT_EQ(2, v[3].type);  // "]]>" outside a section is text ending at '>'
    EXPECT_EQ(0, v[4].type);
}

TEST(XmlParse, StoreGrowsOneSegmentAtATime) {
    // 200,000 elements in a short text: the first estimate is small, and growth goes on
    // segment by segment.
    std::u16string s = u"<r>";
    for (int i = 0; i < 200000; ++i) s += u"<e/>";
    s += u"</r>";
    CXmlDocument doc(s);
    ASSERT_TRUE(doc.IsWellFormed());
    ASSERT_EQ(200002, doc.GetRecordCount());
    // Growth adds at most one segment per step, so the store never overshoots by more.
    EXPECT_GE(doc.GetCapacity(), 200002);
    EXPECT_LT(doc.GetCapacity(), 200002 + 65536);
    EXPECT_EQ(3 + 4 * 199999, doc.GetRecord(200001).nStart);
    EXPECT_EQ(200000, doc.GetRecord(200001).nPrev);
    EXPECT_EQ(200001, doc.GetRecord(2).nPrev);
    // A copy keeps every record.
    CXmlDocument copy;
    copy = doc;
    EXPECT_EQ(200002, copy.GetRecordCount());
    EXPECT_EQ(doc.GetRecord(150000).nStart, copy.GetRecord(150000).nStart);
    EXPECT_EQ(doc.GetDocument(), copy.GetDocument());
}

TEST(XmlParse, LongTextKeepsAStoreOfItsOwnSize) {
    // 3 MB of text in 300 elements: the length-based estimate would hold ~49,000 records.
    const std::u16string strPara(10000, u'x');
    std::u16string s = u"<doc>";
    for (int i = 0; i < 300; ++i) s += u"<p>" + strPara + u"</p>";
    s += u"</doc>";
    CXmlDocument doc;
    ASSERT_TRUE(doc.SetDocument(s));
    ASSERT_EQ(302, doc.GetRecordCount());
    EXPECT_LE(doc.GetCapacity(), 302 + 302 / 8);
    // The cut store still grows for edits and parses again at full size.
    ASSERT_TRUE(doc.FindElement(u"doc"));
    ASSERT_TRUE(doc.EnterElement());
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(doc.AddElement(u"n", u"v"));
    EXPECT_EQ(1302, doc.GetRecordCount());
    EXPECT_TRUE(doc.IsWellFormed());
    std::u16string strMany = u"<r>";
    for (int i = 0; i < 100000; ++i) strMany += u"<e/>";
    strMany += u"</r>";
    ASSERT_TRUE(doc.SetDocument(strMany));
    EXPECT_EQ(100002, doc.GetRecordCount());
    EXPECT_EQ(3 + 4 * 99999, doc.GetRecord(100001).nStart);
    ASSERT_TRUE(doc.SetDocument(s));
    EXPECT_EQ(302, doc.GetRecordCount());
    EXPECT_EQ(5 + 10007 * 299, doc.GetRecord(301).nStart);
}

TEST(XmlParse, DeepDocumentWithoutRecursion) {
    constexpr int kDepth = 1000000;
    std::u16string s;
    s.reserve(kDepth * 7 + 8);
    for (int i = 0; i < kDepth; ++i) s += u"<a>";
    s += u"x";
    for (int i = 0; i < kDepth; ++i) s += u"</a>";
    CXmlDocument doc(s);
    ASSERT_TRUE(doc.IsWellFormed()) << U8(doc.GetError());
    ASSERT_EQ(kDepth + 1, doc.GetRecordCount());
    const ElementRecord& inner = doc.GetRecord(kDepth);
    EXPECT_EQ(3 * (kDepth - 1), inner.nStart);
    EXPECT_EQ(8, inner.nLength);
    EXPECT_EQ((kDepth - 1) & 0xFFFF, inner.Level());  // the level field wraps
    EXPECT_EQ(kDepth - 1, inner.nParent);
    // Walking down by EnterElement reaches the text.
    int nDepth = 0;
    while (doc.FindElement()) {
        ++nDepth;
        doc.EnterElement();
    }
    EXPECT_EQ(kDepth, nDepth);
    EXPECT_EQ(u"x", doc.GetText(doc.GetParentIndex()));
}

TEST(XmlParse, DeepUnendedDocumentClosesInOnePass) {
    // Every element is closed implicitly; all of them end up as siblings under the document, in
    // order. Moving children up level by level would take quadratic time here.
    constexpr int kDepth = 300000;
    std::u16string s;
    for (int i = 0; i < kDepth; ++i) s += u"<a><b/>";
    CXmlDocument doc(s);
    EXPECT_EQ(u"Root element has sibling", doc.GetError());
    ASSERT_EQ(2 * kDepth + 1, doc.GetRecordCount());
    EXPECT_EQ(1, doc.GetRecord(0).nFirstChild);
    EXPECT_EQ(2 * kDepth, doc.GetRecord(1).nPrev);  // the back link names the last one
    for (int32_t i = 1; i <= 2 * kDepth; ++i) {
        const ElementRecord& rec = doc.GetRecord(i);
        ASSERT_EQ(0, rec.nParent) << i;
        ASSERT_EQ(i == 2 * kDepth ? 0 : i + 1, rec.nNext) << i;
        if (i > 1) {
            ASSERT_EQ(i - 1, rec.nPrev) << i;
        }
        ASSERT_EQ(i == 1 ? kFirst : 0u, rec.Flags() & kFirst) << i;
        ASSERT_EQ(0, rec.nFirstChild) << i;
        ASSERT_EQ((i % 2) ? kNotEnded : 0u, rec.Flags() & kNotEnded) << i;
    }
    // Closed by an end tag further out: the inner ones move under the matched element.
    CXmlDocument doc2(u"<r><a><x/><b><y/></r>");
    EXPECT_EQ(u"End tag 'r' at offset 18 does not match start tag 'b' at offset 10",
              doc2.GetError());
    EXPECT_EQ((Rec{0, 21, 3, 4, 0, kFirst, 0, 2, 0, 1}), Get(doc2, 1));
    EXPECT_EQ((Rec{3, 3, 3, 0, 1, kFirst | kNotEnded, 1, 0, 3, 5}), Get(doc2, 2));
    EXPECT_EQ((Rec{6, 4, 4, 0, 2, 0, 1, 0, 4, 2}), Get(doc2, 3));
    EXPECT_EQ((Rec{10, 3, 3, 0, 2, kNotEnded, 1, 0, 5, 3}), Get(doc2, 4));
    EXPECT_EQ((Rec{13, 4, 4, 0, 3, 0, 1, 0, 0, 4}), Get(doc2, 5));
}

TEST(XmlParse, OverlongTagsAreRejectedNotTruncated) {
    std::u16string s = u"<r><a x='";
    s.append(0x100000, u'v');
    s += u"'/></r>";
    CXmlDocument doc(s);
    EXPECT_EQ(u"Incorrect tag at offset 3", doc.GetError());
    EXPECT_EQ(2, doc.GetRecordCount());

    std::u16string strName(600, u'n');
    CXmlDocument doc2(u"<" + strName + u"></" + strName + u">");
    EXPECT_FALSE(doc2.IsWellFormed());
    EXPECT_EQ(u"No start tag for end tag '" + strName + u"' at offset 602", doc2.GetError());
}

TEST(XmlParse, ReparseDiscardsEverything) {
    CXmlDocument doc(u"<a><b/></a>");
    ASSERT_TRUE(doc.FindElement());
    ASSERT_TRUE(doc.SavePosition(u"p"));
    ASSERT_TRUE(doc.SetDocument(u"<z/>"));
    EXPECT_EQ(2, doc.GetRecordCount());
    EXPECT_EQ(0, doc.GetMainIndex());
    EXPECT_FALSE(doc.RestorePosition(u"p"));
}

TEST(XmlParse, LongRunsAndEmbeddedZero) {
    // Runs of text and quoted values are passed over in blocks: the boundaries must not matter.
    for (int n = 0; n < 20; ++n) {
        const std::u16string strRun(n, u'x');
        const std::u16string s = u"<r a=\"" + strRun + u"\" b='" + strRun + u"/'/>" + strRun;
        CXmlDocument doc(s);
        ASSERT_TRUE(doc.IsWellFormed()) << n;
        EXPECT_EQ(static_cast<int32_t>(s.size()) - n, doc.GetRecord(1).nLength) << n;
        doc.FindElement();
        EXPECT_EQ(strRun + u"/", doc.GetAttribute(u"b"));
        // A zero character ends the document wherever it falls.
        std::u16string strCut = u"<r>" + strRun;
        strCut += u'\0';
        strCut += u"</r>";
        CXmlDocument cut(strCut);
        EXPECT_EQ(u"Element 'r' at offset 0 not ended", cut.GetError()) << n;
        EXPECT_EQ(static_cast<int32_t>(strCut.size()), cut.GetRecord(0).nLength);
        std::u16string strQuote = u"<r a='" + strRun;
        strQuote += u'\0';
        strQuote += u"'/>";
        EXPECT_EQ(u"No root element", CXmlDocument(strQuote).GetError()) << n;
    }
}

TEST(XmlParse, LongCommentsSectionsAndInstructions) {
    // The terminator is looked for from the opener's own characters on: "<!-->" is a whole
    // comment (its inside, 2 characters short, reads as empty).
    CXmlDocument quirk(u"<r><!-->x</r>");
    ASSERT_TRUE(quirk.IsWellFormed());
    quirk.FindElement();
    quirk.EnterElement();
    ASSERT_EQ(32, quirk.FindNode());
    EXPECT_EQ(5, quirk.GetNodeLength());
    EXPECT_EQ(u"", quirk.GetText());
    for (int n = 0; n < 20; ++n) {
        const std::u16string strRun(n + 1, u'x');
        const std::u16string s = u"<r><!--" + strRun + u"> -- >--><![CDATA[" + strRun +
                                 u"]>]]><?p " + strRun + u"> ?></r>";
        CXmlDocument doc(s);
        ASSERT_TRUE(doc.IsWellFormed()) << n << " " << U8(doc.GetError());
        doc.FindElement();
        doc.EnterElement();
        ASSERT_EQ(32, doc.FindNode());
        EXPECT_EQ(strRun + u"> -- >", doc.GetText()) << n;
        ASSERT_EQ(8, doc.FindNode());
        EXPECT_EQ(strRun + u"]>", doc.GetText()) << n;
        ASSERT_EQ(16, doc.FindNode());
        EXPECT_EQ(u"p " + strRun + u"> ", doc.GetText()) << n;
        EXPECT_EQ(u"Comment at offset 3 unterminated",
                  CXmlDocument(u"<r><!--" + strRun + u"->").GetError());
    }
}
