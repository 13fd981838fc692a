// The form body byte for byte (the service parses these bodies with a fixed reader, so every CR LF,
// hyphen and blank counts) and the command line, pair by pair.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ktreporter/formbody.h"
#include "ktreporter/reporterargs.h"
#include "platform/codepage.h"
#include "platform/paths.h"

namespace {

namespace fs = std::filesystem;

const std::string kDelim = "-----------------------------7d92de3351722\r\n";
const std::string kImage = "Content-Type: image/pjpeg\r\n\r\n";
const std::string kArchive = "Content-Type: application/x-rar-compressed   rar\r\n\r\n";

std::string Part(const std::string& strName, const std::string& strValue) {
    return kDelim + "Content-Disposition: form-data; name=\"" + strName + "\"\r\n\r\n" + strValue +
           "\r\n";
}

// The expected body written out independently of the builder; f holds user, name, e-mail, phone,
// title and description as they go on the wire.
std::string Expected(int32_t nType, const std::vector<std::string>& f, const std::string& strPath,
                     const std::string& strContentType, const std::string& strFile) {
    return "\r\n" + Part("DATA_FROM", "client") + Part("PAGE_TYPE", std::to_string(nType)) +
           Part("USER_ID_YY_RDQ012", f[0]) + Part("F001V_YY_RDQ012", f[1]) +
           Part("F002V_YY_RDQ012", f[2]) + Part("F003V_YY_RDQ012", f[3]) +
           Part("F005V_YY_RDQ013", f[4]) + Part("F007C_YY_RDQ013", f[5]) + kDelim +
           "Content-Disposition: form-data; name=\"ATTACH_FILE_NAME\"; filename=\"" + strPath +
           "\"\r\n" + strContentType + strFile +
           "\r\n-----------------------------7d92de3351722--\r\n\r\n";
}

std::string Body(const kt::FEEDBACK_FORM& form, std::u16string_view strFile) {
    std::vector<char> vec;
    EXPECT_EQ(0, kt::BuildFeedbackBody(form, strFile, vec));
    return std::string(vec.begin(), vec.end());
}

class FormBodyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kt::SetAnsiCodePage("UTF-8"));
        m_dir = fs::temp_directory_path() / ("ktform-" + std::to_string(::getpid()));
        fs::create_directories(m_dir);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
        kt::SetAnsiCodePage("");
    }
    fs::path m_dir;
};

// Each attachment type with its content-type line and the file's raw bytes; a file that cannot be
// read leaves the part empty and is no failure.
TEST_F(FormBodyTest, FilePartCarriesThePathUnchangedAndTheRawBytes) {
    std::string strArchive("Rar!\x1a\x07\x00\r\n\0\xFF\r\0\n\xFF\xFE", 16);
    for (int i = 0; i < 256; ++i) strArchive += static_cast<char>(i);
    const std::string strJpeg("\xFF\xD8\xFF\xE0JFIF\0\x01\r\n\xFF\xD9", 14);
    const struct {
        int32_t nType;
        std::u16string strSuffix;  // behind the directory in the family form (backslashes)
        const char* pszDiskName;   // the file written, or null when there is none
        std::string strBytes;
        const std::string& strContentType;
    } cases[] = {
        // The dialog's screenshot path: "<tmp dir>\" + "\ScreenShoot...", two backslashes.
        {0, u"\\\\ScreenShoot20240105001.jpeg", "ScreenShoot20240105001.jpeg", strJpeg, kImage},
        {1, u"\\logs.rar", "logs.rar", strArchive, kArchive},
        {2, u"\\pic.png", "pic.png", "PNGDATA", kImage},
        {-7, u"\\pic.png", "pic.png", "PNGDATA", kImage},
        {2147483647, u"\\pic.png", "pic.png", "PNGDATA", kImage},
        {0, u"\\say \"hi\".jpeg", "say \"hi\".jpeg", "J", kImage},
        {1, u"\\gone.rar", nullptr, "", kArchive},
        {2, u"", nullptr, "", kImage},  // the directory itself
    };
    const std::vector<std::string> vecText = {"u42", "Zhang", "z@example.com",
                                              "",    "title", "line1\r\nline2"};
    for (const auto& c : cases) {
#ifdef _WIN32
        // Windows refuses a quote in a file name: there that row names a file that cannot be.
        if (std::u16string_view(c.strSuffix).find(u'"') != std::u16string_view::npos) continue;
#endif
        if (c.pszDiskName) std::ofstream(m_dir / c.pszDiskName, std::ios::binary) << c.strBytes;
        const std::u16string strPath = kt::FromFsPath(m_dir.string()) + c.strSuffix;
        const kt::FEEDBACK_FORM form = kt::MakeFeedbackForm(
            c.nType, u"u42", u"Zhang", u"z@example.com", u"", u"title", u"line1\r\nline2", strPath);
        EXPECT_EQ(Expected(c.nType, vecText, kt::ToAnsi(strPath), c.strContentType, c.strBytes),
                  Body(form, strPath))
            << kt::ToUtf8(c.strSuffix);
    }
}

TEST_F(FormBodyTest, LongFieldsAreCutAtTheirLimits) {
    const std::u16string strLong(700, u'x');
    const kt::FEEDBACK_FORM form =
        kt::MakeFeedbackForm(-1, strLong, strLong, strLong, strLong, strLong, strLong, strLong);
    // The path names no file: the part is empty but the filename parameter carries the cut path.
    const auto x = [](size_t n) { return std::string(n, 'x'); };
    EXPECT_EQ(Expected(-1, {x(127), x(127), x(255), x(63), x(255), x(511)}, x(259), kImage, ""),
              Body(form, strLong));
    // The longest head stays below the dialog's 4096-byte head buffer.
    EXPECT_LT(kt::BuildFormHead(form).size(), 4096u);
}

