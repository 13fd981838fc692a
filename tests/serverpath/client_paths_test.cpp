// The directory layout: every kind's string, what it leaves on disk, and the walk's results.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "platform/codepage.h"
#include "platform/paths.h"
#include "serverpath/clientpathmanager.h"

namespace fs = std::filesystem;
using kt::CClientPathManager;
using kt::ClientPathType;

namespace {

class ClientPaths : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* pInfo = ::testing::UnitTest::GetInstance()->current_test_info();
        m_root = fs::temp_directory_path() /
                 ("ktpaths-" + std::to_string(::getpid()) + "-" + pInfo->name());
        fs::remove_all(m_root);
        fs::create_directories(m_root);
        m_strRoot = kt::FromFsPath(m_root.string()) + u"\\";
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }

    // Every directory below the root, as relative paths with '/'.
    std::set<std::string> Tree() const {
        std::set<std::string> set;
        for (const auto& entry : fs::recursive_directory_iterator(m_root)) {
            if (entry.is_directory()) set.insert(fs::relative(entry.path(), m_root).string());
        }
        return set;
    }

    fs::path m_root;
    std::u16string m_strRoot;
};

ClientPathType Kind(int n) {
    return static_cast<ClientPathType>(n);
}

// The layout written out as the family's format strings produce it, with U standing for the user.
const char16_t* const kExpected[34] = {
    u"data\\",
    u"etc\\",
    u"etc\\help\\",
    u"htdocs\\",
    u"log\\",
    u"modules\\",
    u"tmp\\",
    u"upgrade\\",
    u"users\\U\\",
    u"xsl\\",
    u"users\\U\\FinanceInfo\\",
    u"config\\",
    u"users\\U\\Passport\\passport",
    u"users\\guest\\",
    u"hqplug\\",
    u"hqplug\\U\\",
    u"etc\\TopicSurvey\\",
    u"etc\\topic\\",
    u"etc\\MacroData\\",
    u"etc\\datacube\\",
    u"etc\\F9\\",
    u"etc\\News\\",
    u"etc\\Chart\\",
    u"etc\\Calculator\\",
    u"users\\U\\Calculator\\",
    u"users\\U\\UserDefTemPath\\",
    u"etc\\RSS\\",
    u"users\\U\\RSS\\",
    u"users\\U\\RSS\\DownLoad\\",
    u"config\\update\\",
    u"users\\",
    u"topic_ui\\",
    u"topic_ui\\",
    u"etc\\GdiPool\\",
};

std::u16string WithUser(std::u16string str, std::u16string_view strUser) {
    for (size_t n = str.find(u"\\U\\"); n != std::u16string::npos;
         n = str.find(u"\\U\\", n + 1 + strUser.size())) {
        str.replace(n + 1, 1, strUser);
    }
    return str;
}

TEST_F(ClientPaths, EveryKindWithAUserNameAndTheTreeItLeaves) {
    CClientPathManager paths;
    paths.SetRootPath(m_strRoot);
    paths.SetUserName(u"u1");
    for (int n = 0; n < 34; ++n) {
        EXPECT_EQ(m_strRoot + WithUser(kExpected[n], u"u1"), paths.GetPath(Kind(n))) << n;
    }
    // Outside the table: the root itself.
    for (int n : {-1, 34, 40, 1000}) EXPECT_EQ(m_strRoot, paths.GetPath(Kind(n))) << n;

    // Exactly the directories of the table; the passport is a file name and was not made.
    const std::set<std::string> setExpected = {"data",
                                               "etc",
                                               "etc/help",
                                               "htdocs",
                                               "log",
                                               "modules",
                                               "tmp",
                                               "upgrade",
                                               "users",
                                               "users/u1",
                                               "xsl",
                                               "users/u1/FinanceInfo",
                                               "config",
                                               "users/u1/Passport",
                                               "users/guest",
                                               "hqplug",
                                               "hqplug/u1",
                                               "etc/TopicSurvey",
                                               "etc/topic",
                                               "etc/MacroData",
                                               "etc/datacube",
                                               "etc/F9",
                                               "etc/News",
                                               "etc/Chart",
                                               "etc/Calculator",
                                               "users/u1/Calculator",
                                               "users/u1/UserDefTemPath",
                                               "etc/RSS",
                                               "users/u1/RSS",
                                               "users/u1/RSS/DownLoad",
                                               "config/update",
                                               "topic_ui",
                                               "etc/GdiPool"};
    EXPECT_EQ(setExpected, Tree());
    EXPECT_FALSE(fs::exists(m_root / "users/u1/Passport/passport"));
}

TEST_F(ClientPaths, WithoutAUserNameTheSeparatorsDouble) {
    CClientPathManager paths;
    paths.SetRootPath(m_strRoot);
    // Kind 8 alone first: only users is made; the empty name adds no directory.
    EXPECT_EQ(m_strRoot + u"users\\\\", paths.GetPath(Kind(8)));
    EXPECT_EQ((std::set<std::string>{"users"}), Tree());

    for (int n = 0; n < 34; ++n) {
        EXPECT_EQ(m_strRoot + WithUser(kExpected[n], u""), paths.GetPath(Kind(n))) << n;
    }
    EXPECT_TRUE(fs::is_directory(m_root / "users/Passport"));
    EXPECT_FALSE(fs::exists(m_root / "users/Passport/passport"));
    EXPECT_TRUE(fs::is_directory(m_root / "users/RSS/DownLoad"));
    EXPECT_TRUE(fs::is_directory(m_root / "hqplug"));
}

