#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/sync.h"
#include "platform/trace.h"
#include "support/scoped.h"

namespace {

// WaitAny answers the object that is signalled (the lowest index when both are), also for a signal
// given by another thread while it waits, and times out only when neither is. One thread object
// serves every row: it runs one thread at a time and can start again once joined.
TEST(Sync, WaitAnyAnswersTheSignalledObjectAndThreadsRestart) {
    struct CASE {
        bool bSetEvent, bEndThread, bBefore;  // signalled before the wait, or maybe during it
        int nExpected;
    };
    const CASE cases[] = {{true, false, false, 0},
                          {false, true, false, 1},
                          {true, true, true, 0},
                          {false, false, false, kt::kWaitTimeout}};
    kt::CThread thread;
    EXPECT_TRUE(thread.Join(0));  // never started: nothing to wait for
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.nExpected);
        kt::CEvent event(true, false), gate(true, false);
        ASSERT_TRUE(thread.Start([&] { gate.Wait(); }));
        EXPECT_FALSE(thread.Start([] {}));
        std::thread other([&] {
            if (c.bEndThread) gate.Set();
            if (c.bSetEvent) event.Set();
        });
        while (c.bBefore && (!event.IsSet() || thread.IsRunning())) std::this_thread::yield();
        const uint32_t nTimeout = c.bSetEvent || c.bEndThread ? kttest::kGuardMs : 10;
        EXPECT_EQ(c.nExpected, kt::WaitAny({&event, &thread}, nTimeout));
        other.join();
        EXPECT_EQ(c.bEndThread, thread.Join(0));
        gate.Set();
        EXPECT_TRUE(thread.Join());
    }
}

TEST(Sync, EventResetModes) {
    kt::CEvent manual(true, true);
    EXPECT_TRUE(manual.Wait(0) && manual.Wait(0));  // stays set
    manual.Reset();
    EXPECT_FALSE(manual.Wait(0) || manual.IsSet());
    // An automatic event's signal lets one wait through (WaitAny's too) and is then used up: of
    // two waiters, the first Set releases one, the second the other.
    kt::CEvent automatic(false, true);
    EXPECT_TRUE(automatic.IsSet() && automatic.Wait(0));
    EXPECT_FALSE(automatic.Wait(0));
    automatic.Set();
    EXPECT_EQ(0, kt::WaitAny({&automatic}, 0));
    EXPECT_FALSE(automatic.IsSet());
    std::atomic<int> released{0};
    const auto Waiter = [&] { released += automatic.Wait(kttest::kGuardMs) ? 1 : 0; };
    std::thread a(Waiter), b(Waiter);
    automatic.Set();
    while (released == 0) std::this_thread::yield();
    EXPECT_FALSE(automatic.IsSet());
    automatic.Set();
    a.join();
    b.join();
    EXPECT_EQ(released.load(), 2);
}

// Lines reach the sink formatted and whole; a failed debug assertion names its file and
// expression (and costs nothing in a release build); the sink before comes back when one goes.
TEST(Trace, SinkReceivesFormattedLinesAndAssertions) {
    kttest::CTraceLog outer;
    std::vector<std::string> expected = {"CHttp_Async::Run() exception nCol: 7\n"}, lines;
    {
        kttest::CTraceLog inner;
        KT_TRACE("%s() exception nCol: %d\n", "CHttp_Async::Run", 7);
        [[maybe_unused]] const int nValue = 3, nLine = __LINE__ + 2;
        KT_DEBUG_ASSERT(nValue == 3);
        KT_DEBUG_ASSERT(nValue == 4);
        lines = inner.Lines();
#ifndef NDEBUG
        expected.push_back(__FILE__ "(" + std::to_string(nLine) +
                           ") : Assertion failed: nValue == 4\n");
#endif
    }
    EXPECT_EQ(expected, lines);
    KT_TRACE("after\n");
    EXPECT_EQ(std::vector<std::string>{"after\n"}, outer.Lines());
}

}  // namespace
