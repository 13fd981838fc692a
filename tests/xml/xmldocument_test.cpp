// CXmlDocument: the cases in cases/documents.txt (records of well-formed and broken documents,
// every parser message, the scanner's node boundaries, navigation, reading, escaping, every edit
// with the exact text it leaves, the position after it and records checked against the text,
// saved positions), run by a small interpreter; here besides: running out of memory, the size of
// the record store, deep documents without recursion, block scanning at every run length, files
// through the ANSI code page.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/codepage.h"
#include "platform/paths.h"
#include "support/failalloc.h"
#include "support/files.h"
#include "xml/record_check.h"
#include "xml/xmldocument.h"

using kt::CXmlDocument;
using kt::ElementRecord;
namespace fs = std::filesystem;

namespace {

// A record as the case file writes it (see its head); a released record as "R nNext".
std::string Record(const CXmlDocument& doc, int32_t i) {
    const ElementRecord& r = doc.GetRecord(i);
    auto N = [](int64_t n) { return std::to_string(n); };
    if (r.nLevelFlags & ElementRecord::kReleased) return "R n" + N(r.nNext);
    std::string str = N(r.nStart) + "+" + N(r.nLength) + " " + N(r.StartTagLength()) + "/" +
                      N(r.EndTagLength()) + " L" + N(r.Level()) + " ";
    uint32_t nFlags = r.Flags();
    for (auto [nFlag, ch] : {std::pair{ElementRecord::kFirstChild, 'F'},
                             {ElementRecord::kNotEnded, 'N'},
                             {ElementRecord::kHoldsError, 'E'},
                             {ElementRecord::kIllFormed, 'I'}}) {
        if (nFlags & nFlag) str += ch;
        nFlags &= ~nFlag;
    }
    str += (nFlags ? "#" + N(nFlags) : "") + (r.Flags() ? " p" : "p");
    return str + N(r.nParent) + " c" + N(r.nFirstChild) + " n" + N(r.nNext) + " v" + N(r.nPrev);
}

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

// Every node the scanner finds as "type@start+length", "/" marking an empty-element tag, "#"
// other flags, and the token's text (name or message) in quotes.
std::string Scan(const std::u16string& strText) {
    kt::TagScanner sc;
    sc.pText = strText.c_str();
    kt::NodeToken tok;
    std::string str;
    for (int nType; (nType = CXmlDocument::ScanNode(sc, tok)) != CXmlDocument::ScanEnd;) {
        str += (str.empty() ? "" : " ") + std::to_string(nType) + "@" + std::to_string(tok.nStart) +
               "+" + std::to_string(tok.nLength);
        str += tok.nFlags == 0 ? "" : tok.nFlags == kt::NodeToken::kEmptyTag ? "/" : "#";
        if (!tok.strText.empty()) str += "'" + kt::ToUtf8(tok.strText) + "'";
    }
    return str;
}

// The case file's text escapes (see its head).
std::u16string Text(std::string_view s) {
    if (s == "''") return {};
    std::u16string str;
    std::string strRun;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            strRun += s[i];
        } else if (s[++i] == 'u') {
            str += kt::FromUtf8(strRun) +
                   static_cast<char16_t>(std::stoi(std::string(s.substr(i + 1, 4)), nullptr, 16));
            strRun.clear();
            i += 4;
        } else {
            const std::string_view from = "rnt0s", to{"\r\n\t\0 ", 5};
            const size_t n = from.find(s[i]);
            strRun += n == std::string_view::npos ? s[i] : to[n];
        }
    }
    return str + kt::FromUtf8(strRun);
}

uint32_t Flags(const std::string& strWords) {
    using D = CXmlDocument;
    static const std::map<std::string, uint32_t> flags = {
        {"child", D::InsertAsChild},          {"before", D::InsertBefore},
        {"replace", D::InsertReplaceContent}, {"nolb", D::TextNoLineBreak},
        {"space", D::TextSpaceBeforeSlash},   {"cdata", D::TextAsCData},
        {"noend", D::TextNoEndTag},           {"keep", D::TextKeepReferences},
        {"quotes", D::TextEscapeQuotes},      {"case", D::IgnoreNameCase}};
    uint32_t nFlags = 0;
    std::stringstream in(strWords);
    for (std::string strWord; std::getline(in, strWord, '+') && strWord != "-";) {
        const auto it = flags.find(strWord);
        EXPECT_NE(flags.end(), it) << "unknown flag " << strWord;
        nFlags |= it == flags.end() ? 0 : it->second;
    }
    return nFlags;
}