// The text in the code page (the body's bytes for GBK: the dialog's test and inspect_form.sh),
// cut between characters.
TEST_F(FormBodyTest, TextGoesInTheCodePageAndCutsNeverSplitACharacter) {
    ASSERT_TRUE(kt::SetAnsiCodePage("GBK"));
    const kt::FEEDBACK_FORM f =
        kt::MakeFeedbackForm(-1, u"用户", u"张三", u"a@b.cn", u"", u"标题", u"描述", u"");
    EXPECT_EQ("\xD3\xC3\xBB\xA7|\xD5\xC5\xC8\xFD|\xB1\xEA\xCC\xE2|\xC3\xE8\xCA\xF6",
              f.strUserId + "|" + f.strName + "|" + f.strTitle + "|" + f.strDesc);
    // 64 two-byte characters need 128 bytes: 63 of them (126 bytes) remain, not 127 bytes ending
    // in half a character; an ASCII byte first makes 1 + 63 * 2 = 127 fit exactly.
    EXPECT_EQ(126u, kt::AnsiCut(std::u16string(64, u'张'), 127).size());
    EXPECT_EQ(127u, kt::AnsiCut(u"a" + std::u16string(64, u'张'), 127).size());
    // A character the code page lacks becomes '?'.
    EXPECT_EQ("?", kt::AnsiCut(u"\U0001F600", 127).substr(0, 1));

    ASSERT_TRUE(kt::SetAnsiCodePage("UTF-8"));
    // 43 three-byte characters need 129 bytes: 42 of them (126 bytes) remain.
    EXPECT_EQ(126u, kt::AnsiCut(std::u16string(43, u'张'), 127).size());
    // A surrogate pair is one four-byte character: 2 fit in 10 bytes, never 2.5.
    EXPECT_EQ("\xF0\x9F\x98\x80\xF0\x9F\x98\x80",
              kt::AnsiCut(u"\U0001F600\U0001F600\U0001F600", 10));
    EXPECT_EQ("", kt::AnsiCut(u"\U0001F600", 3));
}

// Every row is one command line after the program's name and what it sets as "T H D U P" (the
// defaults untouched: "-1 0 0  "); a line that is not pairs of a minus sign and one known letter
// with a value fails ("").
TEST(CommandLine, PairsSetTheirFieldsAndAnythingElseFails) {
    const struct {
        std::vector<std::u16string> vecArgs;
        std::string strWant;
    } cases[] = {
        {{}, "-1 0 0  "},
        {{u"-H", u"  +4660", u"-D", u"1", u"-T", u"1", u"-U", u"用户 7", u"-P", u"C:\\a \"b\".rar"},
         "1 4660 1 用户 7 C:\\a \"b\".rar"},
        {{u"-h", u"9", u"-d", u"1", u"-t", u"1", u"-u", u"u", u"-p", u"p"}, "1 9 1 u p"},
        // The runtime's decimal conversion: no digits is 0, it stops at the first non-digit.
        {{u"-T", u"abc", u"-u", u"u1"}, "0 0 0 u1 "},
        {{u"-T", u" -12xyz"}, "-12 0 0  "},
        // A later pair overwrites an earlier one; an empty value is a value.
        {{u"-T", u"0", u"-t", u"1", u"-U", u"a", u"-u", u"b", u"-P", u""}, "1 0 0 b "},
        // The delete flag is only ever set.
        {{u"-D", u"0"}, "-1 0 0  "},
        {{u"-D", u"no"}, "-1 0 0  "},
        {{u"-D", u"1", u"-D", u"0"}, "-1 0 1  "},
        {{u"-d", u"-2"}, "-1 0 1  "},
        // The last switch without a value (valid pairs before it do not help), a letter not in
        // the table, three characters, no or another sign, too short, empty, a later bad pair.
        {{u"-T"}, ""},
        {{u"-T", u"0", u"-U"}, ""},
        {{u"-X", u"1"}, ""},
        {{u"-TT", u"1"}, ""},
        {{u"T", u"1"}, ""},
        {{u"/T", u"1"}, ""},
        {{u"-", u"1"}, ""},
        {{u"", u""}, ""},
        {{u"-T", u"0", u"--", u"0"}, ""},
    };
    for (const auto& c : cases) {
        std::vector<std::u16string> vecArgs = c.vecArgs;
        vecArgs.insert(vecArgs.begin(), u"ktreporter");
        kt::CReporterArgs a;
        const bool bOk = kt::ParseCommandLine(a, vecArgs);
        EXPECT_EQ(c.strWant,
                  !bOk ? ""
                       : std::to_string(a.m_nAttachType) + " " + std::to_string(a.m_hCaptureWnd) +
                             " " + std::to_string(a.m_bDeleteAttach) + " " +
                             kt::ToUtf8(a.m_strUserId) + " " + kt::ToUtf8(a.m_strAttachPath))
            << &c - cases;
    }
    // A missing part fails the pair itself.
    kt::CReporterArgs args;
    const std::u16string strSwitch = u"-T", strValue = u"5";
    EXPECT_FALSE(kt::ParseArgPair(args, nullptr, &strValue));
    EXPECT_FALSE(kt::ParseArgPair(args, &strSwitch, nullptr));
}

}  // namespace
