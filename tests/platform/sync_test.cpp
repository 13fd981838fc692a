#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/sync.h"

namespace {

// Whichever of (event set, thread end, time-out) comes first at 100 ms answers, not before it; the
// others are held back by a gate until the check is done.
TEST(Sync, WaitAnyAnswersWhicheverComesFirst) {
    constexpr uint32_t kNever = kt::kInfinite;
    struct CASE {
        uint32_t nEventMs, nThreadMs, nTimeoutMs;
        int nExpected;
    };
    const CASE cases[] = {
        {100, kNever, 2000, 0}, {kNever, 100, 2000, 1}, {kNever, kNever, 100, kt::kWaitTimeout}};
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.nExpected);
        kt::CEvent event(true, false);
        kt::CEvent gate(true, false);
        kt::CThread thread;
        // Taken before the timers start, so that none can have run part of its time already.
        const uint64_t nStart = kt::GetTickCount64();
        ASSERT_TRUE(thread.Start([&] { gate.Wait(c.nThreadMs); }));
        std::thread setter([&] {
            if (!gate.Wait(c.nEventMs)) event.Set();
        });
        EXPECT_EQ(c.nExpected, kt::WaitAny({&event, &thread}, c.nTimeoutMs));
        const uint64_t nElapsed = kt::GetTickCount64() - nStart;
        EXPECT_GE(nElapsed, 90u);
        EXPECT_EQ(c.nExpected == 1, !thread.IsRunning());
        gate.Set();
        setter.join();
        EXPECT_TRUE(thread.Join(2000));
    }
}

TEST(Sync, EventResetModes) {
    kt::CEvent manual(true, true);
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Wait(0));  // stays set
    manual.Reset();
    EXPECT_FALSE(manual.Wait(0));

    // One Set releases exactly one of two auto-reset waiters, and the signal is then used up.
    kt::CEvent automatic(false, false);
    std::atomic<int> released{0};
    std::thread a([&] { released += automatic.Wait(300) ? 1 : 0; });
    std::thread b([&] { released += automatic.Wait(300) ? 1 : 0; });
    kt::SleepMs(50);
    automatic.Set();
    a.join();
    b.join();
    EXPECT_EQ(released.load(), 1);
    EXPECT_FALSE(automatic.Wait(0));
}

TEST(Sync, ThreadLifecycle) {
    kt::CThread thread;
    EXPECT_TRUE(thread.Join(0));  // never started: nothing to wait for
    kt::CEvent gate(true, false);
    ASSERT_TRUE(thread.Start([&] { gate.Wait(); }));
    EXPECT_FALSE(thread.Start([] {}));  // one thread at a time
    EXPECT_FALSE(thread.Join(50));
    gate.Set();
    EXPECT_TRUE(thread.Join(2000));
    ASSERT_TRUE(thread.Start([] {}));  // reusable after the join
    EXPECT_TRUE(thread.Join(2000));
}

}  // namespace
