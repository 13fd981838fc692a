// Without a network: gzip members byte for byte, header lookup and the error texts; the pool's ids,
// parking and reuse, its argument checks, the answers of a pool that is down and the status
// window's routing.
#include <gtest/gtest.h>
#include <zlib.h>

#include <ctime>
#include <filesystem>
#include <set>
#include <thread>

#include "httpdownload/httpclasses.h"
#include "httpdownload/httphelpers.h"
#include "httpdownload/httppool.h"
#include "httpdownload/httpstatus.h"
#include "platform/codepage.h"
#include "support/reporter_recorder.h"
#include "transfer_fixture.h"

namespace {

using namespace kttest;
using namespace std::string_literals;

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

TEST(TransferHelpers, GzipMembersCarryTheFamilysHeaderAndTrailerAndRoundTrip) {
    const auto tBefore = static_cast<uint32_t>(std::time(nullptr));
    for (const std::string& strPlain : {"abc"s, ""s, MakeData(300000)}) {
        SCOPED_TRACE(strPlain.size());
        const std::string strMember = Gzip(strPlain);
        ASSERT_GE(strMember.size(), 18u + 2);
        EXPECT_EQ(strMember.substr(0, 4), "\x1F\x8B\x08\x00"s);
        // The time of the compression.
        EXPECT_GE(Le32(strMember, 4), tBefore);
        EXPECT_LE(Le32(strMember, 4), static_cast<uint32_t>(std::time(nullptr)));
        EXPECT_EQ(strMember.substr(8, 2), "\x00\x0B"s);
        // zlib's reader also checks the trailer's CRC-32 and size.
        EXPECT_TRUE(ZlibInflate(strMember) == strPlain);
        int32_t nPlain = -1;
        char* pPlain =
            GzipDecompress(strMember.data(), static_cast<int32_t>(strMember.size()), &nPlain);
        EXPECT_TRUE(Take(pPlain, nPlain) == strPlain);
    }
}

// Members made apart from this engine, one a file (gzip/README): "ok-" ones hold 5000 'q' behind
// optional header fields, "bad-" ones are damaged and refused without a byte.
TEST(TransferHelpers, GzipDecompressSkipsHeaderFieldsAndRefusesDamagedMembers) {
    size_t nFiles = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KT_TRANSFER_DATA "/gzip")) {
        const std::string strName = entry.path().filename().string();
        if (entry.path().extension() != ".gz") continue;
        const std::string strMember = ReadFile(entry.path());
        const bool bGood = strName.rfind("ok-", 0) == 0;
        int32_t nOut = 7;
        char* pOut =
            GzipDecompress(strMember.data(), static_cast<int32_t>(strMember.size()), &nOut);
        EXPECT_EQ(pOut != nullptr, bGood) << strName;
        EXPECT_EQ(Take(pOut, nOut), bGood ? std::string(5000, 'q') : "") << strName;
        EXPECT_EQ(nOut, bGood ? 5000 : 0) << strName;
        ++nFiles;
    }
    EXPECT_EQ(nFiles, 9u);
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

// Checked against what the source text cannot share a fault with: GBK bytes made apart
// (error-texts.gbk: the texts of -1, -12, -18 and of an unknown code, a line each), the number of
// distinct texts, and codes the table lacks.
TEST(TransferErrorText, TextsInGbkOnePerCodeAndTheUnknownText) {
    ASSERT_TRUE(kt::SetAnsiCodePage("GBK"));
    std::string strTexts;
    for (const int nCode : {HTTP_ERR_PARAM, HTTP_ERR_USER_ABORT, HTTP_ERR_BAD_INDEX, 0})
        strTexts += kt::ToAnsi(HttpPool_GetErrorText(nCode)) + "\n";
    EXPECT_EQ(strTexts, ReadFile(KT_TRANSFER_DATA "/error-texts.gbk"));
    kt::SetAnsiCodePage("");
    const std::u16string strUnknown = HttpPool_GetErrorText(0);
    std::set<std::u16string> setTexts;
    for (int n = -1; n >= -18; --n) setTexts.insert(HttpPool_GetErrorText(n));
    EXPECT_EQ(setTexts.size(), 18u);
    EXPECT_EQ(setTexts.count(strUnknown), 0u);
    for (const int nCode : {1, 17, -19, -100, INT32_MIN, INT32_MAX})
        EXPECT_EQ(HttpPool_GetErrorText(nCode), strUnknown) << nCode;
}

