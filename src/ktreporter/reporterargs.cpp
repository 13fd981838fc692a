#include "ktreporter/reporterargs.h"

#include "platform/codepage.h"
#include "platform/decimal.h"
#include "platform/trace.h"

namespace kt {

bool ParseArgPair(CReporterArgs& args, const std::u16string* pSwitch,
                  const std::u16string* pValue) {
    if (!pSwitch || !pValue) return false;
    const std::u16string& strSwitch = *pSwitch;
    if (strSwitch.size() != 2 || strSwitch[0] != u'-') return false;
    switch (strSwitch[1]) {
        case u'D':
        case u'd':
            if (WToL(*pValue) != 0) args.m_bDeleteAttach = true;
            return true;
        case u'H':
        case u'h':
            args.m_hCaptureWnd = static_cast<uint32_t>(WToL(*pValue));
            return true;
        case u'T':
        case u't':
            args.m_nAttachType = WToL(*pValue);
            return true;
        case u'U':
        case u'u':
            args.m_strUserId = *pValue;
            return true;
        case u'P':
        case u'p':
            args.m_strAttachPath = *pValue;
            return true;
        default:
            return false;
    }
}

bool ParseCommandLine(CReporterArgs& args, const std::vector<std::u16string>& vecArgs) {
    size_t nIndex = 1;
    while (nIndex < vecArgs.size()) {
        const std::u16string* pSwitch = &vecArgs[nIndex];
        const std::u16string* pValue = nIndex + 1 < vecArgs.size() ? &vecArgs[nIndex + 1] : nullptr;
        nIndex += 2;
        KT_TRACE("%s - %s\n", ToUtf8(*pSwitch).c_str(),
                 pValue ? ToUtf8(*pValue).c_str() : "(null)");
        if (!ParseArgPair(args, pSwitch, pValue)) return false;
    }
    return true;
}

}  // namespace kt
