#include "httpdownload/httphelpers.h"

#include <zlib.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/codepage.h"
#include "platform/paths.h"
#include "platform/trace.h"

namespace {

constexpr size_t kGzipHeaderSize = 10;
constexpr size_t kGzipTrailerSize = 8;
constexpr unsigned char kGzipFlagHcrc = 0x02;
constexpr unsigned char kGzipFlagExtra = 0x04;
constexpr unsigned char kGzipFlagName = 0x08;
constexpr unsigned char kGzipFlagComment = 0x10;
// The family's zlib interface version; every zlib since keeps that ABI.
constexpr const char* kZlibVersion = "1.2.3";
// Deflate cannot expand a stream by more than 1032:1, so a trailer that claims more than that
// from the bytes at hand lies and must not size an allocation.
constexpr double kMaxInflateRatio = 1032.0;
constexpr double kInflateSlack = 64.0;

void PutLe32(unsigned char* p, uint32_t nValue) {
    p[0] = static_cast<unsigned char>(nValue);
    p[1] = static_cast<unsigned char>(nValue >> 8);
    p[2] = static_cast<unsigned char>(nValue >> 16);
    p[3] = static_cast<unsigned char>(nValue >> 24);
}

uint32_t GetLe32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

char16_t LowerAscii(char16_t ch) {
    return (ch >= u'A' && ch <= u'Z') ? static_cast<char16_t>(ch + (u'a' - u'A')) : ch;
}

bool IsSpace16(char16_t ch) {
    return ch == u' ' || ch == u'\t' || ch == u'\r' || ch == u'\n' || ch == u'\v' || ch == u'\f';
}

// Offset of the deflate data behind the header and its optional fields, or 0 when the fields run
// past the trailer.
size_t SkipGzipHeader(const unsigned char* pData, size_t nEnd) {
    const unsigned char byFlags = pData[3];
    size_t nPos = kGzipHeaderSize;
    if (byFlags & kGzipFlagExtra) {
        if (nPos + 2 > nEnd) return 0;
        const size_t nExtra =
            static_cast<size_t>(pData[nPos]) | (static_cast<size_t>(pData[nPos + 1]) << 8);
        nPos += 2 + nExtra;
        if (nPos > nEnd) return 0;
    }
    for (const unsigned char byFlag : {kGzipFlagName, kGzipFlagComment}) {
        if (!(byFlags & byFlag)) continue;
        const void* pZero = std::memchr(pData + nPos, 0, nEnd - nPos);
        if (pZero == nullptr) return 0;
        nPos = static_cast<size_t>(static_cast<const unsigned char*>(pZero) - pData) + 1;
    }
    if (byFlags & kGzipFlagHcrc) {
        nPos += 2;
        if (nPos > nEnd) return 0;
    }
    return nPos;
}

}  // namespace

std::u16string UrlEncodeForm(std::u16string_view strText) {
    const std::string strBytes = kt::ToAnsi(strText);
    std::string strOut;
    strOut.reserve(strBytes.size() + strBytes.size() / 4);
    static const char kHex[] = "0123456789ABCDEF";
    for (const char ch : strBytes) {
        const auto by = static_cast<unsigned char>(ch);
        if (by == 0) break;
        if (by < 0x20 || by >= 0x80 || by == '%') {
            strOut += '%';
            strOut += kHex[by >> 4];
            strOut += kHex[by & 0x0F];
        } else {
            strOut += ch;
        }
    }
    // Only ASCII remains, so the way back is the same in every code page.
    return std::u16string(strOut.begin(), strOut.end());
}

char* GzipCompress(const void* pData, int32_t nLength, int32_t* pOutLength) {
    if (pOutLength != nullptr) *pOutLength = 0;
    if (nLength < 0 || (pData == nullptr && nLength > 0)) return nullptr;
    const auto nCapacity = static_cast<size_t>((static_cast<double>(nLength) + 12.0) * 1.1 + 18.0);
    auto* pWork = static_cast<unsigned char*>(std::calloc(nCapacity, 1));
    if (pWork == nullptr) return nullptr;

    pWork[0] = 0x1F;
    pWork[1] = 0x8B;
    pWork[2] = Z_DEFLATED;
    pWork[3] = 0;
    PutLe32(pWork + 4, static_cast<uint32_t>(std::time(nullptr)));
    pWork[8] = 0;
    pWork[9] = 0x0B;

    z_stream stream{};
    stream.next_in = static_cast<Bytef*>(const_cast<void*>(pData));
    stream.avail_in = static_cast<uInt>(nLength);
    stream.next_out = pWork + kGzipHeaderSize;
    stream.avail_out = static_cast<uInt>(nCapacity - kGzipHeaderSize - kGzipTrailerSize);
    int nRet = deflateInit2_(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8,
                             Z_DEFAULT_STRATEGY, kZlibVersion, static_cast<int>(sizeof(z_stream)));
    if (nRet != Z_OK) {
        std::free(pWork);
        return nullptr;
    }
    nRet = deflate(&stream, Z_FINISH);
    if (nRet != Z_STREAM_END) {
        deflateEnd(&stream);
        std::free(pWork);
        return nullptr;
    }
    const size_t nMember = stream.total_out + kGzipHeaderSize + kGzipTrailerSize;
    unsigned char* pTrailer = pWork + kGzipHeaderSize + stream.total_out;
    const uLong nCrc = crc32(0L, static_cast<const Bytef*>(pData), static_cast<uInt>(nLength));
    PutLe32(pTrailer, static_cast<uint32_t>(nCrc));
    PutLe32(pTrailer + 4, static_cast<uint32_t>(nLength));
    if (deflateEnd(&stream) != Z_OK) {
        std::free(pWork);
        return nullptr;
    }
    auto* pOut = static_cast<char*>(std::malloc(nMember));
    if (pOut == nullptr) {
        std::free(pWork);
        return nullptr;
    }
    std::memcpy(pOut, pWork, nMember);
    std::free(pWork);
    if (pOutLength != nullptr) *pOutLength = static_cast<int32_t>(nMember);
    return pOut;
}

