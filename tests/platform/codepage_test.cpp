#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/codepage.h"

namespace {

// Restores the process code page when a test changes it.
class CodePageGuard {
public:
    explicit CodePageGuard(const char* pszName) { EXPECT_TRUE(kt::SetAnsiCodePage(pszName)); }
    ~CodePageGuard() { kt::SetAnsiCodePage(""); }
};

const std::u16string kWenTi = u"问题";

TEST(CodePage, GbkAndUtf8ByteForm) {
    {
        CodePageGuard cp("GBK");
        EXPECT_EQ(kt::ToAnsi(kWenTi), "\xCE\xCA\xCC\xE2");
        EXPECT_EQ(kt::FromAnsi("\xCE\xCA\xCC\xE2"), kWenTi);
        EXPECT_FALSE(kt::AnsiIsUtf8());
    }
    {
        CodePageGuard cp("UTF-8");
        EXPECT_EQ(kt::ToAnsi(kWenTi), "\xE9\x97\xAE\xE9\xA2\x98");
        EXPECT_EQ(kt::FromAnsi("\xE9\x97\xAE\xE9\xA2\x98"), kWenTi);
        EXPECT_TRUE(kt::AnsiIsUtf8());
    }
}

TEST(CodePage, UnmappableAndInvalidInput) {
    CodePageGuard cp("GBK");
    // Hangul and a character outside the BMP (one surrogate pair) are not in GBK: one '?' each.
    EXPECT_EQ(kt::ToAnsi(u"a\uD55Cb"), "a?b");
    EXPECT_EQ(kt::ToAnsi(u"x\U0001F600y"), "x?y");
    // A lone surrogate cannot be mapped either.
    EXPECT_EQ(kt::ToAnsi(std::u16string(u"a") + char16_t(0xD800) + u"b"), "a?b");
    // A GBK lead byte with no trail byte, and a byte GBK never uses, become U+FFFD.
    EXPECT_EQ(kt::FromAnsi("ab\x81"), u"ab\uFFFD");
    EXPECT_EQ(kt::FromAnsi("\xFF"
                           "a"),
              u"\uFFFD"
              u"a");

    kt::SetAnsiCodePage("UTF-8");
    EXPECT_EQ(kt::FromAnsi("a\xFF"
                           "b"),
              u"a\uFFFD"
              u"b");
    EXPECT_EQ(kt::FromAnsi("\xE9\x97"), u"\uFFFD");        // truncated three-byte sequence
    EXPECT_EQ(kt::FromAnsi("\xC0\xAF"), u"\uFFFD\uFFFD");  // overlong form is not a character
}

TEST(CodePage, WindowsContractLengths) {
    for (const char* pszCp : {"GBK", "UTF-8", "GB18030"}) {
        CodePageGuard cp(pszCp);
        const std::u16string wide = u"反馈 feedback 问题\uD55C";
        const int nNeed = kt::WideToAnsi(wide.data(), static_cast<int>(wide.size()), nullptr, 0);
        ASSERT_GT(nNeed, 0) << pszCp;
        std::string out(nNeed, '\0');
        EXPECT_EQ(kt::WideToAnsi(wide.data(), static_cast<int>(wide.size()), out.data(), nNeed),
                  nNeed);
        EXPECT_EQ(out, kt::ToAnsi(wide));
        // One byte short: nothing is written and the answer is 0.
        std::string small(nNeed - 1, 'Z');
        EXPECT_EQ(
            kt::WideToAnsi(wide.data(), static_cast<int>(wide.size()), small.data(), nNeed - 1), 0);

        const int nWide = kt::AnsiToWide(out.data(), nNeed, nullptr, 0);
        std::u16string back(nWide, u'\0');
        EXPECT_EQ(kt::AnsiToWide(out.data(), nNeed, back.data(), nWide), nWide);
        EXPECT_EQ(back, kt::FromAnsi(out));
        // No terminator is ever counted: an empty input converts to nothing.
        EXPECT_EQ(kt::WideToAnsi(wide.data(), 0, nullptr, 0), 0);
        EXPECT_EQ(kt::AnsiToWide(out.data(), 0, nullptr, 0), 0);
    }
}

TEST(CodePage, UnknownNameKeepsSetting) {
    CodePageGuard cp("GBK");
    EXPECT_FALSE(kt::SetAnsiCodePage("NO-SUCH-CODEPAGE"));
    EXPECT_EQ(kt::AnsiCodePageName(), "GBK");
    EXPECT_EQ(kt::ConvertCodePage("\xCE\xCA\xCC\xE2", "GBK", "UTF-8"), "\xE9\x97\xAE\xE9\xA2\x98");
}

TEST(CodePage, ConcurrentConversionsAgree) {
    CodePageGuard cp("GBK");
    const std::u16string wide = u"问题反馈: 客户名称 e-mail 电话 \uD55C";
    const std::string expected = kt::ToAnsi(wide);
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 10000; ++i) {
                const std::string a = kt::ToAnsi(wide);
                if (a != expected || kt::FromAnsi(a) != kt::FromAnsi(expected)) ++mismatches[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

TEST(CodePage, Utf8HelpersIgnoreConfiguredCodePage) {
    CodePageGuard cp("GBK");
    EXPECT_EQ(kt::ToUtf8(kWenTi), "\xE9\x97\xAE\xE9\xA2\x98");
    EXPECT_EQ(kt::FromUtf8("\xF0\x9F\x98\x80"), u"\U0001F600");
    EXPECT_EQ(kt::ToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
}

}  // namespace