// The interpreter of the case file: two documents (the first worked on), and per operation the
// number of words before the rest of the line and what it does, giving its result as text.
using Script = std::array<CXmlDocument, 2>;
using Words = std::vector<std::string>;
using Run = std::function<std::u16string(Script&, const Words&, const std::u16string&)>;

const auto B = [](bool b) { return std::u16string(b ? u"1" : u"0"); };
const auto N = [](long long n) { return kt::FromUtf8(std::to_string(n)); };
const auto U = [](const std::string& str) { return kt::FromUtf8(str); };
const auto I = [](const std::u16string& str) {
    return str.empty() ? 0 : std::stoi(kt::ToUtf8(str));
};

// From the top: the root entered, then its child of that name (when given) as the main element.
bool Go(CXmlDocument& doc, const std::u16string& strChild) {
    doc.ResetPosition();
    return doc.FindElement() && doc.EnterElement() &&
           (strChild.empty() || doc.FindElement(strChild));
}

// The nodes FindNode(nMask) finds from the position on, as "type name 'text'" (at most 50).
std::string Walk(CXmlDocument& doc, int nMask) {
    std::string str;
    for (int nType, n = 0; n < 50 && (nType = doc.FindNode(nMask)) != 0; ++n) {
        str += (str.empty() ? "" : " | ") + std::to_string(nType) + " " +
               kt::ToUtf8(doc.GetElementName()) + " '" + kt::ToUtf8(doc.GetText()) + "'";
    }
    return str;
}

