// Small helpers shared by the WinInet layer's tests.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/trace.h"
#include "support/http_server.h"
#include "support/raw_server.h"

namespace inettest {

// Sets (or, with null, removes) a variable of this process's environment.
inline void SetEnv(const char* pszName, const char* pszValue) {
#ifdef _WIN32
    _putenv_s(pszName, pszValue != nullptr ? pszValue : "");
#else
    if (pszValue != nullptr)
        setenv(pszName, pszValue, 1);
    else
        unsetenv(pszName);
#endif
}

// Polls the condition until it holds or the time runs out.
inline bool WaitFor(const std::function<bool()>& fn, int nTimeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (!fn()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A loopback port with nothing listening on it.
inline int ClosedPort() {
    kttest::CRawServer server;
    server.Stop();
    return server.Port();
}

// The request's header lines that start with one of the prefixes, in wire order.
inline std::vector<std::string> HeaderLines(const kttest::RECORDED_REQUEST& req,
                                            std::initializer_list<const char*> prefixes) {
    std::vector<std::string> vecOut;
    for (const std::string& strLine : req.vecHeaderLines) {
        for (const char* pszPrefix : prefixes)
            if (strLine.rfind(pszPrefix, 0) == 0) vecOut.push_back(strLine);
    }
    return vecOut;
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
    long Count(const std::string& strLine) const {
        const std::vector<std::string> vecLines = Lines();
        return std::count(vecLines.begin(), vecLines.end(), strLine);
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_vecLines;
    kt::TraceSink m_previous;
};

}  // namespace inettest
