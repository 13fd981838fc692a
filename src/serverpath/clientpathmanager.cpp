#include "serverpath/clientpathmanager.h"

#include <algorithm>
#include <cerrno>

#include "platform/paths.h"

namespace kt {
namespace {

// The layout table. A path is the root, the text before the user name, and, for the kinds that
// live under a user's directory, the user name and the text after it.
struct PathEntry {
    const char16_t* pszBefore;
    bool bUser;
    const char16_t* pszAfter;
};

constexpr PathEntry kLayout[kClientPathTypeCount] = {
    {u"data\\", false, u""},                 // 0
    {u"etc\\", false, u""},                  // 1
    {u"etc\\help\\", false, u""},            // 2
    {u"htdocs\\", false, u""},               // 3
    {u"log\\", false, u""},                  // 4
    {u"modules\\", false, u""},              // 5
    {u"tmp\\", false, u""},                  // 6
    {u"upgrade\\", false, u""},              // 7
    {u"users\\", true, u"\\"},               // 8
    {u"xsl\\", false, u""},                  // 9
    {u"users\\", true, u"\\FinanceInfo\\"},  // 10
    {u"config\\", false, u""},               // 11
    // The last component is the passport file itself, so only the directories above it are made.
    {u"users\\", true, u"\\Passport\\passport"},  // 12
    {u"users\\guest\\", false, u""},              // 13
    {u"hqplug\\", false, u""},                    // 14
    {u"hqplug\\", true, u"\\"},                   // 15
    {u"etc\\TopicSurvey\\", false, u""},          // 16
    {u"etc\\topic\\", false, u""},                // 17
    {u"etc\\MacroData\\", false, u""},            // 18
    {u"etc\\datacube\\", false, u""},             // 19
    {u"etc\\F9\\", false, u""},                   // 20
    {u"etc\\News\\", false, u""},                 // 21
    {u"etc\\Chart\\", false, u""},                // 22
    {u"etc\\Calculator\\", false, u""},           // 23
    {u"users\\", true, u"\\Calculator\\"},        // 24
    {u"users\\", true, u"\\UserDefTemPath\\"},    // 25
    {u"etc\\RSS\\", false, u""},                  // 26
    {u"users\\", true, u"\\RSS\\"},               // 27
    {u"users\\", true, u"\\RSS\\DownLoad\\"},     // 28
    {u"config\\update\\", false, u""},            // 29
    {u"users\\", false, u""},                     // 30
    {u"topic_ui\\", false, u""},                  // 31
    {u"topic_ui\\", false, u""},                  // 32, the same directory as 31
    {u"etc\\GdiPool\\", false, u""},              // 33
};

// The family's paths are bounded by the Windows path limit; longer input is cut there, as the
// family's fixed buffers do, rather than made into something the family's programs never see.
constexpr size_t kMaxPath = 260;

}  // namespace

std::u16string CClientPathManager::FormatPath(ClientPathType nType) const {
    const int32_t nIndex = static_cast<int32_t>(nType);
    if (nIndex < 0 || nIndex >= kClientPathTypeCount) return m_strRootPath;
    const PathEntry& entry = kLayout[nIndex];
    std::u16string strPath = m_strRootPath;
    strPath += entry.pszBefore;
    if (entry.bUser) {
        strPath += m_strUserName;
        strPath += entry.pszAfter;
    }
    return strPath;
}

std::u16string CClientPathManager::GetPath(ClientPathType nType) const {
    std::u16string strPath = FormatPath(nType);
    EnsureDirectoryExists(strPath);
    return strPath;
}

int32_t CClientPathManager::EnsureDirectoryExists(std::u16string_view strPath) {
    return kt::EnsureDirectoryExists(strPath);
}

int32_t EnsureDirectoryExists(std::u16string_view strPath) {
    if (strPath.empty()) return -1;
    std::u16string strDir(strPath.substr(0, std::min(strPath.size(), kMaxPath)));
    const size_t nLast = strDir.rfind(u'\\');
    if (nLast == std::u16string::npos) return -1;
    strDir.resize(nLast + 1);
    if (PathExists(strDir)) return 0;

    for (size_t nPos = strDir.find(u'\\'); nPos != std::u16string::npos;
         nPos = strDir.find(u'\\', nPos + 1)) {
        // A drive root (C:\) is never made; neither is the file-system root that a path starting
        // with a backslash names here, which would otherwise be an empty prefix.
        if (nPos == 0 || strDir[nPos - 1] == u':') continue;
        const std::u16string_view strPrefix(strDir.data(), nPos);
        if (PathExists(strPrefix) || MakeDirectory(strPrefix)) continue;
        // Another process of the family may have made it between the test and the creation.
        if (errno != EEXIST) return -1;
    }
    return 0;
}

}  // namespace kt
