#include "ktreporter/feedbackdlg.h"

#include <QFont>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimerEvent>
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

QString ToQString(std::u16string_view str) {
    return QString::fromUtf16(str.data(), static_cast<qsizetype>(str.size()));
}
std::u16string FromQString(const QString& str) {
    return str.toStdU16String();
}

// AfxMessageBox: the application's name as caption and, since no icon is asked for, the
// exclamation icon the framework adds to plain OK boxes.
void AppMessageBox(std::u16string_view strText) {
    CKTReporterApp* pApp = CKTReporterApp::Get();
    MessageBox(strText, pApp ? pApp->GetAppName() : std::u16string(), kMbOk | kMbIconWarning);
}

// Windows derives the horizontal base unit from the average width of the 52 Latin letters and
// the vertical one from the font's height.
DIALOG_BASE_UNITS BaseUnitsOf(const QFont& font) {
    const QFontMetrics fm(font);
    const int nWidth = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return DIALOG_BASE_UNITS{(nWidth / 26 + 1) / 2, fm.height()};
}

}  // namespace

void CProgressCtrl::SetRange(int nLower, int nUpper) {
    if (m_pBar) m_pBar->setRange(nLower, nUpper);
}
int CProgressCtrl::GetPos() const {
    return m_pBar ? m_pBar->value() : 0;
}
int CProgressCtrl::SetPos(int nPos) {
    const int nOld = GetPos();
    if (m_pBar) m_pBar->setValue(nPos);
    return nOld;
}
int CProgressCtrl::StepIt() {
    // The platform's bar wraps past its upper end instead of sticking there.
    const int nOld = GetPos();
    if (!m_pBar) return nOld;
    int nNew = nOld + m_nStep;
    if (nNew > m_pBar->maximum()) nNew = m_pBar->minimum() + (nNew - m_pBar->maximum());
    m_pBar->setValue(nNew);
    return nOld;
}

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

CFeedBackDlg::CFeedBackDlg(QWidget* pParent) : QDialog(pParent) {}

CFeedBackDlg::~CFeedBackDlg() {
    for (const auto& [nId, nQtTimer] : m_mapTimers) killTimer(nQtTimer);
    m_mapTimers.clear();
}

