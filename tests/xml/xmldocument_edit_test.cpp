// Navigation, reading and editing: positions before and after each operation, the exact text an
// edit leaves, record offsets kept right (checked against the text after every edit), saved
// positions, escaping and unescaping.
#include <gtest/gtest.h>

#include <string>

#include "xml/record_check.h"
#include "xml/xmldocument.h"

using kt::CXmlDocument;
using kt::ElementRecord;

namespace {

std::string U8(const std::u16string& s) {
    return std::string(s.begin(), s.end());
}

#define EXPECT_RECORDS_OK(doc) \
    EXPECT_EQ("", kt_xml_test::CheckRecords(doc)) << U8((doc).GetDocument())

struct Pos {
    int32_t parent, main, child;
    bool operator==(const Pos& o) const {
        return parent == o.parent && main == o.main && child == o.child;
    }
};
std::ostream& operator<<(std::ostream& os, const Pos& p) {
    return os << "(" << p.parent << "," << p.main << "," << p.child << ")";
}
Pos At(const CXmlDocument& doc) {
    return {doc.GetParentIndex(), doc.GetMainIndex(), doc.GetChildIndex()};
}

}  // namespace

TEST(XmlNavigate, FindElementAmongSiblings) {
    CXmlDocument doc(u"<r><a x=\"1\"/><b/><a x=\"2\"/></r>");
    ASSERT_TRUE(doc.FindElement(u"r"));
    ASSERT_TRUE(doc.EnterElement());
    EXPECT_EQ((Pos{1, 0, 0}), At(doc));
    ASSERT_TRUE(doc.FindElement(u"a"));
    EXPECT_EQ(u"1", doc.GetAttribute(u"x"));
    ASSERT_TRUE(doc.FindElement(u"a"));
    EXPECT_EQ(u"2", doc.GetAttribute(u"x"));
    EXPECT_FALSE(doc.FindElement(u"a"));
    EXPECT_EQ((Pos{1, 4, 0}), At(doc));  // stays on the second a
    EXPECT_EQ(u"2", doc.GetAttribute(u"x"));
    EXPECT_TRUE(doc.LeaveElement());
    EXPECT_EQ((Pos{0, 1, 4}), At(doc));
    EXPECT_FALSE(doc.LeaveElement());
    // A name followed by a blank or '=' matches its first word only.
    doc.ResetPosition();
    EXPECT_TRUE(doc.FindElement(u"r extra"));
    EXPECT_FALSE(doc.FindElement(u"r"));
}

TEST(XmlNavigate, FindChildAndEnterLeave) {
    CXmlDocument doc(u"<r><a/><b><c/></b></r>");
    EXPECT_FALSE(doc.EnterElement());
    EXPECT_TRUE(doc.FindChildElement(u"b"));  // finds r first
    EXPECT_EQ((Pos{0, 1, 3}), At(doc));
    EXPECT_FALSE(doc.FindChildElement(u"a"));  // only after the child position
    EXPECT_EQ((Pos{0, 1, 3}), At(doc));
    ASSERT_TRUE(doc.EnterElement());
    EXPECT_EQ((Pos{1, 3, 0}), At(doc));
    EXPECT_EQ(u"b", doc.GetElementName());
    ASSERT_TRUE(doc.FindChildElement());
    EXPECT_EQ(u"/r/b/c", doc.GetElementPath(doc.GetChildIndex()));
}

TEST(XmlNavigate, NameCaseFlagAppliesToLookups) {
    CXmlDocument doc;
    doc.SetDocFlags(CXmlDocument::IgnoreNameCase);
    ASSERT_TRUE(doc.SetDocument(u"<Root><URL ID=\"7\"/></root>"));
    ASSERT_TRUE(doc.FindElement(u"root"));
    ASSERT_TRUE(doc.FindChildElement(u"url"));
    doc.EnterElement();
    EXPECT_EQ(u"URL", doc.GetElementName());
    EXPECT_EQ(u"7", doc.GetAttribute(u"id"));
}

TEST(XmlNavigate, ElementPath) {
    CXmlDocument doc(u"<root><item/><other/><item><item/></item></root>");
    EXPECT_EQ(u"/root", doc.GetElementPath(1));
    EXPECT_EQ(u"/root/item", doc.GetElementPath(2));
    EXPECT_EQ(u"/root/other", doc.GetElementPath(3));
    EXPECT_EQ(u"/root/item[2]", doc.GetElementPath(4));
    EXPECT_EQ(u"/root/item[2]/item", doc.GetElementPath(5));
    EXPECT_EQ(u"", doc.GetElementPath(0));
    EXPECT_EQ(u"", doc.GetElementPath(99));
}

