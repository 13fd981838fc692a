// The installation's table of service URLs, read once from its "urlserver.xml": programs ask it for
// the address of a service kind instead of holding addresses themselves.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace kt {

class CXmlDocument;

// A service kind: whatever numbers the installation's file uses.
enum SPathType : int32_t {
    SPT_FEEDBACK = 24,  // where the feedback form is posted
};

class CServerPathManager {
public:
    struct _URL_INFO {
        SPathType nType;
        std::u16string strURL;
    };

    // GetURL's answer: the stored URL, or null when the table has no entry for the kind. Taken as a
    // string, null reads as the empty string, which is what the application hands on.
    class CURLText {
    public:
        CURLText() = default;
        explicit CURLText(const std::u16string* pURL) : m_pURL(pURL) {}
        bool IsNull() const { return m_pURL == nullptr; }
        // Null when there is no entry, as the family's callers test it.
        const char16_t* c_str() const { return m_pURL ? m_pURL->c_str() : nullptr; }
        operator std::u16string() const { return m_pURL ? *m_pURL : std::u16string(); }

    private:
        const std::u16string* m_pURL = nullptr;
    };

    CServerPathManager() = default;
    virtual ~CServerPathManager() = default;
    CServerPathManager(const CServerPathManager&) = default;
    CServerPathManager& operator=(const CServerPathManager&) = default;

    // Reads strDir (ending in a backslash) + "urlserver.xml". 0 when the file could not be loaded
    // (traced; the table stays as it was) or when its entries were read; -1 when its document
    // element is not named root.
    int32_t Load(std::u16string_view strDir);

    // Reads the url children of the root element at the document's position: 0 when done, -1 when
    // the root cannot be entered.
    int32_t ParseUrlEntries(CXmlDocument& xml);

    CURLText GetURL(SPathType nType) const;

    // The whole table in ascending kind order (diagnostics).
    const std::map<SPathType, _URL_INFO>& GetEntries() const { return m_mapURL; }

private:
    std::map<SPathType, _URL_INFO> m_mapURL;
};

}  // namespace kt
