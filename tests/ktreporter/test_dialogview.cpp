// The window of template 525 in the view this build has (Qt's, or the dialog manager's on
// Windows), seen and driven as a person would: its layout against the table, and the keys, clicks,
// close button and timer that it hands to the dialog, through a request from start to end (the
// dialog's other rules against a recording view: test_feedbackdlg.cpp).
// One set of tests for every view; CViewProbe is the toolkit's part: what a control shows, and a
// click or a key sent to it.
#ifdef _WIN32
#include <windows.h>
// After <windows.h>, which they need.
#include <commctrl.h>

#include "functional/gdiplus_win.h"
#include "ktreporter/dialogview_win.h"
#else
#include <QApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>

#include "ktreporter/qtdialogview.h"
#endif
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "ktreporter/dlg_fixture.h"
#include "ktreporter/formbody.h"

namespace {

using namespace kttest;

enum KEY { kReturn, kEscape };

std::string Box(int x, int y, int cx, int cy) {
    return std::to_string(x) + "," + std::to_string(y) + " " + std::to_string(cx) + "x" +
           std::to_string(cy);
}
// A control as the layout test compares it: its kind (the index in DlgItemKind, -1 for none),
// whether Tab stops at it, and the field a label names for screen readers.
std::string Describe(int nKind, int nId, std::u16string_view strText, const std::string& strBox,
                     bool bTab, int nNamed) {
    return std::to_string(nKind) + " #" + std::to_string(nId) + " " + kt::ToUtf8(strText) + " " +
           strBox + (bTab ? " tab" : "") + (nNamed ? " names #" + std::to_string(nNamed) : "");
}

#ifdef _WIN32
std::u16string WindowText(HWND hWnd) {
    wchar_t sz[256] = {};
    ::GetWindowTextW(hWnd, sz, 256);
    return reinterpret_cast<const char16_t*>(sz);
}
bool IsClass(HWND hWnd, const wchar_t* pszClass) {
    wchar_t sz[64] = {};
    ::GetClassNameW(hWnd, sz, 64);
    return ::lstrcmpiW(sz, pszClass) == 0;
}

// GDI+ and the common controls for the whole test process, as the program starts them.
const bool g_bStarted = [] {
    static ULONG_PTR s_token = 0;
    const Gdiplus::GdiplusStartupInput input;
    const INITCOMMONCONTROLSEX icc{sizeof(icc), 0xFF};
    return Gdiplus::GdiplusStartup(&s_token, &input, nullptr) == Gdiplus::Ok &&
           ::InitCommonControlsEx(&icc);
}();

class CViewProbe {
public:
    explicit CViewProbe(kt::CDialog& dlg)
        : m_hDlg(static_cast<kt::CWin32DialogView*>(dlg.GetView())->GetHwnd()) {
        EXPECT_TRUE(g_bStarted);
    }
    // The dialog manager maps the position and the size each on its own.
    std::string Map(int x, int y, int cx, int cy) const {
        RECT rc{x, y, cx, cy};
        ::MapDialogRect(m_hDlg, &rc);
        return Box(rc.left, rc.top, rc.right, rc.bottom);
    }
    // Caption, font, client size, and "resizable" unless it has the modal frame.
    std::string Window() const {
        LOGFONTW lf{};
        ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(m_hDlg, WM_GETFONT, 0, 0)), sizeof(lf),
                     &lf);
        RECT rc{};
        ::GetClientRect(m_hDlg, &rc);
        const DWORD nFrame = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
        const DWORD nStyle = static_cast<DWORD>(::GetWindowLongW(m_hDlg, GWL_STYLE));
        return kt::ToUtf8(WindowText(m_hDlg)) + "|" +
               kt::ToUtf8(reinterpret_cast<char16_t*>(lf.lfFaceName)) + "|" +
               Box(0, 0, rc.right, rc.bottom) +
               ((nStyle & (nFrame | WS_THICKFRAME)) == nFrame ? "" : "|resizable");
    }
    // Every child in creation order, its kind told by class and style.
    std::vector<std::string> Items() const {
        const struct {
            const wchar_t* pszClass;
            LONG nMask, nBits;
        } kinds[] = {{L"Button", BS_TYPEMASK, BS_GROUPBOX},
                     {L"Static", SS_TYPEMASK, SS_LEFT},
                     {L"Edit", ES_MULTILINE, 0},
                     {L"Edit", ES_MULTILINE | ES_WANTRETURN | WS_VSCROLL,
                      ES_MULTILINE | ES_WANTRETURN | WS_VSCROLL},
                     {PROGRESS_CLASSW, 0, 0},
                     {L"Button", BS_TYPEMASK, BS_DEFPUSHBUTTON},
                     {L"Button", BS_TYPEMASK, BS_PUSHBUTTON}};
        std::vector<std::string> vec;
        for (HWND h = ::GetWindow(m_hDlg, GW_CHILD); h; h = ::GetWindow(h, GW_HWNDNEXT)) {
            const LONG nStyle = ::GetWindowLongW(h, GWL_STYLE);
            int nKind = -1;
            for (int k = 0; k < 7 && nKind < 0; ++k) {
                if (IsClass(h, kinds[k].pszClass) && (nStyle & kinds[k].nMask) == kinds[k].nBits)
                    nKind = k;
            }
            RECT rc{};
            ::GetWindowRect(h, &rc);
            ::MapWindowPoints(nullptr, m_hDlg, reinterpret_cast<POINT*>(&rc), 2);
            HWND hNext = ::GetWindow(h, GW_HWNDNEXT);
            vec.push_back(Describe(
                nKind, ::GetDlgCtrlID(h), IsClass(h, L"Edit") ? u"" : WindowText(h),
                Box(rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top), nStyle & WS_TABSTOP,
                nKind == 1 && hNext && IsClass(hNext, L"Edit") ? ::GetDlgCtrlID(hNext) : 0));
        }
        return vec;
    }
    int Focus() const {
        HWND h = ::GetFocus();
        return h && ::GetParent(h) == m_hDlg ? ::GetDlgCtrlID(h) : 0;
    }
    bool Enabled(int nId) const { return ::IsWindowEnabled(::GetDlgItem(m_hDlg, nId)); }
    bool Visible(int nId) const { return ::IsWindowVisible(::GetDlgItem(m_hDlg, nId)); }
    int BarPos() const {
        return static_cast<int>(::SendDlgItemMessageW(m_hDlg, kt::IDC_PROGRESS, PBM_GETPOS, 0, 0));
    }
    void Click(int nId) const { ::SendDlgItemMessageW(m_hDlg, nId, BM_CLICK, 0, 0); }
    // Through the modal loop, as typed: the dialog manager turns it into a command.
    void Key(int nId, KEY key) const {
        ::PostMessageW(::GetDlgItem(m_hDlg, nId), WM_KEYDOWN,
                       key == kReturn ? VK_RETURN : VK_ESCAPE, 0);
    }
    void Close() const { ::PostMessageW(m_hDlg, WM_CLOSE, 0, 0); }