TEST(XmlNavigate, FindNodeWalksEveryNode) {
    const std::u16string s =
        u"<?xml version=\"1.0\" encoding=\"GBK\"?>\n<!DOCTYPE r>\n"
        u"<r>t&amp;1<!--c--><![CDATA[d<]]><?pi a='1'?><e>x</e>  </r>";
    CXmlDocument doc(s);
    ASSERT_TRUE(doc.IsWellFormed());
    EXPECT_EQ(16, doc.FindNode());
    EXPECT_EQ(u"xml", doc.GetElementName());
    EXPECT_EQ(u"GBK", doc.GetAttribute(u"encoding"));
    EXPECT_EQ(u"encoding", doc.GetAttributeName(1));
    EXPECT_EQ(4, doc.FindNode());
    EXPECT_EQ(u"#text", doc.GetElementName());
    EXPECT_EQ(64, doc.FindNode());
    EXPECT_EQ(u"DOCTYPE", doc.GetElementName());
    EXPECT_EQ(u"<!DOCTYPE r>", doc.GetText());
    EXPECT_EQ(4, doc.FindNode());
    EXPECT_EQ(1, doc.FindNode());
    EXPECT_EQ((Pos{0, 1, 0}), At(doc));
    EXPECT_EQ(0, doc.FindNode());  // nothing after the root
    ASSERT_TRUE(doc.EnterElement());
    EXPECT_EQ(2, doc.FindNode());
    EXPECT_EQ(u"t&1", doc.GetText());
    EXPECT_EQ(32, doc.FindNode());
    EXPECT_EQ(u"#comment", doc.GetElementName());
    EXPECT_EQ(u"c", doc.GetText());
    EXPECT_EQ(8, doc.FindNode());
    EXPECT_EQ(u"#cdata-section", doc.GetElementName());
    EXPECT_EQ(u"d<", doc.GetText());
    EXPECT_EQ(16, doc.FindNode());
    EXPECT_EQ(u"pi", doc.GetElementName());
    EXPECT_EQ(u"pi a='1'", doc.GetText());
    EXPECT_EQ(u"1", doc.GetAttribute(u"a"));
    // A mask skips what it does not name, elements included; the main position follows.
    EXPECT_EQ(4, doc.FindNode(4));
    EXPECT_EQ((Pos{1, 2, 0}), At(doc));
    EXPECT_EQ(0, doc.FindNode());  // the parent's end tag ends the list
    // An empty parent has no nodes.
    CXmlDocument empty(u"<r><e/></r>");
    empty.FindElement();
    empty.FindChildElement();
    empty.EnterElement();
    empty.EnterElement();
    EXPECT_EQ(0, empty.FindNode());
}

TEST(XmlNavigate, LoneEndTagAndRejectedNodes) {
    CXmlDocument doc(u"<r>a</x>b<1>c</r>");
    ASSERT_TRUE(doc.FindElement());
    ASSERT_TRUE(doc.EnterElement());
    EXPECT_EQ(2, doc.FindNode());
    EXPECT_EQ(128, doc.FindNode());
    EXPECT_EQ(u"x", doc.GetElementName());
    EXPECT_EQ(u"x", doc.GetText());
    EXPECT_EQ(2, doc.FindNode());
    EXPECT_EQ(0x8000, doc.FindNode());
    EXPECT_EQ(u"<1>", doc.GetText());
}

TEST(XmlRead, AttributesAndText) {
    CXmlDocument doc(u"<input disabled x='a&amp;b' y=\"&#65;&#x41;&#0;&foo;\" z=1/>");
    ASSERT_TRUE(doc.FindElement());
    EXPECT_EQ(u"disabled", doc.GetAttribute(u"disabled"));
    EXPECT_EQ(u"", doc.GetAttribute(u"w"));
    EXPECT_EQ(u"a&b", doc.GetAttribute(u"x"));
    EXPECT_EQ(u"AA&#0;&foo;", doc.GetAttribute(u"y"));
    EXPECT_EQ(u"1/", doc.GetAttribute(u"z"));  // an unquoted value takes the slash
    EXPECT_EQ(u"disabled", doc.GetAttributeName(0));
    EXPECT_EQ(u"z", doc.GetAttributeName(3));
    EXPECT_EQ(u"", doc.GetAttributeName(4));

    CXmlDocument text(
        u"<r><a>x &lt; y</a><b>1<!--no-->2<![CDATA[<3>]]><?p?></b><c/><d><e/></d></r>");
    text.FindElement();
    text.EnterElement();
    text.FindElement(u"a");
    EXPECT_EQ(u"x < y", text.GetText());
    text.FindElement(u"b");
    EXPECT_EQ(u"12<3>", text.GetText());
    text.FindElement(u"c");
    EXPECT_EQ(u"", text.GetText());
    text.FindElement(u"d");
    EXPECT_EQ(u"", text.GetText());  // has child elements
}