void CFeedBackDlg::BuildFromTemplate() {
    setWindowTitle(ToQString(kFeedbackCaption));
    QFont font(QString::fromLatin1(kFeedbackFontFace.data(),
                                   static_cast<qsizetype>(kFeedbackFontFace.size())));
    font.setPointSize(kFeedbackFontPoints);
    setFont(font);
    m_baseUnits = BaseUnitsOf(this->font());
    const DIALOG_BASE_UNITS& u = m_baseUnits;
    setFixedSize(MapDluX(kFeedbackWidthDlu, u), MapDluY(kFeedbackHeightDlu, u));
    // A modal frame with caption and system menu: no resizing, no minimise or maximise box.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);

    QLabel* pPendingLabel = nullptr;
    std::vector<QWidget*> vecTabOrder;
    for (const DLGITEM& item : kFeedbackItems) {
        QWidget* pWidget = nullptr;
        const QString strText = ToQString(item.strText);
        switch (item.kind) {
            case DlgItemKind::GroupBox:
                pWidget = new QGroupBox(strText, this);
                break;
            case DlgItemKind::Label:
                pWidget = pPendingLabel = new QLabel(strText, this);
                break;
            case DlgItemKind::Edit:
                pWidget = new QLineEdit(this);
                break;
            case DlgItemKind::MultiLineEdit: {
                auto* pEdit = new QPlainTextEdit(this);
                pEdit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
                // Return is the field's own (a new line); Tab still moves on, as in the template.
                pEdit->setTabChangesFocus(true);
                pWidget = pEdit;
                break;
            }
            case DlgItemKind::Progress: {
                // The platform's bar starts at 0 of 0..100 (Qt's would say "not started", -1).
                auto* pBar = new QProgressBar(this);
                pBar->setTextVisible(false);
                pBar->setRange(0, 100);
                pBar->setValue(0);
                pWidget = pBar;
                break;
            }
            case DlgItemKind::DefPushButton:
            case DlgItemKind::PushButton: {
                auto* pButton = new QPushButton(strText, this);
                pButton->setDefault(item.kind == DlgItemKind::DefPushButton);
                pButton->setAutoDefault(true);
                pWidget = pButton;
                break;
            }
        }
        pWidget->setGeometry(MapDluX(item.x, u), MapDluY(item.y, u), MapDluX(item.cx, u),
                             MapDluY(item.cy, u));
        if (item.nId != IDC_STATIC) {
            pWidget->setObjectName(QString::number(item.nId));
            pWidget->setProperty("ctrlId", item.nId);
            m_mapItems[item.nId] = pWidget;
            if (item.kind != DlgItemKind::Progress) vecTabOrder.push_back(pWidget);
        }
        // Each field is named by the label written just before it (the note "fields marked *"
        // between the name field and the e-mail label names nothing), so screen readers announce
        // the field by its label.
        if ((item.kind == DlgItemKind::Edit || item.kind == DlgItemKind::MultiLineEdit) &&
            pPendingLabel) {
            pPendingLabel->setBuddy(pWidget);
            pWidget->setAccessibleName(pPendingLabel->text());
            pPendingLabel = nullptr;
        }
    }
    for (size_t i = 1; i < vecTabOrder.size(); ++i) {
        QWidget::setTabOrder(vecTabOrder[i - 1], vecTabOrder[i]);
    }
    m_progress.Attach(static_cast<QProgressBar*>(GetDlgItem(IDC_PROGRESS)));

    connect(static_cast<QPushButton*>(GetDlgItem(IDC_BTN_SUBMIT)), &QPushButton::clicked, this,
            [this] { OnBnClickedSubmit(); });
    connect(static_cast<QPushButton*>(GetDlgItem(IDC_BTN_EXIT)), &QPushButton::clicked, this,
            [this] { OnBnClickedExit(); });
}

bool CFeedBackDlg::Create() {
    if (m_bCreated) return true;
    m_bCreated = true;
    BuildFromTemplate();
    OnInitDialog();
    return true;
}

int CFeedBackDlg::DoModal() {
    Create();
    return exec();
}

void CFeedBackDlg::EndDialog(int nResult) {
    done(nResult);
}

// Escape and the caption's close button arrive here: the platform's cancel result, not Qt's 0.
void CFeedBackDlg::reject() {
    done(kIdCancel);
}

QWidget* CFeedBackDlg::GetDlgItem(int nId) const {
    const auto it = m_mapItems.find(nId);
    return it == m_mapItems.end() ? nullptr : it->second;
}

std::u16string CFeedBackDlg::GetDlgItemText(int nId) const {
    QWidget* pWidget = GetDlgItem(nId);
    if (auto* pEdit = qobject_cast<QLineEdit*>(pWidget)) return FromQString(pEdit->text());
    if (auto* pEdit = qobject_cast<QPlainTextEdit*>(pWidget)) {
        // A multi-line edit hands its lines out with CR LF, as typed on the platform.
        QString str = pEdit->toPlainText();
        str.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
        return FromQString(str);
    }
    if (auto* pButton = qobject_cast<QPushButton*>(pWidget)) return FromQString(pButton->text());
    return {};
}

void CFeedBackDlg::SetDlgItemText(int nId, std::u16string_view strText) {
    QWidget* pWidget = GetDlgItem(nId);
    QString str = ToQString(strText);
    if (auto* pEdit = qobject_cast<QLineEdit*>(pWidget)) {
        pEdit->setText(str);
    } else if (auto* pEdit = qobject_cast<QPlainTextEdit*>(pWidget)) {
        str.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        pEdit->setPlainText(str);
    } else if (auto* pButton = qobject_cast<QPushButton*>(pWidget)) {
        pButton->setText(str);
    }
}

void CFeedBackDlg::DoDataExchange() {
    m_progress.Attach(static_cast<QProgressBar*>(GetDlgItem(IDC_PROGRESS)));
}

