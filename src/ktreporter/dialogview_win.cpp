#include "ktreporter/dialogview_win.h"

#include <commctrl.h>

#include <memory>
#include <string>

namespace kt {
namespace {

const wchar_t* W(const std::u16string& str) {
    return reinterpret_cast<const wchar_t*>(str.c_str());
}

// What one modal run hands its dialog procedure: the dialog, and its view once the window exists.
struct MODAL_RUN {
    CDialog* pDlg;
    std::unique_ptr<CWin32DialogView> pView;
};

INT_PTR CALLBACK DialogProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (uMsg == WM_INITDIALOG) {
        auto* pRun = reinterpret_cast<MODAL_RUN*>(lParam);
        ::SetWindowLongPtrW(hDlg, DWLP_USER, lParam);
        pRun->pView = std::make_unique<CWin32DialogView>(hDlg);
        pRun->pDlg->AttachView(pRun->pView.get());
        // TRUE lets the dialog manager focus the first tab stop; FALSE keeps the dialog's choice.
        return pRun->pDlg->OnInitDialog() ? TRUE : FALSE;
    }
    auto* pRun = reinterpret_cast<MODAL_RUN*>(::GetWindowLongPtrW(hDlg, DWLP_USER));
    if (!pRun || !pRun->pView) return FALSE;
    switch (uMsg) {
        case WM_COMMAND:
            // Clicks, mnemonics, Return (the default button's id) and Escape or the caption's
            // close button (IDCANCEL); the edits' change notifications are nobody's business.
            if (HIWORD(wParam) == BN_CLICKED) pRun->pDlg->OnCommand(LOWORD(wParam));
            return TRUE;
        case WM_TIMER:
            pRun->pDlg->OnTimer(static_cast<uintptr_t>(wParam));
            return TRUE;
        case WM_DESTROY:
            pRun->pDlg->AttachView(nullptr);
            pRun->pView.reset();
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace

std::u16string CWin32DialogView::GetItemText(int nId) const {
    HWND hItem = ::GetDlgItem(m_hDlg, nId);
    if (!hItem) return {};
    std::u16string str(static_cast<size_t>(::GetWindowTextLengthW(hItem)) + 1, u'\0');
    const int nLen = ::GetWindowTextW(hItem, reinterpret_cast<wchar_t*>(str.data()),
                                      static_cast<int>(str.size()));
    str.resize(nLen > 0 ? static_cast<size_t>(nLen) : 0);
    return str;
}

void CWin32DialogView::SetItemText(int nId, std::u16string_view strText) {
    ::SetDlgItemTextW(m_hDlg, nId, W(std::u16string(strText)));
}

void CWin32DialogView::EnableItem(int nId, bool bEnable) {
    HWND hItem = ::GetDlgItem(m_hDlg, nId);
    if (!hItem) return;
    // A disabled control loses the keyboard focus to nobody, and the dialog manager then sees no
    // keys at all (not even Escape): hand the focus on to the next control that can take it, as
    // a person tabbing would.
    if (!bEnable && ::GetFocus() == hItem) ::SendMessageW(m_hDlg, WM_NEXTDLGCTL, 0, FALSE);
    ::EnableWindow(hItem, bEnable ? TRUE : FALSE);
}

void CWin32DialogView::ShowItem(int nId, bool bShow) {
    if (HWND hItem = ::GetDlgItem(m_hDlg, nId)) ::ShowWindow(hItem, bShow ? SW_SHOW : SW_HIDE);
}

void CWin32DialogView::FocusItem(int nId) {
    if (HWND hItem = ::GetDlgItem(m_hDlg, nId)) {
        ::SendMessageW(m_hDlg, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(hItem), TRUE);
    }
}

void CWin32DialogView::SetProgressRange(int nId, int nLower, int nUpper) {
    ::SendDlgItemMessageW(m_hDlg, nId, PBM_SETRANGE32, static_cast<WPARAM>(nLower), nUpper);
}

void CWin32DialogView::SetProgressPos(int nId, int nPos) {
    ::SendDlgItemMessageW(m_hDlg, nId, PBM_SETPOS, static_cast<WPARAM>(nPos), 0);
}

bool CWin32DialogView::SetTimer(uintptr_t nIDEvent, unsigned nElapseMs) {
    return ::SetTimer(m_hDlg, nIDEvent, nElapseMs, nullptr) != 0;
}

bool CWin32DialogView::KillTimer(uintptr_t nIDEvent) {
    return ::KillTimer(m_hDlg, nIDEvent) != FALSE;
}

void CWin32DialogView::EndDialog(int nResult) {
    ::EndDialog(m_hDlg, nResult);
}

int RunModalDialog(CDialog& dlg) {
    MODAL_RUN run{&dlg, nullptr};
    const INT_PTR nResult =
        ::DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(dlg.GetTemplateId()),
                          nullptr, DialogProc, reinterpret_cast<LPARAM>(&run));
    // A window that never came up (no template, no memory) leaves nothing attached.
    dlg.AttachView(nullptr);
    return static_cast<int>(nResult);
}

}  // namespace kt
