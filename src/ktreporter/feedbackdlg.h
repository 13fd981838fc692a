// The feedback dialog: the program's only window, as behaviour. Which fields it has and how long
// they may be, the order and texts of its refusals, the busy state and its timer, the replies and
// failures, the profile and the form body are all decided here; the window that shows it (an
// IDialogView, dialog.h) only maps control ids to its controls. Runs on the GUI thread only; every
// engine notification reaches it on that thread, so nothing here takes a lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "httpdownload/httppublic.h"
#include "ktreporter/dialog.h"
#include "ktreporter/dlgtemplate.h"

namespace kt {

class CFeedBackDlg : public CDialog, public ::IHttpReporter {
public:
    static constexpr int IDD = IDD_FEEDBACK;
    static constexpr uintptr_t kProgressTimer = 1000;
    static constexpr unsigned kProgressPeriodMs = 400;
    static constexpr unsigned kRequestTimeoutMs = 120000;

    CFeedBackDlg() : CDialog(IDD) {}

    bool OnInitDialog() override;
    // 1541 submits, 1542 exits; the rest as any dialog.
    void OnCommand(int nId) override;
    void OnBnClickedSubmit();
    void OnBnClickedExit();
    void OnTimer(uintptr_t nIDEvent) override;
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

protected:
    void DoDataExchange() override;

private:
    long m_nRequestId = 0;
    std::u16string m_strAttachFile;
    CProgressCtrl m_progress;
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