class TransferPool : public CPoolTest {};

TEST_F(TransferPool, IdsStartAtOneAreParkedAndComeBackSmallestFirstAndStartOverWithThePool) {
    EXPECT_EQ(HttpPool_AreAllRunning(), 1);  // an empty table
    for (long n = 1; n <= 8; ++n) ASSERT_EQ(HttpPool_NewRequest(), n);
    EXPECT_EQ(HttpPool_AreAllRunning(), 0);  // allocated, never started
    EXPECT_EQ(HttpPool_GetResult(8), 0);
    HttpPool_Release(7);
    HttpPool_Release(5);
    HttpPool_Release(5);
    EXPECT_EQ(HttpPool_NewRequest(), 5);
    EXPECT_EQ(HttpPool_NewRequest(), 7);
    EXPECT_EQ(HttpPool_NewRequest(), 9);
    // Releasing an unknown or a parked id changes nothing.
    for (const long nId : {-1L, 1234L, 3L, 3L}) HttpPool_Release(nId);
    EXPECT_EQ(HttpPool_NewRequest(), 3);
    EXPECT_EQ(HttpPool_NewRequest(), 10);
    // Exists takes a parked id back into use.
    HttpPool_Release(1);
    EXPECT_EQ(HttpPool().Exists(1, HttpObjectKind::Request), 1);
    EXPECT_EQ(HttpPool_NewRequest(), 11);
    EXPECT_EQ(HttpPool().Exists(11, HttpObjectKind::Download), 0);

    // Sixteen stay parked; the seventeenth release deletes.
    for (long n = 12; n <= 17; ++n) ASSERT_EQ(HttpPool_NewRequest(), n);
    for (long n = 1; n <= 17; ++n) HttpPool_Release(n);
    EXPECT_EQ(HttpPool_GetResult(17), HTTP_NO_INDEX);
    EXPECT_EQ(HttpPool_GetResult(16), 0);  // parked objects stay known
    for (long n = 1; n <= 16; ++n) EXPECT_EQ(HttpPool_NewRequest(), n);
    EXPECT_EQ(HttpPool_NewRequest(), 18);

    // Downloads draw from the same counter, into their own table.
    EXPECT_EQ(HttpPool().NewDownload(), 19);
    EXPECT_EQ(HttpPool().Exists(19, HttpObjectKind::Request), 0);

    // A new pool: a new window, the old one gone, no old object, ids from one again.
    const kt::HWND hOld = CHttp_StatusMgr::GetWindow();
    ASSERT_EQ(HttpPool_Initialize(nullptr), 1);
    EXPECT_FALSE(kt::IsMessageWindow(hOld));
    EXPECT_TRUE(kt::IsMessageWindow(CHttp_StatusMgr::GetWindow()));
    EXPECT_EQ(HttpPool_GetResult(16), HTTP_NO_INDEX);
    EXPECT_EQ(HttpPool_NewRequest(), 1);
}

