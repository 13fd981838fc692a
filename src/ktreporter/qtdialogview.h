// The Qt window of dialog template 525: the controls laid out in dialog units from the template's
// table, shown for a CDialog that decides everything (dialog.h). It turns clicks, Escape, the
// close button and timer ticks into the dialog's OnCommand and OnTimer, and does nothing else.
#pragma once

#include <QDialog>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "ktreporter/dialog.h"
#include "ktreporter/dlgtemplate.h"

class QTimerEvent;

namespace kt {

class CQtDialogView : public QDialog, public IDialogView {
public:
    // The window for dlg, which it becomes the view of until destroyed.
    explicit CQtDialogView(CDialog& dlg, QWidget* pParent = nullptr);
    ~CQtDialogView() override;
    CQtDialogView(const CQtDialogView&) = delete;
    CQtDialogView& operator=(const CQtDialogView&) = delete;

    // Builds the controls and runs the dialog's OnInitDialog, without showing the window. Called
    // once; DoModal calls it when it has not run yet.
    void Create();
    // Runs the window modally; the result given to EndDialog.
    int DoModal();
    CDialog& GetDialog() const { return m_dlg; }
    QWidget* GetDlgItem(int nId) const;
    // The dialog's font metrics in dialog base units (known once Create has run).
    DIALOG_BASE_UNITS GetBaseUnits() const { return m_baseUnits; }
    bool IsTimerSet(uintptr_t nIDEvent) const { return m_mapTimers.count(nIDEvent) != 0; }

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

    // Escape and the caption's close button.
    void reject() override;

protected:
    void timerEvent(QTimerEvent* pEvent) override;

private:
    void BuildFromTemplate();

    CDialog& m_dlg;
    bool m_bCreated = false;
    DIALOG_BASE_UNITS m_baseUnits{};
    std::map<int, QWidget*> m_mapItems;
    // The dialog's timer ids (1000) to Qt's.
    std::map<uintptr_t, int> m_mapTimers;
};

}  // namespace kt
