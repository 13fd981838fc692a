#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/msgwindow.h"
#include "support/scoped.h"

namespace {

constexpr kt::UINT kMsg = 0x1400;

std::mutex g_mutex;
std::condition_variable g_cvDispatched;
std::vector<std::pair<kt::WPARAM, kt::LPARAM>> g_dispatched;  // sender, sequence number
std::vector<kt::LPARAM> g_perSender;  // dispatched per sender, to bound its messages in flight
int g_nNested = 0, g_nDepth = 0;      // dispatched by nested pumps, pumps open
std::thread::id g_owner;

kt::LRESULT RecordingProc(kt::HWND, kt::UINT, kt::WPARAM wParam, kt::LPARAM lParam) {
    bool bNotify = false;  // senders wait for 100 of their messages at a time, not for each one
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_dispatched.emplace_back(wParam, lParam);
        if (wParam < g_perSender.size()) bNotify = ++g_perSender[wParam] % 100 == 0;
    }
    if (bNotify) g_cvDispatched.notify_all();
    EXPECT_EQ(std::this_thread::get_id(), g_owner);
    // Every 97th message opens a "modal loop" that pumps the same queue, as a message box does
    // (up to three deep: each open loop takes the stack of one more dispatch).
    if (lParam % 97 == 0 && g_nDepth < 3) {
        ++g_nDepth;
        g_nNested += kt::PumpMessages();
        --g_nDepth;
    }
    return 0;
}

class MsgWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        static bool s_registered = kt::RegisterWindowClass("KtTestWindow", &RecordingProc);
        ASSERT_TRUE(s_registered);
        ASSERT_NE(m_hWnd = kt::CreateMessageWindow("KtTestWindow"), 0u);
        g_dispatched.clear();
        g_owner = std::this_thread::get_id();
    }
    void TearDown() override { kt::DestroyMessageWindow(m_hWnd); }

    kt::HWND m_hWnd = 0;
};

// 8 senders x 10,000 messages, pumped on this (the owner) thread while they post, some from nested
// pumps. Each sender keeps at most 1,000 messages in flight: a Windows thread queue takes no more
// than 10,000 posted messages and refuses the rest, so unbounded senders would test the quota.
TEST_F(MsgWindowTest, ManySendersEachMessageOnceInOrderOnOwnerThreadEvenWhenNested) {
    constexpr int kSenders = 8, kPerSender = 10000;
    g_perSender.assign(kSenders, 0);
    std::atomic<int> failedPosts{0};
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            for (int i = 0; i < kPerSender; ++i) {
                // The guard only keeps a lost message from leaving its sender waiting.
                std::unique_lock<std::mutex> lock(g_mutex);
                g_cvDispatched.wait_for(lock, std::chrono::milliseconds(kttest::kGuardMs),
                                        [&] { return i - g_perSender[s] < 1000; });
                lock.unlock();
                failedPosts += !kt::PostMessage(m_hWnd, kMsg, s, i);
            }
        });
    }
    EXPECT_TRUE(kttest::PumpUntil([&] {
        std::lock_guard<std::mutex> lock(g_mutex);
        return g_dispatched.size() >= size_t{kSenders} * kPerSender || failedPosts > 0;
    }));
    for (auto& t : senders) t.join();
    EXPECT_EQ(failedPosts.load(), 0);
    ASSERT_TRUE(kttest::PumpUntilMarker());  // a message dispatched twice would show now
    ASSERT_EQ(g_dispatched.size(), size_t{kSenders} * kPerSender);
    std::vector<kt::LPARAM> next(kSenders, 0);
    for (const auto& [nSender, nSeq] : g_dispatched) {
        ASSERT_LT(nSender, size_t{kSenders});
        ASSERT_EQ(nSeq, next[nSender]++) << "sender " << nSender;  // in order, once each
    }
    EXPECT_GT(g_nNested, 0);
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

    // A post from another thread wakes this thread's loop, but runs only when this thread pumps;
    // another thread's pump does not touch this thread's queue.
    std::atomic<int> wakes{0};
    kt::SetThreadWakeHook([&] { ++wakes; });
    std::thread([&] { kt::PostMessage(m_hWnd, kMsg, 5, 6); }).join();
    kt::SetThreadWakeHook(nullptr);
    EXPECT_EQ(wakes.load(), 1);
    std::thread([] { EXPECT_EQ(kt::PumpMessages(), 0); }).join();
    EXPECT_TRUE(g_dispatched.empty() && kt::HasPendingMessages());
    EXPECT_EQ(kt::PumpMessages(), 1);
    EXPECT_EQ(g_dispatched, (decltype(g_dispatched){{5, 6}}));
}

}  // namespace
