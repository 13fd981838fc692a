#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/msgwindow.h"
#include "platform/sync.h"

namespace {

constexpr kt::UINT kMsg = 0x1400;

struct Dispatched {
    std::thread::id thread;
    kt::WPARAM sender;
    kt::LPARAM seq;
};

std::mutex g_mutex;
std::condition_variable g_cvDispatched;
std::vector<Dispatched> g_dispatched;
std::vector<kt::LPARAM> g_dispatchedPerSender;  // bounds each sender's messages in flight
std::atomic<bool> g_bNest{false};
int g_nNestedDispatched = 0;  // by pumps opened from inside the procedure

kt::LRESULT RecordingProc(kt::HWND, kt::UINT, kt::WPARAM wParam, kt::LPARAM lParam) {
    bool bNotify = false;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_dispatched.push_back({std::this_thread::get_id(), wParam, lParam});
        // Senders wait for 100 of their messages at a time, not for each one.
        if (wParam < g_dispatchedPerSender.size())
            bNotify = ++g_dispatchedPerSender[wParam] % 100 == 0;
    }
    if (bNotify) g_cvDispatched.notify_all();
    // Every 97th message opens a "modal loop" that pumps the same queue, as a message box does.
    if (g_bNest && lParam % 97 == 0) g_nNestedDispatched += kt::PumpMessages();
    return 0;
}

class MsgWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_dispatched.clear();
        static bool s_registered = kt::RegisterWindowClass("KtTestWindow", &RecordingProc);
        ASSERT_TRUE(s_registered);
        m_hWnd = kt::CreateMessageWindow("KtTestWindow");
        ASSERT_NE(m_hWnd, 0u);
    }
    void TearDown() override {
        kt::PumpMessages();
        kt::DestroyMessageWindow(m_hWnd);
    }

    kt::HWND m_hWnd = 0;
};

// 8 senders x 10,000 messages, pumped on this (the owner) thread while they post; then 8 x 1,000
// with every 97th message opening a nested pump from inside the window procedure. Each sender keeps
// at most 1,000 messages in flight: a Windows thread queue takes no more than 10,000 posted
// messages and refuses the rest, so unbounded senders would test the quota, not the delivery.
TEST_F(MsgWindowTest, ManySendersEachMessageOnceInOrderOnOwnerThreadEvenWhenNested) {
    constexpr int kSenders = 8;
    for (const bool bNest : {false, true}) {
        SCOPED_TRACE(bNest);
        // Nesting needs no volume: a tenth of the messages gives it over 80 nested loops.
        const int nPerSender = bNest ? 1000 : 10000;
        g_bNest = bNest;
        constexpr kt::LPARAM kInFlight = 1000;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_dispatched.clear();
            g_dispatchedPerSender.assign(kSenders, 0);
        }
        std::vector<std::thread> senders;
        std::atomic<int> failedPosts{0};
        std::atomic<int> sendersDone{0};
        for (int s = 0; s < kSenders; ++s) {
            senders.emplace_back([&, s] {
                for (int i = 0; i < nPerSender; ++i) {
                    {
                        std::unique_lock<std::mutex> lock(g_mutex);
                        g_cvDispatched.wait(
                            lock, [&] { return i - g_dispatchedPerSender[s] < kInFlight; });
                    }
                    if (!kt::PostMessage(m_hWnd, kMsg, s, i)) {
                        ++failedPosts;
                        std::lock_guard<std::mutex> lock(g_mutex);
                        ++g_dispatchedPerSender[s];  // counted as settled, so the sender goes on
                    }
                }
                ++sendersDone;
            });
        }
        // Pumped until every message is in, or until the senders are done and nothing is queued: a
        // lost message then shows in the count below instead of a wait without end.
        while (true) {
            kt::PumpMessagesFor(10);
            std::lock_guard<std::mutex> lock(g_mutex);
            if (g_dispatched.size() == size_t{kSenders} * nPerSender) break;
            if (sendersDone == kSenders && !kt::HasPendingMessages()) break;
        }
        for (auto& t : senders) t.join();
        kt::PumpMessages();
        EXPECT_EQ(failedPosts.load(), 0);
        ASSERT_EQ(g_dispatched.size(), size_t{kSenders} * nPerSender);
        std::vector<kt::LPARAM> next(kSenders, 0);
        for (const Dispatched& d : g_dispatched) {
            EXPECT_EQ(d.thread, std::this_thread::get_id());
            ASSERT_LT(d.sender, size_t{kSenders});
            // In each sender's order, each exactly once.
            ASSERT_EQ(d.seq, next[d.sender]) << "sender " << d.sender;
            ++next[d.sender];
        }
    }
    EXPECT_GT(g_nNestedDispatched, 0);
}

TEST_F(MsgWindowTest, RegistrationPostingAndOwnerThreadRules) {
    EXPECT_FALSE(kt::RegisterWindowClass("KtTestWindow", &RecordingProc));
    EXPECT_EQ(kt::GetLastPlatformError(), kt::kErrorClassAlreadyExists);
    EXPECT_FALSE(kt::PostMessage(0, kMsg, 0, 0));
    EXPECT_EQ(kt::CreateMessageWindow("NoSuchClass"), 0u);

    // A destroyed window takes no more posts, and what was queued for it is dropped.
    kt::HWND hOther = kt::CreateMessageWindow("KtTestWindow");
    ASSERT_TRUE(kt::PostMessage(hOther, kMsg, 99, 0));
    EXPECT_TRUE(kt::DestroyMessageWindow(hOther));
    EXPECT_FALSE(kt::PostMessage(hOther, kMsg, 99, 1));
    EXPECT_EQ(kt::PumpMessages(), 0);
    EXPECT_TRUE(g_dispatched.empty());

    // A post from another thread wakes this thread's loop, but runs only when this thread pumps.
    std::atomic<int> wakes{0};
    kt::SetThreadWakeHook([&] { ++wakes; });
    std::thread poster([&] { kt::PostMessage(m_hWnd, kMsg, 5, 6); });
    poster.join();
    kt::SetThreadWakeHook(nullptr);
    EXPECT_EQ(wakes.load(), 1);
    EXPECT_TRUE(g_dispatched.empty());  // nothing runs until the owner pumps

    // Another thread's pump does not touch this thread's queue.
    std::thread other([] { EXPECT_EQ(kt::PumpMessages(), 0); });
    other.join();
    EXPECT_TRUE(kt::HasPendingMessages());
    EXPECT_EQ(kt::PumpMessages(), 1);
    ASSERT_EQ(g_dispatched.size(), 1u);
    EXPECT_EQ(g_dispatched[0].sender, 5u);
    EXPECT_EQ(g_dispatched[0].seq, 6);
}

}  // namespace
