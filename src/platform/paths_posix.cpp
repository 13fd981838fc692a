#include "platform/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "platform/codepage.h"

namespace kt {

std::string ToFsPath(std::u16string_view strPath) {
    std::string str = ToUtf8(strPath);
    for (char& c : str) {
        if (c == '\\') c = '/';
    }
    return str;
}

std::u16string FromFsPath(std::string_view strFsPath) {
    std::u16string str = FromUtf8(strFsPath);
    for (char16_t& c : str) {
        if (c == u'/') c = u'\\';
    }
    return str;
}

FILE* OpenFile(std::u16string_view strPath, const char* pszMode) {
    return std::fopen(ToFsPath(strPath).c_str(), pszMode);
}

bool PathExists(std::u16string_view strPath) {
    return ::access(ToFsPath(strPath).c_str(), F_OK) == 0;
}

bool MakeDirectory(std::u16string_view strPath) {
    return ::mkdir(ToFsPath(strPath).c_str(), 0777) == 0;
}

bool DeleteFileAt(std::u16string_view strPath) {
    return ::unlink(ToFsPath(strPath).c_str()) == 0;
}

FILE* OpenFileForUpdate(std::u16string_view strPath) {
    const int nFd = ::open(ToFsPath(strPath).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (nFd < 0) return nullptr;
    FILE* pFile = ::fdopen(nFd, "r+b");
    if (!pFile) ::close(nFd);
    return pFile;
}

bool SetFileModifiedTime(std::u16string_view strPath, int64_t nUnixSeconds) {
    struct timespec aTimes[2] = {};
    aTimes[0].tv_nsec = UTIME_OMIT;
    aTimes[1].tv_sec = static_cast<time_t>(nUnixSeconds);
    return ::utimensat(AT_FDCWD, ToFsPath(strPath).c_str(), aTimes, 0) == 0;
}

std::u16string GetModuleFileName() {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) return {};
    return FromFsPath(std::string_view(buf, static_cast<size_t>(n)));
}

}  // namespace kt