TEST(XmlEscape, EscapeAndUnescape) {
    EXPECT_EQ(u"a&lt;b", CXmlDocument::EscapeText(u"a<b"));
    EXPECT_EQ(u"&amp;&gt;'\"", CXmlDocument::EscapeText(u"&>'\""));
    EXPECT_EQ(u"&apos;&quot;", CXmlDocument::EscapeText(u"'\"", CXmlDocument::TextEscapeQuotes));
    const uint32_t nKeep = CXmlDocument::TextKeepReferences;
    EXPECT_EQ(u"&amp;", CXmlDocument::EscapeText(u"&amp;", nKeep));
    EXPECT_EQ(u"&amp; x", CXmlDocument::EscapeText(u"& x", nKeep));
    EXPECT_EQ(u"&#65;&x-1.y;&amp;1;&amp;a", CXmlDocument::EscapeText(u"&#65;&x-1.y;&1;&a", nKeep));
    EXPECT_EQ(u"&amp;amp;", CXmlDocument::EscapeText(u"&amp;"));

    EXPECT_EQ(u"<&>'\"", CXmlDocument::UnescapeText(u"&lt;&amp;&gt;&apos;&quot;"));
    EXPECT_EQ(u"AA", CXmlDocument::UnescapeText(u"&#65;&#x41;"));
    EXPECT_EQ(u"&#0;&#x0;&foo;&", CXmlDocument::UnescapeText(u"&#0;&#x0;&foo;&"));
    EXPECT_EQ(u"\u4E2D", CXmlDocument::UnescapeText(u"&#x4E2D;"));
    EXPECT_EQ(std::u16string(1, u'\x2345'),
              CXmlDocument::UnescapeText(u"&#x12345;"));                  // low 16 bits
    EXPECT_EQ(u"&#1234567;", CXmlDocument::UnescapeText(u"&#1234567;"));  // ';' out of reach
    EXPECT_EQ(u"&lt", CXmlDocument::UnescapeText(u"&lt"));
    EXPECT_EQ(u"<", CXmlDocument::UnescapeText(u"&lt;tail", 4));
    const char16_t sz[] = u"a&gt;b";
    EXPECT_EQ(u"a>b", CXmlDocument::UnescapeText(sz, -1));
}

TEST(XmlEscape, DeclaredEncoding) {
    EXPECT_EQ(u"GBK",
              CXmlDocument::GetDeclaredEncoding(u"<?xml version=\"1.0\" encoding=\"GBK\"?><r/>"));
    EXPECT_EQ(u"utf-8", CXmlDocument::GetDeclaredEncoding(u"  <?xml encoding='utf-8' ?>"));
    EXPECT_EQ(u"", CXmlDocument::GetDeclaredEncoding(u"<r/><?xml encoding='x'?>"));
    EXPECT_EQ(u"", CXmlDocument::GetDeclaredEncoding(u"<?xml encoding='x'"));
    EXPECT_EQ(u"", CXmlDocument::GetDeclaredEncoding(u"<?xml version='1.0'?>"));
}

TEST(XmlEdit, AddChildToEmptyElement) {
    CXmlDocument doc(u"<a/>");
    ASSERT_TRUE(doc.FindElement());
    ASSERT_TRUE(doc.AddElement(u"b", u"1", CXmlDocument::InsertAsChild));
    EXPECT_EQ(u"<a>\r\n<b>1</b>\r\n</a>", doc.GetDocument());
    EXPECT_EQ((Pos{0, 1, 2}), At(doc));
    const ElementRecord& a = doc.GetRecord(1);
    const ElementRecord& b = doc.GetRecord(2);
    EXPECT_EQ(5, b.nStart - a.nStart);
    EXPECT_EQ(4, a.EndTagLength());
    EXPECT_EQ(3, a.StartTagLength());
    EXPECT_EQ(3, b.StartTagLength());
    EXPECT_EQ(4, b.EndTagLength());
    EXPECT_EQ(1, b.Level());
    EXPECT_RECORDS_OK(doc);
    EXPECT_TRUE(doc.IsWellFormed());
    EXPECT_EQ(u"1", doc.GetChildText());
}

