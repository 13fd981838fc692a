// Arbitrary text through the Internet functions' URL splitter. An accepted URL must give a known
// service, a server without blanks or separators, an object that starts with "/" and carries no
// fragment, and a port; put back together from those parts it must split the same way again.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/codepage.h"
#include "platform/inet/wininet.h"

namespace {

using namespace kt;

// The first byte picks how the rest becomes UTF-16: as UTF-8 text, or as raw code units (so that
// lone surrogates and every other unit are reached too).
std::u16string WideOf(const uint8_t* pData, size_t nSize) {
    if (nSize == 0) return {};
    if ((pData[0] & 1) == 0) {
        return kt::FromUtf8(std::string(reinterpret_cast<const char*>(pData) + 1, nSize - 1));
    }
    std::u16string str;
    for (size_t i = 1; i + 1 < nSize; i += 2) {
        str += static_cast<char16_t>(pData[i] | (pData[i + 1] << 8));
    }
    return str;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize > 4096) return 0;
    const std::u16string strUrl = WideOf(pData, nSize);
    uint32_t dwService = 0;
    std::u16string strServer, strObject;
    INTERNET_PORT nPort = 0;
    if (!AfxParseURL(strUrl.c_str(), dwService, strServer, strObject, nPort)) {
        if (!strServer.empty() || !strObject.empty() || nPort != 0) __builtin_trap();
        return 0;
    }
    const char16_t* pszScheme = nullptr;
    switch (dwService) {
        case AFX_INET_SERVICE_HTTP:
            pszScheme = u"http";
            break;
        case AFX_INET_SERVICE_HTTPS:
            pszScheme = u"https";
            break;
        case AFX_INET_SERVICE_FTP:
            pszScheme = u"ftp";
            break;
        default:
            __builtin_trap();
    }
    if (strServer.empty() || nPort == 0) __builtin_trap();
    for (char16_t ch : strServer) {
        if (ch <= u' ' || ch == u'/' || ch == u'\\' || ch == u'?' || ch == u'#' || ch == u'@') {
            __builtin_trap();
        }
    }
    if (strObject.empty() || strObject[0] != u'/' || strObject.find(u'#') != std::u16string::npos) {
        __builtin_trap();
    }

    // Put back together, the parts split the same way; an object that ends in a blank (its
    // fragment cut behind it) would lose the blank to the trimming of the whole address.
    if (std::u16string_view(u" \t\r\n").find(strObject.back()) != std::u16string_view::npos) {
        return 0;
    }
    // A server with a colon, or one that starts with a bracket, only comes from the bracket form.
    const bool bBracket = strServer.find(u':') != std::u16string::npos || strServer.front() == u'[';
    const std::u16string strAgain = std::u16string(pszScheme) + u"://" +
                                    (bBracket ? u"[" + strServer + u"]" : strServer) + u":" +
                                    kt::FromUtf8(std::to_string(nPort)) + strObject;
    uint32_t dwService2 = 0;
    std::u16string strServer2, strObject2;
    INTERNET_PORT nPort2 = 0;
    if (!AfxParseURL(strAgain.c_str(), dwService2, strServer2, strObject2, nPort2) ||
        dwService2 != dwService || strServer2 != strServer || strObject2 != strObject ||
        nPort2 != nPort) {
        __builtin_trap();
    }
    return 0;
}
