#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/codepage.h"
#include "platform/decimal.h"
#include "resources/strings.h"

namespace {

using namespace std::string_literals;

// Restores the process code page when a test changes it.
struct CodePageGuard {
    explicit CodePageGuard(const char* pszName) : bSet(kt::SetAnsiCodePage(pszName)) {}
    ~CodePageGuard() { kt::SetAnsiCodePage(""); }
    const bool bSet;
};

// Converts through a Windows-contract call, checking the contract on the way: the length query,
// an exact buffer, a buffer one unit short (nothing written, result 0), and no terminator counted.
template <class OUT, class IN, class FN>
OUT Convert(const IN& in, FN fn) {
    const int nIn = static_cast<int>(in.size());
    const int nNeed = fn(in.data(), nIn, nullptr, 0);
    OUT out(static_cast<size_t>(std::max(nNeed, 0)), 'Z');
    EXPECT_EQ(nNeed, fn(in.data(), nIn, out.data(), nNeed));
    EXPECT_EQ(nNeed > 1 ? 0 : nNeed, fn(in.data(), nIn, out.data(), std::max(nNeed - 1, 0)));
    EXPECT_EQ(0, fn(in.data(), 0, nullptr, 0));
    return out;
}

// Each row under its code page, through the string helpers and the Windows-contract calls, and on
// four threads at once (each with converters of its own) that must agree. The setting is the
// process's: an unknown name leaves it as it was, and the UTF-8 helpers ignore it.
TEST(CodePage, ConversionsPerCodePage) {
    enum { kTo = 1, kFrom = 2, kBoth = 3 };  // the directions a row holds for
    // clang-format off
    const std::tuple<const char*, std::u16string, std::string, int> cases[] = {
        {"GBK", u"问题", "\xCE\xCA\xCC\xE2", kBoth},
        {"UTF-8", u"问题", "\xE9\x97\xAE\xE9\xA2\x98", kBoth},
#ifndef _WIN32  // Wine has no GB18030
        {"GB18030", u"问题\uD55C", "\xCE\xCA\xCC\xE2\x83\x36\x84\x33", kBoth},
#endif
        // GBK lacks Hangul, characters outside the BMP and lone surrogates: one '?' each.
        {"GBK", u"a\uD55Cb", "a?b", kTo}, {"GBK", u"x\U0001F600y", "x?y", kTo},
        {"GBK", u"a"s + char16_t(0xD800) + u"b", "a?b", kTo},
        // A lead byte without its trail byte and a byte never used become U+FFFD; in UTF-8 also
        // a truncated sequence and an overlong form.
        {"GBK", u"ab\uFFFD", "ab\x81", kFrom}, {"GBK", u"\uFFFDa", "\xFF\x61", kFrom},
        {"UTF-8", u"a\uFFFDb", "a\xFF\x62", kFrom}, {"UTF-8", u"\uFFFD", "\xE9\x97", kFrom},
        {"UTF-8", u"\uFFFD\uFFFD", "\xC0\xAF", kFrom}};
    // clang-format on
    for (const auto& [pszCp, wide, ansi, nDirections] : cases) {
        SCOPED_TRACE(pszCp + " "s + ansi);
        CodePageGuard cp(pszCp);
        ASSERT_TRUE(cp.bSet) << "unknown code page " << pszCp;
        EXPECT_FALSE(kt::SetAnsiCodePage("NO-SUCH-CODEPAGE"));
        EXPECT_EQ(pszCp, kt::AnsiCodePageName());
        EXPECT_EQ(pszCp == "UTF-8"s, kt::AnsiIsUtf8());
        EXPECT_EQ("\xF0\x9F\x98\x80", kt::ToUtf8(u"\U0001F600"));
        EXPECT_EQ(u"\U0001F600", kt::FromUtf8("\xF0\x9F\x98\x80"));
        if (nDirections & kTo) {
            EXPECT_EQ(ansi, kt::ToAnsi(wide));
            EXPECT_EQ(ansi, Convert<std::string>(wide, kt::WideToAnsi));
        }
        if (nDirections & kFrom) {
            EXPECT_EQ(wide, kt::FromAnsi(ansi));
            EXPECT_EQ(wide, Convert<std::u16string>(ansi, kt::AnsiToWide));
        }
        std::atomic<int> mismatches{0};
        std::vector<std::thread> threads(4);
        for (auto& th : threads) {
            th = std::thread([&] {
                for (int i = 0; i < 2000; ++i) {
                    mismatches += ((nDirections & kTo) && kt::ToAnsi(wide) != ansi) ||
                                  ((nDirections & kFrom) && kt::FromAnsi(ansi) != wide);
                }
            });
        }
        for (auto& th : threads) th.join();
        EXPECT_EQ(mismatches.load(), 0);
    }
}

// The runtime's rules for both kinds of number, narrow and wide: an integer clamps at the 32-bit
// ends; a full-width digit is no digit, and only ASCII belongs to a number.
TEST(Decimal, RuntimeIntegerAndFloatRules) {
    // clang-format off
    const std::tuple<const char*, int32_t, double> cases[] = {
        {"  -12abc", -12, -12}, {"abc", 0, 0}, {"+7", 7, 7}, {"", 0, 0}, {"-", 0, 0}, {"+-3", 0, 0},
        {"\t\n 42", 42, 42}, {"007", 7, 7}, {"12 34", 12, 12}, {"  3.5xyz", 3, 3.5},
        {"-1e3", -1, -1000}, {"1.5\u4E00", 1, 1.5}, {"\uFF11", 0, 0},
        {"2147483647", 2147483647, 2147483647.0}, {"2147483648", 2147483647, 2147483648.0},
        {"-2147483648", -2147483648, -2147483648.0}, {"-2147483649", -2147483648, -2147483649.0},
        {"99999999999999999999", 2147483647, 1e20}};
    // clang-format on
    for (const auto& [psz, n, d] : cases) {
        EXPECT_EQ(kt::AToI(psz), n) << psz;
        EXPECT_EQ(kt::WToL(kt::FromUtf8(psz)), n) << psz;
        EXPECT_DOUBLE_EQ(kt::AToF(psz), d) << psz;
        EXPECT_DOUBLE_EQ(kt::WToF(kt::FromUtf8(psz)), d) << psz;
    }
}

// Against what the table cannot restate: the GBK bytes of a few texts (as the family's servers and
// dialogs carry them, computed apart from this code), how many ids answer, and the ids outside.
TEST(StringTable, GbkBytesCountAndUnknownIds) {
    const std::pair<uint32_t, const char*> texts[] = {
        {1001, "HTTP\xC7\xEB\xC7\xF3\xB2\xCE\xCA\xFD\xB4\xED\xCE\xF3!"},
        {1008, "\xBD\xE2\xCE\xF6\xB6\xFE\xCE\xAC\xB1\xED\xB7\xA2\xC9\xFA\xB4\xED\xCE\xF3!"},
        {1019, "HTTP\xB4\xED\xCE\xF3\xB5\xC4\xC7\xEB\xC7\xF3\xBA\xC5!"}};
    for (const auto& [nId, pszGbk] : texts)
        EXPECT_EQ(pszGbk, kt::ConvertCodePage(kt::ToUtf8(kt::LoadResString(nId)), "UTF-8", "GBK"));
    int nTexts = 0;
    for (uint32_t nId = 0; nId < 3000; ++nId) nTexts += !kt::LoadResString(nId).empty();
    EXPECT_EQ(19, nTexts);
    for (uint32_t nId : {0u, 1000u, 1020u, 0xFFFFFFFFu})
        EXPECT_TRUE(kt::LoadResString(nId).empty());
}

}  // namespace
