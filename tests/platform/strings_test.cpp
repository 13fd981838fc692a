#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "resources/strings.h"

namespace {

// Every text of 1001..1019 is compared byte for byte through the result-code texts
// (TransferErrorText.EveryCodeHasItsText); here, the ends of the table and what lies outside.
TEST(StringTable, LookupCoversExactly1001To1019) {
    EXPECT_EQ("HTTP请求参数错误!", kt::ToUtf8(kt::LoadResString(1001)));
    EXPECT_EQ("HTTP错误的请求号!", kt::ToUtf8(kt::LoadResString(1019)));
    EXPECT_TRUE(kt::LoadResString(1000).empty());
    EXPECT_TRUE(kt::LoadResString(1020).empty());
    EXPECT_TRUE(kt::LoadResString(0).empty());
}

}  // namespace
