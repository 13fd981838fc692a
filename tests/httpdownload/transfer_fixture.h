// For the transfer engine's tests: bytes to send and files read back, malloc'd bytes and a reply
// body taken off the pool, the wait for a request's worker, and a pool set up for each test on the
// test's thread, which therefore receives every reporter call.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "httpdownload/httppublic.h"
#include "platform/msgwindow.h"
#include "support/files.h"
#include "support/scoped.h"

namespace kttest {

// Bytes that differ at every offset a wrong split or a misplaced write could touch.
inline std::string MakeData(size_t nSize) {
    std::string strData(nSize, '\0');
    uint32_t nState = 0x12345678u;
    for (char& ch : strData) ch = static_cast<char>((nState = nState * 1103515245u + 12345u) >> 23);
    return strData;
}

// The bytes of a malloc'd buffer, freed; "" for none.
inline std::string Take(char* pData, long long nLength) {
    const std::unique_ptr<char, decltype(&std::free)> hold(pData, &std::free);
    return pData != nullptr ? std::string(pData, static_cast<size_t>(nLength)) : std::string();
}

inline std::string TakeBody(long nId) {
    long nLength = 0;
    char* pData = HttpPool_GetData(nId, &nLength);
    return Take(pData, nLength);
}

// Waits without pumping, so that whatever the workers post stays queued, until fnDone holds.
inline bool WaitUnpumped(const std::function<bool()>& fnDone) {
    return PumpUntil(fnDone, kGuardMs, [] { std::this_thread::yield(); });
}

// Waits, without pumping, until the worker of request nId has ended.
inline bool WaitWorkerEnd(long nId) {
    return WaitUnpumped([&] { return HttpPool_IsRunning(nId) == 0; });
}

class CPoolTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(HttpPool_Initialize(nullptr), 1); }
    void TearDown() override {
        HttpPool_Uninitialize();
        kt::PumpMessages();
    }
};

}  // namespace kttest
