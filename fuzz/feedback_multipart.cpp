// Arbitrary bodies through the receiver's multipart splitter, under a boundary taken from the
// input. The splitter must stay within the part cap, must cut each part at the first delimiter
// behind it, and must hand out only bytes of the body; the Content-Type reader must accept any
// value.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "multipart.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize < 2 || nSize > (1u << 20)) return 0;
    // The first byte gives the boundary's length (1 to 64), taken from the bytes behind it.
    const size_t nBoundary = std::min<size_t>(pData[0] % 64 + 1, nSize - 1);
    const std::string_view strInput(reinterpret_cast<const char*>(pData) + 1, nSize - 1);
    const std::string_view strBoundary = strInput.substr(0, nBoundary);
    const std::string_view strBody = strInput.substr(nBoundary);

    ktfeedback::MultipartBoundary(strInput.substr(0, 256));
    ktfeedback::MultipartBoundary("multipart/form-data; boundary=" + std::string(strBoundary));

    std::vector<ktfeedback::FORM_PART> vecParts;
    const ktfeedback::MultipartResult result =
        ktfeedback::ParseMultipart(strBody, strBoundary, vecParts);
    if (result == ktfeedback::MultipartResult::Ok &&
        (vecParts.empty() || vecParts.size() > ktfeedback::kMaxFormParts)) {
        __builtin_trap();
    }
    if (result == ktfeedback::MultipartResult::TooManyParts &&
        vecParts.size() != ktfeedback::kMaxFormParts) {
        __builtin_trap();
    }
    const std::string strNext = "\r\n--" + std::string(strBoundary);
    size_t nTotal = 0;
    for (const ktfeedback::FORM_PART& part : vecParts) {
        if (part.strData.find(strNext) != std::string::npos) __builtin_trap();
        nTotal += part.strData.size() + part.strName.size() + part.strContentType.size();
    }
    if (nTotal > strBody.size()) __builtin_trap();
    return 0;
}
