// The file download against the loopback server, driven directly (no pool): what the information
// request learns from a reply, the ranges the parts ask for, the file they produce, and the
// failures that must end a download instead of leaving a wrong file behind.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <csignal>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "httpdownload/httpdownload.h"
#include "httpdownload/httppublic.h"
#include "support/http_server.h"
#include "transfer_support.h"

namespace {

using kttest::HTTP_REPLY;
using ttest::kRfcExampleDate;
using ttest::kRfcExampleTime;

// The Range values the server saw, sorted: the parts start one after the other but their requests
// may arrive in any order.
std::vector<std::string> SortedRanges(const kttest::CHttpServer& server) {
    std::vector<std::string> vecRanges;
    for (const kttest::RECORDED_REQUEST& req : server.Requests()) {
        vecRanges.push_back(req.HeaderCount("Range") ? req.Header("Range") : "<none>");
    }
    std::sort(vecRanges.begin(), vecRanges.end());
    return vecRanges;
}

// What a download of nSize bytes in nParts parts asks for: the information request's one byte,
// then the parts, part 0 taking the remainder.
std::vector<std::string> ExpectedRanges(long long nSize, long long nParts) {
    std::vector<std::string> vec{"bytes=0-0"};
    const long long nQuot = nSize / nParts;
    long long nStart = 0;
    for (long long i = 0; i < nParts; ++i) {
        const long long nLength = i == 0 ? nQuot + nSize % nParts : nQuot;
        vec.push_back("bytes=" + std::to_string(nStart) + "-" +
                      std::to_string(nStart + nLength - 1));
        nStart += nLength;
    }
    std::sort(vec.begin(), vec.end());
    return vec;
}

#ifndef _WIN32
// A disk that fills up at nBytes for this process, for the scope: writes past that offset fail
// with EFBIG (the signal that would otherwise end the process is ignored meanwhile), and one that
// crosses it comes up short.
class CFileSizeLimit {
public:
    explicit CFileSizeLimit(rlim_t nBytes) {
        ::getrlimit(RLIMIT_FSIZE, &m_saved);
        m_pfnSaved = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_saved;
        limit.rlim_cur = nBytes;
        m_bSet = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~CFileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_pfnSaved);
    }
    bool IsSet() const { return m_bSet; }

private:
    rlimit m_saved{};
    void (*m_pfnSaved)(int) = nullptr;
    bool m_bSet = false;
};
#endif

class DownloadPartTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_server.IsRunning()); }

    std::u16string Url(const std::string& strPath) const {
        return ttest::Wide(m_server.Url(strPath));
    }

    ttest::CTimeZone m_zone{"UTC"};
    // Taken before the server starts its threads; compared once it has joined them again.
    const int m_nThreadsBefore = ttest::ThreadCount();
    kttest::CHttpServer m_server;
    ttest::CScratchDir m_dir;
};

TEST(DownloadPartCount, OnePartBelowOneMebibyteThenOnePerStartedMebibyteUpToTen) {
    struct CASE {
        uint32_t nRange;
        int32_t nSize;
        int32_t nParts;
    };
    const CASE aCases[] = {
        {1, 1, 1},         {1, 1048575, 1},    {1, 1048576, 2},  {1, 2097151, 2},
        {1, 3000000, 3},   {1, 9437183, 9},    {1, 9437184, 10}, {1, 10000001, 10},
        {1, 52428800, 10}, {1, INT32_MAX, 10}, {0, 52428800, 1}, {0, 3000000, 1},
    };
    for (const CASE& c : aCases) {
        EXPECT_EQ(c.nParts, CMTRDownload::PartCountFor(c.nRange, c.nSize))
            << "range " << c.nRange << " size " << c.nSize;
    }
}