TEST_F(ClientPaths, UserNamesAndRootsAreTakenAsTheyAre) {
    CClientPathManager paths;
    // The name is text, not a format: a percent sign stays a percent sign.
    paths.SetRootPath(m_strRoot);
    paths.SetUserName(u"用户%s");
    EXPECT_EQ(m_strRoot + u"users\\用户%s\\RSS\\DownLoad\\", paths.GetPath(Kind(28)));
    EXPECT_TRUE(fs::is_directory(m_root / fs::path(u8"users/用户%s/RSS/DownLoad")));

    // A later name replaces the earlier one; the root is never checked for its separator.
    paths.SetUserName(u"b");
    EXPECT_EQ(m_strRoot + u"hqplug\\b\\", paths.GetPath(Kind(15)));
    const std::u16string strBare = kt::FromFsPath((m_root / "bare").string());
    paths.SetRootPath(strBare);
    EXPECT_EQ(strBare + u"tmp\\", paths.GetPath(Kind(6)));
    EXPECT_TRUE(fs::is_directory(m_root / "baretmp"));

    // A root that does not exist yet is made on the way, even for a kind outside the table.
    paths.SetRootPath(m_strRoot + u"new\\client\\");
    EXPECT_EQ(m_strRoot + u"new\\client\\", paths.GetPath(Kind(99)));
    EXPECT_TRUE(fs::is_directory(m_root / "new/client"));
}

TEST_F(ClientPaths, EnsureDirectoryExistsWalk) {
    using kt::EnsureDirectoryExists;
    EXPECT_EQ(-1, EnsureDirectoryExists(u""));
    EXPECT_EQ(-1, EnsureDirectoryExists(u"file.txt"));
    EXPECT_EQ(-1, EnsureDirectoryExists(u"a/b/c"));  // '/' is not the family's separator

    EXPECT_EQ(0, EnsureDirectoryExists(m_strRoot));
    EXPECT_EQ(0, CClientPathManager::EnsureDirectoryExists(m_strRoot + u"a\\b\\c\\shot.jpeg"));
    EXPECT_TRUE(fs::is_directory(m_root / "a/b/c"));
    EXPECT_FALSE(fs::exists(m_root / "a/b/c/shot.jpeg"));
    // Existing directories are passed through; a second call changes nothing.
    EXPECT_EQ(0, EnsureDirectoryExists(m_strRoot + u"a\\b\\d\\"));
    EXPECT_EQ(0, EnsureDirectoryExists(m_strRoot + u"a\\b\\d\\"));
    EXPECT_EQ((std::set<std::string>{"a", "a/b", "a/b/c", "a/b/d"}), Tree());

    // Only the first 260 characters count: a longer path is made up to the last backslash
    // within them and no further.
    std::u16string strLong = m_strRoot;
    while (strLong.size() < 300) strLong += u"dir\\";
    const std::u16string strCut = strLong.substr(0, 260);
    const std::u16string strMade = strCut.substr(0, strCut.rfind(u'\\') + 1);
    const std::u16string strNotMade = strLong.substr(0, strLong.find(u'\\', strMade.size()) + 1);
    EXPECT_EQ(0, EnsureDirectoryExists(strLong));
    EXPECT_TRUE(fs::is_directory(kt::ToFsPath(strMade)));
    EXPECT_FALSE(fs::exists(kt::ToFsPath(strNotMade)));
}

// Tests run as root, where permission bits never stop mkdir, so a read-only parent is built from
// things the kernel refuses to anyone: a directory below a regular file (ENOTDIR), and a new
// directory in procfs, which takes no directories from any user.
TEST_F(ClientPaths, ParentThatCannotTakeADirectory) {
    std::ofstream(m_root / "plain") << "not a directory";
    const std::u16string strFileRoot = m_strRoot + u"plain\\";

    EXPECT_EQ(-1, kt::EnsureDirectoryExists(strFileRoot + u"tmp\\"));
    EXPECT_EQ(-1, kt::EnsureDirectoryExists(strFileRoot + u"tmp\\x.jpeg"));
    CClientPathManager paths;
    paths.SetRootPath(strFileRoot);
    EXPECT_EQ(strFileRoot + u"tmp\\", paths.GetPath(Kind(6)));
    paths.SetUserName(u"u");
    EXPECT_EQ(strFileRoot + u"users\\u\\Passport\\passport", paths.GetPath(Kind(12)));
    EXPECT_TRUE(fs::is_regular_file(m_root / "plain"));

    ASSERT_TRUE(fs::is_directory("/proc/self"));
    const std::u16string strProc = u"\\proc\\ktpaths-" + kt::FromUtf8(std::to_string(::getpid()));
    EXPECT_EQ(-1, kt::EnsureDirectoryExists(strProc + u"\\tmp\\"));
    paths.SetRootPath(strProc + u"\\");
    EXPECT_EQ(strProc + u"\\etc\\", paths.GetPath(Kind(1)));
    EXPECT_FALSE(fs::exists(kt::ToFsPath(strProc)));
}

}  // namespace
