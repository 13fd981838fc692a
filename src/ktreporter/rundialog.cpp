#include "ktreporter/feedbackdlg.h"
#include "ktreporter/ktreporterapp.h"

namespace kt {

void CKTReporterApp::RunFeedbackDialog() {
    CFeedBackDlg dlg;
    dlg.DoModal();
}

}  // namespace kt
