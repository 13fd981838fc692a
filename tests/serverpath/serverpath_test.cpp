// The directory layout (every kind's string, the tree it leaves on disk, the walk's results) and
// the URL table (which entries of urlserver.xml count, under which kind, what a bad file leaves).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/codepage.h"
#include "platform/paths.h"
#include "serverpath/clientpathmanager.h"
#include "serverpath/serverpathmanager.h"
#include "support/scoped.h"
#include "xml/xmldocument.h"

namespace fs = std::filesystem;
using kt::CClientPathManager;
using kt::CServerPathManager;
using kt::SPathType;

namespace {

// A fresh directory per test (m_strDir: the family's form, ending in a backslash); the trace lines.
class Paths : public ::testing::Test {
protected:
    void SetUp() override {
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
    }
    void TearDown() override {
        kt::SetAnsiCodePage("");
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    std::u16string WriteUrls(const std::string& strBytes, const fs::path& dir = {}) const {
        const fs::path where = dir.empty() ? m_dir : dir;
        fs::create_directories(where);
        std::ofstream(where / "urlserver.xml", std::ios::binary) << strBytes;
        return kt::FromFsPath(where.string()) + u"\\";
    }

    const fs::path m_dir = fs::temp_directory_path() /
                           ("ktpaths-" + std::to_string(getpid()) + "-" +
                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    const std::u16string m_strDir = kt::FromFsPath(m_dir.string()) + u"\\";
    kttest::CTraceLog m_trace;
};

// Every directory below root, relative, with '/'.
std::set<std::string> Tree(const fs::path& root) {
    std::set<std::string> set;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_directory()) set.insert(fs::relative(entry.path(), root).generic_string());
    }
    return set;
}

kt::ClientPathType Kind(int n) {
    return static_cast<kt::ClientPathType>(n);
}

// The layout as the family's format strings write it, kinds 0 to 33, U standing for the user.
// clang-format off
const char16_t* const kLayout[34] = {
    u"data\\", u"etc\\", u"etc\\help\\", u"htdocs\\", u"log\\", u"modules\\", u"tmp\\",
    u"upgrade\\", u"users\\U\\", u"xsl\\", u"users\\U\\FinanceInfo\\", u"config\\",
    u"users\\U\\Passport\\passport", u"users\\guest\\", u"hqplug\\", u"hqplug\\U\\",
    u"etc\\TopicSurvey\\", u"etc\\topic\\", u"etc\\MacroData\\", u"etc\\datacube\\", u"etc\\F9\\",
    u"etc\\News\\", u"etc\\Chart\\", u"etc\\Calculator\\", u"users\\U\\Calculator\\",
    u"users\\U\\UserDefTemPath\\", u"etc\\RSS\\", u"users\\U\\RSS\\", u"users\\U\\RSS\\DownLoad\\",
    u"config\\update\\", u"users\\", u"topic_ui\\", u"topic_ui\\", u"etc\\GdiPool\\"};
// clang-format on

std::u16string WithUser(std::u16string str, std::u16string_view strUser) {
    for (size_t n = str.find(u"\\U\\"); n != std::u16string::npos;
         n = str.find(u"\\U\\", n + 1 + strUser.size())) {
        str.replace(n + 1, 1, strUser);
    }
    return str;
}

using Entries = std::vector<std::pair<int32_t, std::u16string>>;

Entries Table(const CServerPathManager& urls) {
    Entries vec;
    for (const auto& [nType, info] : urls.GetEntries()) {
        EXPECT_EQ(nType, info.nType);
        vec.emplace_back(nType, info.strURL);
    }
    return vec;
}

}  // namespace

