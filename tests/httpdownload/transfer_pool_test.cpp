// The pool without a network: ids, parking and reuse, the answers of a pool that is down and the
// status window's routing.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "httpdownload/httpclasses.h"
#include "httpdownload/httppool.h"
#include "httpdownload/httppublic.h"
#include "httpdownload/httpstatus.h"
#include "platform/msgwindow.h"
#include "transfer_support.h"

namespace {

using ttest::CRecorder;

TEST(TransferPoolDown, EveryFunctionAnswersForAPoolThatIsDown) {
    HttpPool_Uninitialize();
    long nId = 4, nForm = 4, nLength = 99;
    const char16_t* pszUrl = u"http://127.0.0.1:9/";
    const std::pair<long long, long long> aCases[] = {
        // {what came back, what should}
        {HttpPool_NewRequest(), -1},
        {HttpPool_RequestData(&nId, pszUrl, "x", 1, nullptr, 1000, 0, 0), HTTP_NO_INDEX},
        {nId, -1},
        {HttpPool_RequestForm(&nForm, pszUrl, u"a=b", nullptr, 1000, 0, 0), HTTP_NO_INDEX},
        {nForm, -1},
        {HttpPool_DownloadFile(&nId, pszUrl, u"x", nullptr, 1000, 0), HTTP_NO_INDEX},
        {HttpPool_GetResult(1), HTTP_ERR_POOL_UNINIT},
        {HttpPool_AddHeader(1, u"A: b"), HTTP_ERR_POOL_UNINIT},
        {HttpPool_IsRunning(1) + HttpPool_AreAllRunning(), 0},
        {HttpPool_Cancel(1) + HttpPool_Release(1), 2},
        {HttpPool_GetData(1, &nLength) != nullptr, 0},
        {nLength, 0},
        {HttpPool_GetRequestUrl(1).size(), 0},
        {HttpPool().IsFinished(1), 1},
        {HttpPool().Start(1), HTTP_ERR_POOL_UNINIT},
        {HttpPool().SetData(1, u"http://x/", nullptr, 0, nullptr, 1), HTTP_ERR_POOL_UNINIT},
        {HttpPool().StartDownload(1, 0), HTTP_ERR_POOL_UNINIT},
    };
    for (size_t i = 0; i < std::size(aCases); ++i)
        EXPECT_EQ(aCases[i].first, aCases[i].second) << "row " << i;
    HttpPool_PostMessage(1, 5);
    HttpPool_StopAll();
    HttpPool_DetachReporter(nullptr);
    EXPECT_EQ(kt::PumpMessages(), 0);
    HttpPool_Uninitialize();  // twice down is harmless
}

class TransferPool : public ttest::CPoolTest {};

TEST_F(TransferPool, IdsStartAtOneAndAgainAfterANewInitialisation) {
    EXPECT_EQ(HttpPool_AreAllRunning(), 1);  // an empty table
    EXPECT_EQ(HttpPool_NewRequest(), 1);
    EXPECT_EQ(HttpPool_NewRequest(), 2);
    EXPECT_EQ(HttpPool().NewDownload(), 3);  // downloads draw from the same counter
    EXPECT_EQ(HttpPool_AreAllRunning(), 0);  // allocated, never started
    EXPECT_EQ(HttpPool_GetResult(2), 0);
    const kt::HWND hOld = CHttp_StatusMgr::GetWindow();
    ASSERT_EQ(HttpPool_Initialize(nullptr), 1);
    EXPECT_FALSE(kt::IsMessageWindow(hOld));
    EXPECT_TRUE(kt::IsMessageWindow(CHttp_StatusMgr::GetWindow()));
    EXPECT_EQ(HttpPool_GetResult(1), HTTP_NO_INDEX);
    EXPECT_EQ(HttpPool_NewRequest(), 1);
}

TEST_F(TransferPool, ReleasedIdsAreParkedAndComeBackSmallestFirst) {
    for (long n = 1; n <= 8; ++n) ASSERT_EQ(HttpPool_NewRequest(), n);
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

    // Downloads park alike, in their own table.
    std::vector<long> vecDownloads;
    for (int i = 0; i < 17; ++i) vecDownloads.push_back(HttpPool().NewDownload());
    for (const long nId : vecDownloads) HttpPool_Release(nId);
    EXPECT_EQ(HttpPool().NewDownload(), vecDownloads.front());
    EXPECT_EQ(HttpPool().Exists(vecDownloads.back(), HttpObjectKind::Download), 0);
    EXPECT_EQ(HttpPool().Exists(vecDownloads[1], HttpObjectKind::Download), 1);
    EXPECT_EQ(HttpPool().NewDownload(), vecDownloads[2]);  // [1] was taken back by Exists
}

TEST_F(TransferPool, ArgumentsAndObjectKindsAreChecked) {
    const long nRequest = HttpPool_NewRequest();
    const long nDownload = HttpPool().NewDownload();
    const char16_t* pszUrl = u"http://127.0.0.1/";
    const std::pair<int, int> aCases[] = {
        {HttpPool().SetDownload(nRequest, pszUrl, u"x", nullptr, 1), HTTP_ERR_NO_OBJECT},
        {HttpPool().StartDownload(nRequest, 0), HTTP_ERR_BAD_INDEX},
        {HttpPool().SetData(nDownload, pszUrl, "x", 1, nullptr, 1), HTTP_ERR_NO_OBJECT},
        {HttpPool().SetForm(nDownload, pszUrl, u"", nullptr, 1), HTTP_ERR_NO_OBJECT},
        {HttpPool().Start(nDownload), HTTP_ERR_BAD_INDEX},
        {HttpPool_GetResult(nDownload), HTTP_NO_INDEX},
        {HttpPool().Start(999), HTTP_ERR_BAD_INDEX},
        {HttpPool().SetData(-2, pszUrl, nullptr, 0, nullptr, 1), HTTP_ERR_PARAM},
        {HttpPool().SetData(nRequest, nullptr, nullptr, 0, nullptr, 1), HTTP_ERR_PARAM},
        {HttpPool().SetDownload(nDownload, nullptr, u"x", nullptr, 1), HTTP_ERR_PARAM},
        {HttpPool_AddHeader(nDownload, u"A: b"), HTTP_ERR_PARAM},
        {HttpPool_AddHeader(-1, u"A: b"), HTTP_ERR_PARAM},
        {HttpPool_AddHeader(nRequest, nullptr), HTTP_ERR_PARAM},
        {HttpPool_AddHeader(nRequest, u""), HTTP_ERR_PARAM},
        {HttpPool_AddHeader(999, u"A: b"), HTTP_ERR_PARAM},
        {HttpPool_AddHeader(nRequest, u"A: b"), HTTP_OK},
    };
    for (size_t i = 0; i < std::size(aCases); ++i)
        EXPECT_EQ(aCases[i].first, aCases[i].second) << "row " << i;
}

TEST_F(TransferPool, WindowRoutesOnTheInitialisingThreadAndDropsParkedIds) {
    std::vector<kt::UINT> vecDefault;
    const kt::DefWindowProcHook oldHook = kt::SetDefWindowProcHook(
        [&](kt::HWND, kt::UINT uMsg, kt::WPARAM, kt::LPARAM) { vecDefault.push_back(uMsg); });
    CRecorder reporter;
    const long nId = HttpPool_NewRequest();
    const long nParked = HttpPool_NewRequest();
    ASSERT_EQ(HttpPool().SetData(nId, u"http://127.0.0.1/", nullptr, 0, &reporter, 1), HTTP_OK);
    ASSERT_EQ(HttpPool().SetData(nParked, u"http://127.0.0.1/", nullptr, 0, &reporter, 1), HTTP_OK);
    HttpPool_Release(nParked);

    // Reports come from a worker thread, as a request's would.
    std::thread([&] {
        CHttp_StatusMgr statusMgr;
        statusMgr.OnAsyncProgress(nId, 1234.9);
        statusMgr.OnAsyncProgress(nId, -7.9);
        statusMgr.OnAsyncStatus(nId, 77);
        statusMgr.OnAsyncFailed(nParked, -5);
        statusMgr.OnAsyncFailed(nId, -17);
        statusMgr.OnAsyncFinished(nId);
        statusMgr.OnAsyncFinished(4242);
    }).join();
    HttpPool_PostMessage(nId, 31);
    HttpPool_PostMessage(nParked, 32);
    // Messages next to the pool's own go to the default procedure.
    for (const kt::UINT uMsg : {0x600u, 0x1404u})
        kt::PostMessage(CHttp_StatusMgr::GetWindow(), uMsg, static_cast<kt::WPARAM>(nId), 0);
    kt::PumpMessages();
    kt::SetDefWindowProcHook(oldHook);
    EXPECT_EQ(vecDefault, (std::vector<kt::UINT>{0x600u, 0x1404u}));

    ASSERT_EQ(reporter.m_vecCalls.size(), 6u);
    const char* pszKinds = "PPSEFM";
    const double adValues[] = {1234.0, -7.0, 77, -17, 0, 31};
    for (size_t i = 0; i < 6; ++i) {
        const ttest::CALL& call = reporter.m_vecCalls[i];
        EXPECT_EQ(call.chKind, pszKinds[i]) << i;
        EXPECT_EQ(call.nId, nId) << i;
        EXPECT_EQ(call.dValue, adValues[i]) << i;
        EXPECT_EQ(call.thread, std::this_thread::get_id()) << i;
    }

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
