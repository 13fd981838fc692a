// The Windows side of the reporter: the dialog manager's window from template 525 against the
// layout table, driven by the window messages a person's keys and clicks become.
#include <windows.h>
// After <windows.h>, which they need.
#include <commctrl.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "functional/gdiplus_win.h"
#include "ktreporter/dialogview_win.h"
#include "ktreporter/dlg_fixture.h"

namespace {

using namespace kttest;

std::u16string WindowText(HWND hWnd) {
    wchar_t sz[256] = {};
    ::GetWindowTextW(hWnd, sz, 256);
    return reinterpret_cast<const char16_t*>(sz);
}

// GDI+ and the common controls for the whole test process, as the program starts them.
const bool g_bStarted = [] {
    static ULONG_PTR s_token = 0;
    const Gdiplus::GdiplusStartupInput input;
    const INITCOMMONCONTROLSEX icc{sizeof(icc), 0xFF};
    return Gdiplus::GdiplusStartup(&s_token, &input, nullptr) == Gdiplus::Ok &&
           ::InitCommonControlsEx(&icc);
}();

// The feedback dialog with a script run inside its modal loop: after initialisation, each step
// runs on a thread timer until it answers true, then the next one.
class CScriptedDlg final : public kt::CFeedBackDlg {
public:
    std::vector<std::function<bool(HWND)>> m_vecSteps;

    bool OnInitDialog() override {
        const bool bFocusFirst = CFeedBackDlg::OnInitDialog();
        m_hDlg = static_cast<kt::CWin32DialogView*>(GetView())->GetHwnd();
        s_pRunning = this;
        m_nTimer = ::SetTimer(nullptr, 0, 10, &CScriptedDlg::Tick);
        return bFocusFirst;
    }
    ~CScriptedDlg() override {
        if (m_nTimer) ::KillTimer(nullptr, m_nTimer);
        s_pRunning = nullptr;
    }
    size_t StepsDone() const { return m_nStep; }

private:
    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
        CScriptedDlg* p = s_pRunning;
        if (p && p->m_nStep < p->m_vecSteps.size() && p->m_vecSteps[p->m_nStep](p->m_hDlg)) {
            ++p->m_nStep;
        }
    }
    static inline CScriptedDlg* s_pRunning = nullptr;
    HWND m_hDlg = nullptr;
    UINT_PTR m_nTimer = 0;
    size_t m_nStep = 0;
};

class Win32DlgTest : public DlgFixture {
protected:
    CScriptedDlg& Scripted(std::vector<std::u16string> vecArgs = {}) {
        NewDialog(std::move(vecArgs));
        m_pDlg = std::make_unique<CScriptedDlg>();
        return static_cast<CScriptedDlg&>(*m_pDlg);
    }
};

// Every control of the template in creation order: id, class, style, text and rectangle (dialog
// units mapped by the dialog's own font), the tab stops and the default button.
TEST_F(Win32DlgTest, TemplateIsTheLayoutTable) {
    CScriptedDlg& dlg = Scripted();
    std::vector<int> vecTabOrder;
    const auto check = [&](HWND hDlg) {
        ASSERT_TRUE(g_bStarted);
        EXPECT_EQ(u"问题反馈", WindowText(hDlg));
        const LONG nStyle = ::GetWindowLongW(hDlg, GWL_STYLE);
        EXPECT_EQ(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME,
                  nStyle & (WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME));
        LOGFONTW lf{};
        ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(hDlg, WM_GETFONT, 0, 0)), sizeof(lf),
                     &lf);
        EXPECT_EQ(u"MS Shell Dlg", std::u16string(reinterpret_cast<char16_t*>(lf.lfFaceName)));
        RECT rcDlg{0, 0, kt::kFeedbackWidthDlu, kt::kFeedbackHeightDlu}, rcClient{};
        ::MapDialogRect(hDlg, &rcDlg);
        ::GetClientRect(hDlg, &rcClient);
        EXPECT_EQ(rcDlg.right, rcClient.right);
        EXPECT_EQ(rcDlg.bottom, rcClient.bottom);
        EXPECT_EQ(kt::IDC_BTN_SUBMIT, LOWORD(::SendMessageW(hDlg, DM_GETDEFID, 0, 0)));

        HWND hItem = ::GetWindow(hDlg, GW_CHILD);
        for (const kt::DLGITEM& item : kt::kFeedbackItems) {
            ASSERT_NE(nullptr, hItem);
            const std::string strWhere = kt::ToUtf8(item.strText) + " #" + std::to_string(item.nId);
            EXPECT_EQ(item.nId, ::GetDlgCtrlID(hItem)) << strWhere;
            wchar_t szClass[64] = {};
            ::GetClassNameW(hItem, szClass, 64);
            const LONG nItemStyle = ::GetWindowLongW(hItem, GWL_STYLE);
            // Class, style mask and bits of each kind, in the order of DlgItemKind.
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
            const auto& want = kinds[static_cast<int>(item.kind)];
            const bool bKind =
                ::lstrcmpiW(szClass, want.pszClass) == 0 && (nItemStyle & want.nMask) == want.nBits;
            EXPECT_TRUE(bKind) << strWhere;
            if (nItemStyle & WS_TABSTOP) vecTabOrder.push_back(item.nId);
            if (item.kind != kt::DlgItemKind::Edit && item.kind != kt::DlgItemKind::MultiLineEdit) {
                EXPECT_EQ(item.strText, WindowText(hItem)) << strWhere;
            }
            // The dialog manager maps the position and the size each on its own.
            RECT rcWant{item.x, item.y, item.cx, item.cy}, rcHave{};
            ::MapDialogRect(hDlg, &rcWant);
            rcWant.right += rcWant.left;
            rcWant.bottom += rcWant.top;
            ::GetWindowRect(hItem, &rcHave);
            ::MapWindowPoints(nullptr, hDlg, reinterpret_cast<POINT*>(&rcHave), 2);
            EXPECT_TRUE(::EqualRect(&rcWant, &rcHave))
                << strWhere << ": " << rcHave.left << "," << rcHave.top << " " << rcHave.right
                << "," << rcHave.bottom;
            hItem = ::GetWindow(hItem, GW_HWNDNEXT);
        }
        EXPECT_EQ(nullptr, hItem);
    };
    dlg.m_vecSteps = {[&](HWND hDlg) {
        check(hDlg);
        return ::PostMessageW(hDlg, WM_CLOSE, 0, 0) != FALSE;
    }};
    EXPECT_EQ(kt::kIdCancel, dlg.DoModal());
    EXPECT_EQ((std::vector<int>{kt::IDC_EDIT_NAME, kt::IDC_EDIT_EMAIL, kt::IDC_EDIT_PHONE,
                                kt::IDC_EDIT_TITLE, kt::IDC_EDIT_DESC, kt::IDC_BTN_SUBMIT,
                                kt::IDC_BTN_EXIT}),
              vecTabOrder);
}

