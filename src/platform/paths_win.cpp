#include <windows.h>

#include <direct.h>
#include <io.h>

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
