#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/sync.h"

namespace {

uint64_t Elapsed(uint64_t start) {
    return kt::GetTickCount64() - start;
}

TEST(Sync, WaitAnyAnswersWhicheverComesFirst) {
    // Event first.
    {
        kt::CEvent event(true, false);
        kt::CEvent gate(true, false);
        kt::CThread thread;
        ASSERT_TRUE(thread.Start([&] { gate.Wait(); }));
        std::thread setter([&] {
            kt::SleepMs(100);
            event.Set();
        });
        const uint64_t start = kt::GetTickCount64();
        EXPECT_EQ(kt::WaitAny({&event, &thread}, 2000), 0);
        EXPECT_GE(Elapsed(start), 90u);
        EXPECT_LT(Elapsed(start), 100u + 50u);
        setter.join();
        gate.Set();
        EXPECT_TRUE(thread.Join(2000));
    }
    // Thread end first.
    {
        kt::CEvent event(true, false);
        kt::CThread thread;
        ASSERT_TRUE(thread.Start([] { kt::SleepMs(100); }));
        EXPECT_TRUE(thread.IsRunning());
        const uint64_t start = kt::GetTickCount64();
        EXPECT_EQ(kt::WaitAny({&event, &thread}, 2000), 1);
        EXPECT_LT(Elapsed(start), 100u + 50u);
        EXPECT_FALSE(thread.IsRunning());
        EXPECT_TRUE(thread.Join(0));
    }
    // Time-out first.
    {
        kt::CEvent event(true, false);
        kt::CEvent gate(true, false);
        kt::CThread thread;
        ASSERT_TRUE(thread.Start([&] { gate.Wait(); }));
        const uint64_t start = kt::GetTickCount64();
        EXPECT_EQ(kt::WaitAny({&event, &thread}, 100), kt::kWaitTimeout);
        EXPECT_GE(Elapsed(start), 99u);
        EXPECT_LT(Elapsed(start), 100u + 50u);
        gate.Set();
    }
}

TEST(Sync, EventResetModes) {
    kt::CEvent manual(true, true);
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Wait(0));  // stays set
    manual.Reset();
    EXPECT_FALSE(manual.Wait(0));

    kt::CEvent automatic(false, false);
    automatic.Set();
    EXPECT_TRUE(automatic.Wait(0));
    EXPECT_FALSE(automatic.Wait(0));  // consumed by the first waiter

    // One Set releases exactly one of two auto-reset waiters.
    std::atomic<int> released{0};
    std::thread a([&] { released += automatic.Wait(300) ? 1 : 0; });
    std::thread b([&] { released += automatic.Wait(300) ? 1 : 0; });
    kt::SleepMs(50);
    automatic.Set();
    a.join();
    b.join();
    EXPECT_EQ(released.load(), 1);
}

TEST(Sync, ThreadLifecycle) {
    kt::CThread thread;
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_TRUE(thread.Join(0));  // never started: nothing to wait for
    kt::CEvent gate(true, false);
    ASSERT_TRUE(thread.Start([&] { gate.Wait(); }));
    EXPECT_FALSE(thread.Start([] {}));  // one thread at a time
    EXPECT_FALSE(thread.Join(50));
    EXPECT_TRUE(thread.IsAttached());
    gate.Set();
    EXPECT_TRUE(thread.Join(2000));
    EXPECT_FALSE(thread.IsAttached());
    ASSERT_TRUE(thread.Start([] {}));  // reusable after the join
    EXPECT_TRUE(thread.Join(2000));
}

}  // namespace
