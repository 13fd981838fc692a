// Shared by this folder's tests: a reporter that records every call, pumping the pool's messages,
// a pool set up for each test, file contents, a scratch directory, the time zone, and a count of
// the process's threads (a transfer must leave none behind).
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <windows.h>
// after windows.h
#include <tlhelp32.h>
#endif

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "httpdownload/httppublic.h"
#include "platform/codepage.h"
#include "platform/msgwindow.h"
#include "platform/paths.h"
#include "support/reporter_recorder.h"

namespace ttest {

// Bytes that differ at every offset a wrong split or a misplaced write could touch.
inline std::string MakeData(size_t nSize) {
    std::string strData(nSize, '\0');
    uint32_t nState = 0x12345678u;
    for (size_t i = 0; i < nSize; ++i) {
        nState = nState * 1103515245u + 12345u;
        strData[i] = static_cast<char>(nState >> 23);
    }
    return strData;
}

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline long long FileMTime(const std::filesystem::path& path) {
#ifdef _WIN32
    struct _stat64 st {};
    return ::_wstat64(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_mtime) : -1;
#else
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_mtime) : -1;
#endif
}

// Threads of the process. The first call starts and joins one thread, so that runtime helpers born
// with a process's first thread (ThreadSanitizer's background thread) are already in the baseline.
inline int ThreadCount() {
    static const bool s_bWarm = (std::thread([] {}).join(), true);
    (void)s_bWarm;
#ifdef _WIN32
    const HANDLE hSnap = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int nCount = 0;
    for (BOOL b = ::Thread32First(hSnap, &entry); b; b = ::Thread32Next(hSnap, &entry))
        nCount += entry.th32OwnerProcessID == ::GetCurrentProcessId();
    ::CloseHandle(hSnap);
    return nCount;
#else
    const std::filesystem::directory_iterator it("/proc/self/task");
    return static_cast<int>(std::distance(begin(it), end(it)));
#endif
}

inline std::u16string Wide(const std::string& str) {
    return kt::FromUtf8(str);
}

// A scratch directory removed with everything in it.
class CScratchDir {
public:
    CScratchDir() {
#ifdef _WIN32
        const auto base = std::filesystem::temp_directory_path();
        for (unsigned n = ::GetCurrentProcessId() * 1000u; m_path.empty(); ++n) {
            std::error_code ec;
            const auto path = base / ("kt-transfer-" + std::to_string(n));
            if (std::filesystem::create_directory(path, ec)) m_path = path;
            if (ec) break;
        }
#else
        char szTemplate[] = "/tmp/kt-transfer-XXXXXX";
        if (::mkdtemp(szTemplate) != nullptr) m_path = szTemplate;
#endif
    }
    ~CScratchDir() {
        std::error_code ec;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
    }
    std::filesystem::path File(const std::string& strName) const {
        return m_path / strName;
    }
    // The engine's (family) form of a path in the directory.
    std::u16string FamilyPath(const std::string& strName) const {
        return kt::FromFsPath(File(strName).string());
    }

private:
    std::filesystem::path m_path;
};

// Sets TZ for the scope (the GMT rule of the information request depends on the local zone), and
// back to UTC, the zone every download test runs in, after it.
class CTimeZone {
public:
    explicit CTimeZone(const char* pszZone) { Set(pszZone); }
    ~CTimeZone() { Set("UTC"); }
    static void Set(const char* pszZone) {
#ifdef _WIN32
        ::_putenv_s("TZ", pszZone);  // the C runtime's own form: "CST-8" is eight hours east
        ::_tzset();
#else
        ::setenv("TZ", pszZone, 1);
        ::tzset();
#endif
    }
};

// "Sun, 06 Nov 1994 08:49:37 GMT" as seconds since 1970.
inline constexpr long long kRfcExampleTime = 784111777;
inline constexpr const char* kRfcExampleDate = "Sun, 06 Nov 1994 08:49:37 GMT";

using kttest::CALL;
using kttest::CRecorder;

// Pumps the pool's messages until the condition holds; the limit only keeps a broken build from
// hanging the suite.
inline bool PumpUntil(const std::function<bool()>& fnDone, int nLimitMs = 60000) {
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nLimitMs);
    while (!fnDone()) {
        if (std::chrono::steady_clock::now() > tEnd) return false;
        kt::PumpMessagesFor(5);
    }
    return true;
}

inline void PumpFor(int nMs) {
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
    while (std::chrono::steady_clock::now() < tEnd) kt::PumpMessagesFor(5);
    kt::PumpMessages();
}

inline std::string TakeBody(long nId) {
    long nLength = -1;
    char* pData = HttpPool_GetData(nId, &nLength);
    std::string strBody = pData != nullptr ? std::string(pData, static_cast<size_t>(nLength)) : "";
    std::free(pData);
    return strBody;
}

// A pool initialised on the test's thread, which therefore receives every reporter call.
class CPoolTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(HttpPool_Initialize(nullptr), 1); }
    void TearDown() override {
        HttpPool_Uninitialize();
        kt::PumpMessages();
    }
};

}  // namespace ttest
