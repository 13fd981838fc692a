// Helpers: form encoding bytes, gzip members byte for byte, header lookup, directories and files,
// and the error texts.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>

#include "httpdownload/httphelpers.h"
#include "platform/codepage.h"
#include "transfer_support.h"

namespace {

using namespace std::string_literals;

// The bytes of a malloc'd buffer, freed; "" for none.
std::string Take(char* p, int32_t n) {
    const std::unique_ptr<char, decltype(&std::free)> hold(p, &std::free);
    return p ? std::string(p, static_cast<size_t>(n)) : std::string();
}

std::string Gzip(const std::string& strPlain) {
    int32_t nLen = 0;
    char* p = GzipCompress(strPlain.data(), static_cast<int32_t>(strPlain.size()), &nLen);
    return Take(p, nLen);
}

uint32_t Le32(const std::string& str, size_t nAt) {
    const auto* p = reinterpret_cast<const unsigned char*>(str.data() + nAt);
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// zlib's own reader: the reference our members must satisfy.
std::string ZlibInflate(const std::string& strIn) {
    z_stream stream{};
    EXPECT_EQ(inflateInit2(&stream, 15 + 16), Z_OK);
    std::string strOut(strIn.size() * 2 + 1024, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(strIn.data()));
    stream.avail_in = static_cast<uInt>(strIn.size());
    stream.next_out = reinterpret_cast<Bytef*>(strOut.data());
    stream.avail_out = static_cast<uInt>(strOut.size());
    EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
    strOut.resize(stream.total_out);
    inflateEnd(&stream);
    return strOut;
}

TEST(TransferHelpers, UrlEncodeFormProtectsOnlyControlPercentAndHighBytes) {
    ASSERT_TRUE(kt::SetAnsiCodePage("GBK"));
    EXPECT_EQ(UrlEncodeForm(u"a=1&b=x y%"), u"a=1&b=x y%25");
    EXPECT_EQ(UrlEncodeForm(u"t\tn\nr\x7f+/?"), u"t%09n%0Ar\x7f+/?");
    EXPECT_EQ(UrlEncodeForm(u"k=中"), u"k=%D6%D0");                 // GBK D6 D0, upper-case hex
    EXPECT_EQ(UrlEncodeForm(std::u16string(u"ab\0cd", 5)), u"ab");  // a zero ends the walk
    kt::SetAnsiCodePage("");
}

TEST(TransferHelpers, GzipMembersCarryTheFamilysHeaderAndTrailerAndRoundTrip) {
    for (const std::string& strPlain : {"abc"s, ""s, ttest::MakeData(300000)}) {
        SCOPED_TRACE(strPlain.size());
        const std::string strMember = Gzip(strPlain);
        ASSERT_GE(strMember.size(), 18u + 2);
        EXPECT_EQ(strMember.substr(0, 4), "\x1F\x8B\x08\x00"s);
        EXPECT_NEAR(Le32(strMember, 4), static_cast<double>(std::time(nullptr)), 5.0);
        EXPECT_EQ(strMember.substr(8, 2), "\x00\x0B"s);
        EXPECT_EQ(Le32(strMember, strMember.size() - 8),
                  crc32(0, reinterpret_cast<const Bytef*>(strPlain.data()),
                        static_cast<uInt>(strPlain.size())));
        EXPECT_EQ(Le32(strMember, strMember.size() - 4), strPlain.size());
        EXPECT_TRUE(ZlibInflate(strMember) == strPlain);
        int32_t nPlain = -1;
        char* pPlain =
            GzipDecompress(strMember.data(), static_cast<int32_t>(strMember.size()), &nPlain);
        EXPECT_TRUE(Take(pPlain, nPlain) == strPlain);
    }
}

TEST(TransferHelpers, GzipDecompressSkipsHeaderFieldsAndRefusesDamagedMembers) {
    const std::string strPlain(5000, 'q');
    const std::string strGood = Gzip(strPlain);
    const size_t n = strGood.size();
    const auto Patched = [&](std::initializer_list<std::pair<size_t, char>> changes) {
        std::string str = strGood;
        for (const auto& [nAt, ch] : changes) str[nAt] = ch;
        return str;
    };
    // The member with an extra field, a name and a comment (flags 4, 8, 16), and a header CRC (2).
    const auto WithFields = [&](bool bCrc) {
        std::string strHead = strGood.substr(0, 10);
        strHead[3] = bCrc ? 0x1E : 0x1C;
        strHead +=
            "\x08\x00XY\x04\x00"
            "abcd"
            "file.txt\0a comment\0"s;
        const uLong nCrc = crc32(0, reinterpret_cast<const Bytef*>(strHead.data()),
                                 static_cast<uInt>(strHead.size()));
        if (bCrc)
            strHead += {static_cast<char>(nCrc & 0xFF), static_cast<char>((nCrc >> 8) & 0xFF)};
        return strHead + strGood.substr(10);
    };
    std::string strName = Patched({{3, 0x08}});
    for (size_t i = 10; i < strName.size(); ++i) strName[i] = strName[i] == 0 ? 'z' : strName[i];
    const std::tuple<const char*, std::string, bool> aCases[] = {
        {"name, comment, extra", WithFields(false), true},
        {"name, comment, extra, header crc", WithFields(true), true},
        {"too short for header and trailer", strGood.substr(0, 17), false},
        {"deflate data cut", strGood.substr(0, 12) + strGood.substr(n - 8), false},
        // Less than the data holds leaves the stream unfinished.
        {"trailer claims 10 bytes", Patched({{n - 4, 10}, {n - 3, 0}}), false},
        // Refused before anything is allocated.
        {"trailer claims 4 GiB",
         Patched({{n - 4, '\xFF'}, {n - 3, '\xFF'}, {n - 2, '\xFF'}, {n - 1, '\xFF'}}), false},
        {"file name runs into the trailer", strName, false},
        {"extra field runs past the end", Patched({{3, 0x04}, {10, '\xFF'}, {11, '\xFF'}}), false},
    };
    for (const auto& [pszWhat, strMember, bGood] : aCases) {
        int32_t nOut = 7;
        char* pOut =
            GzipDecompress(strMember.data(), static_cast<int32_t>(strMember.size()), &nOut);
        EXPECT_EQ(pOut != nullptr, bGood) << pszWhat;
        EXPECT_EQ(Take(pOut, nOut), bGood ? strPlain : "") << pszWhat;
        EXPECT_EQ(nOut, bGood ? 5000 : 0) << pszWhat;
    }
    int32_t nLen = 0;
    EXPECT_EQ(GzipDecompress(nullptr, 100, &nLen), nullptr);
}

TEST(TransferHelpers, GetHeaderValueFindsTheFirstOccurrenceAndNeedsALineEnd) {
    const std::u16string strEnc = u"Content-Encoding:";
    const std::u16string aCases[][3] = {
        {strEnc, u"HTTP/1.1 200 OK\r\ncontent-encoding:  GZIP \r\n\r\n", u"GZIP"},
        {strEnc, u"HTTP/1.1 200 OK\r\nContent-Encoding: gzip", u""},
        {u"", u"a: b\r\n", u""},
        // Anywhere in the text, the first wins; the value keeps its case.
        {u"Type:", u"X-Content-Type: First\r\nType: second\r\n", u"First"},
        {u"A:", u"a:\t\r\nA: later\r\n", u""},
    };
    for (const auto& c : aCases) EXPECT_EQ(GetHeaderValue(c[0], c[1]), c[2]) << kt::ToUtf8(c[1]);
}

TEST(TransferHelpers, MakeFileDirectoriesAndCreateSizedFile) {
    const ttest::CScratchDir dir;
    for (const char16_t* pszBad : {static_cast<const char16_t*>(nullptr), u"", u"no-separator"})
        EXPECT_EQ(MakeFileDirectories(pszBad), -1);
    const std::u16string strPath = dir.FamilyPath("a/b/c/file.txt");
    EXPECT_EQ(MakeFileDirectories(strPath.c_str()), 0);
    EXPECT_TRUE(std::filesystem::is_directory(dir.File("a/b/c")));
    EXPECT_FALSE(std::filesystem::exists(dir.File("a/b/c/file.txt")));
    EXPECT_EQ(MakeFileDirectories(strPath.c_str()), 0);
    // A plain file in the way cannot become a directory, nor be opened as one.
    std::ofstream(dir.File("blocker")) << "x";
    EXPECT_EQ(MakeFileDirectories(dir.FamilyPath("blocker/sub/file").c_str()), -1);

    EXPECT_FALSE(CreateSizedFile(nullptr, 10));
    const std::u16string strFile = dir.FamilyPath("d1/d2/out.bin");
    ASSERT_TRUE(CreateSizedFile(strFile.c_str(), 123457));
    EXPECT_EQ(std::filesystem::file_size(dir.File("d1/d2/out.bin")), 123457u);
    ASSERT_TRUE(CreateSizedFile(strFile.c_str(), 0));
    EXPECT_EQ(std::filesystem::file_size(dir.File("d1/d2/out.bin")), 0u);
    EXPECT_FALSE(CreateSizedFile(dir.FamilyPath("d1").c_str(), 5));  // a directory
}

// Checked against what the source text cannot share a fault with: GBK bytes computed apart, the
// number of distinct texts, and codes the table lacks.
TEST(TransferErrorText, TextsInGbkOnePerCodeAndTheUnknownText) {
    ASSERT_TRUE(kt::SetAnsiCodePage("GBK"));
    const std::pair<int, const char*> aBytes[] = {
        {HTTP_ERR_PARAM, "48545450C7EBC7F3B2CECAFDB4EDCEF321"},
        {HTTP_ERR_USER_ABORT, "48545450C7EBC7F3B1BBD3C3BBA7D6D5D6B921"},
        {HTTP_ERR_BAD_INDEX, "48545450B4EDCEF3B5C4C7EBC7F3BAC521"},
        {0, "48545450C7EBC7F3CEB4D6AAB4EDCEF321"},  // unknown
    };
    for (const auto& [nCode, pszHex] : aBytes) {
        std::string strHex;
        for (const unsigned char ch : kt::ToAnsi(HttpPool_GetErrorText(nCode)))
            strHex += "0123456789ABCDEF"[ch >> 4], strHex += "0123456789ABCDEF"[ch & 15];
        EXPECT_EQ(strHex, pszHex) << nCode;
    }
    kt::SetAnsiCodePage("");
    const std::u16string strUnknown = HttpPool_GetErrorText(0);
    std::set<std::u16string> setTexts;
    for (int n = -1; n >= -18; --n) setTexts.insert(HttpPool_GetErrorText(n));
    EXPECT_EQ(setTexts.size(), 18u);
    EXPECT_EQ(setTexts.count(strUnknown), 0u);
    for (const int nCode : {1, 17, -19, -100, INT32_MIN, INT32_MAX})
        EXPECT_EQ(HttpPool_GetErrorText(nCode), strUnknown) << nCode;
}

}  // namespace