bool CFeedBackDlg::OnInitDialog() {
    CKTReporterApp* pApp = CKTReporterApp::Get();
    if (pApp && pApp->GetAttachType() == 0) {
        const std::time_t now = std::time(nullptr);
        std::tm tmNow{};
        localtime_r(&now, &tmNow);
        const int nCounter = NextScreenShotNumber();
        const std::u16string strTmpDir = pApp->GetClientPath(kClientPathTmp);
        m_strAttachFile = FormatScreenShotPath(strTmpDir, tmNow.tm_year + 1900, tmNow.tm_mon + 1,
                                               tmNow.tm_mday, nCounter);
        CaptureScreenToJpeg(m_strAttachFile, pApp->GetCaptureWnd());
    } else if (pApp) {
        m_strAttachFile = pApp->GetAttachPath();
    }

    DoDataExchange();
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
    // The focus goes where LoadUserInfo put it, or to the first field.
    if (!focusWidget()) GetDlgItem(IDC_EDIT_NAME)->setFocus(Qt::OtherFocusReason);
    return true;
}

void CFeedBackDlg::SetBusy(bool bBusy) {
    for (int nId : kBusyControls) {
        if (QWidget* pWidget = GetDlgItem(nId)) pWidget->setEnabled(!bBusy);
    }
    if (bBusy) {
        SetTimer(kProgressTimer, kProgressPeriodMs);
        if (m_progress.GetBar()) m_progress.GetBar()->show();
    } else {
        KillTimer(kProgressTimer);
        if (m_progress.GetBar()) m_progress.GetBar()->hide();
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
        GetDlgItem(IDC_EDIT_TITLE)->setFocus(Qt::OtherFocusReason);
    }
}

std::u16string CFeedBackDlg::ReadField(int nId) const {
    return GetDlgItemText(nId);
}

void CFeedBackDlg::OnBnClickedSubmit() {
    SaveUserInfo();
    SetBusy(true);

    CKTReporterApp* pApp = CKTReporterApp::Get();
    const FEEDBACK_FORM form = MakeFeedbackForm(
        pApp ? pApp->GetAttachType() : -1, pApp ? pApp->GetUserId() : std::u16string(),
        ReadField(IDC_EDIT_NAME), ReadField(IDC_EDIT_EMAIL), ReadField(IDC_EDIT_PHONE),
        ReadField(IDC_EDIT_TITLE), ReadField(IDC_EDIT_DESC), m_strAttachFile);
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

void CFeedBackDlg::OnBnClickedExit() {
    EndDialog(kIdCancel);
}

void CFeedBackDlg::OnTimer(uintptr_t nIDEvent) {
    if (nIDEvent == kProgressTimer) {
        m_progress.StepIt();
        if (m_progress.GetPos() >= 100) m_progress.SetPos(0);
    }
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
        if (CKTReporterApp* pApp = CKTReporterApp::Get()) pApp->CleanUpAttachment();
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

bool CFeedBackDlg::SetTimer(uintptr_t nIDEvent, unsigned nElapseMs) {
    // Setting a running timer again restarts it with the new period, as the platform does.
    KillTimer(nIDEvent);
    const int nQtTimer = startTimer(static_cast<int>(nElapseMs));
    if (nQtTimer == 0) return false;
    m_mapTimers[nIDEvent] = nQtTimer;
    return true;
}

bool CFeedBackDlg::KillTimer(uintptr_t nIDEvent) {
    const auto it = m_mapTimers.find(nIDEvent);
    if (it == m_mapTimers.end()) return false;
    killTimer(it->second);
    m_mapTimers.erase(it);
    return true;
}

void CFeedBackDlg::timerEvent(QTimerEvent* pEvent) {
    for (const auto& [nId, nQtTimer] : m_mapTimers) {
        if (nQtTimer == pEvent->timerId()) {
            OnTimer(nId);
            break;
        }
    }
    QDialog::timerEvent(pEvent);
}

}  // namespace kt
