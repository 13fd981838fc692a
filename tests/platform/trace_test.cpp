#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/trace.h"

namespace {

TEST(Trace, SinkReceivesFormattedLinesAndAssertions) {
    std::vector<std::string> lines;
    auto previous = kt::SetTraceSink([&](std::string_view line) { lines.emplace_back(line); });
    KT_TRACE("%s() exception\n", "CHttp_Async::Run");
    KT_TRACE("ASSERT(FALSE) nCol: %d\n", 7);
    const int nValue = 3;
    KT_DEBUG_ASSERT(nValue == 3);
    KT_DEBUG_ASSERT(nValue == 4);
    kt::SetTraceSink(previous);
    KT_TRACE("not captured\n");

    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "CHttp_Async::Run() exception\n");
    EXPECT_EQ(lines[1], "ASSERT(FALSE) nCol: 7\n");
#ifndef NDEBUG
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[2].find("trace_test.cpp"), std::string::npos);
    EXPECT_NE(lines[2].find("nValue == 4"), std::string::npos);
#else
    EXPECT_EQ(lines.size(), 2u);
#endif
}

}  // namespace
