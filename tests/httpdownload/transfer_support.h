// Shared by the file-download tests: file contents, a scratch directory, the time zone, and a
// count of the process's threads (a download must leave none behind).
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/paths.h"

namespace dltest {

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
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_mtime) : -1;
}

// Threads of this process right now.
inline int ThreadCount() {
    int nCount = 0;
    if (DIR* pDir = ::opendir("/proc/self/task")) {
        while (dirent* pEntry = ::readdir(pDir)) {
            if (pEntry->d_name[0] != '.') ++nCount;
        }
        ::closedir(pDir);
    }
    return nCount;
}

// A scratch directory removed with everything in it.
class CScratchDir {
public:
    CScratchDir() {
        char szTemplate[] = "/tmp/kt-download-XXXXXX";
        if (::mkdtemp(szTemplate) != nullptr) m_path = szTemplate;
    }
    ~CScratchDir() {
        std::error_code ec;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
    }
    const std::filesystem::path& Path() const { return m_path; }
    std::filesystem::path File(const std::string& strName) const { return m_path / strName; }
    // The engine's (family) form of a file in the directory.
    std::u16string FamilyPath(const std::string& strName) const {
        return kt::FromFsPath(File(strName).string());
    }

private:
    std::filesystem::path m_path;
};

// Sets TZ for the scope (the GMT rule of the information request depends on the local zone).
class CTimeZone {
public:
    explicit CTimeZone(const char* pszZone) {
        if (const char* pszOld = std::getenv("TZ")) {
            m_bHad = true;
            m_strOld = pszOld;
        }
        ::setenv("TZ", pszZone, 1);
        ::tzset();
    }
    ~CTimeZone() {
        if (m_bHad) {
            ::setenv("TZ", m_strOld.c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

private:
    bool m_bHad = false;
    std::string m_strOld;
};

// "Sun, 06 Nov 1994 08:49:37 GMT" as seconds since 1970.
inline constexpr long long kRfcExampleTime = 784111777;
inline constexpr const char* kRfcExampleDate = "Sun, 06 Nov 1994 08:49:37 GMT";

inline std::u16string Wide(const std::string& strAscii) {
    return std::u16string(strAscii.begin(), strAscii.end());
}

}  // namespace dltest
