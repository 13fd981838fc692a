// The pool without a network: ids, parking and reuse, the answers of a pool that is down, the
// status window's routing and the error texts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>
#include <vector>

#include "httpdownload/httpclasses.h"
#include "httpdownload/httppool.h"
#include "httpdownload/httppublic.h"
#include "httpdownload/httpstatus.h"
#include "platform/msgwindow.h"
#include "platform/sync.h"

namespace {

struct CALL {
    char chKind;
    long nId;
    double dValue;
    std::thread::id thread;
};

class CRecorder : public IHttpReporter {
public:
    int32_t OnRequestFinished(long nId) override { return Add('F', nId, 0); }
    int32_t OnRequestFailed(long nId, int32_t nResult) override { return Add('E', nId, nResult); }
    int32_t OnRequestMessage(long nId, int32_t nValue) override { return Add('M', nId, nValue); }
    int32_t OnRequestStatus(long nId, int32_t nValue) override { return Add('S', nId, nValue); }
    int32_t OnRequestProgress(long nId, double dValue) override { return Add('P', nId, dValue); }
    std::vector<CALL> m_vecCalls;

private:
    int32_t Add(char chKind, long nId, double dValue) {
        m_vecCalls.push_back({chKind, nId, dValue, std::this_thread::get_id()});
        return 0;
    }
};

class TransferPoolDown : public ::testing::Test {
protected:
    void SetUp() override { HttpPool_Uninitialize(); }
};

TEST_F(TransferPoolDown, EveryFunctionAnswersForAPoolThatIsDown) {
    EXPECT_EQ(HttpPool_NewRequest(), -1);
    long nId = -1;
    EXPECT_EQ(HttpPool_RequestData(&nId, u"http://127.0.0.1:9/", "x", 1, nullptr, 1000, 0, 0),
              HTTP_NO_INDEX);
    EXPECT_EQ(nId, -1);
    nId = 4;
    EXPECT_EQ(HttpPool_RequestForm(&nId, u"http://127.0.0.1:9/", u"a=b", nullptr, 1000, 0, 0),
              HTTP_NO_INDEX);
    EXPECT_EQ(nId, -1);
    EXPECT_EQ(HttpPool_DownloadFile(&nId, u"http://127.0.0.1:9/", u"x", nullptr, 1000, 0),
              HTTP_NO_INDEX);
    EXPECT_EQ(HttpPool_GetResult(1), HTTP_ERR_POOL_UNINIT);
    EXPECT_EQ(HttpPool_AddHeader(1, u"A: b"), HTTP_ERR_POOL_UNINIT);
    EXPECT_EQ(HttpPool_IsRunning(1), 0);
    EXPECT_EQ(HttpPool_AreAllRunning(), 0);
    EXPECT_EQ(HttpPool_Cancel(1), 1);
    EXPECT_EQ(HttpPool_Release(1), 1);
    long nLength = 99;
    EXPECT_EQ(HttpPool_GetData(1, &nLength), nullptr);
    EXPECT_EQ(nLength, 0);
    EXPECT_EQ(HttpPool_GetRequestUrl(1), u"");
    HttpPool_PostMessage(1, 5);
    HttpPool_StopAll();
    HttpPool_DetachReporter(nullptr);
    EXPECT_EQ(HttpPool().IsFinished(1), 1);
    EXPECT_EQ(HttpPool().Start(1), HTTP_ERR_POOL_UNINIT);
    EXPECT_EQ(HttpPool().SetData(1, u"http://x/", nullptr, 0, nullptr, 1), HTTP_ERR_POOL_UNINIT);
    EXPECT_EQ(HttpPool().StartDownload(1, 0), HTTP_ERR_POOL_UNINIT);
    EXPECT_EQ(kt::PumpMessages(), 0);
    HttpPool_Uninitialize();  // twice down is harmless
}

class TransferPool : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(HttpPool_Initialize(nullptr), 1); }
    void TearDown() override {
        HttpPool_Uninitialize();
        kt::PumpMessages();
    }
};

