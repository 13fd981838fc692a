// Small helpers shared by the WinInet layer's tests.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/trace.h"

namespace inettest {

// Polls the condition until it holds or the time runs out.
inline bool WaitFor(const std::function<bool()>& fn, int nTimeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (!fn()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Collects trace lines for its lifetime.
class CTraceLines {
public:
    CTraceLines() {
        m_previous = kt::SetTraceSink([this](std::string_view strLine) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_vecLines.emplace_back(strLine);
        });
    }
    ~CTraceLines() { kt::SetTraceSink(m_previous); }
    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecLines;
    }
    size_t Count(const std::string& strLine) const {
        size_t n = 0;
        for (const std::string& str : Lines()) n += str == strLine;
        return n;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_vecLines;
    kt::TraceSink m_previous;
};

// A loopback port with nothing listening on it.
int ClosedPort();

}  // namespace inettest
