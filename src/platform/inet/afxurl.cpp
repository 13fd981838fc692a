#include "platform/inet/wininet.h"

// One splitter for both builds: the system's own cracker on Windows read some addresses
// differently (a port cut to 16 bits, an empty port, blanks in the server), and two parsers would
// have to agree on every input.
namespace kt {

bool AfxParseURL(const char16_t* pszUrl, uint32_t& dwServiceType, std::u16string& strServer,
                 std::u16string& strObject, INTERNET_PORT& nPort) {
    dwServiceType = AFX_INET_SERVICE_UNK;
    strServer.clear();
    strObject.clear();
    nPort = 0;
    if (pszUrl == nullptr) return false;
    std::u16string strUrl(pszUrl);
    // Leading and trailing blanks are not part of an address.
    const size_t nFirst = strUrl.find_first_not_of(u" \t\r\n");
    if (nFirst == std::u16string::npos) return false;
    strUrl = strUrl.substr(nFirst, strUrl.find_last_not_of(u" \t\r\n") - nFirst + 1);

    const size_t nSchemeEnd = strUrl.find(u"://");
    if (nSchemeEnd == std::u16string::npos || nSchemeEnd == 0) return false;
    std::u16string strScheme = strUrl.substr(0, nSchemeEnd);
    for (char16_t& ch : strScheme) {
        if (ch >= u'A' && ch <= u'Z') ch = static_cast<char16_t>(ch - u'A' + u'a');
    }
    INTERNET_PORT nDefaultPort = 0;
    if (strScheme == u"http") {
        dwServiceType = AFX_INET_SERVICE_HTTP;
        nDefaultPort = INTERNET_DEFAULT_HTTP_PORT;
    } else if (strScheme == u"https") {
        dwServiceType = AFX_INET_SERVICE_HTTPS;
        nDefaultPort = INTERNET_DEFAULT_HTTPS_PORT;
    } else if (strScheme == u"ftp") {
        dwServiceType = AFX_INET_SERVICE_FTP;
        nDefaultPort = 21;
    } else {
        return false;
    }

    const size_t nAuthStart = nSchemeEnd + 3;
    size_t nAuthEnd = strUrl.find_first_of(u"/?#", nAuthStart);
    if (nAuthEnd == std::u16string::npos) nAuthEnd = strUrl.size();
    std::u16string strAuthority = strUrl.substr(nAuthStart, nAuthEnd - nAuthStart);
    const size_t nAt = strAuthority.rfind(u'@');
    if (nAt != std::u16string::npos) strAuthority.erase(0, nAt + 1);

    std::u16string strHost;
    std::u16string strPort;
    if (!strAuthority.empty() && strAuthority[0] == u'[') {
        const size_t nClose = strAuthority.find(u']');
        if (nClose == std::u16string::npos) return false;
        strHost = strAuthority.substr(1, nClose - 1);
        const std::u16string strRest = strAuthority.substr(nClose + 1);
        if (!strRest.empty()) {
            if (strRest[0] != u':') return false;
            strPort = strRest.substr(1);
            if (strPort.empty()) return false;
        }
    } else {
        const size_t nColon = strAuthority.find(u':');
        strHost = strAuthority.substr(0, nColon);
        if (nColon != std::u16string::npos) {
            strPort = strAuthority.substr(nColon + 1);
            if (strPort.empty()) return false;
        }
    }
    if (strHost.empty()) return false;
    for (char16_t ch : strHost) {
        if (ch <= u' ' || ch == u'/' || ch == u'\\') return false;
    }
    unsigned long nValue = nDefaultPort;
    if (!strPort.empty()) {
        if (strPort.size() > 5) return false;
        nValue = 0;
        for (char16_t ch : strPort) {
            if (ch < u'0' || ch > u'9') return false;
            nValue = nValue * 10 + (ch - u'0');
        }
        if (nValue == 0 || nValue > 65535) return false;
    }

    std::u16string strRest = strUrl.substr(nAuthEnd);
    const size_t nHash = strRest.find(u'#');
    if (nHash != std::u16string::npos) strRest.erase(nHash);  // a fragment never goes to the server
    if (strRest.empty() || strRest[0] != u'/') strRest.insert(strRest.begin(), u'/');

    strServer = strHost;
    strObject = strRest;
    nPort = static_cast<INTERNET_PORT>(nValue);
    return true;
}

}  // namespace kt
