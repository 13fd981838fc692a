// The dialog manager's window as the view of a CDialog: a modal dialog from the executable's
// resource template (DialogBoxParam), whose messages become the CDialog's calls and whose controls
// are reached by id. It decides nothing itself.
#pragma once

#include <windows.h>

#include "ktreporter/dialog.h"

namespace kt {

class CWin32DialogView final : public IDialogView {
public:
    explicit CWin32DialogView(HWND hDlg) : m_hDlg(hDlg) {}
    HWND GetHwnd() const { return m_hDlg; }

    std::u16string GetItemText(int nId) const override;
    void SetItemText(int nId, std::u16string_view strText) override;
    void EnableItem(int nId, bool bEnable) override;
    void ShowItem(int nId, bool bShow) override;
    void FocusItem(int nId) override;
    void SetProgressRange(int nId, int nLower, int nUpper) override;
    void SetProgressPos(int nId, int nPos) override;
    bool SetTimer(uintptr_t nIDEvent, unsigned nElapseMs) override;
    bool KillTimer(uintptr_t nIDEvent) override;
    void EndDialog(int nResult) override;

private:
    HWND m_hDlg;
};

}  // namespace kt