TEST(XmlEdit, AddElementPlacementAndFlags) {
    CXmlDocument doc(u"<r>\r\n  <a/>\r\n  <c/>\r\n</r>");
    doc.FindElement();
    doc.EnterElement();
    doc.FindElement(u"a");
    // After a: the blanks after a are passed over, the new element comes before c.
    ASSERT_TRUE(doc.AddElement(u"b"));
    EXPECT_EQ(u"<r>\r\n  <a/>\r\n  <b/>\r\n<c/>\r\n</r>", doc.GetDocument());
    EXPECT_EQ(u"b", doc.GetElementName());
    EXPECT_EQ(u"/r/b", doc.GetElementPath());
    EXPECT_RECORDS_OK(doc);
    // Before b, no line break, space before the slash.
    ASSERT_TRUE(doc.AddElement(u"x", {},
                               CXmlDocument::InsertBefore | CXmlDocument::TextNoLineBreak |
                                   CXmlDocument::TextSpaceBeforeSlash));
    EXPECT_EQ(u"<r>\r\n  <a/>\r\n  <x /><b/>\r\n<c/>\r\n</r>", doc.GetDocument());
    EXPECT_RECORDS_OK(doc);
    // Start tag alone, marked not ended; a value with it is refused.
    EXPECT_FALSE(doc.AddElement(u"v", u"1", CXmlDocument::TextNoEndTag));
    ASSERT_TRUE(
        doc.AddElement(u"o", {}, CXmlDocument::TextNoEndTag | CXmlDocument::TextNoLineBreak));
    EXPECT_EQ(u"<r>\r\n  <a/>\r\n  <x /><o><b/>\r\n<c/>\r\n</r>", doc.GetDocument());
    EXPECT_TRUE(doc.GetRecord(doc.GetMainIndex()).nLevelFlags & ElementRecord::kNotEnded);
    EXPECT_RECORDS_OK(doc);
    // A child under the not-ended element opens it.
    ASSERT_TRUE(
        doc.AddElement(u"k", 5, CXmlDocument::InsertAsChild | CXmlDocument::TextNoLineBreak));
    EXPECT_EQ(u"<r>\r\n  <a/>\r\n  <x /><o><k>5</k></o><b/>\r\n<c/>\r\n</r>", doc.GetDocument());
    EXPECT_RECORDS_OK(doc);
    // Escaped value, and a CDATA value.
    doc.LeaveElement();
    ASSERT_TRUE(doc.AddElement(u"t", u"<&>", CXmlDocument::TextNoLineBreak));
    ASSERT_TRUE(
        doc.AddElement(u"d", u"x]]>y", CXmlDocument::TextNoLineBreak | CXmlDocument::TextAsCData));
    EXPECT_NE(std::u16string::npos,
              doc.GetDocument().find(u"<t>&lt;&amp;&gt;</t><d><![CDATA[x]]]]><![CDATA[>y]]></d>"));
    EXPECT_EQ(u"x]]>y", doc.GetText());
    EXPECT_RECORDS_OK(doc);
    EXPECT_FALSE(doc.AddElement(u""));
}

TEST(XmlEdit, AddToElementWithoutContentAndToEnd) {
    CXmlDocument doc(u"<r></r>");
    doc.FindElement();
    ASSERT_TRUE(doc.AddElement(u"a", {}, CXmlDocument::InsertAsChild));
    EXPECT_EQ(u"<r>\r\n<a/>\r\n</r>", doc.GetDocument());
    // No child position: the end of the content; InsertBefore: its start.
    doc.ResetPosition();
    doc.FindElement();
    ASSERT_TRUE(doc.AddElement(u"z", {}, CXmlDocument::InsertAsChild));
    ASSERT_TRUE(doc.LeaveElement() || true);
    doc.ResetPosition();
    doc.FindElement();
    ASSERT_TRUE(doc.AddElement(u"f", {}, CXmlDocument::InsertAsChild | CXmlDocument::InsertBefore));
    // The blanks at the start of the content are passed over too.
    EXPECT_EQ(u"<r>\r\n<f/>\r\n<a/>\r\n<z/>\r\n</r>", doc.GetDocument());
    EXPECT_RECORDS_OK(doc);
    // Links follow document order: f, a, z.
    doc.ResetPosition();
    doc.FindElement();
    doc.EnterElement();
    std::u16string strNames;
    while (doc.FindElement()) strNames += doc.GetElementName();
    EXPECT_EQ(u"faz", strNames);
}

TEST(XmlEdit, AddToEmptyDocument) {
    CXmlDocument doc;
    ASSERT_TRUE(doc.AddElement(u"root"));
    EXPECT_EQ(u"<root/>\r\n", doc.GetDocument());
    EXPECT_RECORDS_OK(doc);
    EXPECT_TRUE(doc.AddElement(u"n", u"v", CXmlDocument::InsertAsChild));
    EXPECT_EQ(u"<root>\r\n<n>v</n>\r\n</root>\r\n", doc.GetDocument());
    CXmlDocument reparsed(doc.GetDocument());
    EXPECT_TRUE(reparsed.IsWellFormed());
}