private:
    HWND m_hDlg;
};
#else
class CViewProbe {
public:
    explicit CViewProbe(kt::CDialog& dlg)
        : m_view(dynamic_cast<kt::CQtDialogView&>(*dlg.GetView())) {}
    std::string Map(int x, int y, int cx, int cy) const {
        const kt::DIALOG_BASE_UNITS u = m_view.GetBaseUnits();
        return Box(kt::MapDluX(x, u), kt::MapDluY(y, u), kt::MapDluX(cx, u), kt::MapDluY(cy, u));
    }
    std::string Window() const {
        return m_view.windowTitle().toStdString() + "|" + m_view.font().family().toStdString() +
               "|" + Box(0, 0, m_view.width(), m_view.height());
    }
    // Every child in creation order, its kind told by class and settings (a multi-line edit that
    // Tab leaves, the default button).
    std::vector<std::string> Items() const {
        const char* const kClasses[] = {"QGroupBox",      "QLabel",       "QLineEdit",
                                        "QPlainTextEdit", "QProgressBar", "QPushButton"};
        std::vector<std::string> vec;
        for (QWidget* p : m_view.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            int nKind = -1;
            for (int k = 0; k < 6; ++k) nKind = p->inherits(kClasses[k]) ? k : nKind;
            if (nKind == 3 && !static_cast<QPlainTextEdit*>(p)->tabChangesFocus()) nKind = -1;
            if (nKind == 5 && !static_cast<QPushButton*>(p)->isDefault()) nKind = 6;
            const QVariant text = nKind == 0                 ? p->property("title")
                                  : nKind == 1 || nKind >= 5 ? p->property("text")
                                                             : QVariant();
            const auto* pLabel = qobject_cast<QLabel*>(p);
            const QRect rc = p->geometry();
            vec.push_back(Describe(nKind, Id(p), text.toString().toStdU16String(),
                                   Box(rc.x(), rc.y(), rc.width(), rc.height()),
                                   p->focusPolicy() & Qt::TabFocus,
                                   pLabel && pLabel->buddy() ? Id(pLabel->buddy()) : 0));
        }
        return vec;
    }
    int Focus() const { return m_view.focusWidget() ? Id(m_view.focusWidget()) : 0; }
    bool Enabled(int nId) const { return m_view.GetDlgItem(nId)->isEnabled(); }
    bool Visible(int nId) const { return m_view.GetDlgItem(nId)->isVisible(); }
    int BarPos() const {
        return static_cast<QProgressBar*>(m_view.GetDlgItem(kt::IDC_PROGRESS))->value();
    }
    void Click(int nId) const { static_cast<QPushButton*>(m_view.GetDlgItem(nId))->click(); }
    void Key(int nId, KEY key) const {
        QKeyEvent event(QEvent::KeyPress, key == kReturn ? Qt::Key_Return : Qt::Key_Escape,
                        Qt::NoModifier);
        QApplication::sendEvent(m_view.GetDlgItem(nId), &event);
    }
    void Close() const { m_view.close(); }

private:
    static int Id(const QWidget* p) {
        return p->property("ctrlId").isValid() ? p->property("ctrlId").toInt() : kt::IDC_STATIC;
    }
    kt::CQtDialogView& m_view;
};
#endif