TEST_F(Paths, EveryKindWithAndWithoutAUserNameAndTheTreeItLeaves) {
    for (const std::u16string strUser : {u"u1", u""}) {
        const fs::path root = m_dir / (strUser.empty() ? "unnamed" : "named");
        const std::u16string strRoot = kt::FromFsPath(root.string()) + u"\\";
        CClientPathManager paths;
        paths.SetRootPath(strRoot);
        paths.SetUserName(strUser);
        if (strUser.empty()) {  // kind 8 alone: the empty name adds no directory
            EXPECT_EQ(strRoot + u"users\\\\", paths.GetPath(Kind(8)));
            EXPECT_EQ((std::set<std::string>{"users"}), Tree(root));
        }
        // Exactly the directory parts of the paths are made: the passport is a file name.
        std::set<std::string> setExpected;
        for (int n = 0; n < 34; ++n) {
            const std::u16string strPath = WithUser(kLayout[n], strUser);
            EXPECT_EQ(strRoot + strPath, paths.GetPath(Kind(n))) << n;
            const fs::path path = kt::ToFsPath(strPath);  // "\\\\" gives an empty component
            fs::path dir;
            for (auto it = path.begin(); std::next(it) != path.end(); ++it) {
                setExpected.insert((dir /= *it).generic_string());
            }
        }
        EXPECT_EQ(setExpected, Tree(root));
        EXPECT_FALSE(fs::exists(root / "users" / kt::ToFsPath(strUser) / "Passport/passport"));
        // Outside the table: the root itself.
        for (int n : {-1, 34, 40, 1000}) EXPECT_EQ(strRoot, paths.GetPath(Kind(n))) << n;
    }
}

TEST_F(Paths, UserNamesAndRootsAreTakenAsTheyAre) {
    CClientPathManager paths;
    // The name is text, not a format: a percent sign stays a percent sign.
    paths.SetRootPath(m_strDir);
    paths.SetUserName(u"用户%s");
    EXPECT_EQ(m_strDir + u"users\\用户%s\\RSS\\DownLoad\\", paths.GetPath(Kind(28)));
    EXPECT_TRUE(fs::is_directory(m_dir / fs::path(u8"users/用户%s/RSS/DownLoad")));
    // A later name replaces the earlier one; the root is never checked for its separator.
    paths.SetUserName(u"b");
    EXPECT_EQ(m_strDir + u"hqplug\\b\\", paths.GetPath(Kind(15)));
    paths.SetRootPath(m_strDir + u"bare");
    EXPECT_EQ(m_strDir + u"baretmp\\", paths.GetPath(Kind(6)));
    EXPECT_TRUE(fs::is_directory(m_dir / "baretmp"));
    // A root that does not exist yet is made on the way, even for a kind outside the table.
    paths.SetRootPath(m_strDir + u"new\\client\\");
    EXPECT_EQ(m_strDir + u"new\\client\\", paths.GetPath(Kind(99)));
    EXPECT_TRUE(fs::is_directory(m_dir / "new/client"));
}

TEST_F(Paths, EnsureDirectoryExistsWalk) {
    using kt::EnsureDirectoryExists;
    EXPECT_EQ(-1, EnsureDirectoryExists(u""));
    EXPECT_EQ(-1, EnsureDirectoryExists(u"file.txt"));
    EXPECT_EQ(-1, EnsureDirectoryExists(u"a/b/c"));  // '/' is not the family's separator
    EXPECT_EQ(0, EnsureDirectoryExists(m_strDir));
    EXPECT_EQ(0, CClientPathManager::EnsureDirectoryExists(m_strDir + u"a\\b\\c\\shot.jpeg"));
    EXPECT_FALSE(fs::exists(m_dir / "a/b/c/shot.jpeg"));
    // Existing directories are passed through; a second call changes nothing.
    EXPECT_EQ(0, EnsureDirectoryExists(m_strDir + u"a\\b\\d\\"));
    EXPECT_EQ(0, EnsureDirectoryExists(m_strDir + u"a\\b\\d\\"));
    EXPECT_EQ((std::set<std::string>{"a", "a/b", "a/b/c", "a/b/d"}), Tree(m_dir));
    // Only the first 260 characters count: a longer path is made up to the last backslash
    // within them and no further.
    std::u16string strLong = m_strDir;
    while (strLong.size() < 300) strLong += u"dir\\";
    const std::u16string strCut = strLong.substr(0, 260);
    const std::u16string strMade = strCut.substr(0, strCut.rfind(u'\\') + 1);
    EXPECT_EQ(0, EnsureDirectoryExists(strLong));
    EXPECT_TRUE(fs::is_directory(kt::ToFsPath(strMade)));
    EXPECT_FALSE(fs::exists(kt::ToFsPath(strMade + u"dir\\")));
}

