#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "platform/codepage.h"

namespace {

using namespace std::string_literals;

// Restores the process code page when a test changes it.
class CodePageGuard {
public:
    explicit CodePageGuard(const char* pszName) : m_bSet(kt::SetAnsiCodePage(pszName)) {}
    ~CodePageGuard() { kt::SetAnsiCodePage(""); }
    bool IsSet() const { return m_bSet; }

private:
    bool m_bSet;
};

// iconv knows every code page the tests use; a Windows system may lack one (Wine has no GB18030).
bool MayLackCodePage() {
#ifdef _WIN32
    return true;
#else
    return false;
#endif
}

// Converts through a Windows-contract call, checking the contract on the way: the length query,
// an exact buffer, a buffer one unit short (nothing written, result 0), and no terminator counted.
template <class OUT, class IN, class FN>
OUT Convert(const IN& in, FN fn) {
    const int nIn = static_cast<int>(in.size());
    const int nNeed = fn(in.data(), nIn, nullptr, 0);
    OUT out(static_cast<size_t>(std::max(nNeed, 0)), 'Z');
    EXPECT_EQ(nNeed, fn(in.data(), nIn, out.data(), nNeed));
    if (nNeed > 1) {
        EXPECT_EQ(0, fn(in.data(), nIn, out.data(), nNeed - 1));
    }
    EXPECT_EQ(0, fn(in.data(), 0, nullptr, 0));
    return out;
}

TEST(CodePage, ConversionsPerCodePage) {
    struct CASE {
        const char* pszCp;
        std::u16string wide;
        std::string ansi;
        bool bToAnsi, bFromAnsi;  // the directions the pair holds for
    };
    const CASE cases[] = {
        {"GBK", u"问题", "\xCE\xCA\xCC\xE2", true, true},
        {"UTF-8", u"问题", "\xE9\x97\xAE\xE9\xA2\x98", true, true},
        {"GB18030", u"问题\uD55C", "\xCE\xCA\xCC\xE2\x83\x36\x84\x33", true, true},
        // GBK lacks Hangul, characters outside the BMP and lone surrogates: one '?' each.
        {"GBK", u"a\uD55Cb", "a?b", true, false},
        {"GBK", u"x\U0001F600y", "x?y", true, false},
        {"GBK", u"a"s + char16_t(0xD800) + u"b", "a?b", true, false},
        // A lead byte without its trail byte and a byte never used become U+FFFD.
        {"GBK", u"ab\uFFFD", "ab\x81", false, true},
        {"GBK", u"\uFFFDa", "\xFF\x61", false, true},
        {"UTF-8", u"a\uFFFDb", "a\xFF\x62", false, true},
        {"UTF-8", u"\uFFFD", "\xE9\x97", false, true},        // truncated sequence
        {"UTF-8", u"\uFFFD\uFFFD", "\xC0\xAF", false, true},  // overlong form
    };
    std::string strMissing;
    for (const CASE& c : cases) {
        SCOPED_TRACE(std::string(c.pszCp) + " " + c.ansi);
        CodePageGuard cp(c.pszCp);
        if (!cp.IsSet()) {
            EXPECT_TRUE(MayLackCodePage()) << "unknown code page " << c.pszCp;
            strMissing += std::string(" ") + c.pszCp;
            continue;
        }
        EXPECT_EQ(c.pszCp == "UTF-8"s, kt::AnsiIsUtf8());
        if (c.bToAnsi) {
            EXPECT_EQ(c.ansi, kt::ToAnsi(c.wide));
            EXPECT_EQ(c.ansi, Convert<std::string>(c.wide, kt::WideToAnsi));
        }
        if (c.bFromAnsi) {
            EXPECT_EQ(c.wide, kt::FromAnsi(c.ansi));
            EXPECT_EQ(c.wide, Convert<std::u16string>(c.ansi, kt::AnsiToWide));
        }
    }
    if (!strMissing.empty())
        GTEST_SKIP() << "rows skipped, code page not on this system:" << strMissing;
}

TEST(CodePage, UnknownNameKeepsSettingAndUtf8HelpersIgnoreIt) {
    CodePageGuard cp("GBK");
    ASSERT_TRUE(cp.IsSet());
    EXPECT_FALSE(kt::SetAnsiCodePage("NO-SUCH-CODEPAGE"));
    EXPECT_EQ("GBK", kt::AnsiCodePageName());
    EXPECT_EQ("\xE9\x97\xAE\xE9\xA2\x98", kt::ConvertCodePage("\xCE\xCA\xCC\xE2", "GBK", "UTF-8"));
    EXPECT_EQ("\xF0\x9F\x98\x80", kt::ToUtf8(u"\U0001F600"));
    EXPECT_EQ(u"\U0001F600", kt::FromUtf8("\xF0\x9F\x98\x80"));
}

TEST(CodePage, ConcurrentConversionsAgree) {
    CodePageGuard cp("GBK");
    ASSERT_TRUE(cp.IsSet());
    const std::u16string wide = u"问题反馈: 客户名称 e-mail 电话 \uD55C";
    const std::string expected = kt::ToAnsi(wide);
    const std::u16string back = kt::FromAnsi(expected);
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 10000; ++i) {
                const std::string a = kt::ToAnsi(wide);
                if (a != expected || kt::FromAnsi(a) != back) ++mismatches[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

}  // namespace
