// Helpers: form encoding bytes, gzip members byte for byte, header lookup, directories and files.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "httpdownload/httphelpers.h"
#include "platform/codepage.h"
#include "platform/paths.h"

namespace {

struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};
using Buffer = std::unique_ptr<char, FreeDeleter>;

std::string Bytes(const char* p, int32_t n) {
    return p ? std::string(p, static_cast<size_t>(n)) : std::string();
}

uint32_t Le32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// A member written with zlib's own gzip wrapper, optionally with a file name and comment.
std::string ZlibGzip(const std::string& strPlain, const char* pszName, const char* pszComment,
                     bool bHcrc) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
    gz_header header{};
    header.name = reinterpret_cast<Bytef*>(const_cast<char*>(pszName));
    header.comment = reinterpret_cast<Bytef*>(const_cast<char*>(pszComment));
    header.hcrc = bHcrc ? 1 : 0;
    std::string strExtra =
        "XY\x04\x00"
        "abcd";
    header.extra = reinterpret_cast<Bytef*>(strExtra.data());
    header.extra_len = static_cast<uInt>(strExtra.size());
    EXPECT_EQ(deflateSetHeader(&stream, &header), Z_OK);
    std::string strOut(deflateBound(&stream, strPlain.size()) + 256, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(strPlain.data()));
    stream.avail_in = static_cast<uInt>(strPlain.size());
    stream.next_out = reinterpret_cast<Bytef*>(strOut.data());
    stream.avail_out = static_cast<uInt>(strOut.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    strOut.resize(stream.total_out);
    deflateEnd(&stream);
    return strOut;
}

class CodePageGuard {
public:
    explicit CodePageGuard(const char* pszName) { EXPECT_TRUE(kt::SetAnsiCodePage(pszName)); }
    ~CodePageGuard() { kt::SetAnsiCodePage(""); }
};

TEST(TransferHelpers, UrlEncodeFormProtectsOnlyControlPercentAndHighBytes) {
    CodePageGuard cp("GBK");
    EXPECT_EQ(UrlEncodeForm(u"a=1&b=x y%"), u"a=1&b=x y%25");
    EXPECT_EQ(UrlEncodeForm(u"t\tn\nr\x7f+/?"), u"t%09n%0Ar\x7f+/?");
    // The GBK bytes of 中 are D6 D0; upper-case hex.
    EXPECT_EQ(UrlEncodeForm(u"k=中"), u"k=%D6%D0");
    // A zero ends the walk.
    EXPECT_EQ(UrlEncodeForm(std::u16string(u"ab\0cd", 5)), u"ab");
    EXPECT_EQ(UrlEncodeForm(u""), u"");
}

TEST(TransferHelpers, GzipCompressWritesTheFamilysHeaderAndTrailer) {
    int32_t nLen = 0;
    Buffer pMember(GzipCompress("abc", 3, &nLen));
    ASSERT_TRUE(pMember);
    ASSERT_GE(nLen, 18 + 2);
    const auto* p = reinterpret_cast<const unsigned char*>(pMember.get());
    EXPECT_EQ(p[0], 0x1F);
    EXPECT_EQ(p[1], 0x8B);
    EXPECT_EQ(p[2], 8);
    EXPECT_EQ(p[3], 0);
    const uint32_t nTime = Le32(p + 4);
    EXPECT_NEAR(static_cast<double>(nTime), static_cast<double>(std::time(nullptr)), 5.0);
    EXPECT_EQ(p[8], 0);
    EXPECT_EQ(p[9], 0x0B);
    EXPECT_EQ(Le32(p + nLen - 8), crc32(0, reinterpret_cast<const Bytef*>("abc"), 3));
    EXPECT_EQ(Le32(p + nLen - 4), 3u);

    // zlib's own reader accepts it as a gzip member.
    std::string strOut(16, '\0');
    z_stream stream{};
    ASSERT_EQ(inflateInit2(&stream, 16 + 15), Z_OK);
    stream.next_in = const_cast<Bytef*>(p);
    stream.avail_in = static_cast<uInt>(nLen);
    stream.next_out = reinterpret_cast<Bytef*>(strOut.data());
    stream.avail_out = static_cast<uInt>(strOut.size());
    EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
    EXPECT_EQ(strOut.substr(0, stream.total_out), "abc");
    inflateEnd(&stream);

    int32_t nPlain = -1;
    Buffer pPlain(GzipDecompress(pMember.get(), nLen, &nPlain));
    EXPECT_EQ(Bytes(pPlain.get(), nPlain), "abc");
}