// Tests run as root, where permission bits never stop mkdir, so a read-only parent is built from
// things the kernel refuses to anyone: a directory below a regular file (ENOTDIR), and a new
// directory in procfs, which takes no directories from any user.
TEST_F(Paths, ParentThatCannotTakeADirectory) {
    std::ofstream(m_dir / "plain") << "not a directory";
    const std::u16string strFileRoot = m_strDir + u"plain\\";
    EXPECT_EQ(-1, kt::EnsureDirectoryExists(strFileRoot + u"tmp\\"));
    EXPECT_EQ(-1, kt::EnsureDirectoryExists(strFileRoot + u"tmp\\x.jpeg"));
    CClientPathManager paths;
    paths.SetRootPath(strFileRoot);
    paths.SetUserName(u"u");
    EXPECT_EQ(strFileRoot + u"tmp\\", paths.GetPath(Kind(6)));
    EXPECT_EQ(strFileRoot + u"users\\u\\Passport\\passport", paths.GetPath(Kind(12)));
    EXPECT_TRUE(fs::is_regular_file(m_dir / "plain"));

#ifdef _WIN32
    GTEST_SKIP() << "the rest needs procfs, which only Linux has";
#endif
    ASSERT_TRUE(fs::is_directory("/proc/self"));
    const std::u16string strProc = u"\\proc\\ktpaths-" + kt::FromUtf8(std::to_string(getpid()));
    EXPECT_EQ(-1, kt::EnsureDirectoryExists(strProc + u"\\tmp\\"));
    paths.SetRootPath(strProc + u"\\");
    EXPECT_EQ(strProc + u"\\etc\\", paths.GetPath(Kind(1)));
    EXPECT_FALSE(fs::exists(kt::ToFsPath(strProc)));
}

TEST(ServerUrls, WhichEntriesCountAndUnderWhichKind) {
    const std::pair<const char*, Entries> cases[] = {
        {R"(<url id=" 24" path="p"/>)", {{24, u"p"}}},
        {R"(<url id="24abc" path="p"/>)", {{24, u"p"}}},
        {R"(<url id="zz" path="p"/>)", {{0, u"p"}}},
        {R"(<url path="no id"/>)", {{0, u"no id"}}},
        {R"(<url id="-3" path="p"/>)", {{-3, u"p"}}},
        {R"(<url id="+5" path="p" extra="x"/>)", {{5, u"p"}}},
        {R"(<url id="2147483648" path="p"/>)", {{2147483647, u"p"}}},
        {R"(<url id="24" path="first"/><url id="24" path="second"/>)", {{24, u"first"}}},
        {R"(<url id="11"/>)", {{11, u""}}},
        // Only direct children of root named exactly url.
        {R"(<URL id="1" path="p"/><Url id="2" path="p"/><urls id="3" path="p"/>)", {}},
        {R"(<group><url id="1" path="p"/></group><!-- <url id="2" path="p"/> --> text)", {}},
        {R"(<url id="1" path="p">text<url id="2" path="q"/></url>)", {{1, u"p"}}},
        {R"(<url id='17' path='a&amp;b=&#x41;&#66;&lt;&gt;&quot;&apos;&foo;&#0;'/>)",
         {{17, u"a&b=AB<>\"'&foo;&#0;"}}},
    };
    for (const auto& [pszEntries, expected] : cases) {
        kt::CXmlDocument xml(kt::FromUtf8(std::string("<root>") + pszEntries + "</root>"));
        CServerPathManager urls;
        EXPECT_EQ(-1, urls.ParseUrlEntries(xml)) << pszEntries;  // nothing selected yet
        ASSERT_TRUE(xml.FindElement(u"root"));
        EXPECT_EQ(0, urls.ParseUrlEntries(xml));
        EXPECT_EQ(expected, Table(urls)) << pszEntries;
        // The document is left where it was found: on root, at the document level.
        EXPECT_EQ(u"root", xml.GetElementName());
        EXPECT_FALSE(xml.FindElement());
    }
}