TEST_F(DownloadPartTest, DownloadsSplitIntoTheirRangesAndReproduceTheFile) {
    struct CASE {
        size_t nSize;
        bool bRanges;
        int nParts;
    };
    // 3,000,000: three equal parts; 10,000,001: ten parts, part 0 one byte longer; 50 MiB: still
    // ten; one byte below 1 MiB: a single part; a server without ranges: one part that asks for
    // no range and takes the whole reply.
    const CASE aCases[] = {
        {3000000, true, 3}, {10000001, true, 10}, {52428800, true, 10},
        {1048575, true, 1}, {2500000, false, 1},
    };
    for (const CASE& c : aCases) {
        SCOPED_TRACE(c.nSize);
        const std::string strData = ttest::MakeData(c.nSize);
        m_server.ClearRequests();
        m_server.SetResource("/file.bin", {strData, c.bRanges, kRfcExampleDate});

        CMTRDownload download;
        ASSERT_TRUE(download.DownloadSync(Url("/file.bin"), m_dir.FamilyPath("out.bin"), nullptr));
        EXPECT_EQ(c.nParts, download.GetPartCount());
        EXPECT_EQ(c.bRanges ? 1u : 0u, download.GetRangeSupport());
        EXPECT_EQ("bytes=0-0", m_server.Request(0).Header("Range"));
        const std::vector<std::string> vecExpected =
            c.bRanges ? ExpectedRanges(c.nSize, c.nParts)
                      : std::vector<std::string>{"<none>", "bytes=0-0"};
        EXPECT_EQ(vecExpected, SortedRanges(m_server));
        if (c.nSize == 3000000) {
            EXPECT_EQ(vecExpected,
                      (std::vector<std::string>{"bytes=0-0", "bytes=0-999999",
                                                "bytes=1000000-1999999", "bytes=2000000-2999999"}));
        }
        EXPECT_TRUE(ttest::ReadFile(m_dir.File("out.bin")) == strData) << "file differs";
        EXPECT_EQ(kRfcExampleTime, ttest::FileMTime(m_dir.File("out.bin")));
        // A finished download goes back to its defaults.
        EXPECT_EQ(kDownloadPartTimeout, download.GetPartTimeout());
        EXPECT_EQ(0, download.GetFileSize());
        EXPECT_EQ(0, download.GetDownloaded());
    }
}

TEST_F(DownloadPartTest, InformationRequestReadsStatusSizeAndRangeSupport) {
    struct CASE {
        const char* pszPath;
        HTTP_REPLY reply;
        int32_t nCode;
        uint32_t nRange;
        int32_t nSize;
    };
    const CASE aCases[] = {
        {"/r206", {206, {{"Content-Range", "bytes 0-0/12345"}}, "x"}, 0, 1, 12345},
        {"/r200", {200, {}, std::string(512, 'a')}, 0, 0, 512},
        // A range reply whose total is unknown: the size stays 0.
        {"/star", {206, {{"Content-Range", "bytes 0-0/*"}}, "x"}, 0, 1, 0},
        // A value without "/" is read whole.
        {"/bare", {206, {{"Content-Range", "777"}}, "x"}, 0, 1, 777},
        {"/missing", {404, {}, "not here"}, HTTP_NO_INDEX, 0, 0},
        {"/broken", {500, {}, "oops"}, HTTP_ERR_REPLY, 0, 0},
        {"/busy", {504, {}, ""}, HTTP_ERR_TIMEOUT, 0, 0},
        // Beyond what this engine's 32-bit sizes can hold: refused, not wrapped.
        {"/huge", {206, {{"Content-Range", "bytes 0-0/4294967296"}}, "x"}, HTTP_NO_INDEX, 1, 0},
        // Nor can a size be negative.
        {"/neg", {206, {{"Content-Range", "-5"}}, "x"}, HTTP_NO_INDEX, 1, 0},
        {"/negtotal", {206, {{"Content-Range", "bytes 0-0/-12345"}}, "x"}, HTTP_NO_INDEX, 1, 0},
    };
    for (const CASE& c : aCases) {
        SCOPED_TRACE(c.pszPath);
        m_server.SetReply(c.pszPath, c.reply);
        m_server.ClearRequests();
        CHttp_DownloadFile part;
        part.SetTimeout(10000);
        EXPECT_EQ(c.nCode, CMTRDownload::GetReomteSiteInfo(&part, Url(c.pszPath)));
        EXPECT_EQ(c.nRange, part.GetRangeSupport());
        EXPECT_EQ(c.nSize, part.GetRemoteSize());
        ASSERT_EQ(1u, m_server.RequestCount());
        EXPECT_EQ("bytes=0-0", m_server.Request(0).Header("Range"));
    }

    CHttp_DownloadFile part;
    EXPECT_EQ(HTTP_ERR_PARAM, CMTRDownload::GetReomteSiteInfo(&part, u""));
    EXPECT_EQ(HTTP_ERR_PARAM, CMTRDownload::GetReomteSiteInfo(nullptr, Url("/r206")));
}