TEST(XmlEdit, SetTextAndAttributes) {
    CXmlDocument doc(u"<r><a x=\"1\">old</a><b/><c><d/></c></r>");
    doc.FindElement();
    doc.EnterElement();
    doc.FindElement(u"a");
    ASSERT_TRUE(doc.SetText(u"n<1"));
    EXPECT_EQ(u"<r><a x=\"1\">n&lt;1</a><b/><c><d/></c></r>", doc.GetDocument());
    ASSERT_TRUE(doc.SetAttribute(u"x", u"q\"'"));
    ASSERT_TRUE(doc.SetAttribute(u"y", 12));
    EXPECT_EQ(u"<r><a x=\"q&quot;&apos;\" y=\"12\">n&lt;1</a><b/><c><d/></c></r>",
              doc.GetDocument());
    EXPECT_EQ(u"q\"'", doc.GetAttribute(u"x"));
    EXPECT_EQ(28, doc.GetRecord(2).StartTagLength());
    EXPECT_RECORDS_OK(doc);
    doc.FindElement(u"b");
    ASSERT_TRUE(doc.SetText(u"x]]>y", CXmlDocument::TextAsCData));
    EXPECT_NE(std::u16string::npos,
              doc.GetDocument().find(u"<b><![CDATA[x]]]]><![CDATA[>y]]></b>"));
    EXPECT_EQ(u"x]]>y", doc.GetText());
    ASSERT_TRUE(doc.SetAttribute(u"k", u"v"));
    EXPECT_NE(std::u16string::npos, doc.GetDocument().find(u"<b k=\"v\">"));
    EXPECT_RECORDS_OK(doc);
    doc.FindElement(u"c");
    EXPECT_FALSE(doc.SetText(u"no"));  // has a child element
    // An attribute written without a value takes one after its name.
    CXmlDocument flag(u"<input disabled/>");
    flag.FindElement();
    ASSERT_TRUE(flag.SetAttribute(u"disabled", u"yes"));
    EXPECT_EQ(u"<input disabled=\"yes\"/>", flag.GetDocument());
    EXPECT_RECORDS_OK(flag);
    // An attribute of the selected processing instruction.
    CXmlDocument pi(u"<?xml version=\"1.0\"?><r/>");
    ASSERT_EQ(16, pi.FindNode());
    ASSERT_TRUE(pi.SetAttribute(u"encoding", u"GBK"));
    EXPECT_EQ(u"<?xml version=\"1.0\" encoding=\"GBK\"?><r/>", pi.GetDocument());
    EXPECT_EQ(u"GBK", CXmlDocument::GetDeclaredEncoding(pi.GetDocument()));
    EXPECT_RECORDS_OK(pi);
}

TEST(XmlEdit, SetTextClearsErrorMark) {
    CXmlDocument doc(u"<r><a><1></a></r>");
    EXPECT_TRUE(doc.GetRecord(2).nLevelFlags & ElementRecord::kHoldsError);
    doc.FindChildElement();
    doc.EnterElement();
    ASSERT_TRUE(doc.SetText(u"fine"));
    EXPECT_FALSE(doc.GetRecord(2).nLevelFlags & ElementRecord::kHoldsError);
    EXPECT_EQ(u"<r><a>fine</a></r>", doc.GetDocument());
    EXPECT_RECORDS_OK(doc);
}

TEST(XmlEdit, NodesAddSetRemove) {
    CXmlDocument doc(u"<r><a/></r>");
    doc.FindElement();
    doc.EnterElement();
    doc.FindElement();
    ASSERT_TRUE(doc.AddNode(CXmlDocument::NodeComment, u"c"));
    EXPECT_EQ(u"<r><a/><!--c--></r>", doc.GetDocument());
    EXPECT_EQ(32, doc.GetNodeType());
    EXPECT_EQ((Pos{1, 2, 0}), At(doc));
    ASSERT_TRUE(doc.SetText(u"longer"));
    EXPECT_EQ(u"<r><a/><!--longer--></r>", doc.GetDocument());
    EXPECT_EQ(13, doc.GetNodeLength());
    ASSERT_TRUE(doc.AddNode(CXmlDocument::NodeText, u"1<2"));
    ASSERT_TRUE(doc.AddNode(CXmlDocument::NodeProcessingInstruction, u"p q"));
    ASSERT_TRUE(doc.AddNode(CXmlDocument::NodeDeclaration, u"<!ENTITY e 'x'>"));
    ASSERT_TRUE(doc.AddNode(CXmlDocument::NodeCData, u"]]"));
    EXPECT_FALSE(doc.AddNode(CXmlDocument::NodeCData, u"]]>"));
    EXPECT_FALSE(doc.AddNode(128, u"x"));
    EXPECT_EQ(u"<r><a/><!--longer-->1&lt;2<?p q?><!ENTITY e 'x'><![CDATA[]]]]></r>",
              doc.GetDocument());
    EXPECT_RECORDS_OK(doc);
    ASSERT_TRUE(doc.AddNode(CXmlDocument::NodeElement, u"e"));
    EXPECT_EQ(1, doc.GetNodeType());
    EXPECT_EQ(u"e", doc.GetElementName());
    EXPECT_RECORDS_OK(doc);
    // Remove the comment: the position stays on the element before it.
    doc.ResetPosition();
    doc.FindElement();
    doc.EnterElement();
    doc.FindElement();
    ASSERT_EQ(32, doc.FindNode(32));
    ASSERT_TRUE(doc.RemoveNode());
    EXPECT_EQ((Pos{1, 2, 0}), At(doc));
    EXPECT_EQ(u"<r><a/>1&lt;2<?p q?><!ENTITY e 'x'><![CDATA[]]]]><e/>\r\n</r>", doc.GetDocument());
    EXPECT_RECORDS_OK(doc);
    EXPECT_FALSE(doc.RemoveNode());  // nothing selected now
}

