// The family builds its paths with backslashes. Here they keep their backslashes everywhere callers
// can see them, and are mapped to the file system only at this boundary: '\' becomes '/', and the
// UTF-16 text becomes the UTF-8 bytes of a Linux file name.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

// <windows.h> renames these to their wide forms; here they name the family's own functions.
#ifdef GetModuleFileName
#undef GetModuleFileName
#endif

namespace kt {

// The file-system form of a family path.
std::string ToFsPath(std::u16string_view strPath);
// The family form of a file-system path ('/' -> '\').
std::u16string FromFsPath(std::string_view strFsPath);

// _wfopen on the mapped path.
FILE* OpenFile(std::u16string_view strPath, const char* pszMode);
// _waccess(path, 0) == 0.
bool PathExists(std::u16string_view strPath);
// _wmkdir: true when the directory was made; false when it exists already or cannot be made
// (errno tells which, as the C runtime does).
bool MakeDirectory(std::u16string_view strPath);
// DeleteFile.
bool DeleteFileAt(std::u16string_view strPath);

// Opens a file for reading and writing anywhere in it, created when missing and never truncated
// (every part of a download opens the same file), binary, not inherited by child processes.
FILE* OpenFileForUpdate(std::u16string_view strPath);
// Sets the file's modification time (seconds since 1970, UTC); the access time stays as it is.
bool SetFileModifiedTime(std::u16string_view strPath, int64_t nUnixSeconds);

// GetModuleFileName(NULL): the running executable, in the family's form (backslashes).
std::u16string GetModuleFileName();

}  // namespace kt
