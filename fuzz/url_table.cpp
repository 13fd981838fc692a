// Arbitrary text as the installation's "urlserver.xml": the document is parsed as the table's
// loader reads it (document element root, its url children), from memory instead of a file so that
// each input costs no disk access. Every entry must be filed under its own kind, and asking the
// table for a kind must give that entry's URL.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/codepage.h"
#include "serverpath/serverpathmanager.h"
#include "xml/xmldocument.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize > 65536) return 0;
    // The file is read as text in the ANSI code page.
    const std::u16string strText =
        kt::FromAnsi(std::string_view(reinterpret_cast<const char*>(pData), nSize));
    kt::CXmlDocument xml;
    xml.SetDocument(strText);
    kt::CServerPathManager table;
    if (xml.FindElement(u"root")) {
        if (table.ParseUrlEntries(xml) != 0 && !table.GetEntries().empty()) __builtin_trap();
    }
    for (const auto& [nKind, info] : table.GetEntries()) {
        if (info.nType != nKind) __builtin_trap();
        const kt::CServerPathManager::CURLText url = table.GetURL(nKind);
        if (url.IsNull() || static_cast<std::u16string>(url) != info.strURL) __builtin_trap();
    }
    if (!table.GetEntries().count(kt::SPT_FEEDBACK) && !table.GetURL(kt::SPT_FEEDBACK).IsNull()) {
        __builtin_trap();
    }
    return 0;
}