char* GzipDecompress(const void* pData, int32_t nLength, int32_t* pOutLength) {
    if (pOutLength != nullptr) *pOutLength = 0;
    if (pData == nullptr || nLength < static_cast<int32_t>(kGzipHeaderSize + kGzipTrailerSize)) {
        return nullptr;
    }
    const auto* pBytes = static_cast<const unsigned char*>(pData);
    const auto nTotal = static_cast<size_t>(nLength);
    const uint32_t nDeclared = GetLe32(pBytes + nTotal - 4);
    const size_t nDataEnd = nTotal - kGzipTrailerSize;
    const size_t nStart = SkipGzipHeader(pBytes, nDataEnd);
    if (nStart == 0) return nullptr;
    const size_t nCompressed = nDataEnd - nStart;
    if (static_cast<double>(nDeclared) >
        static_cast<double>(nCompressed) * kMaxInflateRatio + kInflateSlack) {
        return nullptr;
    }
    if (nDeclared > static_cast<uint32_t>(INT32_MAX)) return nullptr;
    // One spare byte keeps the output pointer valid for an empty member.
    auto* pOut = static_cast<char*>(std::calloc(static_cast<size_t>(nDeclared) + 1, 1));
    if (pOut == nullptr) return nullptr;

    z_stream stream{};
    stream.next_in = const_cast<Bytef*>(pBytes + nStart);
    stream.avail_in = static_cast<uInt>(nCompressed);
    stream.next_out = reinterpret_cast<Bytef*>(pOut);
    stream.avail_out = static_cast<uInt>(nDeclared);
    int nRet = inflateInit2_(&stream, -MAX_WBITS, kZlibVersion, static_cast<int>(sizeof(z_stream)));
    if (nRet != Z_OK) {
        std::free(pOut);
        return nullptr;
    }
    nRet = inflate(&stream, Z_FINISH);
    if (nRet != Z_STREAM_END) {
        inflateEnd(&stream);
        std::free(pOut);
        return nullptr;
    }
    const auto nOut = static_cast<int32_t>(stream.total_out);
    if (inflateEnd(&stream) != Z_OK) {
        std::free(pOut);
        return nullptr;
    }
    if (pOutLength != nullptr) *pOutLength = nOut;
    return pOut;
}

std::u16string GetHeaderValue(std::u16string_view strName, std::u16string_view strText) {
    if (strName.empty() || strText.size() < strName.size()) return std::u16string();
    std::u16string strLowerName(strName);
    for (char16_t& ch : strLowerName) ch = LowerAscii(ch);
    size_t nFound = std::u16string_view::npos;
    for (size_t i = 0; i + strLowerName.size() <= strText.size(); ++i) {
        size_t j = 0;
        while (j < strLowerName.size() && LowerAscii(strText[i + j]) == strLowerName[j]) ++j;
        if (j == strLowerName.size()) {
            nFound = i;
            break;
        }
    }
    if (nFound == std::u16string_view::npos) return std::u16string();
    const std::u16string_view strRest = strText.substr(nFound + strLowerName.size());
    const size_t nEol = strRest.find(u"\r\n");
    if (nEol == std::u16string_view::npos) return std::u16string();
    std::u16string_view strValue = strRest.substr(0, nEol);
    while (!strValue.empty() && IsSpace16(strValue.front())) strValue.remove_prefix(1);
    while (!strValue.empty() && IsSpace16(strValue.back())) strValue.remove_suffix(1);
    return std::u16string(strValue);
}

int32_t MakeFileDirectories(const char16_t* pszPath) {
    if (pszPath == nullptr || pszPath[0] == 0) return -1;
    constexpr size_t kMaxPath = 259;
    std::u16string strDir(pszPath);
    if (strDir.size() > kMaxPath) strDir.resize(kMaxPath);
    const size_t nLastSlash = strDir.rfind(u'\\');
    if (nLastSlash == std::u16string::npos) return -1;
    strDir.resize(nLastSlash + 1);
    if (kt::PathExists(strDir)) return 0;
    for (size_t i = 0; i < strDir.size(); ++i) {
        if (strDir[i] != u'\\') continue;
        // A leading backslash is the root of an absolute path; "C:\" is a drive root.
        if (i == 0 || strDir[i - 1] == u':') continue;
        const std::u16string strPart = strDir.substr(0, i);
        if (kt::PathExists(strPart)) continue;
        if (!kt::MakeDirectory(strPart) && !kt::PathExists(strPart)) return -1;
    }
    return 0;
}

bool CreateSizedFile(const char16_t* pszPath, int32_t nLength) {
    if (pszPath == nullptr) return false;
    MakeFileDirectories(pszPath);
    FILE* pFile = kt::OpenFile(pszPath, "wb");
    if (pFile == nullptr) {
        KT_TRACE("Create file [%s] failed!\n", kt::ToAnsi(pszPath).c_str());
        return false;
    }
    if (nLength > 0) {
        // Sparse on most file systems: the parts fill it in place.
        if (std::fseek(pFile, static_cast<long>(nLength) - 1, SEEK_SET) == 0) std::fputc(0, pFile);
    }
    std::fclose(pFile);
    return true;
}
