#include <gtest/gtest.h>

#include "platform/decimal.h"

namespace {

TEST(Decimal, RuntimeIntegerRules) {
    struct Case {
        const char* psz;
        int32_t n;
    };
    const Case cases[] = {
        {"  -12abc", -12},
        {"abc", 0},
        {"+7", 7},
        {"", 0},
        {"-", 0},
        {"+-3", 0},
        {"\t\n 42", 42},
        {"2147483647", 2147483647},
        {"2147483648", 2147483647},
        {"-2147483648", -2147483648},
        {"-2147483649", -2147483648},
        {"99999999999999999999", 2147483647},
        {"007", 7},
        {"12 34", 12},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(kt::AToI(c.psz), c.n) << c.psz;
        std::u16string wide;
        for (const char* p = c.psz; *p; ++p) wide += static_cast<char16_t>(*p);
        EXPECT_EQ(kt::WToL(wide), c.n) << c.psz;
    }
    // A full-width digit is not a digit to the runtime.
    EXPECT_EQ(kt::WToL(u"\uFF11"), 0);
}

TEST(Decimal, RuntimeFloatRules) {
    EXPECT_DOUBLE_EQ(kt::WToF(u"  3.5xyz"), 3.5);
    EXPECT_DOUBLE_EQ(kt::WToF(u"-1e3"), -1000.0);
    EXPECT_DOUBLE_EQ(kt::WToF(u"abc"), 0.0);
    EXPECT_DOUBLE_EQ(kt::WToF(u"1.5\u4E00"), 1.5);
    EXPECT_DOUBLE_EQ(kt::AToF("2.25"), 2.25);
}

}  // namespace
