// The form body byte for byte: the service parses these bodies with a fixed reader, so every CR LF,
// hyphen and blank counts.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "ktreporter/formbody.h"
#include "platform/codepage.h"
#include "platform/paths.h"

namespace {

namespace fs = std::filesystem;

const std::string kDelim = "-----------------------------7d92de3351722\r\n";

std::string Part(const std::string& strName, const std::string& strValue) {
    return kDelim + "Content-Disposition: form-data; name=\"" + strName + "\"\r\n\r\n" + strValue +
           "\r\n";
}

// The expected body written out independently of the builder.
std::string Expected(const std::string& strType, const std::string& strUser,
                     const std::string& strName, const std::string& strEmail,
                     const std::string& strPhone, const std::string& strTitle,
                     const std::string& strDesc, const std::string& strPath,
                     const std::string& strContentType, const std::string& strFile) {
    return "\r\n" + Part("DATA_FROM", "client") + Part("PAGE_TYPE", strType) +
           Part("USER_ID_YY_RDQ012", strUser) + Part("F001V_YY_RDQ012", strName) +
           Part("F002V_YY_RDQ012", strEmail) + Part("F003V_YY_RDQ012", strPhone) +
           Part("F005V_YY_RDQ013", strTitle) + Part("F007C_YY_RDQ013", strDesc) + kDelim +
           "Content-Disposition: form-data; name=\"ATTACH_FILE_NAME\"; filename=\"" + strPath +
           "\"\r\n" + strContentType + strFile +
           "\r\n-----------------------------7d92de3351722--\r\n\r\n";
}

const std::string kImage = "Content-Type: image/pjpeg\r\n\r\n";
const std::string kArchive = "Content-Type: application/x-rar-compressed   rar\r\n\r\n";

std::string Body(const kt::FEEDBACK_FORM& form, std::u16string_view strFile) {
    std::vector<char> vec;
    EXPECT_EQ(0, kt::BuildFeedbackBody(form, strFile, vec));
    return std::string(vec.begin(), vec.end());
}

class FormBodyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kt::SetAnsiCodePage("UTF-8"));
        m_dir = fs::temp_directory_path() /
                ("ktform-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(m_dir);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
        kt::SetAnsiCodePage("");
    }
    std::string Write(const std::string& strName, const std::string& strBytes) {
        const fs::path path = m_dir / strName;
        std::ofstream(path, std::ios::binary) << strBytes;
        return path.string();
    }
    // The family form of a file-system path: backslashes.
    static std::u16string Family(const std::string& strFs) { return kt::FromFsPath(strFs); }
    static std::string Ansi(const std::u16string& str) { return kt::ToAnsi(str); }

    fs::path m_dir;
};

TEST_F(FormBodyTest, NoOptionsGivesTypeMinusOneImageLineAndEmptyFilePart) {
    const kt::FEEDBACK_FORM form = kt::MakeFeedbackForm(-1, u"", u"", u"", u"", u"", u"", u"");
    const std::string strBody = Body(form, u"");
    EXPECT_EQ(Expected("-1", "", "", "", "", "", "", "", kImage, ""), strBody);
    // 938 fixed template bytes + "client" + "-1", then the image line and the closing text.
    EXPECT_EQ(938u + 6 + 2 + 29 + 50, strBody.size());
    // The closing text follows the content type's empty line directly.
    EXPECT_NE(std::string::npos,
              strBody.find("image/pjpeg\r\n\r\n\r\n-----------------------------7d92de3351722--"));
}

TEST_F(FormBodyTest, ScreenshotPathKeepsItsDoubledSeparatorAndFileBytes) {
    const std::string strJpeg(
        "\xFF\xD8\xFF\xE0"
        "JFIF\0\x01\r\n\xFF\xD9",
        14);
    const std::string strFs = Write("ScreenShoot20240105001.jpeg", strJpeg);
    // The dialog forms "<tmp dir>\" + "\ScreenShoot..." : two backslashes before the name.
    std::u16string strPath = Family(m_dir.string()) + u"\\\\ScreenShoot20240105001.jpeg";
    const kt::FEEDBACK_FORM form = kt::MakeFeedbackForm(0, u"u42", u"Zhang", u"z@example.com", u"",
                                                        u"title", u"line1\r\nline2", strPath);
    const std::string strBody = Body(form, strPath);
    EXPECT_EQ(Expected("0", "u42", "Zhang", "z@example.com", "", "title", "line1\r\nline2",
                       Ansi(strPath), kImage, strJpeg),
              strBody);
    EXPECT_NE(std::string::npos, strBody.find("\\\\ScreenShoot20240105001.jpeg\"\r\n"));
}

TEST_F(FormBodyTest, ArchiveBytesTravelUnchangedBehindTheRarLine) {
    std::string strArchive("Rar!\x1a\x07\x00", 7);
    strArchive += std::string("\r\n\0\xFF\r\0\n\xFF\xFE", 9);
    for (int i = 0; i < 256; ++i) strArchive += static_cast<char>(i);
    const std::string strFs = Write("logs.rar", strArchive);
    const std::u16string strPath = Family(strFs);
    const kt::FEEDBACK_FORM form =
        kt::MakeFeedbackForm(1, u"", u"n", u"e@x.cn", u"123", u"t", u"d", strPath);
    const std::string strBody = Body(form, strPath);
    EXPECT_EQ(
        Expected("1", "", "n", "e@x.cn", "123", "t", "d", Ansi(strPath), kArchive, strArchive),
        strBody);
    EXPECT_EQ(938u + 6 + 1 + 1 + 6 + 3 + 1 + 1 + Ansi(strPath).size() + 52 + strArchive.size() + 50,
              strBody.size());
}

