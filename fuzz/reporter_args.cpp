// Arbitrary command lines through the reporter's parser: the bytes are cut into arguments at zero
// bytes, as the calling client's arguments arrive. The parse must agree with the rules it keeps:
// an odd number of arguments after the program fails, a switch that is not a minus sign and one
// letter of D H P T U fails, and a parse that succeeds leaves the last -U and -P values in place.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ktreporter/reporterargs.h"
#include "platform/codepage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize > 4096) return 0;
    std::vector<std::u16string> vecArgs{u"ktreporter"};
    const std::string strAll(reinterpret_cast<const char*>(pData), nSize);
    for (size_t nStart = 0; nStart < strAll.size();) {
        size_t nEnd = strAll.find('\0', nStart);
        if (nEnd == std::string::npos) nEnd = strAll.size();
        vecArgs.push_back(kt::FromUtf8(strAll.substr(nStart, nEnd - nStart)));
        nStart = nEnd + 1;
    }

    kt::CReporterArgs args;
    const bool bOk = kt::ParseCommandLine(args, vecArgs);

    bool bExpected = vecArgs.size() % 2 == 1;
    std::u16string strUser, strPath;
    for (size_t i = 1; bExpected && i + 1 < vecArgs.size(); i += 2) {
        const std::u16string& strSwitch = vecArgs[i];
        if (strSwitch.size() != 2 || strSwitch[0] != u'-' ||
            std::u16string(u"DdHhPpTtUu").find(strSwitch[1]) == std::u16string::npos) {
            bExpected = false;
        } else if (strSwitch[1] == u'U' || strSwitch[1] == u'u') {
            strUser = vecArgs[i + 1];
        } else if (strSwitch[1] == u'P' || strSwitch[1] == u'p') {
            strPath = vecArgs[i + 1];
        }
    }
    if (bOk != bExpected) __builtin_trap();
    if (bOk && (args.m_strUserId != strUser || args.m_strAttachPath != strPath)) __builtin_trap();
    return 0;
}