const std::map<std::string, std::pair<int, Run>>& Operations() {
    using S = Script;
    using W = const Words&;
    using T = const std::u16string&;
    static const std::map<std::string, std::pair<int, Run>> ops = {
        {"new", {0, [](S& s, W, T t) { return B((s[0] = CXmlDocument(t)).IsWellFormed()); }}},
        {"set", {0, [](S& s, W, T t) { return B(s[0].SetDocument(t)); }}},
        {"reparse", {0, [](S& s, W, T) { return B(s[0].SetDocument(s[0].GetDocument())); }}},
        {"flags", {1, [](S& s, W w, T) { return s[0].SetDocFlags(Flags(w[0])), u""; }}},
        {"reset", {0, [](S& s, W, T) { return s[0].ResetPosition(), u""; }}},
        {"go", {0, [](S& s, W, T t) { return B(Go(s[0], t)); }}},
        {"find", {0, [](S& s, W, T t) { return B(s[0].FindElement(t)); }}},
        {"child", {0, [](S& s, W, T t) { return B(s[0].FindChildElement(t)); }}},
        {"enter", {0, [](S& s, W, T) { return B(s[0].EnterElement()); }}},
        {"leave", {0, [](S& s, W, T) { return B(s[0].LeaveElement()); }}},
        {"node", {0, [](S& s, W, T t) { return N(s[0].FindNode(I(t))); }}},
        {"add", {2, [](S& s, W w, T t) { return B(s[0].AddElement(Text(w[1]), t, Flags(w[0]))); }}},
        {"addint",
         {2, [](S& s, W w, T t) { return B(s[0].AddElement(Text(w[1]), I(t), Flags(w[0]))); }}},
        {"addnode",
         {2, [](S& s, W w, T t) { return B(s[0].AddNode(std::stoi(w[1]), t, Flags(w[0]))); }}},
        {"sub", {1, [](S& s, W w, T t) { return B(s[0].AddSubDocument(t, Flags(w[0]))); }}},
        {"replace", {0, [](S& s, W, T t) { return B(s[0].ReplaceWithSubDocument(t)); }}},
        {"setattr", {1, [](S& s, W w, T t) { return B(s[0].SetAttribute(U(w[0]), t)); }}},
        {"setint", {1, [](S& s, W w, T t) { return B(s[0].SetAttribute(U(w[0]), I(t))); }}},
        {"settext", {1, [](S& s, W w, T t) { return B(s[0].SetText(t, Flags(w[0]))); }}},
        {"rmel", {0, [](S& s, W, T) { return B(s[0].RemoveElement()); }}},
        {"rmchild", {0, [](S& s, W, T) { return B(s[0].RemoveChildElement()); }}},
        {"rmnode", {0, [](S& s, W, T) { return B(s[0].RemoveNode()); }}},
        {"save", {0, [](S& s, W, T t) { return B(s[0].SavePosition(t)); }}},
        {"restore", {0, [](S& s, W, T t) { return B(s[0].RestorePosition(t)); }}},
        {"copy", {0, [](S& s, W, T) { return s[1] = s[0], u""; }}},
        {"other", {0, [](S& s, W, T) { return std::swap(s[0], s[1]), u""; }}},
        {"doc",
         {0,
          [](S& s, W, T) {
              EXPECT_EQ("", kt_xml_test::CheckRecords(s[0]));
              return s[0].GetDocument();
          }}},
        {"error", {0, [](S& s, W, T) { return s[0].GetError(); }}},
        {"records", {0, [](S& s, W, T) { return U(Records(s[0])); }}},
        {"record", {1, [](S& s, W w, T) { return U(Record(s[0], std::stoi(w[0]))); }}},
        {"pos",
         {0,
          [](S& s, W, T) {
              const CXmlDocument& d = s[0];
              return N(d.GetParentIndex()) + u" " + N(d.GetMainIndex()) + u" " +
                     N(d.GetChildIndex());
          }}},
        {"name", {0, [](S& s, W, T) { return s[0].GetElementName(); }}},
        {"text", {0, [](S& s, W, T) { return s[0].GetText(); }}},
        {"childtext", {0, [](S& s, W, T) { return s[0].GetChildText(); }}},
        {"attr", {1, [](S& s, W w, T) { return s[0].GetAttribute(U(w[0])); }}},
        {"attrname", {1, [](S& s, W w, T) { return s[0].GetAttributeName(std::stoi(w[0])); }}},
        {"path", {0, [](S& s, W, T) { return s[0].GetElementPath(); }}},
        {"pathof", {1, [](S& s, W w, T) { return s[0].GetElementPath(std::stoi(w[0])); }}},
        {"walk", {1, [](S& s, W w, T) { return U(Walk(s[0], std::stoi(w[0]))); }}},
        {"type", {0, [](S& s, W, T) { return N(s[0].GetNodeType()); }}},
        {"nodelen", {0, [](S& s, W, T) { return N(s[0].GetNodeLength()); }}},
        {"chain", {0, [](S& s, W, T) { return N(s[0].GetReleasedChain()); }}},
        {"main", {0, [](S& s, W, T) { return N(s[0].GetMainIndex()); }}},
        {"scan", {0, [](S&, W, T t) { return U(Scan(t)); }}},
        {"escape", {1, [](S&, W w, T t) { return CXmlDocument::EscapeText(t, Flags(w[0])); }}},
        {"unescape", {0, [](S&, W, T t) { return CXmlDocument::UnescapeText(t); }}},
        {"encoding", {0, [](S&, W, T t) { return CXmlDocument::GetDeclaredEncoding(t); }}},
    };
    return ops;
}

}  // namespace

