// The feedback dialog: the program's only window. Runs on the GUI thread only; every engine
// notification reaches it on that thread through the pumped message window, so nothing here
// takes a lock.
#pragma once

#include <QDialog>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "httpdownload/httppublic.h"
#include "ktreporter/dlgtemplate.h"

class QProgressBar;
class QTimerEvent;

namespace kt {

// The progress-bar control with the platform's semantics: a range, a position and a step that
// StepIt adds (10 unless changed).
class CProgressCtrl {
public:
    void Attach(QProgressBar* pBar) { m_pBar = pBar; }
    QProgressBar* GetBar() const { return m_pBar; }
    void SetRange(int nLower, int nUpper);
    int GetPos() const;
    int SetPos(int nPos);
    int StepIt();
    int GetStep() const { return m_nStep; }

private:
    QProgressBar* m_pBar = nullptr;
    int m_nStep = 10;
};

class CFeedBackDlg : public QDialog, public ::IHttpReporter {
public:
    static constexpr int IDD = IDD_FEEDBACK;
    static constexpr uintptr_t kProgressTimer = 1000;
    static constexpr unsigned kProgressPeriodMs = 400;
    static constexpr unsigned kRequestTimeoutMs = 120000;

    explicit CFeedBackDlg(QWidget* pParent = nullptr);
    ~CFeedBackDlg() override;
    CFeedBackDlg(const CFeedBackDlg&) = delete;
    CFeedBackDlg& operator=(const CFeedBackDlg&) = delete;

    // Builds the controls of template 525 and runs OnInitDialog, without showing the window.
    // Called once; DoModal calls it when it has not run yet.
    bool Create();
    // Runs the dialog modally; the result is kIdOk or kIdCancel (platform/msgbox.h).
    int DoModal();
    void EndDialog(int nResult);
    // Escape and the caption's close button: the cancel result.
    void reject() override;

    QWidget* GetDlgItem(int nId) const;
    std::u16string GetDlgItemText(int nId) const;
    void SetDlgItemText(int nId, std::u16string_view strText);

    virtual bool OnInitDialog();
    void OnBnClickedSubmit();
    void OnBnClickedExit();
    void OnTimer(uintptr_t nIDEvent);
    void SetBusy(bool bBusy);
    void SaveUserInfo();
    void LoadUserInfo();

    int32_t OnRequestFinished(long nRequestId) override;
    int32_t OnRequestFailed(long nRequestId, int32_t nErrorCode) override;
    int32_t OnRequestMessage(long nRequestId, int32_t nValue) override;
    int32_t OnRequestStatus(long nRequestId, int32_t nValue) override;

    long GetRequestId() const { return m_nRequestId; }
    const std::u16string& GetAttachFile() const { return m_strAttachFile; }
    CProgressCtrl& GetProgress() { return m_progress; }
    bool IsTimerSet(uintptr_t nIDEvent) const { return m_mapTimers.count(nIDEvent) != 0; }
    // The dialog's font metrics in dialog base units (known once Create has run).
    DIALOG_BASE_UNITS GetBaseUnits() const { return m_baseUnits; }

protected:
    void DoDataExchange();
    bool SetTimer(uintptr_t nIDEvent, unsigned nElapseMs);
    bool KillTimer(uintptr_t nIDEvent);
    void timerEvent(QTimerEvent* pEvent) override;

private:
    void BuildFromTemplate();
    // The five fields as the form reads them (UTF-16; the form cuts them in the ANSI code page).
    std::u16string ReadField(int nId) const;

    long m_nRequestId = 0;
    std::u16string m_strAttachFile;
    CProgressCtrl m_progress;

    bool m_bCreated = false;
    DIALOG_BASE_UNITS m_baseUnits{};
    std::map<int, QWidget*> m_mapItems;
    // Platform timer ids (1000) to Qt's.
    std::map<uintptr_t, int> m_mapTimers;
};

// The process-wide screenshot counter: starts at 1, one more after each use.
int NextScreenShotNumber();
// "%s\ScreenShoot%04d%02d%02d%03d.jpeg" with the temporary directory (which already ends in a
// backslash, hence the doubled separator).
std::u16string FormatScreenShotPath(std::u16string_view strTmpDir, int nYear, int nMonth, int nDay,
                                    int nCounter);
// The e-mail rule: the whole text matches \w+([-+.]\w+)*@\w+([-.]\w+)*\.\w+([-.]\w+)* with an ASCII
// \w (letters, digits, underscore).
bool IsValidEmail(std::string_view strAnsiEmail);

}  // namespace kt