TEST_F(Paths, UrlFilesLoadOnceAndGetUrlTellsMissingFromEmpty) {
    // The bundled file points the feedback form at the receiver.
    CServerPathManager urls;
    EXPECT_EQ(0, urls.Load(kt::FromFsPath(KT_SOURCE_DIR "/etc/")));
    EXPECT_EQ(u"http://127.0.0.1:8765/feedback", std::u16string(urls.GetURL(kt::SPT_FEEDBACK)));

    // Nothing reloads or replaces: a second file only adds kinds still missing. This one is GBK
    // with a Chinese comment, in a directory whose name goes to the file system as UTF-8.
    ASSERT_TRUE(kt::SetAnsiCodePage("GBK"));
    const std::string strGbk = kt::ConvertCodePage(
        "<?xml version=\"1.0\" encoding=\"GBK\"?>\r\n<root>\r\n"
        "  <!-- 反馈服务地址：表单提交到这里 -->\r\n  <url id=\"24\" path=\"later\"/>\r\n"
        "  <url id=\"11\"/>\r\n"
        "  <url id=\"30\" path=\"http://127.0.0.1:8765/反馈?用户=张三&amp;t=1\"/>\r\n</root>\r\n",
        "UTF-8", "GBK");
    ASSERT_NE(std::string::npos, strGbk.find("\xB7\xB4\xC0\xA1"));  // 反馈 in GBK
    EXPECT_EQ(0, urls.Load(WriteUrls(strGbk, m_dir / fs::path(u8"配置"))));
    EXPECT_EQ((Entries{{11, u""},
                       {24, u"http://127.0.0.1:8765/feedback"},
                       {30, u"http://127.0.0.1:8765/反馈?用户=张三&t=1"}}),
              Table(urls));
    // An entry without a path is empty; a missing one is null, and reads as the empty string
    // where the application takes it.
    const auto Url = [&](int n) { return urls.GetURL(static_cast<SPathType>(n)); };
    EXPECT_FALSE(Url(11).IsNull());
    EXPECT_EQ(u"", std::u16string(Url(11).c_str()));
    EXPECT_EQ(nullptr, Url(12).c_str());
    EXPECT_EQ(u"", std::u16string(Url(12)));
    EXPECT_TRUE(m_trace.Lines().empty());
}

TEST_F(Paths, UrlFilesThatGiveNoTable) {
    const std::string strLine = "Failed parse " + kt::ToUtf8(m_strDir) + "urlserver.xml file\n";
    // Missing: 0, nothing read, one trace line with the full path in the family's form.
    CServerPathManager urls;
    EXPECT_EQ(0, urls.Load(m_strDir));
    EXPECT_TRUE(urls.GetEntries().empty());
    EXPECT_EQ(std::vector<std::string>{strLine}, m_trace.Lines());
    // A document element with another name: the file parsed (no trace), yet the table stays empty.
    for (const char* pszText :
         {R"(<config><url id="24" path="x"/></config>)",
          R"(<?xml version="1.0"?><!-- c --><Root><url id="24" path="x"/></Root>)"}) {
        EXPECT_EQ(-1, urls.Load(WriteUrls(pszText))) << pszText;
        EXPECT_TRUE(urls.GetEntries().empty()) << pszText;
    }
    // Not well formed, or empty: the same as missing, and a table read before is kept.
    EXPECT_EQ(0, urls.Load(WriteUrls(R"(<root><url id="24" path="kept"/></root>)")));
    for (const char* pszText :
         {"", R"(<root/><root><url id="25" path="x"/></root>)", "no markup"}) {
        EXPECT_EQ(0, urls.Load(WriteUrls(pszText))) << pszText;
        EXPECT_EQ((Entries{{24, u"kept"}}), Table(urls)) << pszText;
    }
    EXPECT_EQ((std::vector<std::string>(4, strLine)), m_trace.Lines());
    // A directory where the file should be cannot be read either.
    fs::remove(m_dir / "urlserver.xml");
    fs::create_directories(m_dir / "urlserver.xml");
    EXPECT_EQ(0, CServerPathManager().Load(m_strDir));
    EXPECT_EQ((std::vector<std::string>(5, strLine)), m_trace.Lines());
}
