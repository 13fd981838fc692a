#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/trace.h"

namespace {

// Lines reach the sink formatted and whole; a failed debug assertion names its file and
// expression (and costs nothing in a release build); the previous sink comes back on request.
TEST(Trace, SinkReceivesFormattedLinesAndAssertions) {
    std::vector<std::string> lines;
    auto previous = kt::SetTraceSink([&](std::string_view line) { lines.emplace_back(line); });
    KT_TRACE("%s() exception nCol: %d\n", "CHttp_Async::Run", 7);
    const int nValue = 3;
    KT_DEBUG_ASSERT(nValue == 3);
    KT_DEBUG_ASSERT(nValue == 4);
    kt::SetTraceSink(previous);
    KT_TRACE("not captured\n");

    ASSERT_GE(lines.size(), 1u);
    EXPECT_EQ(lines[0], "CHttp_Async::Run() exception nCol: 7\n");
#ifndef NDEBUG
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("trace_test.cpp"), std::string::npos);
    EXPECT_NE(lines[1].find("nValue == 4"), std::string::npos);
#else
    EXPECT_EQ(lines.size(), 1u);
#endif
}

}  // namespace
