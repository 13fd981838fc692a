#include "serverpath/serverpathmanager.h"

#include <iterator>

#include "platform/codepage.h"
#include "platform/decimal.h"
#include "platform/trace.h"
#include "xml/xmldocument.h"

namespace kt {

int32_t CServerPathManager::Load(std::u16string_view strDir) {
    std::u16string strFile(strDir);
    strFile += u"urlserver.xml";

    CXmlDocument xml;
    if (!xml.LoadFile(strFile)) {
        KT_TRACE("Failed parse %s file\n", ToUtf8(strFile).c_str());
        return 0;
    }
    if (!xml.FindElement(u"root")) return -1;
    return ParseUrlEntries(xml);
}

int32_t CServerPathManager::ParseUrlEntries(CXmlDocument& xml) {
    if (!xml.EnterElement()) return -1;
    while (xml.FindElement()) {
        // The element name is compared exactly, whatever case rule the document was given.
        if (xml.GetElementName() != u"url") continue;
        const auto nType = static_cast<SPathType>(WToL(xml.GetAttribute(u"id")));
        // Files list their kinds in order, as a rule: a kind above every one read so far goes
        // at the end without a search.
        auto it = m_mapURL.end();
        if (!m_mapURL.empty() && !(std::prev(it)->first < nType)) {
            it = m_mapURL.lower_bound(nType);
            if (it != m_mapURL.end() && it->first == nType) continue;  // the first entry wins
        }
        m_mapURL.emplace_hint(it, nType, _URL_INFO{nType, xml.GetAttribute(u"path")});
    }
    xml.LeaveElement();
    return 0;
}

CServerPathManager::CURLText CServerPathManager::GetURL(SPathType nType) const {
    const auto it = m_mapURL.find(nType);
    return it == m_mapURL.end() ? CURLText() : CURLText(&it->second.strURL);
}

}  // namespace kt
