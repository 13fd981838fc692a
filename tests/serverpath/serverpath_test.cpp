// The directory layout (kinds' strings, the tree they leave on disk, the walk's results) and
// the URL table (which entries of urlserver.xml count, under which kind, what a bad file leaves).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
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
using namespace std::string_literals;

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
        fs::remove_all(m_dir, m_ec);
    }

    const fs::path m_dir = fs::temp_directory_path() /
                           ("ktpaths-" + std::to_string(getpid()) + "-" +
                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    const std::u16string m_strDir = kt::FromFsPath(m_dir.string()) + u"\\";
    kttest::CTraceLog m_trace;
    std::error_code m_ec;
};

// A path as UTF-8 with '/' (the narrow form on Windows is the ANSI code page's).
std::string Utf8(const fs::path& path) {
    const std::u8string str = path.generic_u8string();
    return std::string(str.begin(), str.end());
}

// Every directory below root, relative.
std::set<std::string> Tree(const fs::path& root) {
    std::set<std::string> set;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_directory()) set.insert(Utf8(fs::relative(entry.path(), root)));
    }
    return set;
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

// A few kinds of each shape, not the whole table again: a user's directory and what lies below it,
// the passport (a file name: only its directories are made), kinds without a user, the last kind;
// outside the table (below 0, from the count of kinds on) the root itself, made on the way as the
// directory of every path is. Each user name is text, not a format (a percent sign stays one); an
// empty one adds no directory.
TEST_F(Paths, KindsWithAndWithoutAUserNameAndTheTreeTheyLeave) {
    // clang-format off
    const std::pair<int, std::u16string> kinds[] = {
        {-1, u""}, {0, u"data\\"}, {8, u"users\\U\\"}, {12, u"users\\U\\Passport\\passport"},
        {13, u"users\\guest\\"}, {15, u"hqplug\\U\\"}, {28, u"users\\U\\RSS\\DownLoad\\"},
        {33, u"etc\\GdiPool\\"}, {34, u""}};
    // clang-format on
    for (const std::u16string strUser : {u"用户%s", u""}) {
        const fs::path root = m_dir / ("user" + std::to_string(strUser.size()));
        const std::u16string strRoot = kt::FromFsPath(root.string()) + u"\\";
        CClientPathManager paths;
        paths.SetRootPath(strRoot);
        paths.SetUserName(strUser);
        std::set<std::string> setExpected;
        for (auto [n, strPath] : kinds) {
            if (const size_t i = strPath.find(u"\\U\\"); i != strPath.npos)
                strPath.replace(i + 1, 1, strUser);
            EXPECT_EQ(strRoot + strPath, paths.GetPath(kt::ClientPathType(n))) << n;
            EXPECT_TRUE(kt::PathExists(strRoot + strPath.substr(0, strPath.rfind(u'\\'))));
            std::u16string strDir = strPath;
            std::replace(strDir.begin(), strDir.end(), u'\\', u'/');
            if (const size_t i = strDir.find(u"//"); i != strDir.npos) strDir.erase(i, 1);
            for (size_t i = 0; (i = strDir.find(u'/', i + 1)) != strDir.npos;)
                setExpected.insert(kt::ToUtf8(strDir.substr(0, i)));  // the passport: a file
        }
        EXPECT_EQ(setExpected, Tree(root));
    }
}

// Only '\\' separates; the part after the last one is a file name; only the first 260 characters
// count. Parents that cannot take a directory fail the walk (tests run as root, where permission
// bits never stop mkdir: a directory below a regular file, and one in procfs, which takes none).
TEST_F(Paths, EnsureDirectoryExistsWalk) {
    std::ofstream(m_dir / "plain") << "not a directory";
    std::u16string strLong = m_strDir;
    while (strLong.size() < 300) strLong += u"dir\\";
    const std::u16string strCut = strLong.substr(0, 260);
    const std::u16string strMade = strCut.substr(0, strCut.rfind(u'\\') + 1);
    const std::u16string strProc = u"\\proc\\ktpaths-" + kt::FromUtf8(std::to_string(getpid()));
    // clang-format off
    const std::pair<std::u16string, int> cases[] = {
        {u"", -1}, {u"file.txt", -1}, {u"a/b/c", -1}, {m_strDir, 0},
        {m_strDir + u"a\\b\\c\\shot.jpeg", 0}, {m_strDir + u"a\\b\\d\\", 0},
        {m_strDir + u"a\\b\\d\\", 0},  // again: nothing changes
        {m_strDir + u"plain\\tmp\\", -1}, {m_strDir + u"plain\\tmp\\x.jpeg", -1}, {strLong, 0},
#ifndef _WIN32
        {strProc + u"\\tmp\\", -1},
#endif
    };
    // clang-format on
    for (const auto& [strPath, nResult] : cases)
        EXPECT_EQ(nResult, CClientPathManager::EnsureDirectoryExists(strPath))
            << kt::ToUtf8(strPath);
    EXPECT_TRUE(fs::is_directory(kt::ToFsPath(strMade)));
    EXPECT_FALSE(fs::exists(kt::ToFsPath(strMade + u"dir\\")));
    fs::remove_all(m_dir / "dir");
    EXPECT_EQ((std::set<std::string>{"a", "a/b", "a/b/c", "a/b/d"}), Tree(m_dir));
    EXPECT_TRUE(fs::is_regular_file(m_dir / "plain"));
    EXPECT_FALSE(fs::exists(kt::ToFsPath(strProc)));
    // The layout still answers its paths where nothing can be made; a later name replaces the
    // earlier one; the root is never checked for its separator.
    const kt::ClientPathType kPassport{12};
    CClientPathManager paths;
    paths.SetRootPath(m_strDir + u"plain\\");
    paths.SetUserName(u"a");
    paths.SetUserName(u"u");
    EXPECT_EQ(m_strDir + u"plain\\users\\u\\Passport\\passport", paths.GetPath(kPassport));
    paths.SetRootPath(m_strDir + u"bare");
    EXPECT_EQ(m_strDir + u"bareusers\\u\\Passport\\passport", paths.GetPath(kPassport));
    EXPECT_TRUE(fs::is_directory(m_dir / "bareusers/u/Passport"));
}

