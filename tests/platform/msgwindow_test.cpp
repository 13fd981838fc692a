#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/msgwindow.h"
#include "platform/sync.h"

namespace {

constexpr kt::UINT kMsgCount = 0x1400;
constexpr kt::UINT kMsgNested = 0x1401;

struct Dispatched {
    std::thread::id thread;
    kt::WPARAM sender;
    kt::LPARAM seq;
};

std::mutex g_mutex;
std::vector<Dispatched> g_dispatched;
std::atomic<int> g_nestedPumps{0};

kt::LRESULT RecordingProc(kt::HWND hWnd, kt::UINT uMsg, kt::WPARAM wParam, kt::LPARAM lParam) {
    if (uMsg == kMsgCount || uMsg == kMsgNested) {
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_dispatched.push_back({std::this_thread::get_id(), wParam, lParam});
        }
        // Every 97th message opens a "modal loop" that pumps the same queue, as a message box does.
        if (uMsg == kMsgNested && lParam % 97 == 0) {
            ++g_nestedPumps;
            kt::PumpMessages();
        }
        return 0;
    }
    return kt::DefWindowProc(hWnd, uMsg, wParam, lParam);
}

class MsgWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_dispatched.clear();
        g_nestedPumps = 0;
        static bool s_registered = kt::RegisterWindowClass("KtTestWindow", &RecordingProc);
        ASSERT_TRUE(s_registered);
        m_hWnd = kt::CreateMessageWindow("KtTestWindow");
        ASSERT_NE(m_hWnd, 0u);
    }
    void TearDown() override {
        kt::PumpMessages();
        kt::DestroyMessageWindow(m_hWnd);
    }

    // 8 senders x 10,000 messages, pumped on this (the owner) thread while they post.
    void RunSenders(kt::UINT uMsg) {
        constexpr int kSenders = 8;
        constexpr int kPerSender = 10000;
        std::vector<std::thread> senders;
        std::atomic<int> failedPosts{0};
        for (int s = 0; s < kSenders; ++s) {
            senders.emplace_back([&, s] {
                for (int i = 0; i < kPerSender; ++i) {
                    if (!kt::PostMessage(m_hWnd, uMsg, s, i)) ++failedPosts;
                }
            });
        }
        size_t nSeen = 0;
        const uint64_t deadline = kt::GetTickCount64() + 60000;
        while (nSeen < size_t{kSenders} * kPerSender && kt::GetTickCount64() < deadline) {
            kt::PumpMessagesFor(10);
            std::lock_guard<std::mutex> lock(g_mutex);
            nSeen = g_dispatched.size();
        }
        for (auto& t : senders) t.join();
        kt::PumpMessages();
        EXPECT_EQ(failedPosts.load(), 0);

        ASSERT_EQ(g_dispatched.size(), size_t{kSenders} * kPerSender);
        std::vector<kt::LPARAM> next(kSenders, 0);
        for (const Dispatched& d : g_dispatched) {
            EXPECT_EQ(d.thread, std::this_thread::get_id());
            ASSERT_LT(d.sender, size_t{kSenders});
            // In each sender's order, each exactly once.
            ASSERT_EQ(d.seq, next[d.sender]) << "sender " << d.sender;
            ++next[d.sender];
        }
    }

    kt::HWND m_hWnd = 0;
};

TEST_F(MsgWindowTest, ManySendersEachMessageOnceInOrderOnOwnerThread) {
    RunSenders(kMsgCount);
}

TEST_F(MsgWindowTest, NestedPumpNeitherLosesNorRepeats) {
    RunSenders(kMsgNested);
    EXPECT_GT(g_nestedPumps.load(), 0);
}

TEST_F(MsgWindowTest, RegistrationAndPostingRules) {
    EXPECT_FALSE(kt::RegisterWindowClass("KtTestWindow", &RecordingProc));
    EXPECT_EQ(kt::GetLastPlatformError(), kt::kErrorClassAlreadyExists);
    EXPECT_FALSE(kt::PostMessage(0, kMsgCount, 0, 0));
    EXPECT_EQ(kt::CreateMessageWindow("NoSuchClass"), 0u);

    // Unhandled messages reach the default procedure.
    std::vector<kt::UINT> defaults;
    auto previous = kt::SetDefWindowProcHook(
        [&](kt::HWND, kt::UINT uMsg, kt::WPARAM, kt::LPARAM) { defaults.push_back(uMsg); });
    EXPECT_TRUE(kt::PostMessage(m_hWnd, 0x600, 0, 0));
    EXPECT_EQ(kt::PumpMessages(), 1);
    kt::SetDefWindowProcHook(previous);
    EXPECT_EQ(defaults, std::vector<kt::UINT>{0x600});

    // A destroyed window takes no more posts, and what was queued for it is dropped.
    kt::HWND hOther = kt::CreateMessageWindow("KtTestWindow");
    ASSERT_TRUE(kt::PostMessage(hOther, kMsgCount, 99, 0));
    EXPECT_TRUE(kt::DestroyMessageWindow(hOther));
    EXPECT_FALSE(kt::PostMessage(hOther, kMsgCount, 99, 1));
    EXPECT_EQ(kt::PumpMessages(), 0);
    EXPECT_TRUE(g_dispatched.empty());
}

TEST_F(MsgWindowTest, MessagesWaitForTheOwnerThreadAndWakeHookFires) {
    std::atomic<int> wakes{0};
    kt::SetThreadWakeHook([&] { ++wakes; });
    std::thread poster([&] { kt::PostMessage(m_hWnd, kMsgCount, 5, 6); });
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
