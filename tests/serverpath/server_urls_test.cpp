// The URL table: which entries of urlserver.xml count, under which kind, and what a bad file
// leaves.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/codepage.h"
#include "platform/paths.h"
#include "platform/trace.h"
#include "serverpath/serverpathmanager.h"
#include "xml/xmldocument.h"

namespace fs = std::filesystem;
using kt::CServerPathManager;
using kt::SPathType;

namespace {

using Entries = std::vector<std::pair<int32_t, std::u16string>>;

Entries Table(const CServerPathManager& urls) {
    Entries vec;
    for (const auto& [nType, info] : urls.GetEntries()) {
        EXPECT_EQ(nType, info.nType);
        vec.emplace_back(nType, info.strURL);
    }
    return vec;
}

class ServerUrls : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* pInfo = ::testing::UnitTest::GetInstance()->current_test_info();
        m_dir = fs::temp_directory_path() /
                ("kturls-" + std::to_string(::getpid()) + "-" + pInfo->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        m_strDir = kt::FromFsPath(m_dir.string()) + u"\\";
        m_previousSink = kt::SetTraceSink([this](std::string_view strLine) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_vecTrace.emplace_back(strLine);
        });
    }
    void TearDown() override {
        kt::SetTraceSink(m_previousSink);
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }

    void Write(const std::string& strBytes, const fs::path& dir = {}) {
        std::ofstream(dir.empty() ? m_dir / "urlserver.xml" : dir / "urlserver.xml",
                      std::ios::binary)
            << strBytes;
    }
    std::vector<std::string> Trace() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecTrace;
    }

    fs::path m_dir;
    std::u16string m_strDir;
    kt::TraceSink m_previousSink;
    std::mutex m_mutex;
    std::vector<std::string> m_vecTrace;
};

TEST_F(ServerUrls, WhichEntriesCountAndUnderWhichKind) {
    Write(R"(<?xml version="1.0" encoding="GBK"?>
<root>
  <!-- <url id="1" path="commented out"/> -->
  <url id="24" path="http://127.0.0.1:8765/feedback"/>
  <url id="24" path="http://second/feedback"/>
  <url id=" 7" path="leading blank"/>
  <url id="9abc" path="digits then letters"/>
  <url path="no id"/>
  <url id="zz" path="not a number, also 0"/>
  <url id="-3" path="minus"/>
  <url id="+5" path="plus" extra="ignored"/>
  <url id="11"/>
  <url id="2147483648" path="saturated"/>
  <URL id="12" path="upper case"/>
  <Url id="13" path="mixed case"/>
  <urls id="18" path="longer name"/>
  <group><url id="14" path="nested"/></group>
  <url id="15" path="with content">text<url id="16" path="deeper"/></url>
  <url id='17' path='a&amp;b=&#x41;&#66;&lt;&gt;&quot;&apos;&foo;&#0;'/>
  plain text between entries
</root>
)");
    CServerPathManager urls;
    EXPECT_EQ(0, urls.Load(m_strDir));
    const Entries expected = {{-3, u"minus"},
                              {0, u"no id"},
                              {5, u"plus"},
                              {7, u"leading blank"},
                              {9, u"digits then letters"},
                              {11, u""},
                              {15, u"with content"},
                              {17, u"a&b=AB<>\"'&foo;&#0;"},
                              {24, u"http://127.0.0.1:8765/feedback"},
                              {2147483647, u"saturated"}};
    EXPECT_EQ(expected, Table(urls));
    EXPECT_TRUE(Trace().empty());

    EXPECT_EQ(u"http://127.0.0.1:8765/feedback", std::u16string(urls.GetURL(kt::SPT_FEEDBACK)));
    // An entry without a path is an empty URL, not a missing one; a missing one is null and reads
    // as the empty string.
    EXPECT_FALSE(urls.GetURL(static_cast<SPathType>(11)).IsNull());
    EXPECT_EQ(u"", std::u16string(urls.GetURL(static_cast<SPathType>(11)).c_str()));
    // The application hands GetURL's answer on as a string, as here.
    const std::u16string strMissing = urls.GetURL(static_cast<SPathType>(12));
    EXPECT_EQ(u"", strMissing);
    for (int n : {1, 12, 13, 14, 16, 18}) {
        EXPECT_TRUE(urls.GetURL(static_cast<SPathType>(n)).IsNull()) << n;
        EXPECT_EQ(nullptr, urls.GetURL(static_cast<SPathType>(n)).c_str()) << n;
        EXPECT_EQ(u"", std::u16string(urls.GetURL(static_cast<SPathType>(n)))) << n;
    }

    // Nothing reloads or replaces: a second file only adds kinds that are still missing.
    const fs::path other = m_dir / "other";
    fs::create_directories(other);
    Write(R"(<root><url id="24" path="later"/><url id="30" path="new kind"/></root>)", other);
    EXPECT_EQ(0, urls.Load(kt::FromFsPath(other.string()) + u"\\"));
    EXPECT_EQ(u"http://127.0.0.1:8765/feedback", std::u16string(urls.GetURL(kt::SPT_FEEDBACK)));
    EXPECT_EQ(u"new kind", std::u16string(urls.GetURL(static_cast<SPathType>(30))));
}