TEST_F(TransferPool, IdsStartAtOneAndAgainAfterANewInitialisation) {
    EXPECT_EQ(HttpPool_AreAllRunning(), 1);  // an empty table
    EXPECT_EQ(HttpPool_NewRequest(), 1);
    EXPECT_EQ(HttpPool_NewRequest(), 2);
    // Downloads draw from the same counter.
    EXPECT_EQ(HttpPool().NewDownload(), 3);
    EXPECT_EQ(HttpPool_NewRequest(), 4);
    EXPECT_EQ(HttpPool_AreAllRunning(), 0);  // allocated, never started
    EXPECT_EQ(HttpPool_GetResult(2), 0);
    EXPECT_EQ(HttpPool_GetResult(3), HTTP_NO_INDEX);  // a download id is not a request
    const kt::HWND hOld = CHttp_StatusMgr::GetWindow();
    ASSERT_EQ(HttpPool_Initialize(nullptr), 1);
    const kt::HWND hNew = CHttp_StatusMgr::GetWindow();
    EXPECT_NE(hNew, 0u);
    EXPECT_NE(hNew, hOld);
    EXPECT_FALSE(kt::IsMessageWindow(hOld));
    EXPECT_TRUE(kt::IsMessageWindow(hNew));
    EXPECT_EQ(HttpPool_GetResult(1), HTTP_NO_INDEX);
    EXPECT_EQ(HttpPool_NewRequest(), 1);
}

TEST_F(TransferPool, ReleasedIdsComeBackSmallestFirst) {
    for (long n = 1; n <= 8; ++n) ASSERT_EQ(HttpPool_NewRequest(), n);
    HttpPool_Release(5);
    EXPECT_EQ(HttpPool_NewRequest(), 5);
    HttpPool_Release(7);
    HttpPool_Release(5);
    EXPECT_EQ(HttpPool_NewRequest(), 5);
    EXPECT_EQ(HttpPool_NewRequest(), 7);
    EXPECT_EQ(HttpPool_NewRequest(), 9);
    // Releasing an unknown or a parked id changes nothing.
    HttpPool_Release(-1);
    HttpPool_Release(1234);
    HttpPool_Release(3);
    HttpPool_Release(3);
    EXPECT_EQ(HttpPool_NewRequest(), 3);
    EXPECT_EQ(HttpPool_NewRequest(), 10);
}

TEST_F(TransferPool, TheSeventeenthReleaseDeletes) {
    for (long n = 1; n <= 17; ++n) ASSERT_EQ(HttpPool_NewRequest(), n);
    for (long n = 1; n <= 17; ++n) HttpPool_Release(n);
    EXPECT_EQ(HttpPool_GetResult(17), HTTP_NO_INDEX);
    EXPECT_EQ(HttpPool_GetResult(16), 0);  // parked objects stay known
    for (long n = 1; n <= 16; ++n) EXPECT_EQ(HttpPool_NewRequest(), n);
    EXPECT_EQ(HttpPool_NewRequest(), 18);

    // Downloads park alike, in their own table.
    std::vector<long> vecDownloads;
    for (int i = 0; i < 17; ++i) vecDownloads.push_back(HttpPool().NewDownload());
    for (const long nId : vecDownloads) HttpPool_Release(nId);
    EXPECT_EQ(HttpPool().NewDownload(), vecDownloads.front());
    EXPECT_EQ(HttpPool().Exists(vecDownloads.back(), HttpObjectKind::Download), 0);
    EXPECT_EQ(HttpPool().Exists(vecDownloads[1], HttpObjectKind::Download), 1);
    EXPECT_EQ(HttpPool().NewDownload(), vecDownloads[2]);  // [1] was taken back by Exists
}

TEST_F(TransferPool, ExistsTakesAParkedIdBackIntoUse) {
    ASSERT_EQ(HttpPool_NewRequest(), 1);
    ASSERT_EQ(HttpPool_NewRequest(), 2);
    HttpPool_Release(1);
    EXPECT_EQ(HttpPool().Exists(1, HttpObjectKind::Request), 1);
    EXPECT_EQ(HttpPool_NewRequest(), 3);
    EXPECT_EQ(HttpPool().Exists(3, HttpObjectKind::Download), 0);
    EXPECT_EQ(HttpPool().Exists(-1, HttpObjectKind::Request), 0);
}

