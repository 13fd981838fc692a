// Shared by this folder's tests: file contents, a scratch directory, the time zone, a count of the
// process's threads (a transfer must leave none behind) and a pool set up for each test.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <windows.h>
// after windows.h
#include <tlhelp32.h>
#endif

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>

#include "httpdownload/httppublic.h"
#include "platform/codepage.h"
#include "platform/msgwindow.h"
#include "platform/paths.h"
#include "support/reporter_recorder.h"
#include "support/scoped.h"

namespace ttest {

using kttest::CALL;
using kttest::CRecorder;
using kttest::PumpUntil;

// Bytes that differ at every offset a wrong split or a misplaced write could touch.
inline std::string MakeData(size_t nSize) {
    std::string strData(nSize, '\0');
    uint32_t nState = 0x12345678u;
    for (char& ch : strData) ch = static_cast<char>((nState = nState * 1103515245u + 12345u) >> 23);
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
        std::random_device random;
        std::error_code ec;
        for (int i = 0; i < 100 && m_path.empty(); ++i) {
            auto path = std::filesystem::temp_directory_path(ec) /
                        ("kt-transfer-" + std::to_string(random()) + std::to_string(i));
            if (std::filesystem::create_directory(path, ec)) m_path = path;
        }
    }
    ~CScratchDir() {
        std::error_code ec;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
    }
    std::filesystem::path File(const std::string& strName) const { return m_path / strName; }
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
