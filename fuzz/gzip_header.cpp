// Arbitrary bytes as a gzip member and as reply header text: GzipDecompress must refuse or decode
// without reading outside the input or sizing an allocation from a lying trailer; the header
// lookup and the gzip test must accept any text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "httpdownload/httpclasses.h"
#include "httpdownload/httphelpers.h"
#include "platform/codepage.h"

namespace {

// Lets the fuzzer drive IsGzipBody with a header text and a received body of its choice.
class CFuzzRequest : public CHttp_Base {
public:
    void Feed(const std::u16string& strHeaders, const char* pBody, size_t nBody) {
        m_strHeaderText = strHeaders;
        OnWriteData(pBody, nBody);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize > (1u << 20)) return 0;
    int32_t nOut = 0;
    char* pPlain = GzipDecompress(pData, static_cast<int32_t>(nSize), &nOut);
    if (pPlain != nullptr) {
        // Touch every byte so that a wrong length shows under the sanitizers.
        volatile char chSum = 0;
        for (int32_t i = 0; i < nOut; ++i) chSum = static_cast<char>(chSum + pPlain[i]);
        std::free(pPlain);
    }

    // The first byte splits the rest into header text and body.
    if (nSize == 0) return 0;
    const size_t nSplit = nSize > 1 ? pData[0] % nSize : 0;
    const std::string strHeaders(reinterpret_cast<const char*>(pData) + 1,
                                 nSplit > 0 ? nSplit - 1 : 0);
    const std::u16string strWide = kt::FromAnsi(strHeaders);
    GetHeaderValue(u"Content-Encoding:", strWide);
    GetHeaderValue(strWide.substr(0, 8), strWide);
    CFuzzRequest request;
    request.Feed(strWide, reinterpret_cast<const char*>(pData) + nSplit, nSize - nSplit);
    request.IsGzipBody();
    return 0;
}
