// The per-user profile: string values by section and entry, kept per user under a company key and
// the application's name. Each platform has its store: QSettings on Linux (an ini file in the
// user's configuration directory, readable by the user alone), the registry on Windows
// (HKEY_CURRENT_USER\Software\<key>\<application>\<section>). Used on the GUI thread only.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kt {

class IProfileStore {
public:
    virtual ~IProfileStore() = default;
    virtual bool WriteString(std::u16string_view strSection, std::u16string_view strEntry,
                             std::u16string_view strValue) = 0;
    // The stored value; nothing when the entry was never written.
    virtual std::optional<std::u16string> GetString(std::u16string_view strSection,
                                                    std::u16string_view strEntry) const = 0;
};

// The platform's store for the current user under strKey and strAppName.
std::unique_ptr<IProfileStore> OpenUserProfile(std::u16string_view strKey,
                                               std::u16string_view strAppName);

}  // namespace kt