TEST_F(DownloadPartTest, LastModifiedFollowsTheGmtShiftRule) {
    struct CASE {
        const char* pszZone;
        const char* pszLastModified;
        long long nExpected;
    };
    const CASE aCases[] = {
        {"UTC", kRfcExampleDate, kRfcExampleTime},
        // Eight hours east of Greenwich: a GMT date is read back as local time.
        {"CST-8", kRfcExampleDate, kRfcExampleTime - 8 * 3600},
        // Without "gmt" anywhere in the headers the parsed instant is kept as it is.
        {"CST-8", "Sun, 06 Nov 1994 10:49:37 +0200", kRfcExampleTime},
        {"UTC", "soon", 0},
    };
    for (const CASE& c : aCases) {
        SCOPED_TRACE(c.pszLastModified);
        const ttest::CTimeZone zone(c.pszZone);
        m_server.SetReply(
            "/lm",
            {206, {{"Content-Range", "bytes 0-0/10"}, {"Last-Modified", c.pszLastModified}}, "x"});
        CHttp_DownloadFile part;
        ASSERT_EQ(0, CMTRDownload::GetReomteSiteInfo(&part, Url("/lm")));
        EXPECT_EQ(c.nExpected, part.GetLastModified());
    }
}

TEST_F(DownloadPartTest, PreparationFailuresRunNoPartAndKeepTheLocalFile) {
    // An existing local file is not truncated for a download that cannot run.
    std::ofstream(m_dir.File("keep.bin"), std::ios::binary) << "precious";
    m_server.SetReply("/missing", {404, {}, "no"});
    m_server.SetReply("/star", {206, {{"Content-Range", "bytes 0-0/*"}}, "x"});
    // Redirects the transfer library refuses to follow: nothing of a file arrived.
    m_server.SetReply("/tofile", {302, {{"Location", "file:///etc/hostname"}}, ""});
    m_server.SetReply("/toftp", {301, {{"Location", "ftp://127.0.0.1:1/f.bin"}}, ""});
    for (const char* pszPath : {"/missing", "/star", "/tofile", "/toftp"}) {
        SCOPED_TRACE(pszPath);
        m_server.ClearRequests();
        CMTRDownload download;
        EXPECT_FALSE(download.DownloadSync(Url(pszPath), m_dir.FamilyPath("keep.bin"), nullptr));
        EXPECT_EQ(1u, m_server.RequestCount());
        EXPECT_EQ("precious", ttest::ReadFile(m_dir.File("keep.bin")));
    }

    // A local file that cannot be created (its directory is a file).
    m_server.SetResource("/f", {ttest::MakeData(4000), true, ""});
    m_server.ClearRequests();
    CMTRDownload download;
    const std::u16string strBad = m_dir.FamilyPath("keep.bin") + u"\\inside.bin";
    EXPECT_FALSE(download.DownloadSync(Url("/f"), strBad, nullptr));
    EXPECT_EQ(1u, m_server.RequestCount());
    EXPECT_EQ(kDownloadPartTimeout, download.GetPartTimeout());
}