TEST_F(TransferPool, RequestAndDownloadIdsAreNotInterchangeable) {
    const long nRequest = HttpPool_NewRequest();
    const long nDownload = HttpPool().NewDownload();
    EXPECT_EQ(HttpPool().SetDownload(nRequest, u"http://127.0.0.1/", u"x", nullptr, 1),
              HTTP_ERR_NO_OBJECT);
    EXPECT_EQ(HttpPool().StartDownload(nRequest, 0), HTTP_ERR_BAD_INDEX);
    EXPECT_EQ(HttpPool().SetData(nDownload, u"http://127.0.0.1/", "x", 1, nullptr, 1),
              HTTP_ERR_NO_OBJECT);
    EXPECT_EQ(HttpPool().SetForm(nDownload, u"http://127.0.0.1/", u"", nullptr, 1),
              HTTP_ERR_NO_OBJECT);
    EXPECT_EQ(HttpPool().Start(nDownload), HTTP_ERR_BAD_INDEX);
    EXPECT_EQ(HttpPool_GetResult(nDownload), HTTP_NO_INDEX);
    EXPECT_EQ(HttpPool_AddHeader(nDownload, u"A: b"), HTTP_ERR_PARAM);
    EXPECT_EQ(HttpPool().Start(999), HTTP_ERR_BAD_INDEX);
    EXPECT_EQ(HttpPool().SetData(-2, u"http://127.0.0.1/", nullptr, 0, nullptr, 1), HTTP_ERR_PARAM);
    EXPECT_EQ(HttpPool().SetData(nRequest, nullptr, nullptr, 0, nullptr, 1), HTTP_ERR_PARAM);
    EXPECT_EQ(HttpPool().SetDownload(nDownload, nullptr, u"x", nullptr, 1), HTTP_ERR_PARAM);
}

TEST_F(TransferPool, AddHeaderRejectsBadArguments) {
    const long nId = HttpPool_NewRequest();
    EXPECT_EQ(HttpPool_AddHeader(-1, u"A: b"), HTTP_ERR_PARAM);
    EXPECT_EQ(HttpPool_AddHeader(nId, nullptr), HTTP_ERR_PARAM);
    EXPECT_EQ(HttpPool_AddHeader(nId, u""), HTTP_ERR_PARAM);
    EXPECT_EQ(HttpPool_AddHeader(nId + 1, u"A: b"), HTTP_ERR_PARAM);
    EXPECT_EQ(HttpPool_AddHeader(nId, u"A: b"), HTTP_OK);
}

TEST_F(TransferPool, EmptyUrlFailsAtRunTimeWithParamError) {
    CRecorder reporter;
    long nId = -1;
    ASSERT_EQ(HttpPool_RequestData(&nId, u"", nullptr, 0, &reporter, 1000, 0, 0), HTTP_OK);
    EXPECT_EQ(nId, 1);
    for (int i = 0; i < 200 && reporter.m_vecCalls.empty(); ++i) kt::PumpMessagesFor(10);
    ASSERT_EQ(reporter.m_vecCalls.size(), 1u);
    EXPECT_EQ(reporter.m_vecCalls[0].chKind, 'E');
    EXPECT_EQ(reporter.m_vecCalls[0].dValue, HTTP_ERR_PARAM);
    EXPECT_EQ(HttpPool_GetResult(nId), HTTP_ERR_PARAM);
    EXPECT_EQ(HttpPool_GetRequestUrl(nId), u"");
    // The same variable reuses the id.
    ASSERT_EQ(HttpPool_RequestForm(&nId, u"", u"", &reporter, 1000, 0, 0), HTTP_OK);
    EXPECT_EQ(nId, 1);
    HttpPool_Cancel(nId);
    EXPECT_EQ(HttpPool_IsRunning(nId), 0);
}

TEST_F(TransferPool, WindowRoutesOnTheInitialisingThreadAndDropsParkedIds) {
    CRecorder reporter;
    const long nId = HttpPool_NewRequest();
    const long nParked = HttpPool_NewRequest();
    ASSERT_EQ(HttpPool().SetData(nId, u"http://127.0.0.1/", nullptr, 0, &reporter, 1), HTTP_OK);
    ASSERT_EQ(HttpPool().SetData(nParked, u"http://127.0.0.1/", nullptr, 0, &reporter, 1), HTTP_OK);
    HttpPool_Release(nParked);

    // Reports come from a worker thread, as a request's would.
    std::thread worker([&] {
        CHttp_StatusMgr statusMgr;
        statusMgr.OnAsyncProgress(nId, 1234.9);
        statusMgr.OnAsyncProgress(nId, -7.9);
        statusMgr.OnAsyncStatus(nId, 77);
        statusMgr.OnAsyncFailed(nParked, -5);
        statusMgr.OnAsyncFailed(nId, -17);
        statusMgr.OnAsyncFinished(nId);
        statusMgr.OnAsyncFinished(4242);
    });
    worker.join();
    HttpPool_PostMessage(nId, 31);
    HttpPool_PostMessage(nParked, 32);
    kt::PumpMessages();

    ASSERT_EQ(reporter.m_vecCalls.size(), 6u);
    const char* pszKinds = "PPSEFM";
    const double adValues[] = {1234.0, -7.0, 77, -17, 0, 31};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(reporter.m_vecCalls[i].chKind, pszKinds[i]) << i;
        EXPECT_EQ(reporter.m_vecCalls[i].nId, nId) << i;
        EXPECT_EQ(reporter.m_vecCalls[i].dValue, adValues[i]) << i;
        EXPECT_EQ(reporter.m_vecCalls[i].thread, std::this_thread::get_id()) << i;
    }
}