TEST(TransferHelpers, GzipRoundTripsEmptyAndLargeIncompressibleInput) {
    int32_t nLen = 0;
    Buffer pEmpty(GzipCompress("", 0, &nLen));
    ASSERT_TRUE(pEmpty);
    EXPECT_EQ(Le32(reinterpret_cast<unsigned char*>(pEmpty.get()) + nLen - 4), 0u);
    int32_t nPlain = -1;
    Buffer pNone(GzipDecompress(pEmpty.get(), nLen, &nPlain));
    EXPECT_EQ(nPlain, 0);

    std::string strNoise(300000, '\0');
    uint32_t nSeed = 12345;
    for (char& ch : strNoise) {
        nSeed = nSeed * 1103515245u + 12345u;
        ch = static_cast<char>(nSeed >> 24);
    }
    Buffer pMember(GzipCompress(strNoise.data(), static_cast<int32_t>(strNoise.size()), &nLen));
    ASSERT_TRUE(pMember);
    Buffer pBack(GzipDecompress(pMember.get(), nLen, &nPlain));
    ASSERT_TRUE(pBack);
    EXPECT_EQ(Bytes(pBack.get(), nPlain), strNoise);
}

TEST(TransferHelpers, GzipDecompressSkipsOptionalHeaderFields) {
    const std::string strPlain = "hello, header fields";
    for (const bool bHcrc : {false, true}) {
        const std::string strMember = ZlibGzip(strPlain, "file.txt", "a comment", bHcrc);
        ASSERT_NE(static_cast<unsigned char>(strMember[3]) & 0x1C, 0);
        int32_t nPlain = 0;
        Buffer pPlain(
            GzipDecompress(strMember.data(), static_cast<int32_t>(strMember.size()), &nPlain));
        EXPECT_EQ(Bytes(pPlain.get(), nPlain), strPlain) << "hcrc " << bHcrc;
    }
}

TEST(TransferHelpers, GzipDecompressRefusesDamagedMembers) {
    int32_t nLen = 0;
    const std::string strPlain(5000, 'q');
    Buffer pMember(GzipCompress(strPlain.data(), 5000, &nLen));
    ASSERT_TRUE(pMember);
    std::string strMember(pMember.get(), static_cast<size_t>(nLen));
    int32_t nOut = 7;

    // Too short to hold header and trailer.
    EXPECT_EQ(GzipDecompress(strMember.data(), 17, &nOut), nullptr);
    EXPECT_EQ(nOut, 0);
    EXPECT_EQ(GzipDecompress(nullptr, 100, &nOut), nullptr);

    // Truncated deflate data.
    std::string strCut = strMember.substr(0, 12) + strMember.substr(strMember.size() - 8);
    EXPECT_EQ(GzipDecompress(strCut.data(), static_cast<int32_t>(strCut.size()), &nOut), nullptr);

    // A trailer that claims less than the data holds leaves the stream unfinished.
    std::string strShort = strMember;
    strShort[strShort.size() - 4] = 10;
    strShort[strShort.size() - 3] = 0;
    EXPECT_EQ(GzipDecompress(strShort.data(), static_cast<int32_t>(strShort.size()), &nOut),
              nullptr);

    // A trailer that claims 4 GiB from a few bytes is refused before any allocation.
    std::string strHuge = strMember;
    for (size_t i = strHuge.size() - 4; i < strHuge.size(); ++i) strHuge[i] = '\xFF';
    EXPECT_EQ(GzipDecompress(strHuge.data(), static_cast<int32_t>(strHuge.size()), &nOut), nullptr);
    EXPECT_EQ(nOut, 0);

    // Header fields that run into the trailer.
    std::string strName = strMember;
    strName[3] = 0x08;
    for (size_t i = 10; i < strName.size(); ++i) {
        if (strName[i] == 0) strName[i] = 'z';
    }
    EXPECT_EQ(GzipDecompress(strName.data(), static_cast<int32_t>(strName.size()), &nOut), nullptr);
    std::string strExtra = strMember;
    strExtra[3] = 0x04;
    strExtra[10] = '\xFF';
    strExtra[11] = '\xFF';
    EXPECT_EQ(GzipDecompress(strExtra.data(), static_cast<int32_t>(strExtra.size()), &nOut),
              nullptr);
}

