#include <windows.h>

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "platform/codepage.h"
#include "platform/paths.h"

// The family's backslash paths are the file system's own here: the wide text goes to the wide C
// runtime and Win32 calls unchanged. Only the narrow form (for std::filesystem and messages) is
// UTF-8.

namespace kt {
namespace {

std::wstring Wide(std::u16string_view str) {
    return std::wstring(str.begin(), str.end());
}

}  // namespace

std::string ToFsPath(std::u16string_view strPath) {
    return ToUtf8(strPath);
}

std::u16string FromFsPath(std::string_view strFsPath) {
    std::u16string str = FromUtf8(strFsPath);
    for (char16_t& c : str) {
        if (c == u'/') c = u'\\';
    }
    return str;
}

FILE* OpenFile(std::u16string_view strPath, const char* pszMode) {
    const std::wstring mode(pszMode, pszMode + std::char_traits<char>::length(pszMode));
    return ::_wfopen(Wide(strPath).c_str(), mode.c_str());
}

bool PathExists(std::u16string_view strPath) {
    return ::_waccess(Wide(strPath).c_str(), 0) == 0;
}

bool MakeDirectory(std::u16string_view strPath) {
    return ::_wmkdir(Wide(strPath).c_str()) == 0;
}

bool DeleteFileAt(std::u16string_view strPath) {
    return ::DeleteFileW(Wide(strPath).c_str()) != FALSE;
}

FILE* OpenFileForUpdate(std::u16string_view strPath) {
    const int nFd = ::_wopen(Wide(strPath).c_str(), _O_RDWR | _O_CREAT | _O_BINARY | _O_NOINHERIT,
                             _S_IREAD | _S_IWRITE);
    if (nFd < 0) return nullptr;
    FILE* pFile = ::_wfdopen(nFd, L"r+b");
    if (!pFile) ::_close(nFd);
    return pFile;
}

bool SetFileModifiedTime(std::u16string_view strPath, int64_t nUnixSeconds) {
    HANDLE hFile = ::CreateFileW(Wide(strPath).c_str(), FILE_WRITE_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) return false;
    // FILETIME counts 100 ns steps since 1601.
    const uint64_t nTicks = static_cast<uint64_t>(nUnixSeconds + 11644473600LL) * 10000000ULL;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(nTicks);
    ft.dwHighDateTime = static_cast<DWORD>(nTicks >> 32);
    const bool bOk = ::SetFileTime(hFile, nullptr, nullptr, &ft) != FALSE;
    ::CloseHandle(hFile);
    return bOk;
}

std::u16string GetModuleFileName() {
    std::wstring buf(MAX_PATH, L'\0');
    while (true) {
        const DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return {};
        if (n < buf.size()) return std::u16string(buf.begin(), buf.begin() + n);
        buf.resize(buf.size() * 2);
    }
}

}  // namespace kt
