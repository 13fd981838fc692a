// Loading and saving through the ANSI code page: the result texts, a failed open that keeps the
// document, an empty file, a GBK file with Chinese text, and a save/load round trip.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/codepage.h"
#include "platform/paths.h"
#include "xml/xmldocument.h"

using kt::CXmlDocument;
namespace fs = std::filesystem;

namespace {

class XmlFile : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() / ("kt_xml_test_" + std::to_string(::getpid()));
        fs::create_directories(m_dir);
    }
    void TearDown() override {
        kt::SetAnsiCodePage("");
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    std::u16string Path(const std::string& strName) const {
        return kt::FromFsPath((m_dir / strName).string());
    }
    void Write(const std::string& strName, const std::string& strBytes) const {
        std::ofstream(m_dir / strName, std::ios::binary) << strBytes;
    }
    std::string Read(const std::string& strName) const {
        std::ifstream in(m_dir / strName, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    fs::path m_dir;
};

}  // namespace

TEST_F(XmlFile, MissingFileKeepsTheDocument) {
    CXmlDocument doc(u"<kept/>");
    EXPECT_FALSE(doc.LoadFile(Path("missing.xml")));
    EXPECT_EQ(u"No such file or directory", doc.GetError());
    EXPECT_EQ(u"<kept/>", doc.GetDocument());
    EXPECT_TRUE(doc.IsWellFormed());
    EXPECT_TRUE(doc.FindElement(u"kept"));
}

TEST_F(XmlFile, DirectoryCannotBeRead) {
    fs::create_directories(m_dir / "dir.xml");
    CXmlDocument doc(u"<kept/>");
    EXPECT_FALSE(doc.LoadFile(Path("dir.xml")));
    // The runtime's own words for it; a single line either way.
    EXPECT_FALSE(doc.GetError().empty());
    EXPECT_EQ(std::u16string::npos, doc.GetError().find_first_of(u"\r\n"));
    EXPECT_EQ(u"<kept/>", doc.GetDocument());
}

TEST_F(XmlFile, EmptyFile) {
    Write("empty.xml", "");
    CXmlDocument doc(u"<old/>");
    EXPECT_FALSE(doc.LoadFile(Path("empty.xml")));
    EXPECT_EQ(u"0 bytes to 0 wide chars, Empty document", doc.GetError());
    EXPECT_EQ(u"", doc.GetDocument());
}

TEST_F(XmlFile, AsciiFileCountsAndParseMessages) {
    std::string strText = "<root>";
    while (strText.size() < 113) strText += ' ';
    strText += "</root>";
    ASSERT_EQ(120u, strText.size());
    Write("a.xml", strText);
    CXmlDocument doc;
    EXPECT_TRUE(doc.LoadFile(Path("a.xml")));
    EXPECT_EQ(u"120 bytes to 120 wide chars", doc.GetError());

    Write("bad.xml", "<a></b>");
    EXPECT_FALSE(doc.LoadFile(Path("bad.xml")));
    EXPECT_EQ(u"7 bytes to 7 wide chars, No start tag for end tag 'b' at offset 3", doc.GetError());
    // The document flags are kept through a load.
    doc.SetDocFlags(CXmlDocument::IgnoreNameCase);
    Write("case.xml", "<A></a>");
    EXPECT_TRUE(doc.LoadFile(Path("case.xml")));
    EXPECT_EQ(CXmlDocument::IgnoreNameCase, doc.GetDocFlags());
}

TEST_F(XmlFile, GbkFileWithChineseText) {
    ASSERT_TRUE(kt::SetAnsiCodePage("GBK"));
    const std::string strUtf8 =
        "<?xml version=\"1.0\" encoding=\"GBK\"?>\r\n<root name=\"服务器\">问题反馈</root>";
    const std::string strGbk = kt::ConvertCodePage(strUtf8, "UTF-8", "GBK");
    ASSERT_NE(strUtf8, strGbk);
    Write("gbk.xml", strGbk);
    CXmlDocument doc;
    ASSERT_TRUE(doc.LoadFile(Path("gbk.xml")));
    const std::u16string strWide = kt::FromUtf8(strUtf8);
    const std::u16string strExpected = kt::FromUtf8(std::to_string(strGbk.size()) + " bytes to " +
                                                    std::to_string(strWide.size()) + " wide chars");
    EXPECT_EQ(strExpected, doc.GetError());
    EXPECT_EQ(strWide, doc.GetDocument());
    ASSERT_TRUE(doc.FindElement(u"root"));
    EXPECT_EQ(kt::FromUtf8("服务器"), doc.GetAttribute(u"name"));
    EXPECT_EQ(kt::FromUtf8("问题反馈"), doc.GetText());
    EXPECT_EQ(u"GBK", CXmlDocument::GetDeclaredEncoding(doc.GetDocument()));

    // Saving writes the same GBK bytes back.
    ASSERT_TRUE(doc.SaveFile(Path("out.xml")));
    EXPECT_EQ(strGbk, Read("out.xml"));
    EXPECT_EQ(kt::FromUtf8(std::to_string(strWide.size()) + " wide chars to " +
                           std::to_string(strGbk.size()) + " bytes"),
              doc.GetError());
}

TEST_F(XmlFile, SaveEditedDocumentAndLoadItBack) {
    CXmlDocument doc(u"<r/>");
    doc.FindElement();
    ASSERT_TRUE(doc.AddElement(u"url", u"", CXmlDocument::InsertAsChild));
    ASSERT_TRUE(doc.EnterElement());  // attributes belong to the main element
    ASSERT_TRUE(doc.SetAttribute(u"id", 24));
    ASSERT_TRUE(doc.SaveFile(Path("saved.xml")));
    CXmlDocument loaded;
    ASSERT_TRUE(loaded.LoadFile(Path("saved.xml")));
    EXPECT_EQ(doc.GetDocument(), loaded.GetDocument());
    ASSERT_TRUE(loaded.FindChildElement(u"url"));
    loaded.EnterElement();
    EXPECT_EQ(u"24", loaded.GetAttribute(u"id"));

    EXPECT_FALSE(doc.SaveFile(Path("no/such/dir.xml")));
    EXPECT_EQ(u"No such file or directory", doc.GetError());
}