TEST(ServerUrls, WhichEntriesCountAndUnderWhichKind) {
    // clang-format off
    const std::pair<const char*, Entries> cases[] = {
        // The id is read as the runtime reads a number (those rules: platform's Decimal test).
        {R"(<url id="24x" path=""/>)", {{24, u""}}}, {R"(<url id="zz" path="p"/>)", {{0, u"p"}}},
        {R"(<url path="no id"/>)", {{0, u"no id"}}}, {R"(<url id="11"/>)", {{11, u""}}},
        {R"(<url id="-3" path="p"/>)", {{-3, u"p"}}},  // a kind is signed
        {R"(<url id="2147483648" path="p" extra="x"/>)", {{2147483647, u"p"}}},
        {R"(<url id="24" path="first"/><url id="24" path="second"/>)", {{24, u"first"}}},
        // Only direct children of root named exactly url.
        {R"(<URL id="1" path="p"/><Url id="2" path="p"/><urls id="3" path="p"/>)", {}},
        {R"(<group><url id="1" path="p"/></group><!-- <url id="2" path="p"/> --> text)", {}},
        {R"(<url id="1" path="p">text<url id="2" path="q"/></url>)", {{1, u"p"}}},
        {R"(<url id='17' path='a&amp;b=&#x41;&#66;&lt;&gt;&quot;&apos;&foo;&#0;'/>)",
         {{17, u"a&b=AB<>\"'&foo;&#0;"}}}};
    // clang-format on
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

// Files loaded in turn into one table. Nothing reloads or replaces: a later file only adds kinds
// still missing. A document element of another name parses (no trace) yet adds nothing; a file
// not well formed, empty, missing or unreadable is traced with its full path and answers 0. The
// GBK file has a Chinese comment and lies in a directory whose name goes to the file system as
// UTF-8.
TEST_F(Paths, UrlFilesLoadedInTurn) {
    ASSERT_TRUE(kt::SetAnsiCodePage("GBK"));
    const fs::path gbk = m_dir / fs::path(u8"配置");  // holds the file in GBK, as shipped
    fs::create_directories(gbk);
    fs::copy_file(KT_SOURCE_DIR "/tests/serverpath/urlserver_gbk.xml", gbk / "urlserver.xml");
    const std::string strLine = "Failed parse " + kt::ToUtf8(m_strDir) + "urlserver.xml file\n";
    const std::pair<int, std::u16string> feedback = {24, u"http://127.0.0.1:8765/feedback"};
    const Entries all = {{11, u""}, feedback, {30, u"http://127.0.0.1:8765/反馈?用户=张三&t=1"}};
    struct CASE {
        std::string strFile;  // "-": none written, "/": a directory in its place
        int nResult;
        Entries entries;
        bool bTraced;
        std::u16string strDir;  // empty: the test's own
    };
    const CASE cases[] = {
        {"-", 0, {}, true, u""},
        {R"(<config><url id="24" path="x"/></config>)", -1, {}, false, u""},
        {R"(<?xml version="1.0"?><Root><url id="24" path="x"/></Root>)", -1, {}, false, u""},
        {"-", 0, {feedback}, false, kt::FromFsPath(KT_SOURCE_DIR "/etc/")},  // the bundled file
        {"-", 0, all, false, kt::FromFsPath(gbk.string()) + u"\\"},
        {"", 0, all, true, u""},
        {R"(<root/><root><url id="25" path="x"/></root>)", 0, all, true, u""},
        {"no markup", 0, all, true, u""},
        {"/", 0, all, true, u""}};
    CServerPathManager urls;
    size_t nTraced = 0;
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.strFile);
        if (c.strFile == "/") {
            fs::remove(m_dir / "urlserver.xml");
            fs::create_directories(m_dir / "urlserver.xml");
        } else if (c.strFile != "-" && c.strDir.empty()) {
            std::ofstream(m_dir / "urlserver.xml", std::ios::binary) << c.strFile;
        }
        EXPECT_EQ(c.nResult, urls.Load(c.strDir.empty() ? m_strDir : c.strDir));
        EXPECT_EQ(c.entries, Table(urls));
        EXPECT_EQ(std::vector<std::string>(nTraced += c.bTraced, strLine), m_trace.Lines());
    }
    // An entry without a path is empty; a missing one is null, and reads as the empty string
    // where the application takes it.
    ASSERT_FALSE(urls.GetURL(static_cast<SPathType>(11)).IsNull());
    EXPECT_EQ(u"", std::u16string(urls.GetURL(static_cast<SPathType>(11)).c_str()));
    EXPECT_EQ(nullptr, urls.GetURL(static_cast<SPathType>(12)).c_str());
    EXPECT_EQ(u"", std::u16string(urls.GetURL(static_cast<SPathType>(12))));
}