TEST_F(FormBodyTest, OtherTypesSendTheFileAsAnImage) {
    const std::string strFs = Write("pic.png", "PNGDATA");
    const std::u16string strPath = Family(strFs);
    for (int32_t nType : {2, -7, 2147483647}) {
        const kt::FEEDBACK_FORM form =
            kt::MakeFeedbackForm(nType, u"", u"", u"", u"", u"", u"", strPath);
        EXPECT_EQ(Expected(std::to_string(nType), "", "", "", "", "", "", Ansi(strPath), kImage,
                           "PNGDATA"),
                  Body(form, strPath));
    }
}

TEST_F(FormBodyTest, LongFieldsAreCutAtTheirLimits) {
    const std::u16string strLong(700, u'x');
    const kt::FEEDBACK_FORM form =
        kt::MakeFeedbackForm(-1, strLong, strLong, strLong, strLong, strLong, strLong, strLong);
    EXPECT_EQ(127u, form.strUserId.size());
    EXPECT_EQ(127u, form.strName.size());
    EXPECT_EQ(255u, form.strEmail.size());
    EXPECT_EQ(63u, form.strPhone.size());
    EXPECT_EQ(255u, form.strTitle.size());
    EXPECT_EQ(511u, form.strDesc.size());
    EXPECT_EQ(259u, form.strAttachPath.size());
    // The path names no file: the part is empty but the filename parameter carries the cut path.
    const std::string strBody = Body(form, strLong);
    EXPECT_EQ(Expected("-1", std::string(127, 'x'), std::string(127, 'x'), std::string(255, 'x'),
                       std::string(63, 'x'), std::string(255, 'x'), std::string(511, 'x'),
                       std::string(259, 'x'), kImage, ""),
              strBody);
    // The longest head stays below the dialog's 4096-byte head buffer.
    EXPECT_LT(kt::BuildFormHead(form).size(), 4096u);
}

TEST_F(FormBodyTest, GbkTextIsSentInGbkAndCutsNeverSplitACharacter) {
    ASSERT_TRUE(kt::SetAnsiCodePage("GBK"));
    const kt::FEEDBACK_FORM form =
        kt::MakeFeedbackForm(-1, u"用户", u"张三", u"a@b.cn", u"", u"标题", u"描述", u"");
    EXPECT_EQ(Expected("-1", "\xD3\xC3\xBB\xA7", "\xD5\xC5\xC8\xFD", "a@b.cn", "",
                       "\xB1\xEA\xCC\xE2", "\xC3\xE8\xCA\xF6", "", kImage, ""),
              Body(form, u""));

    // 64 two-byte characters need 128 bytes: the name keeps 63 of them (126 bytes), not 127 bytes
    // ending in half a character.
    const std::u16string strName(64, u'张');
    EXPECT_EQ(126u, kt::AnsiCut(strName, 127).size());
    // Mixed: an ASCII byte first makes 1 + 63 * 2 = 127 fit exactly.
    EXPECT_EQ(127u, kt::AnsiCut(u"a" + strName, 127).size());
    // A character the code page lacks becomes '?'.
    EXPECT_EQ("?", kt::AnsiCut(u"\U0001F600", 127).substr(0, 1));
}

TEST_F(FormBodyTest, Utf8TextIsSentInUtf8AndCutsNeverSplitACharacter) {
    const kt::FEEDBACK_FORM form =
        kt::MakeFeedbackForm(-1, u"", u"张三", u"a@b.cn", u"", u"t", u"d", u"");
    EXPECT_EQ(
        Expected("-1", "", "\xE5\xBC\xA0\xE4\xB8\x89", "a@b.cn", "", "t", "d", "", kImage, ""),
        Body(form, u""));
    // 43 three-byte characters need 129 bytes: 42 of them (126 bytes) remain.
    EXPECT_EQ(126u, kt::AnsiCut(std::u16string(43, u'张'), 127).size());
    // A surrogate pair is one four-byte character: 2 fit in 10 bytes with 2 to spare, never 2.5.
    EXPECT_EQ("\xF0\x9F\x98\x80\xF0\x9F\x98\x80",
              kt::AnsiCut(u"\U0001F600\U0001F600\U0001F600", 10));
    EXPECT_EQ("", kt::AnsiCut(u"\U0001F600", 3));
}

TEST_F(FormBodyTest, MissingAttachmentGivesAnEmptyPartNotAFailure) {
    const std::u16string strPath = Family((m_dir / "gone.rar").string());
    const kt::FEEDBACK_FORM form = kt::MakeFeedbackForm(1, u"", u"", u"", u"", u"", u"", strPath);
    EXPECT_EQ(Expected("1", "", "", "", "", "", "", Ansi(strPath), kArchive, ""),
              Body(form, strPath));
    // A directory cannot be read as a file either.
    const std::u16string strDir = Family(m_dir.string());
    const kt::FEEDBACK_FORM formDir = kt::MakeFeedbackForm(2, u"", u"", u"", u"", u"", u"", strDir);
    EXPECT_EQ(Expected("2", "", "", "", "", "", "", Ansi(strDir), kImage, ""),
              Body(formDir, strDir));
}

TEST_F(FormBodyTest, QuotationMarkInThePathIsSentUnchanged) {
    const std::string strFs = Write("say \"hi\".jpeg", "J");
    const std::u16string strPath = Family(strFs);
    const kt::FEEDBACK_FORM form = kt::MakeFeedbackForm(0, u"", u"", u"", u"", u"", u"", strPath);
    const std::string strBody = Body(form, strPath);
    EXPECT_EQ(Expected("0", "", "", "", "", "", "", Ansi(strPath), kImage, "J"), strBody);
    EXPECT_NE(std::string::npos, strBody.find("say \"hi\".jpeg\"\r\n"));
}

}  // namespace
