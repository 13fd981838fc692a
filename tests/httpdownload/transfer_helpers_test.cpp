// Helpers: form encoding bytes, gzip members byte for byte, header lookup, directories and files.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <tuple>

#include "httpdownload/httphelpers.h"
#include "platform/codepage.h"
#include "transfer_support.h"

namespace {

struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};
using Buffer = std::unique_ptr<char, FreeDeleter>;

std::string Bytes(const char* p, int32_t n) {
    return p ? std::string(p, static_cast<size_t>(n)) : std::string();
}

uint32_t Le32(const std::string& str, size_t nAt) {
    const auto* p = reinterpret_cast<const unsigned char*>(str.data() + nAt);
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// zlib's own gzip writer or reader: the reference our members must match.
std::string Zlib(const std::string& strIn, bool bWrite, gz_header* pHeader = nullptr) {
    z_stream stream{};
    if (bWrite) {
        EXPECT_EQ(deflateInit2(&stream, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
        if (pHeader != nullptr) {
            EXPECT_EQ(deflateSetHeader(&stream, pHeader), Z_OK);
        }
    } else {
        EXPECT_EQ(inflateInit2(&stream, 15 + 16), Z_OK);
    }
    std::string strOut(strIn.size() * 2 + 1024, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(strIn.data()));
    stream.avail_in = static_cast<uInt>(strIn.size());
    stream.next_out = reinterpret_cast<Bytef*>(strOut.data());
    stream.avail_out = static_cast<uInt>(strOut.size());
    EXPECT_EQ(bWrite ? deflate(&stream, Z_FINISH) : inflate(&stream, Z_FINISH), Z_STREAM_END);
    strOut.resize(stream.total_out);
    bWrite ? deflateEnd(&stream) : inflateEnd(&stream);
    return strOut;
}

TEST(TransferHelpers, UrlEncodeFormProtectsOnlyControlPercentAndHighBytes) {
    ASSERT_TRUE(kt::SetAnsiCodePage("GBK"));
    EXPECT_EQ(UrlEncodeForm(u"a=1&b=x y%"), u"a=1&b=x y%25");
    EXPECT_EQ(UrlEncodeForm(u"t\tn\nr\x7f+/?"), u"t%09n%0Ar\x7f+/?");
    // The GBK bytes of 中 are D6 D0; upper-case hex.
    EXPECT_EQ(UrlEncodeForm(u"k=中"), u"k=%D6%D0");
    // A zero ends the walk.
    EXPECT_EQ(UrlEncodeForm(std::u16string(u"ab\0cd", 5)), u"ab");
    EXPECT_EQ(UrlEncodeForm(u""), u"");
    kt::SetAnsiCodePage("");
}

TEST(TransferHelpers, GzipMembersCarryTheFamilysHeaderAndTrailerAndRoundTrip) {
    for (const std::string& strPlain :
         {std::string("abc"), std::string(), ttest::MakeData(300000)}) {
        SCOPED_TRACE(strPlain.size());
        int32_t nLen = 0;
        Buffer pMember(GzipCompress(strPlain.data(), static_cast<int32_t>(strPlain.size()), &nLen));
        ASSERT_TRUE(pMember);
        ASSERT_GE(nLen, 18 + 2);
        const std::string strMember(pMember.get(), static_cast<size_t>(nLen));
        EXPECT_EQ(strMember.substr(0, 4), std::string("\x1F\x8B\x08\x00", 4));
        EXPECT_NEAR(Le32(strMember, 4), static_cast<double>(std::time(nullptr)), 5.0);
        EXPECT_EQ(strMember.substr(8, 2), std::string("\x00\x0B", 2));
        EXPECT_EQ(Le32(strMember, strMember.size() - 8),
                  crc32(0, reinterpret_cast<const Bytef*>(strPlain.data()),
                        static_cast<uInt>(strPlain.size())));
        EXPECT_EQ(Le32(strMember, strMember.size() - 4), strPlain.size());
        EXPECT_TRUE(Zlib(strMember, false) == strPlain);
        int32_t nPlain = -1;
        Buffer pPlain(GzipDecompress(pMember.get(), nLen, &nPlain));
        EXPECT_TRUE(Bytes(pPlain.get(), nPlain) == strPlain);
    }
}

TEST(TransferHelpers, GzipDecompressSkipsHeaderFieldsAndRefusesDamagedMembers) {
    const std::string strPlain(5000, 'q');
    int32_t nLen = 0;
    Buffer pMember(GzipCompress(strPlain.data(), 5000, &nLen));
    ASSERT_TRUE(pMember);
    const std::string strGood(pMember.get(), static_cast<size_t>(nLen));
    const size_t n = strGood.size();
    const auto Patched = [&](std::initializer_list<std::pair<size_t, char>> changes) {
        std::string str = strGood;
        for (const auto& [nAt, ch] : changes) str[nAt] = ch;
        return str;
    };
    // Members from zlib's writer with a name, a comment and an extra field, then with a header
    // CRC as well.
    std::string strExtra(
        "XY\x04\x00"
        "abcd",
        8);
    gz_header header{};
    header.name = reinterpret_cast<Bytef*>(const_cast<char*>("file.txt"));
    header.comment = reinterpret_cast<Bytef*>(const_cast<char*>("a comment"));
    header.extra = reinterpret_cast<Bytef*>(strExtra.data());
    header.extra_len = static_cast<uInt>(strExtra.size());
    const std::string strFields = Zlib(strPlain, true, &header);
    header.hcrc = 1;
    const std::string strFieldsCrc = Zlib(strPlain, true, &header);
    std::string strName = Patched({{3, 0x08}});
    for (size_t i = 10; i < strName.size(); ++i) strName[i] = strName[i] == 0 ? 'z' : strName[i];
    const std::tuple<const char*, std::string, bool> aCases[] = {
        {"name, comment, extra", strFields, true},
        {"name, comment, extra, header crc", strFieldsCrc, true},
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
        Buffer pOut(
            GzipDecompress(strMember.data(), static_cast<int32_t>(strMember.size()), &nOut));
        EXPECT_EQ(pOut != nullptr, bGood) << pszWhat;
        EXPECT_EQ(Bytes(pOut.get(), nOut), bGood ? strPlain : "") << pszWhat;
        EXPECT_EQ(nOut, bGood ? 5000 : 0) << pszWhat;
    }
    EXPECT_EQ(GzipDecompress(nullptr, 100, &nLen), nullptr);
}

TEST(TransferHelpers, GetHeaderValueFindsTheFirstOccurrenceAndNeedsALineEnd) {
    const std::u16string strEnc = u"Content-Encoding:";
    const std::u16string aCases[][3] = {
        {strEnc, u"HTTP/1.1 200 OK\r\ncontent-encoding:  GZIP \r\n\r\n", u"GZIP"},
        {strEnc, u"HTTP/1.1 200 OK\r\nContent-Encoding: gzip", u""},
        {strEnc, u"HTTP/1.1 200 OK\r\nX: y\r\n", u""},
        {u"", u"a: b\r\n", u""},
        // Anywhere in the text, the first wins; the value keeps its case.
        {u"Type:", u"X-Content-Type: First\r\nType: second\r\n", u"First"},
        {u"A:", u"a:\t\r\nA: later\r\n", u""},
    };
    for (const auto& c : aCases) EXPECT_EQ(GetHeaderValue(c[0], c[1]), c[2]) << kt::ToUtf8(c[1]);
}

TEST(TransferHelpers, MakeFileDirectoriesAndCreateSizedFile) {
    const ttest::CScratchDir dir;
    for (const char16_t* pszBad : {static_cast<const char16_t*>(nullptr), u"", u"no-separator"}) {
        EXPECT_EQ(MakeFileDirectories(pszBad), -1);
    }
    const std::u16string strPath = dir.FamilyPath("a/b/c/file.txt");
    EXPECT_EQ(MakeFileDirectories(strPath.c_str()), 0);
    EXPECT_TRUE(std::filesystem::is_directory(dir.File("a/b/c")));
    EXPECT_FALSE(std::filesystem::exists(dir.File("a/b/c/file.txt")));
    EXPECT_EQ(MakeFileDirectories(strPath.c_str()), 0);
    // A plain file in the way cannot become a directory.
    std::ofstream(dir.File("blocker")) << "x";
    EXPECT_EQ(MakeFileDirectories(dir.FamilyPath("blocker/sub/file").c_str()), -1);

    EXPECT_FALSE(CreateSizedFile(nullptr, 10));
    const std::u16string strFile = dir.FamilyPath("d1/d2/out.bin");
    ASSERT_TRUE(CreateSizedFile(strFile.c_str(), 123457));
    EXPECT_EQ(std::filesystem::file_size(dir.File("d1/d2/out.bin")), 123457u);
    ASSERT_TRUE(CreateSizedFile(strFile.c_str(), 0));
    EXPECT_EQ(std::filesystem::file_size(dir.File("d1/d2/out.bin")), 0u);
    // A directory cannot be opened as a file.
    EXPECT_FALSE(CreateSizedFile(dir.FamilyPath("d1").c_str(), 5));
}

}  // namespace