TEST(XmlScript, CasesFile) {
    std::ifstream in(KT_XML_CASES "/documents.txt", std::ios::binary);
    ASSERT_TRUE(in) << KT_XML_CASES;
    std::unique_ptr<Script> pScript;
    int nLine = 0;
    int nChecks = 0;
    for (std::string strLine; std::getline(in, strLine);) {
        ++nLine;
        if (strLine.empty() || strLine[0] == '#') continue;
        if (strLine.rfind("== ", 0) == 0) {
            pScript = std::make_unique<Script>();
            continue;
        }
        SCOPED_TRACE("documents.txt:" + std::to_string(nLine) + ": " + strLine);
        ASSERT_TRUE(pScript) << "no case begun";
        const size_t nArrow = strLine.rfind(" => ");
        std::string strOp = strLine.substr(0, nArrow);
        Words words;
        const size_t nName = strOp.find(' ');
        const auto it = Operations().find(strOp.substr(0, nName));
        ASSERT_NE(Operations().end(), it) << "unknown operation";
        std::string strRest = nName == std::string::npos ? "" : strOp.substr(nName + 1);
        for (int n = 0; n < it->second.first; ++n) {
            const size_t nEnd = strRest.find(' ');
            words.push_back(strRest.substr(0, nEnd));
            strRest = nEnd == std::string::npos ? "" : strRest.substr(nEnd + 1);
        }
        const std::u16string strResult = it->second.second(*pScript, words, Text(strRest));
        if (nArrow != std::string::npos) {
            EXPECT_EQ(kt::ToUtf8(Text(strLine.substr(nArrow + 4))), kt::ToUtf8(strResult));
            ++nChecks;
        }
    }
    EXPECT_GT(nChecks, 300);
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
                    (r.Flags() & ElementRecord::kNotEnded) ==
                        (i % 2 ? ElementRecord::kNotEnded : 0u))
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
    // Start tags too long for the record's field are rejected, not cut; so are end tags.
    const std::u16string strName(600, u'n');
    EXPECT_EQ(u"Incorrect tag at offset 3",
              CXmlDocument(u"<r><a x='" + std::u16string(0x100000, u'v') + u"'/></r>").GetError());
    EXPECT_EQ(u"No start tag for end tag '" + strName + u"' at offset 602",
              CXmlDocument(u"<" + strName + u"></" + strName + u">").GetError());
    // The pointer-and-length form reads no further than it is told.
    EXPECT_EQ(u"<", CXmlDocument::UnescapeText(u"&lt;tail", 4));
    EXPECT_EQ(u"a>b", CXmlDocument::UnescapeText(u"a&gt;b", -1));
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
    // Missing, or a directory: the runtime's message (on one line), and the document is kept.
    fs::create_directories(m_dir / "dir.xml");
    CXmlDocument doc(u"<kept/>");
    EXPECT_FALSE(doc.LoadFile(Path("missing.xml")));
    EXPECT_FALSE(doc.LoadFile(Path("dir.xml")));
    EXPECT_FALSE(doc.GetError().empty());
    EXPECT_EQ(std::u16string::npos, doc.GetError().find_first_of(u"\r\n"));
    EXPECT_TRUE(doc.IsWellFormed());
    EXPECT_TRUE(doc.FindElement(u"kept"));
    EXPECT_FALSE(doc.SaveFile(Path("no/such/dir.xml")));
    EXPECT_EQ(u"No such file or directory", doc.GetError());
    // Read: the counts, then the parse message. (kt-inspect's check has the message of a missing
    // file and the name case option through a load.)
    EXPECT_FALSE(doc.LoadFile(Write("empty.xml", "")));
    EXPECT_EQ(u"0 bytes to 0 wide chars, Empty document", doc.GetError());
    EXPECT_EQ(u"", doc.GetDocument());
}

// LoadFile widens ASCII itself and converts only the other spans, a piece of the file at a time;
// the text and records must be those of converting the whole file at once. GBK trail bytes in
// 0x40..0x7E, sequences cut by '<' or by the end, invalid bytes, and spans across the boundary of
// the pieces the file is read in. One without invalid bytes saves back to the same bytes.
TEST_F(XmlFile, NonAsciiFilesGiveTheRecordsOfAWholeFileConversionAndSaveBack) {
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
        if (doc.GetDocument().find(u'\uFFFD') != std::u16string::npos) continue;  // bytes lost
        ASSERT_TRUE(doc.SaveFile(Path("out.xml")));
        EXPECT_EQ(kt::FromUtf8(std::to_string(whole.GetDocument().size()) + " wide chars to " +
                               std::to_string(c.strBytes.size()) + " bytes"),
                  doc.GetError());
        EXPECT_EQ(c.strBytes, kttest::ReadFile(m_dir / "out.xml"));
    }
}