// The feedback dialog with a script: after initialisation each step runs on a tick of a timer of
// the dialog's own, through its view, until it answers true; then the next one.
class CScriptedDlg final : public kt::CFeedBackDlg {
public:
    static constexpr uintptr_t kScriptTimer = 77;
    std::vector<std::function<bool(const CViewProbe&)>> m_vecSteps;
    size_t m_nStep = 0;

    bool OnInitDialog() override {
        SetTimer(kScriptTimer, 10);
        return CFeedBackDlg::OnInitDialog();
    }
    void OnTimer(uintptr_t nIDEvent) override {
        if (nIDEvent == kScriptTimer && m_nStep < m_vecSteps.size() &&
            m_vecSteps[m_nStep](CViewProbe(*this)))
            ++m_nStep;
        CFeedBackDlg::OnTimer(nIDEvent);
    }
};

class DialogViewTest : public DlgFixture {
protected:
    // A new dialog for the command line run modally with the script; its result once every step
    // is done.
    int Run(std::vector<std::function<bool(const CViewProbe&)>> vecSteps,
            std::vector<std::u16string> vecArgs = {}) {
        CScriptedDlg& dlg = NewDialog<CScriptedDlg>(std::move(vecArgs));
        dlg.m_vecSteps = std::move(vecSteps);
        kt::InstallEnginePump();
        const int nResult = dlg.DoModal();
        kt::RemoveEnginePump();
        EXPECT_EQ(dlg.m_vecSteps.size(), dlg.m_nStep);
        return nResult;
    }
};

// Every control in creation order with its kind, id, text, place and size (dialog units mapped by
// the window's own font), whether Tab stops at it and the field a label names; the caption, font
// and size of the window (on Windows also its modal frame). Its close button ends it with the
// cancel result.
TEST_F(DialogViewTest, WindowIsTheLayoutTable) {
    EXPECT_EQ(
        kt::kIdCancel, Run({[](const CViewProbe& v) {
            std::vector<std::string> vecWant;
            for (size_t i = 0; i < kt::kFeedbackItems.size(); ++i) {
                const kt::DLGITEM& it = kt::kFeedbackItems[i];
                const kt::DLGITEM& next = kt::kFeedbackItems[std::min(i + 1, size_t{15})];
                const bool bNames = it.kind == kt::DlgItemKind::Label &&
                                    (next.kind == kt::DlgItemKind::Edit ||
                                     next.kind == kt::DlgItemKind::MultiLineEdit);
                vecWant.push_back(Describe(
                    static_cast<int>(it.kind), it.nId, it.strText, v.Map(it.x, it.y, it.cx, it.cy),
                    it.nId != kt::IDC_STATIC && it.kind != kt::DlgItemKind::Progress,
                    bNames ? next.nId : 0));
            }
            EXPECT_EQ(vecWant, v.Items());
            EXPECT_EQ("问题反馈|MS Shell Dlg|" +
                          v.Map(0, 0, kt::kFeedbackWidthDlu, kt::kFeedbackHeightDlu),
                      v.Window());
            v.Close();
            return true;
        }}));
}