// Clicks and timers reach the dialog's behaviour: a running request disables the inputs and
// shows a bar that the dialog's timer moves, the reply ends the dialog with OK; a stored name puts
// the focus on the title, else it starts in the name field. (Keys and Escape: test_e2e_wine.)
TEST_F(Win32DlgTest, MessagesOfTheWindowDriveTheDialog) {
    StartReceiver();
    m_pServer->HoldReplies(true);
    m_pServer->SetReply(200, "ok\n");
    CScriptedDlg& dlg = Scripted();
    const auto item = [](HWND hDlg, int nId) { return ::GetDlgItem(hDlg, nId); };
    int nLastPos = -1, nMoves = 0;
    dlg.m_vecSteps = {
        [&](HWND hDlg) {
            EXPECT_EQ(item(hDlg, kt::IDC_EDIT_NAME), ::GetFocus());
            EXPECT_FALSE(::IsWindowVisible(item(hDlg, kt::IDC_PROGRESS)));
            Fill();
            ::SendMessageW(item(hDlg, kt::IDC_BTN_SUBMIT), BM_CLICK, 0, 0);
            return true;
        },
        [&](HWND) { return m_pServer->RequestCount() == 1; },
        [&](HWND hDlg) {
            for (int nId : kFieldIds) EXPECT_FALSE(::IsWindowEnabled(item(hDlg, nId))) << nId;
            EXPECT_FALSE(::IsWindowEnabled(item(hDlg, kt::IDC_BTN_SUBMIT)));
            EXPECT_TRUE(::IsWindowEnabled(item(hDlg, kt::IDC_BTN_EXIT)));
            EXPECT_TRUE(::IsWindowVisible(item(hDlg, kt::IDC_PROGRESS)));
            return true;
        },
        // The dialog's timer steps the real bar.
        [&](HWND hDlg) {
            const int nPos =
                static_cast<int>(::SendMessageW(item(hDlg, kt::IDC_PROGRESS), PBM_GETPOS, 0, 0));
            if (nPos != nLastPos) {
                EXPECT_EQ(dlg.GetProgress().GetPos(), nPos);
                nLastPos = nPos;
                ++nMoves;
            }
            return nMoves >= 3;
        },
        [&](HWND) {
            m_pServer->HoldReplies(false);
            return true;
        },
    };
    EXPECT_EQ(kt::kIdOk, dlg.DoModal());
    EXPECT_EQ(5u, dlg.StepsDone());
    EXPECT_EQ(std::vector<std::string>{"服务器返回信息|ok"}, m_vecBoxes);

    // The profile now holds the name: the next dialog opens with the focus on the title.
    CScriptedDlg& next = Scripted();
    next.m_vecSteps = {[&](HWND hDlg) {
        EXPECT_EQ(item(hDlg, kt::IDC_EDIT_TITLE), ::GetFocus());
        EXPECT_EQ(u"n", WindowText(item(hDlg, kt::IDC_EDIT_NAME)));
        return ::PostMessageW(hDlg, WM_CLOSE, 0, 0) != FALSE;
    }};
    EXPECT_EQ(kt::kIdCancel, next.DoModal());
}

}  // namespace
