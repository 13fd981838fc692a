// The profile on Windows, where the application framework keeps it: the current user's registry,
// HKEY_CURRENT_USER\Software\<key>\<application>\<section>, one REG_SZ value per entry. The key
// lives in the user's own hive, which other users cannot read.
#include <windows.h>

#include "platform/profile.h"

namespace kt {
namespace {

const wchar_t* W(const std::u16string& str) {
    return reinterpret_cast<const wchar_t*>(str.c_str());
}

class CRegistryProfileStore final : public IProfileStore {
public:
    CRegistryProfileStore(std::u16string_view strKey, std::u16string_view strAppName) {
        m_strAppKey = u"Software\\";
        m_strAppKey += strKey;
        m_strAppKey += u"\\";
        m_strAppKey += strAppName;
    }

    bool WriteString(std::u16string_view strSection, std::u16string_view strEntry,
                     std::u16string_view strValue) override {
        HKEY hKey = nullptr;
        if (::RegCreateKeyExW(HKEY_CURRENT_USER, W(SectionKey(strSection)), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &hKey,
                              nullptr) != ERROR_SUCCESS) {
            return false;
        }
        const std::u16string entry(strEntry), value(strValue);
        const LSTATUS nStatus = ::RegSetValueExW(
            hKey, W(entry), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
            static_cast<DWORD>((value.size() + 1) * sizeof(char16_t)));
        ::RegCloseKey(hKey);
        return nStatus == ERROR_SUCCESS;
    }

    std::optional<std::u16string> GetString(std::u16string_view strSection,
                                            std::u16string_view strEntry) const override {
        const std::u16string section = SectionKey(strSection), entry(strEntry);
        DWORD cbData = 0;
        if (::RegGetValueW(HKEY_CURRENT_USER, W(section), W(entry), RRF_RT_REG_SZ, nullptr, nullptr,
                           &cbData) != ERROR_SUCCESS) {
            return std::nullopt;
        }
        // The value may grow between the two calls; ask again with the size it then reports.
        std::u16string value;
        LSTATUS nStatus = ERROR_MORE_DATA;
        while (nStatus == ERROR_MORE_DATA) {
            value.resize(cbData / sizeof(char16_t) + 1);
            cbData = static_cast<DWORD>(value.size() * sizeof(char16_t));
            nStatus = ::RegGetValueW(HKEY_CURRENT_USER, W(section), W(entry), RRF_RT_REG_SZ,
                                     nullptr, value.data(), &cbData);
        }
        if (nStatus != ERROR_SUCCESS) return std::nullopt;
        // cbData counts the terminating zero that RegGetValue guarantees.
        value.resize(cbData >= sizeof(char16_t) ? cbData / sizeof(char16_t) - 1 : 0);
        return value;
    }

private:
    std::u16string SectionKey(std::u16string_view strSection) const {
        std::u16string str = m_strAppKey;
        str += u"\\";
        str += strSection;
        return str;
    }

    std::u16string m_strAppKey;
};

}  // namespace

std::unique_ptr<IProfileStore> OpenUserProfile(std::u16string_view strKey,
                                               std::u16string_view strAppName) {
    return std::make_unique<CRegistryProfileStore>(strKey, strAppName);
}

}  // namespace kt