// While a request runs the window is busy: the inputs and submit grey, the bar shown and stepped
// by the dialog's timer. Escape, the exit button or the close button then end it at once with the
// cancel result, destroying the dialog stops the request, and its late reply reaches nothing (no
// box, no clean-up); else the reply ends it with OK and its text, and the archive goes. The first
// window starts in the name field, where Return is the default button's; with the name stored, the
// next ones start in the title.
TEST_F(DialogViewTest, BusyWhileTheRequestRunsThenLeavingOrTheReplyEndsTheWindow) {
    StartReceiver();
    m_pServer->HoldReplies(true);
    m_pServer->SetReply(200, kt::ToAnsi(u"收到，编号 42\n"));
    const fs::path archive = m_root / "a.rar";
    std::ofstream(archive) << "data";
    const std::u16string strPath = kt::FromFsPath(archive.string());
    const std::vector<std::u16string> vecArgs = {u"-U", u"用户9", u"-T", u"1",
                                                 u"-D", u"1",     u"-P", strPath};
    const std::vector<std::u16string> vecFields = {u"张三", u"zhang.san@example.com", u"",
                                                   u"无法登录", u"第一行\r\n第二行"};
    // The body expected on the wire, the archive still there.
    const kt::FEEDBACK_FORM form = kt::MakeFeedbackForm(1, u"用户9", vecFields[0], vecFields[1],
                                                        u"", vecFields[3], vecFields[4], strPath);
    std::vector<char> vecBody;
    ASSERT_EQ(0, kt::BuildFeedbackBody(form, strPath, vecBody));
    int nLastPos = -1, nMoves = 0;
    for (size_t i = 0; i < 4; ++i) {
        std::vector<std::function<bool(const CViewProbe&)>> vecSteps = {
            [&](const CViewProbe& v) {
                if (v.Focus() == 0) return false;
                EXPECT_EQ(i == 0 ? kt::IDC_EDIT_NAME : kt::IDC_EDIT_TITLE, v.Focus());
                EXPECT_FALSE(v.Visible(kt::IDC_PROGRESS));
                Fill(vecFields);
                if (i == 0)
                    v.Key(kt::IDC_EDIT_EMAIL, kReturn);
                else
                    v.Click(kt::IDC_BTN_SUBMIT);
                return true;
            },
            [&](const CViewProbe& v) {
                if (m_pServer->RequestCount() == i) return false;
                for (int nId : kFieldIds) EXPECT_FALSE(v.Enabled(nId)) << nId;
                EXPECT_FALSE(v.Enabled(kt::IDC_BTN_SUBMIT));
                EXPECT_TRUE(v.Enabled(kt::IDC_BTN_EXIT));
                EXPECT_TRUE(v.Visible(kt::IDC_PROGRESS));
                if (i == 0) v.Key(kt::IDC_BTN_EXIT, kEscape);
                if (i == 1) v.Click(kt::IDC_BTN_EXIT);
                if (i == 2) v.Close();
                return true;
            }};
        if (i < 3) {
            EXPECT_EQ(kt::kIdCancel, Run(vecSteps, vecArgs));
            const long nId = m_pDlg->GetRequestId();
            EXPECT_EQ(1, HttpPool_IsRunning(nId));
            m_pDlg.reset();
            EXPECT_EQ(0, HttpPool_IsRunning(nId)) << i;
            continue;
        }
        // The dialog's timer steps the real bar. The bar advances by 10 per tick and starts over
        // at 100; other timers leave it alone. Then the reply comes.
        vecSteps.push_back([&](const CViewProbe& v) {
            // The first look counts as a move: two are one step of the real timer.
            if (v.BarPos() != nLastPos) ++nMoves;
            nLastPos = v.BarPos();
            return nMoves >= 2;
        });
        vecSteps.push_back([&](const CViewProbe& v) {
            m_pDlg->GetProgress().SetPos(0);
            for (int n : {10, 20, 30, 40, 50, 60, 70, 80, 90, 0, 10}) {
                m_pDlg->OnTimer(kt::CFeedBackDlg::kProgressTimer);
                EXPECT_EQ(n, v.BarPos());
            }
            m_pDlg->OnTimer(4711);
            EXPECT_EQ(10, v.BarPos());
            EXPECT_TRUE(fs::exists(archive));
            m_pServer->HoldReplies(false);
            return true;
        });
        EXPECT_EQ(kt::kIdOk, Run(vecSteps, vecArgs));
    }
    EXPECT_TRUE(PumpUntilMarker());
    EXPECT_EQ(std::vector<std::string>{"服务器返回信息|收到，编号 42"}, m_vecBoxes);
    EXPECT_FALSE(fs::exists(archive));
    // What went on the wire: the exact body in GBK.
    const kttest::RECORDED_REQUEST req = m_pServer->Request(3);
    EXPECT_EQ("POST /feedback", req.strMethod + " " + req.strPath);
    EXPECT_EQ(std::string(vecBody.begin(), vecBody.end()), req.strBody);
    EXPECT_NE(std::string::npos, req.strBody.find("\r\n\xD5\xC5\xC8\xFD\r\n"));
}

}  // namespace