TEST(TransferHelpers, GetHeaderValueFindsTheFirstOccurrenceAndNeedsALineEnd) {
    EXPECT_EQ(GetHeaderValue(u"Content-Encoding:",
                             u"HTTP/1.1 200 OK\r\ncontent-encoding:  GZIP \r\n\r\n"),
              u"GZIP");
    EXPECT_EQ(GetHeaderValue(u"Content-Encoding:", u"HTTP/1.1 200 OK\r\nContent-Encoding: gzip"),
              u"");
    EXPECT_EQ(GetHeaderValue(u"Content-Encoding:", u"HTTP/1.1 200 OK\r\nX: y\r\n"), u"");
    EXPECT_EQ(GetHeaderValue(u"", u"a: b\r\n"), u"");
    // Anywhere in the text, the first wins; the value keeps its case.
    EXPECT_EQ(GetHeaderValue(u"Type:", u"X-Content-Type: First\r\nType: second\r\n"), u"First");
    EXPECT_EQ(GetHeaderValue(u"A:", u"a:\t\r\nA: later\r\n"), u"");
}

class TransferHelperFiles : public ::testing::Test {
protected:
    void SetUp() override {
        m_root =
            std::filesystem::temp_directory_path() /
            ("kt_transfer_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(m_root);
        std::filesystem::create_directories(m_root);
    }
    void TearDown() override { std::filesystem::remove_all(m_root); }
    std::u16string Family(const std::string& strRel) const {
        return kt::FromFsPath((m_root / strRel).string());
    }
    std::filesystem::path m_root;
};

TEST_F(TransferHelperFiles, MakeFileDirectoriesCreatesEveryMissingLevel) {
    EXPECT_EQ(MakeFileDirectories(nullptr), -1);
    EXPECT_EQ(MakeFileDirectories(u""), -1);
    EXPECT_EQ(MakeFileDirectories(u"no-separator.txt"), -1);
    const std::u16string strPath = Family("a/b/c/file.txt");
    EXPECT_EQ(MakeFileDirectories(strPath.c_str()), 0);
    EXPECT_TRUE(std::filesystem::is_directory(m_root / "a/b/c"));
    EXPECT_FALSE(std::filesystem::exists(m_root / "a/b/c/file.txt"));
    EXPECT_EQ(MakeFileDirectories(strPath.c_str()), 0);
    // A plain file in the way cannot become a directory.
    std::ofstream(m_root / "blocker") << "x";
    EXPECT_EQ(MakeFileDirectories(Family("blocker/sub/file").c_str()), -1);
}

TEST_F(TransferHelperFiles, CreateSizedFileSizesAndTruncates) {
    EXPECT_FALSE(CreateSizedFile(nullptr, 10));
    const std::u16string strPath = Family("d1/d2/out.bin");
    ASSERT_TRUE(CreateSizedFile(strPath.c_str(), 123457));
    EXPECT_EQ(std::filesystem::file_size(m_root / "d1/d2/out.bin"), 123457u);
    ASSERT_TRUE(CreateSizedFile(strPath.c_str(), 0));
    EXPECT_EQ(std::filesystem::file_size(m_root / "d1/d2/out.bin"), 0u);
    // A directory cannot be opened as a file.
    EXPECT_FALSE(CreateSizedFile(Family("d1").c_str(), 5));
}

}  // namespace