TEST_F(TransferPool, OtherMessagesGoToTheDefaultProcedure) {
    std::vector<kt::UINT> vecDefault;
    kt::DefWindowProcHook oldHook = kt::SetDefWindowProcHook(
        [&](kt::HWND, kt::UINT uMsg, kt::WPARAM, kt::LPARAM) { vecDefault.push_back(uMsg); });
    CRecorder reporter;
    const long nId = HttpPool_NewRequest();
    ASSERT_EQ(HttpPool().SetData(nId, u"http://127.0.0.1/", nullptr, 0, &reporter, 1), HTTP_OK);
    const kt::HWND hWnd = CHttp_StatusMgr::GetWindow();
    for (const kt::UINT uMsg : {0x600u, 0x1404u, 0x601u, 0x1400u}) {
        kt::PostMessage(hWnd, uMsg, static_cast<kt::WPARAM>(nId), 0);
    }
    kt::PumpMessages();
    kt::SetDefWindowProcHook(oldHook);
    EXPECT_EQ(vecDefault, (std::vector<kt::UINT>{0x600u, 0x1404u}));
    ASSERT_EQ(reporter.m_vecCalls.size(), 2u);
    EXPECT_EQ(reporter.m_vecCalls[0].chKind, 'M');
    EXPECT_EQ(reporter.m_vecCalls[1].chKind, 'F');
}

TEST_F(TransferPool, DestroyedReporterIsNeverCalled) {
    const long nId = HttpPool_NewRequest();
    {
        CRecorder reporter;
        ASSERT_EQ(HttpPool().SetData(nId, u"http://127.0.0.1/", nullptr, 0, &reporter, 1), HTTP_OK);
        HttpPool_PostMessage(nId, 1);
    }
    // The queued message finds no reporter any more (ASan would catch a call on the dead one).
    EXPECT_EQ(kt::PumpMessages(), 1);
}

TEST(TransferErrorText, EveryCodeHasItsText) {
    const std::pair<int, const char16_t*> aTexts[] = {
        {-1, u"HTTP请求参数错误!"},
        {-2, u"HTTP请求操作错误!"},
        {-3, u"HTTP请求过程发生错误!"},
        {-4, u"HTTP上次请求还未结束!"},
        {-5, u"HTTP请求超时!"},
        {-6, u"HTTP申请请求http对象失败!"},
        {-7, u"HTTP请求没有数据返回!"},
        {-8, u"解析二维表发生错误!"},
        {-9, u"HTTP请求URL不是有效的服务器地址,不能连接!"},
        {-10, u"HTTP请求初始化CURL获取请求对象失败!"},
        {-11, u"HTTP请求curl接口调用失败!"},
        {-12, u"HTTP请求被用户终止!"},
        {-13, u"HTTP请求过程创建线程失败!"},
        {-14, u"HTTP请求池未初始化!"},
        {-15, u"HTTP请求返回数据解压失败!"},
        {-16, u"HTTP请求未找到!"},
        {-17, u"HTTP应答错误!"},
        {-18, u"HTTP错误的请求号!"},
    };
    for (const auto& [nCode, pszText] : aTexts) {
        EXPECT_EQ(HttpPool_GetErrorText(nCode), pszText) << nCode;
    }
    for (const int nCode : {0, 1, 17, -19, -100, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(HttpPool_GetErrorText(nCode), u"HTTP请求未知错误!") << nCode;
    }
}

}  // namespace
