// Small helpers shared by the WinInet layer's tests.
#pragma once

#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include "support/http_server.h"
#include "support/raw_server.h"

namespace inettest {

// Sets (or, with null, removes) a variable of this process's environment.
inline void SetEnv(const char* pszName, const char* pszValue) {
#ifdef _WIN32
    _putenv_s(pszName, pszValue != nullptr ? pszValue : "");
#else
    if (pszValue != nullptr)
        setenv(pszName, pszValue, 1);
    else
        unsetenv(pszName);
#endif
}

// A loopback port with nothing listening on it.
inline int ClosedPort() {
    kttest::CRawServer server;
    server.Stop();
    return server.Port();
}

// The request's header lines that start with one of the prefixes, in wire order.
inline std::vector<std::string> HeaderLines(const kttest::RECORDED_REQUEST& req,
                                            std::initializer_list<const char*> prefixes) {
    std::vector<std::string> vecOut;
    for (const std::string& strLine : req.vecHeaderLines)
        for (const char* pszPrefix : prefixes)
            if (strLine.rfind(pszPrefix, 0) == 0) vecOut.push_back(strLine);
    return vecOut;
}

}  // namespace inettest
