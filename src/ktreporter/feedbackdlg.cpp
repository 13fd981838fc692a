#include "ktreporter/feedbackdlg.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <locale>
#include <regex>
#include <vector>

#include "functional/capture.h"
#include "ktreporter/formbody.h"
#include "ktreporter/ktreporterapp.h"
#include "platform/codepage.h"
#include "platform/msgbox.h"

namespace kt {
namespace {

constexpr std::u16string_view kProfileSection = u"FEEDBACK_INFO";
constexpr std::u16string_view kReplyCaption = u"服务器返回信息";
constexpr std::u16string_view kMsgIncomplete = u"必填信息不全，请输入完整的信息后再递交。";
constexpr std::u16string_view kMsgBadEmail = u"不是有效的邮箱地址。";
constexpr std::u16string_view kMsgEmptyReply = u"服务器返回数据为空";
constexpr std::u16string_view kDefaultTitle = u"测试下问题";
constexpr std::u16string_view kDefaultDesc = u"问题描述,与大局无关";

struct PROFILE_FIELD {
    int nId;
    std::u16string_view strKey;
};
constexpr PROFILE_FIELD kProfileFields[] = {
    {IDC_EDIT_NAME, u"FEEDBACK_NAME"},
    {IDC_EDIT_EMAIL, u"FEEDBACK_EMAIL"},
    {IDC_EDIT_PHONE, u"FEEDBACK_PHONE"},
};

constexpr int kBusyControls[] = {IDC_EDIT_NAME,  IDC_EDIT_EMAIL, IDC_EDIT_PHONE,
                                 IDC_EDIT_TITLE, IDC_EDIT_DESC,  IDC_BTN_SUBMIT};

std::atomic<int> g_nScreenShotCounter{1};

// AfxMessageBox: the application's name as caption and, since no icon is asked for, the
// exclamation icon the framework adds to plain OK boxes.
void AppMessageBox(std::u16string_view strText) {
    CKTReporterApp* pApp = CKTReporterApp::Get();
    MessageBox(strText, pApp ? pApp->GetAppName() : std::u16string(), kMbOk | kMbIconWarning);
}

}  // namespace

int NextScreenShotNumber() {
    return g_nScreenShotCounter.fetch_add(1);
}

std::u16string FormatScreenShotPath(std::u16string_view strTmpDir, int nYear, int nMonth, int nDay,
                                    int nCounter) {
    char szName[64];
    std::snprintf(szName, sizeof(szName), "\\ScreenShoot%04d%02d%02d%03d.jpeg", nYear, nMonth, nDay,
                  nCounter);
    std::u16string str(strTmpDir);
    for (const char* p = szName; *p; ++p) str += static_cast<char16_t>(*p);
    return str;
}

bool IsValidEmail(std::string_view strAnsiEmail) {
    // The classic locale keeps \w to ASCII whatever locale the GUI library installed: a GBK or
    // UTF-8 byte is never a word character.
    static const std::regex s_re = [] {
        std::regex re;
        re.imbue(std::locale::classic());
        re.assign(R"(\w+([-+.]\w+)*@\w+([-.]\w+)*\.\w+([-.]\w+)*)", std::regex::ECMAScript);
        return re;
    }();
    return std::regex_match(strAnsiEmail.begin(), strAnsiEmail.end(), s_re);
}

void CFeedBackDlg::DoDataExchange() {
    m_progress.Attach(this, IDC_PROGRESS);
}

bool CFeedBackDlg::OnInitDialog() {
    CKTReporterApp* pApp = CKTReporterApp::Get();
    if (pApp && pApp->GetAttachType() == 0) {
        const std::time_t now = std::time(nullptr);
        std::tm tmNow{};
#ifdef _WIN32
        localtime_s(&tmNow, &now);
#else
        localtime_r(&now, &tmNow);
#endif
        const int nCounter = NextScreenShotNumber();
        const std::u16string strTmpDir = pApp->GetClientPath(kClientPathTmp);
        m_strAttachFile = FormatScreenShotPath(strTmpDir, tmNow.tm_year + 1900, tmNow.tm_mon + 1,
                                               tmNow.tm_mday, nCounter);
        CaptureScreenToJpeg(m_strAttachFile, pApp->GetCaptureWnd());
    } else if (pApp) {
        m_strAttachFile = pApp->GetAttachPath();
    }

    CDialog::OnInitDialog();
    SetBusy(false);
    if (m_nRequestId <= 0) {
        m_nRequestId = HttpPool_NewRequest();
        if (m_nRequestId != -1) {
            HttpPool_AddHeader(m_nRequestId, kFormContentTypeHeader.data());
        }
    }
    SetDlgItemText(IDC_EDIT_TITLE, kDefaultTitle);
    SetDlgItemText(IDC_EDIT_DESC, kDefaultDesc);
    m_progress.SetRange(0, 100);
    LoadUserInfo();
    // With a stored name LoadUserInfo has put the focus on the title; else the first control.
    return GetDlgItemText(IDC_EDIT_NAME).empty();
}

void CFeedBackDlg::SetBusy(bool bBusy) {
    for (int nId : kBusyControls) EnableDlgItem(nId, !bBusy);
    if (bBusy) {
        SetTimer(kProgressTimer, kProgressPeriodMs);
        ShowDlgItem(IDC_PROGRESS, true);
    } else {
        KillTimer(kProgressTimer);
        ShowDlgItem(IDC_PROGRESS, false);
    }
}

void CFeedBackDlg::SaveUserInfo() {
    CKTReporterApp* pApp = CKTReporterApp::Get();
    if (!pApp) return;
    for (const PROFILE_FIELD& field : kProfileFields) {
        pApp->WriteProfileString(kProfileSection, field.strKey, GetDlgItemText(field.nId));
    }
}

void CFeedBackDlg::LoadUserInfo() {
    CKTReporterApp* pApp = CKTReporterApp::Get();
    if (!pApp) return;
    for (const PROFILE_FIELD& field : kProfileFields) {
        SetDlgItemText(field.nId, pApp->GetProfileString(kProfileSection, field.strKey, u""));
    }
    if (!GetDlgItemText(IDC_EDIT_NAME).empty()) {
        GotoDlgCtrl(IDC_EDIT_TITLE);
    }
}

void CFeedBackDlg::OnBnClickedSubmit() {
    SaveUserInfo();
    SetBusy(true);

    CKTReporterApp* pApp = CKTReporterApp::Get();
    const FEEDBACK_FORM form = MakeFeedbackForm(
        pApp ? pApp->GetAttachType() : -1, pApp ? pApp->GetUserId() : std::u16string(),
        GetDlgItemText(IDC_EDIT_NAME), GetDlgItemText(IDC_EDIT_EMAIL),
        GetDlgItemText(IDC_EDIT_PHONE), GetDlgItemText(IDC_EDIT_TITLE),
        GetDlgItemText(IDC_EDIT_DESC), m_strAttachFile);
    if (form.strName.empty() || form.strEmail.empty() || form.strTitle.empty() ||
        form.strDesc.empty()) {
        AppMessageBox(kMsgIncomplete);
        SetBusy(false);
        return;
    }
    if (!IsValidEmail(form.strEmail)) {
        AppMessageBox(kMsgBadEmail);
        SetBusy(false);
        return;
    }

    std::vector<char> vecBody;
    if (BuildFeedbackBody(form, m_strAttachFile, vecBody) != 0) {
        // Not enough memory for the body: said as the engine's parameter error, the one code a
        // post without a body would get.
        AppMessageBox(HttpPool_GetErrorText(HTTP_ERR_PARAM));
        SetBusy(false);
        return;
    }
    const std::u16string strUrl = pApp ? pApp->GetServerURL(kSptFeedback) : std::u16string();
    const int nCode =
        HttpPool_RequestData(&m_nRequestId, strUrl.c_str(), vecBody.data(),
                             static_cast<unsigned>(vecBody.size()), this, kRequestTimeoutMs, 0, 0);
    if (nCode != 0) {
        AppMessageBox(HttpPool_GetErrorText(nCode));
        SetBusy(false);
    }
}

void CFeedBackDlg::OnCommand(int nId) {
    if (nId == IDC_BTN_SUBMIT) {
        OnBnClickedSubmit();
    } else if (nId == IDC_BTN_EXIT) {
        OnBnClickedExit();
    } else {
        CDialog::OnCommand(nId);
    }
}

void CFeedBackDlg::OnBnClickedExit() {
    EndDialog(kIdCancel);
}

void CFeedBackDlg::OnTimer(uintptr_t nIDEvent) {
    if (nIDEvent == kProgressTimer) {
        m_progress.StepIt();
        if (m_progress.GetPos() >= 100) m_progress.SetPos(0);
    }
    CDialog::OnTimer(nIDEvent);
}

int32_t CFeedBackDlg::OnRequestFinished(long nRequestId) {
    if (nRequestId != m_nRequestId) {
        SetBusy(false);
        return 0;
    }
    long nLength = 0;
    char* pData = HttpPool_GetData(m_nRequestId, &nLength);
    if (nLength >= 1 && pData) {
        // The reply is shown as a C string: its last byte gives way to the terminating zero.
        pData[nLength - 1] = '\0';
        const std::u16string strText = FromAnsi(std::string_view(pData));
        std::free(pData);
        MessageBox(strText, kReplyCaption, kMbOk);
        // A reply cut short still shows, but the archive stays unless the reply arrived whole.
        if (CKTReporterApp* pApp = CKTReporterApp::Get();
            pApp && HttpPool_IsReplyComplete(m_nRequestId) == 1)
            pApp->CleanUpAttachment();
        EndDialog(kIdOk);
        return 0;
    }
    std::free(pData);
    MessageBox(kMsgEmptyReply, kReplyCaption, kMbOk);
    SetBusy(false);
    return 0;
}

int32_t CFeedBackDlg::OnRequestFailed(long nRequestId, int32_t nErrorCode) {
    if (nRequestId != m_nRequestId) return 0;
    AppMessageBox(HttpPool_GetErrorText(nErrorCode));
    SetBusy(false);
    return 0;
}

int32_t CFeedBackDlg::OnRequestMessage(long, int32_t) {
    return 0;
}
int32_t CFeedBackDlg::OnRequestStatus(long, int32_t) {
    return 0;
}

}  // namespace kt
