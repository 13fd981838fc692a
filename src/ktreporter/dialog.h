// A dialog whose behaviour is written once and shown by whichever window system the program runs
// on: CDialog holds what the dialog does, an IDialogView is the window that shows it (the Qt
// window on Linux, the dialog manager's window from the resource template on Windows). Nothing here
// knows a toolkit. Used on the GUI thread only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kt {

// The window that shows a CDialog. It maps control ids to its controls and reports to the dialog:
// CDialog::OnInitDialog once its controls exist (before it is shown), CDialog::OnCommand(id) for a
// button click, CDialog::OnCommand(kIdCancel) for Escape and the caption's close button,
// CDialog::OnTimer(id) for each tick of a timer set through it. It decides nothing itself. Message
// boxes are not the view's: the dialog shows them through the platform's handler (msgbox.h).
class IDialogView {
public:
    // The text of an edit control or button; a multi-line edit's lines end in CR LF.
    virtual std::u16string GetItemText(int nId) const = 0;
    virtual void SetItemText(int nId, std::u16string_view strText) = 0;
    virtual void EnableItem(int nId, bool bEnable) = 0;
    virtual void ShowItem(int nId, bool bShow) = 0;
    virtual void FocusItem(int nId) = 0;
    // A progress bar's range and position (the dialog keeps the position and does the stepping).
    virtual void SetProgressRange(int nId, int nLower, int nUpper) = 0;
    virtual void SetProgressPos(int nId, int nPos) = 0;
    // A periodic timer of the window; setting a running one again restarts it with the period.
    virtual bool SetTimer(uintptr_t nIDEvent, unsigned nElapseMs) = 0;
    virtual bool KillTimer(uintptr_t nIDEvent) = 0;
    // Leaves the modal loop with the result (kIdOk, kIdCancel); the window goes with the loop.
    virtual void EndDialog(int nResult) = 0;

protected:
    ~IDialogView() = default;
};

class CDialog {
public:
    explicit CDialog(int nIDTemplate) : m_nIDTemplate(nIDTemplate) {}
    virtual ~CDialog() = default;
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    int GetTemplateId() const { return m_nIDTemplate; }
    // Creates the toolkit's window for the template, runs it modally and destroys it; the result
    // given to EndDialog.
    int DoModal();

    // Set by the view while its window exists (null when it goes). Without a view the services
    // below do nothing and read empty texts.
    void AttachView(IDialogView* pView) { m_pView = pView; }
    IDialogView* GetView() const { return m_pView; }

    // Binds the dialog's controls. True lets the view put the focus on the first control; false
    // says the dialog placed it.
    virtual bool OnInitDialog();
    virtual void OnCommand(int nId);
    virtual void OnTimer(uintptr_t nIDEvent);
    // Escape and the caption's close button: the cancel result.
    virtual void OnCancel();

    std::u16string GetDlgItemText(int nId) const;
    void SetDlgItemText(int nId, std::u16string_view strText);
    void EnableDlgItem(int nId, bool bEnable);
    void ShowDlgItem(int nId, bool bShow);
    void GotoDlgCtrl(int nId);
    bool SetTimer(uintptr_t nIDEvent, unsigned nElapseMs);
    bool KillTimer(uintptr_t nIDEvent);
    void EndDialog(int nResult);

protected:
    virtual void DoDataExchange() {}

private:
    int m_nIDTemplate;
    IDialogView* m_pView = nullptr;
};

// Provided by the toolkit's part of the program: the window of the dialog's template, shown
// modally (CDialog::DoModal).
int RunModalDialog(CDialog& dlg);

// The progress-bar control with the platform's semantics: a range, a position and a step that
// StepIt adds (10 unless changed), wrapping past the upper end.
class CProgressCtrl {
public:
    void Attach(CDialog* pDlg, int nId) {
        m_pDlg = pDlg;
        m_nId = nId;
    }
    void SetRange(int nLower, int nUpper);
    int GetPos() const { return m_nPos; }
    int SetPos(int nPos);
    int StepIt();
    int GetStep() const { return m_nStep; }

private:
    CDialog* m_pDlg = nullptr;
    int m_nId = 0;
    int m_nLower = 0;
    int m_nUpper = 100;
    int m_nPos = 0;
    int m_nStep = 10;
};

}  // namespace kt