TEST(XmlEdit, RemoveElementAndChild) {
    CXmlDocument doc(u"<r>\n <a><x/></a>\n <b/>\n <c/>\n</r>");
    doc.FindElement();
    doc.EnterElement();
    doc.FindElement(u"b");
    const int32_t iB = doc.GetMainIndex();
    ASSERT_TRUE(doc.SavePosition(u"b"));
    ASSERT_TRUE(doc.RemoveElement());
    EXPECT_EQ(u"<r>\n <a><x/></a>\n <c/>\n</r>", doc.GetDocument());
    EXPECT_EQ((Pos{1, 2, 0}), At(doc));
    EXPECT_TRUE(doc.GetRecord(iB).nLevelFlags & ElementRecord::kReleased);
    EXPECT_EQ(iB, doc.GetReleasedChain());
    EXPECT_FALSE(doc.RestorePosition(u"b"));  // dropped with the record
    EXPECT_RECORDS_OK(doc);
    // Remove a with its child x: both released and chained, newest first.
    ASSERT_TRUE(doc.RemoveElement());
    EXPECT_EQ((Pos{1, 0, 0}), At(doc));
    EXPECT_EQ(u"<r>\n <c/>\n</r>", doc.GetDocument());
    EXPECT_EQ(3, doc.GetReleasedChain());  // x, then a, then b
    EXPECT_EQ(2, doc.GetRecord(3).nNext);
    EXPECT_EQ(iB, doc.GetRecord(2).nNext);
    EXPECT_RECORDS_OK(doc);
    // The new first child took over the first-child flag and the back link.
    EXPECT_TRUE(doc.GetRecord(5).nLevelFlags & ElementRecord::kFirstChild);
    EXPECT_EQ(5, doc.GetRecord(5).nPrev);
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
    EXPECT_EQ(u"<r>\n </r>", doc.GetDocument());
    EXPECT_EQ(0, doc.GetRecord(1).nFirstChild);
    EXPECT_RECORDS_OK(doc);
}

TEST(XmlEdit, SubDocument) {
    CXmlDocument doc(u"<r><a/></r>");
    doc.FindElement();
    doc.EnterElement();
    doc.FindElement();
    ASSERT_TRUE(doc.AddSubDocument(u" text <s k='1'><t/></s> tail", CXmlDocument::TextNoLineBreak));
    EXPECT_EQ(u"<r><a/><s k='1'><t/></s></r>", doc.GetDocument());
    EXPECT_EQ(u"s", doc.GetElementName());
    EXPECT_EQ(u"1", doc.GetAttribute(u"k"));
    EXPECT_EQ(1, doc.GetRecord(doc.GetMainIndex()).Level());
    ASSERT_TRUE(doc.FindChildElement(u"t"));
    EXPECT_EQ(u"/r/s/t", doc.GetElementPath(doc.GetChildIndex()));
    EXPECT_EQ(2, doc.GetRecord(doc.GetChildIndex()).Level());
    EXPECT_RECORDS_OK(doc);
    // Two top-level elements: both go in, the result is false.
    EXPECT_FALSE(doc.AddSubDocument(u"<u/><v/>", CXmlDocument::TextNoLineBreak));
    EXPECT_EQ(u"<r><a/><s k='1'><t/></s><u/><v/></r>", doc.GetDocument());
    EXPECT_RECORDS_OK(doc);
    // Ill-formed: inserted as given, without line breaks; its records are linked as parsed.
    EXPECT_FALSE(doc.AddSubDocument(u"<w><q></w>"));
    EXPECT_EQ(u"<r><a/><s k='1'><t/></s><u/><w><q></w><v/></r>", doc.GetDocument());
    EXPECT_RECORDS_OK(doc);
    // As a child, with a line break.
    doc.ResetPosition();
    doc.FindElement();
    doc.EnterElement();
    doc.FindElement(u"a");
    ASSERT_TRUE(doc.AddSubDocument(u"<in/>", CXmlDocument::InsertAsChild));
    EXPECT_EQ(u"<r><a>\r\n<in/>\r\n</a><s k='1'><t/></s><u/><w><q></w><v/></r>", doc.GetDocument());
    EXPECT_EQ(u"in", std::u16string(doc.GetDocument().substr(
                         doc.GetRecord(doc.GetChildIndex()).nStart + 1, 2)));
    EXPECT_RECORDS_OK(doc);
    CXmlDocument reparsed(doc.GetDocument());
    EXPECT_EQ(u"End tag 'w' at offset 47 does not match start tag 'q' at offset 43",
              reparsed.GetError());
}

