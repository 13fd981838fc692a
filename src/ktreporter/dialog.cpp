#include "ktreporter/dialog.h"

#include "platform/msgbox.h"

namespace kt {

int CDialog::DoModal() {
    return RunModalDialog(*this);
}

bool CDialog::OnInitDialog() {
    DoDataExchange();
    return true;
}

void CDialog::OnCommand(int nId) {
    if (nId == kIdCancel) OnCancel();
}

void CDialog::OnTimer(uintptr_t) {}

void CDialog::OnCancel() {
    EndDialog(kIdCancel);
}

std::u16string CDialog::GetDlgItemText(int nId) const {
    return m_pView ? m_pView->GetItemText(nId) : std::u16string();
}

void CDialog::SetDlgItemText(int nId, std::u16string_view strText) {
    if (m_pView) m_pView->SetItemText(nId, strText);
}

void CDialog::EnableDlgItem(int nId, bool bEnable) {
    if (m_pView) m_pView->EnableItem(nId, bEnable);
}

void CDialog::ShowDlgItem(int nId, bool bShow) {
    if (m_pView) m_pView->ShowItem(nId, bShow);
}

void CDialog::GotoDlgCtrl(int nId) {
    if (m_pView) m_pView->FocusItem(nId);
}

bool CDialog::SetTimer(uintptr_t nIDEvent, unsigned nElapseMs) {
    return m_pView && m_pView->SetTimer(nIDEvent, nElapseMs);
}

bool CDialog::KillTimer(uintptr_t nIDEvent) {
    return m_pView && m_pView->KillTimer(nIDEvent);
}

void CDialog::EndDialog(int nResult) {
    if (m_pView) m_pView->EndDialog(nResult);
}

void CProgressCtrl::SetRange(int nLower, int nUpper) {
    m_nLower = nLower;
    m_nUpper = nUpper;
    if (m_pDlg && m_pDlg->GetView()) m_pDlg->GetView()->SetProgressRange(m_nId, nLower, nUpper);
    SetPos(m_nPos < nLower || m_nPos > nUpper ? nLower : m_nPos);
}

int CProgressCtrl::SetPos(int nPos) {
    const int nOld = m_nPos;
    m_nPos = nPos < m_nLower ? m_nLower : (nPos > m_nUpper ? m_nUpper : nPos);
    if (m_pDlg && m_pDlg->GetView()) m_pDlg->GetView()->SetProgressPos(m_nId, m_nPos);
    return nOld;
}

int CProgressCtrl::StepIt() {
    // The platform's bar starts over past its upper end instead of sticking there.
    const int nOld = m_nPos;
    int nNew = m_nPos + m_nStep;
    if (nNew > m_nUpper) nNew = m_nLower + (nNew - m_nUpper);
    SetPos(nNew);
    return nOld;
}

}  // namespace kt
