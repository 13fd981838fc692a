#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/msgwindow.h"
#include "support/scoped.h"

namespace {

constexpr kt::UINT kMsg = 0x1400;

// Written by the window procedure only, on the owner thread (which also reads it).
std::vector<std::pair<kt::WPARAM, kt::LPARAM>> g_dispatched;  // sender, sequence number
int g_nNested = 0, g_nDepth = 0;  // dispatched by nested pumps, pumps open
std::thread::id g_owner;

kt::LRESULT RecordingProc(kt::HWND, kt::UINT, kt::WPARAM wParam, kt::LPARAM lParam) {
    EXPECT_EQ(std::this_thread::get_id(), g_owner);
    g_dispatched.emplace_back(wParam, lParam);
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

// 8 senders x 1,000 messages, pumped on this (the owner) thread while they post, some from nested
// pumps. A Windows thread queue takes no more than 10,000 posted messages (more would test that
// quota).
TEST_F(MsgWindowTest, ManySendersEachMessageOnceInOrderOnOwnerThreadEvenWhenNested) {
    constexpr int kSenders = 8, kPerSender = 1000;
    std::atomic<int> failedPosts{0};
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            for (int i = 0; i < kPerSender; ++i)
                failedPosts += !kt::PostMessage(m_hWnd, kMsg, s, i);
        });
    }
    EXPECT_TRUE(kttest::PumpUntil(
        [&] { return g_dispatched.size() >= size_t{kSenders} * kPerSender || failedPosts > 0; }));
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