TEST_F(ServerUrls, FilesThatGiveNoTable) {
    const std::string strFs = kt::ToUtf8(m_strDir + u"urlserver.xml");
    const std::string strLine = "Failed parse " + strFs + " file\n";

    // Missing: 0, nothing read, one trace line with the full path in the family's form.
    CServerPathManager urls;
    EXPECT_EQ(0, urls.Load(m_strDir));
    EXPECT_TRUE(urls.GetEntries().empty());
    EXPECT_EQ(std::vector<std::string>{strLine}, Trace());
    EXPECT_NE(std::string::npos, strLine.find("\\urlserver.xml file\n"));

    // A document element with another name: the file parsed, yet the table stays empty.
    for (const char* pszText :
         {R"(<config><url id="24" path="x"/></config>)",
          R"(<?xml version="1.0"?><!-- c --><Root><url id="24" path="x"/></Root>)"}) {
        Write(pszText);
        EXPECT_EQ(-1, urls.Load(m_strDir)) << pszText;
        EXPECT_TRUE(urls.GetEntries().empty()) << pszText;
    }
    EXPECT_EQ(1u, Trace().size());

    // Not well formed, or empty: the same as missing, and a table read before is kept.
    Write(R"(<root><url id="24" path="kept"/></root>)");
    EXPECT_EQ(0, urls.Load(m_strDir));
    for (const char* pszText :
         {"", "<root/><root><url id=\"25\" path=\"x\"/></root>", "no markup at all"}) {
        Write(pszText);
        EXPECT_EQ(0, urls.Load(m_strDir)) << pszText;
        EXPECT_EQ((Entries{{24, u"kept"}}), Table(urls)) << pszText;
    }
    EXPECT_EQ((std::vector<std::string>(4, strLine)), Trace());

    // A directory where the file should be cannot be read either.
    fs::remove(m_dir / "urlserver.xml");
    fs::create_directories(m_dir / "urlserver.xml");
    EXPECT_EQ(0, CServerPathManager().Load(m_strDir));
    EXPECT_EQ(5u, Trace().size());
}

TEST_F(ServerUrls, ParseUrlEntriesNeedsAnElementToEnter) {
    kt::CXmlDocument xml;
    ASSERT_TRUE(xml.SetDocument(u"<root><url id=\"1\" path=\"p\"/></root>"));
    CServerPathManager urls;
    EXPECT_EQ(-1, urls.ParseUrlEntries(xml));  // nothing selected yet
    EXPECT_TRUE(urls.GetEntries().empty());
    ASSERT_TRUE(xml.FindElement(u"root"));
    EXPECT_EQ(0, urls.ParseUrlEntries(xml));
    EXPECT_EQ((Entries{{1, u"p"}}), Table(urls));
    // It leaves the document where it found it: on root, at the document level.
    EXPECT_EQ(u"root", xml.GetElementName());
    EXPECT_FALSE(xml.FindElement());
}

TEST_F(ServerUrls, GbkFileWithChineseCommentAndPath) {
    struct CodePage {
        CodePage() { EXPECT_TRUE(kt::SetAnsiCodePage("GBK")); }
        ~CodePage() { kt::SetAnsiCodePage(""); }
    } codePage;
    const std::string strUtf8 =
        "<?xml version=\"1.0\" encoding=\"GBK\"?>\r\n<root>\r\n"
        "  <!-- 反馈服务地址：表单提交到这里 -->\r\n"
        "  <url id=\"24\" path=\"http://127.0.0.1:8765/反馈?用户=张三&amp;t=1\"/>\r\n"
        "</root>\r\n";
    const std::string strGbk = kt::ConvertCodePage(strUtf8, "UTF-8", "GBK");
    ASSERT_NE(strUtf8, strGbk);
    // The directory name goes to the file system as UTF-8 whatever the code page of the contents.
    const fs::path dir = m_dir / fs::path(u8"配置");
    fs::create_directories(dir);
    Write(strGbk, dir);

    CServerPathManager urls;
    EXPECT_EQ(0, urls.Load(kt::FromFsPath(dir.string()) + u"\\"));
    EXPECT_EQ((Entries{{24, u"http://127.0.0.1:8765/反馈?用户=张三&t=1"}}), Table(urls));
    EXPECT_TRUE(Trace().empty());
}

TEST(ServerUrlsSample, BundledFilePointsFeedbackAtTheReceiver) {
    CServerPathManager urls;
    EXPECT_EQ(0, urls.Load(kt::FromFsPath(KT_SOURCE_DIR "/etc/")));
    EXPECT_EQ(u"http://127.0.0.1:8765/feedback", std::u16string(urls.GetURL(kt::SPT_FEEDBACK)));
}

}  // namespace