TEST(XmlEdit, ReplaceContentReleasesChildren) {
    CXmlDocument doc(u"<r><a><b/></a><c/></r>");
    doc.FindElement();
    ASSERT_TRUE(doc.SavePosition(u"root"));
    ASSERT_TRUE(doc.AddElement(u"n", u"1",
                               CXmlDocument::InsertAsChild | CXmlDocument::InsertReplaceContent));
    EXPECT_EQ(u"<r><n>1</n>\r\n</r>", doc.GetDocument());
    EXPECT_TRUE(doc.GetRecord(2).nLevelFlags & ElementRecord::kReleased);
    EXPECT_TRUE(doc.GetRecord(3).nLevelFlags & ElementRecord::kReleased);
    EXPECT_RECORDS_OK(doc);
    EXPECT_TRUE(doc.RestorePosition(u"root"));
}

TEST(XmlPositions, SaveRestoreAcrossEditsAndBucketGrowth) {
    CXmlDocument doc(u"<r><a><b/></a><c/></r>");
    EXPECT_FALSE(doc.SavePosition(u""));
    EXPECT_FALSE(doc.RestorePosition(u"none"));
    ASSERT_TRUE(doc.SavePosition(u"top"));  // parent position of the document
    doc.FindElement();
    doc.FindChildElement(u"a");
    ASSERT_TRUE(doc.SavePosition(u"child"));
    doc.EnterElement();
    doc.FindChildElement();
    doc.EnterElement();
    ASSERT_TRUE(doc.SavePosition(u"main"));  // (a, b, 0)
    // Many names that share one bucket (equal character sums) make it grow.
    std::u16string strNames[20];
    for (int i = 0; i < 20; ++i) {
        strNames[i] = std::u16string(1, static_cast<char16_t>(u'A' + i * 7)) + u"x";
        ASSERT_TRUE(doc.SavePosition(strNames[i]));
    }
    // Edits before them keep them valid.
    doc.ResetPosition();
    doc.FindElement();
    ASSERT_TRUE(doc.SetAttribute(u"attr", u"value"));
    ASSERT_TRUE(doc.AddElement(u"z", {}, CXmlDocument::InsertAsChild | CXmlDocument::InsertBefore));
    ASSERT_TRUE(doc.RestorePosition(u"child"));
    EXPECT_EQ((Pos{0, 1, 2}), At(doc));
    EXPECT_EQ(u"a", doc.GetDocument().substr(doc.GetRecord(2).nStart + 1, 1));
    ASSERT_TRUE(doc.RestorePosition(u"main"));
    EXPECT_EQ((Pos{2, 3, 0}), At(doc));
    EXPECT_EQ(u"b", doc.GetElementName());
    ASSERT_TRUE(doc.RestorePosition(u"top"));
    EXPECT_EQ((Pos{0, 0, 0}), At(doc));
    for (const auto& strName : strNames) {
        ASSERT_TRUE(doc.RestorePosition(strName)) << U8(strName);
        EXPECT_EQ(3, doc.GetMainIndex());
    }
    // Saving a name again replaces its entry.
    doc.ResetPosition();
    doc.FindElement();
    ASSERT_TRUE(doc.SavePosition(u"main"));
    doc.ResetPosition();
    ASSERT_TRUE(doc.RestorePosition(u"main"));
    EXPECT_EQ((Pos{0, 1, 0}), At(doc));
    // A copy carries them; a parse drops them.
    CXmlDocument copy;
    copy = doc;
    EXPECT_TRUE(copy.RestorePosition(u"child"));
    ASSERT_TRUE(doc.SetDocument(doc.GetDocument()));
    EXPECT_FALSE(doc.RestorePosition(u"child"));
    EXPECT_TRUE(copy.RestorePosition(u"child"));
}