// Arguments and object kinds checked while the pool is up; then every function's answer for a
// pool that is down.
TEST_F(TransferPool, ArgumentsAndObjectKindsAreCheckedAndEveryFunctionAnswersWhenDown) {
    long nRequest = HttpPool_NewRequest();
    long nDownload = HttpPool().NewDownload();
    long nOther = nDownload;
    std::vector<std::pair<long long, long long>> vecCases = {
        // {what came back, what should}
        {HttpPool_RequestData(&nRequest, nullptr, "x", 1, nullptr, 1, 0, 0), HTTP_ERR_PARAM},
        {HttpPool_DownloadFile(&nDownload, nullptr, u"x", nullptr, 1, 0), HTTP_ERR_PARAM},
        // A download id is no request: the request function draws a new id.
        {HttpPool_RequestForm(&nOther, nullptr, u"", nullptr, 1, 0, 0), HTTP_ERR_PARAM},
        {nOther, nDownload + 1},
        {HttpPool_GetResult(nDownload), HTTP_NO_INDEX},
        {HttpPool_AddHeader(nDownload, u"A: b"), HTTP_ERR_PARAM},
        {HttpPool_AddHeader(-1, u"A: b"), HTTP_ERR_PARAM},
        {HttpPool_AddHeader(nRequest, nullptr), HTTP_ERR_PARAM},
        {HttpPool_AddHeader(nRequest, u""), HTTP_ERR_PARAM},
        {HttpPool_AddHeader(999, u"A: b"), HTTP_ERR_PARAM},
        {HttpPool_AddHeader(nRequest, u"A: b"), HTTP_OK},
    };
    HttpPool_Uninitialize();
    long nId = 4, nForm = 4, nLength = 99;
    const char16_t* pszUrl = u"http://127.0.0.1:9/";
    vecCases.insert(
        vecCases.end(),
        {
            {HttpPool_NewRequest(), -1},
            {HttpPool_RequestData(&nId, pszUrl, "x", 1, nullptr, 1000, 0, 0), HTTP_NO_INDEX},
            {nId, -1},
            {HttpPool_RequestForm(&nForm, pszUrl, u"a=b", nullptr, 1000, 0, 0), HTTP_NO_INDEX},
            {nForm, -1},
            {HttpPool_DownloadFile(&nId, pszUrl, u"x", nullptr, 1000, 0), HTTP_NO_INDEX},
            {HttpPool_GetResult(1), HTTP_ERR_POOL_UNINIT},
            {HttpPool_IsReplyComplete(1), HTTP_ERR_POOL_UNINIT},
            {HttpPool_AddHeader(1, u"A: b"), HTTP_ERR_POOL_UNINIT},
            {HttpPool_IsRunning(1) + HttpPool_AreAllRunning(), 0},
            {HttpPool_Cancel(1) + HttpPool_Release(1), 2},
            {HttpPool_GetData(1, &nLength) != nullptr, 0},
            {nLength, 0},
            {HttpPool_GetRequestUrl(1).size(), 0},
        });
    for (size_t i = 0; i < vecCases.size(); ++i)
        EXPECT_EQ(vecCases[i].first, vecCases[i].second) << "row " << i;
    HttpPool_PostMessage(1, 5);
    HttpPool_StopAll();
    HttpPool_DetachReporter(nullptr);
    EXPECT_EQ(kt::PumpMessages(), 0);
    HttpPool_Uninitialize();  // twice down is harmless (and once more by the fixture)
}

TEST_F(TransferPool, WindowRoutesToLiveIdsOnlyAndPassesOtherMessagesOn) {
    std::vector<kt::UINT> vecDefault;
    const kt::DefWindowProcHook oldHook = kt::SetDefWindowProcHook(
        [&](kt::HWND, kt::UINT uMsg, kt::WPARAM, kt::LPARAM) { vecDefault.push_back(uMsg); });
    CRecorder reporter;
    const long nId = HttpPool_NewRequest();
    const long nParked = HttpPool_NewRequest();
    for (const long n : {nId, nParked})
        ASSERT_EQ(HttpPool().SetData(n, u"http://127.0.0.1/", nullptr, 0, &reporter, 1), HTTP_OK);
    HttpPool_Release(nParked);
    // Reports come from a worker thread, as a request's would; a parked and an unknown id's find
    // nobody.
    std::thread([&] {
        CHttp_StatusMgr statusMgr;
        statusMgr.OnAsyncFailed(nParked, -5);
        statusMgr.OnAsyncFinished(4242);
        statusMgr.OnAsyncStatus(nId, 77);
    }).join();
    HttpPool_PostMessage(nId, 31);
    HttpPool_PostMessage(nParked, 32);
    // Messages next to the pool's own go to the default procedure.
    for (const kt::UINT uMsg : {0x600u, 0x1404u})
        kt::PostMessage(CHttp_StatusMgr::GetWindow(), uMsg, static_cast<kt::WPARAM>(nId), 0);
    kt::PumpMessages();
    kt::SetDefWindowProcHook(oldHook);
    EXPECT_EQ(vecDefault, (std::vector<kt::UINT>{0x600u, 0x1404u}));
    EXPECT_EQ(reporter.Heard(), (CRecorder::HEARD{{'S', nId, 77}, {'M', nId, 31}}));
    // A destroyed reporter detaches itself: the message queued for it finds nobody (ASan would
    // catch a call on the dead one).
    {
        CRecorder gone;
        ASSERT_EQ(HttpPool().SetData(nId, u"http://127.0.0.1/", nullptr, 0, &gone, 1), HTTP_OK);
        HttpPool_PostMessage(nId, 1);
    }
    EXPECT_EQ(kt::PumpMessages(), 1);
}

}  // namespace
