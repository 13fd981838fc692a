// The client family's directory layout: every component asks for a directory by its kind instead of
// building the path itself, and gets it created on the way. Paths are the family's own strings,
// backslashes included; they meet the file system only through platform/paths.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kt {

// A directory kind of the shared layout, 0 to 33. Any other value stands for the root itself.
enum ClientPathType : int32_t {};

inline constexpr int32_t kClientPathTypeCount = 34;

class CClientPathManager {
public:
    // strRoot is the client's executable directory, ending in a backslash.
    void SetRootPath(std::u16string_view strRoot) { m_strRootPath = strRoot; }
    void SetUserName(std::u16string_view strUser) { m_strUserName = strUser; }
    const std::u16string& GetRootPath() const { return m_strRootPath; }
    const std::u16string& GetUserName() const { return m_strUserName; }

    // The path of the kind, after an attempt to create its directory part. The attempt's outcome is
    // deliberately not looked at: a caller that cannot write there finds out when it writes.
    std::u16string GetPath(ClientPathType nType) const;

    // 0 when the directory part of strPath (everything up to the last backslash) exists or could be
    // created, -1 otherwise. A last component without a backslash behind it is a file name.
    static int32_t EnsureDirectoryExists(std::u16string_view strPath);

private:
    std::u16string FormatPath(ClientPathType nType) const;

    std::u16string m_strRootPath;
    std::u16string m_strUserName;
};

// The same walk for callers that build their own file paths (the screen capture).
int32_t EnsureDirectoryExists(std::u16string_view strPath);

}  // namespace kt