// Inputs the fuzz target found; each once broke the records' agreement with the text.
TEST(XmlEdit, FuzzFindings) {
    {
        // An attribute added to an element closed implicitly goes before its own '>'.
        CXmlDocument doc(u"<a><x/><y><z/></a>");
        doc.FindElement();
        doc.EnterElement();
        doc.FindElement(u"y");
        ASSERT_TRUE(doc.SetAttribute(u"k", u"v"));
        EXPECT_EQ(u"<a><x/><y k=\"v\"><z/></a>", doc.GetDocument());
        EXPECT_RECORDS_OK(doc);
    }
    {
        // A quote the scanner did not follow (not after '=') does not carry the reader past
        // the tag's end.
        CXmlDocument doc(u"<r><e a \"x>y\"></e></r>");
        doc.FindElement();
        doc.EnterElement();
        ASSERT_TRUE(doc.FindElement(u"e"));
        ASSERT_TRUE(doc.SetAttribute(u"k", u"v"));
        EXPECT_EQ(u"<r><e a \"x k=\"v\">y\"></e></r>", doc.GetDocument());
        EXPECT_RECORDS_OK(doc);
    }
    {
        // In <u p=v'/> the scanner took "/>" as the empty-element end; edits keep it so.
        CXmlDocument doc(u"<r><u p=v'/></r>");
        doc.FindElement();
        doc.EnterElement();
        ASSERT_TRUE(doc.FindElement(u"u"));
        EXPECT_EQ(u"v'", doc.GetAttribute(u"p"));
        ASSERT_TRUE(doc.SetAttribute(u"k", u"1"));
        EXPECT_EQ(u"<r><u p=v' k=\"1\"/></r>", doc.GetDocument());
        ASSERT_TRUE(doc.SetAttribute(u"p", u"2"));
        EXPECT_EQ(u"<r><u p=\"2\" k=\"1\"/></r>", doc.GetDocument());
        EXPECT_RECORDS_OK(doc);
    }
    {
        // An ill-formed fragment goes in as text; a node scanned over it may run past the
        // parent's end tag, and such a node cannot be changed or removed.
        CXmlDocument doc(u"<r><a/></r>");
        doc.FindElement();
        doc.EnterElement();
        doc.FindElement();
        EXPECT_FALSE(doc.AddSubDocument(u"<!--"));
        EXPECT_EQ(u"<r><a/><!--</r>", doc.GetDocument());
        EXPECT_RECORDS_OK(doc);
        doc.ResetPosition();
        doc.FindElement();
        doc.EnterElement();
        doc.FindElement();
        ASSERT_EQ(0x8000, doc.FindNode());
        EXPECT_FALSE(doc.RemoveNode());
        EXPECT_FALSE(doc.SetText(u"x"));
        EXPECT_EQ(u"<r><a/><!--</r>", doc.GetDocument());
    }
}

TEST(XmlEdit, ReplaceWithSubDocument) {
    CXmlDocument doc(u"<r>\r\n  <a/>\r\n  <b><x/></b>\r\n  <c/>\r\n</r>");
    EXPECT_FALSE(doc.ReplaceWithSubDocument(u"<n/>"));  // no main element
    doc.FindElement();
    doc.EnterElement();
    doc.FindElement(u"b");
    ASSERT_TRUE(doc.ReplaceWithSubDocument(u" <n k='1'><m/></n> "));
    EXPECT_EQ(u"<r>\r\n  <a/>\r\n  <n k='1'><m/></n>\r\n  <c/>\r\n</r>", doc.GetDocument());
    EXPECT_EQ(u"n", doc.GetElementName());
    EXPECT_EQ(u"/r/n", doc.GetElementPath());
    EXPECT_TRUE(doc.GetRecord(3).nLevelFlags & ElementRecord::kReleased);  // b
    EXPECT_TRUE(doc.GetRecord(4).nLevelFlags & ElementRecord::kReleased);  // x
    EXPECT_RECORDS_OK(doc);
    // The first child replaced: the new one takes its place and its first-child flag.
    doc.ResetPosition();
    doc.FindElement();
    doc.EnterElement();
    doc.FindElement(u"a");
    EXPECT_FALSE(doc.ReplaceWithSubDocument(u"<p/><q/>"));  // two elements: in, but false
    EXPECT_EQ(u"<r>\r\n  <p/><q/>\r\n  <n k='1'><m/></n>\r\n  <c/>\r\n</r>", doc.GetDocument());
    EXPECT_TRUE(doc.GetRecord(doc.GetMainIndex()).nLevelFlags & ElementRecord::kFirstChild);
    EXPECT_RECORDS_OK(doc);
    EXPECT_TRUE(CXmlDocument(doc.GetDocument()).IsWellFormed());
}