TEST_F(DownloadPartTest, AFullDiskOrAShortWriteFailsTheDownloadAndLeavesTheFileUnstamped) {
#ifdef _WIN32
    GTEST_SKIP() << "a full disk is simulated with RLIMIT_FSIZE, which Windows does not have";
#else
    struct CASE {
        bool bRanges;
        rlim_t nLimit;
    };
    // Three ranged parts of 1,000,000 bytes: no byte fits; the middle part's write comes up short;
    // only the very last byte does not fit. One part without ranges: cut off in the middle.
    const CASE aCases[] = {{true, 0}, {true, 1500000}, {true, 2999999}, {false, 1000000}};
    const std::string strData = ttest::MakeData(3000000);
    for (const CASE& c : aCases) {
        SCOPED_TRACE(c.nLimit);
        m_server.SetResource("/f.bin", {strData, c.bRanges, kRfcExampleDate});
        std::filesystem::remove(m_dir.File("f.bin"));
        CMTRDownload download;
        {
            const CFileSizeLimit limit(c.nLimit);
            ASSERT_TRUE(limit.IsSet());
            EXPECT_FALSE(download.DownloadSync(Url("/f.bin"), m_dir.FamilyPath("f.bin"), nullptr));
        }
        EXPECT_NE(kRfcExampleTime, ttest::FileMTime(m_dir.File("f.bin")));
        EXPECT_LE(std::filesystem::file_size(m_dir.File("f.bin")), c.nLimit);
    }
    // The same download with room enough completes.
    CMTRDownload download;
    EXPECT_TRUE(download.DownloadSync(Url("/f.bin"), m_dir.FamilyPath("f.bin"), nullptr));
    EXPECT_TRUE(ttest::ReadFile(m_dir.File("f.bin")) == strData) << "file differs";
#endif
}

TEST_F(DownloadPartTest, PartsAnsweredWithAnotherRangeOrShortFailTheDownload) {
    const std::string strData = ttest::MakeData(3000000);
    // How the server answers the part that asks for 1000000-1999999 (the others get their range):
    // the whole file; one byte short but well-formed; the right length from another place, with
    // its Content-Range saying so; the right length from the start without a Content-Range.
    enum class EMiddle { kWhole, kShort, kOtherRange, kFromStart };
    for (const EMiddle eMiddle :
         {EMiddle::kWhole, EMiddle::kShort, EMiddle::kOtherRange, EMiddle::kFromStart}) {
        SCOPED_TRACE(static_cast<int>(eMiddle));
        m_server.SetHandler([strData, eMiddle](const kttest::RECORDED_REQUEST& req) {
            const std::string strRange = req.Header("Range");
            if (strRange == "bytes=0-0") {
                return HTTP_REPLY{206, {{"Content-Range", "bytes 0-0/3000000"}}, "x"};
            }
            const size_t nDash = strRange.find('-');
            size_t nFirst = std::stoul(strRange.substr(6, nDash - 6));
            size_t nLast = std::stoul(strRange.substr(nDash + 1));
            const bool bMiddle = nFirst == 1000000;
            if (bMiddle && eMiddle == EMiddle::kWhole) return HTTP_REPLY{200, {}, strData};
            if (bMiddle && eMiddle == EMiddle::kFromStart) {
                return HTTP_REPLY{200, {}, strData.substr(0, 1000000)};
            }
            if (bMiddle && eMiddle == EMiddle::kOtherRange) nFirst += 1000000, nLast += 1000000;
            std::string strBody = strData.substr(nFirst, nLast - nFirst + 1);
            if (bMiddle && eMiddle == EMiddle::kShort) strBody.pop_back();
            return HTTP_REPLY{206,
                              {{"Content-Range", "bytes " + std::to_string(nFirst) + "-" +
                                                     std::to_string(nLast) + "/3000000"}},
                              strBody};
        });
        CMTRDownload download;
        EXPECT_FALSE(download.DownloadSync(Url("/f"), m_dir.FamilyPath("f.bin"), nullptr));
    }
    m_server.Stop();
    EXPECT_EQ(m_nThreadsBefore, ttest::ThreadCount());
}

}  // namespace
