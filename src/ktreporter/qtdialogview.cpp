#include "ktreporter/qtdialogview.h"

#include <QFont>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimerEvent>
#include <vector>

#include "platform/msgbox.h"

namespace kt {
namespace {

QString ToQString(std::u16string_view str) {
    return QString::fromUtf16(str.data(), static_cast<qsizetype>(str.size()));
}
std::u16string FromQString(const QString& str) {
    return str.toStdU16String();
}

// Windows derives the horizontal base unit from the average width of the 52 Latin letters and
// the vertical one from the font's height.
DIALOG_BASE_UNITS BaseUnitsOf(const QFont& font) {
    const QFontMetrics fm(font);
    const int nWidth = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return DIALOG_BASE_UNITS{(nWidth / 26 + 1) / 2, fm.height()};
}

}  // namespace

CQtDialogView::CQtDialogView(CDialog& dlg, QWidget* pParent) : QDialog(pParent), m_dlg(dlg) {
    m_dlg.AttachView(this);
}

CQtDialogView::~CQtDialogView() {
    m_dlg.AttachView(nullptr);
    for (const auto& [nId, nQtTimer] : m_mapTimers) killTimer(nQtTimer);
    m_mapTimers.clear();
}

void CQtDialogView::Create() {
    if (m_bCreated) return;
    m_bCreated = true;
    BuildFromTemplate();
    if (m_dlg.OnInitDialog()) FocusItem(IDC_EDIT_NAME);
}

int CQtDialogView::DoModal() {
    Create();
    return exec();
}

QWidget* CQtDialogView::GetDlgItem(int nId) const {
    const auto it = m_mapItems.find(nId);
    return it == m_mapItems.end() ? nullptr : it->second;
}

void CQtDialogView::EnableItem(int nId, bool bEnable) {
    if (QWidget* pWidget = GetDlgItem(nId)) pWidget->setEnabled(bEnable);
}

void CQtDialogView::ShowItem(int nId, bool bShow) {
    if (QWidget* pWidget = GetDlgItem(nId)) pWidget->setVisible(bShow);
}

void CQtDialogView::FocusItem(int nId) {
    if (QWidget* pWidget = GetDlgItem(nId)) pWidget->setFocus(Qt::OtherFocusReason);
}

void CQtDialogView::SetProgressRange(int nId, int nLower, int nUpper) {
    if (auto* pBar = qobject_cast<QProgressBar*>(GetDlgItem(nId))) pBar->setRange(nLower, nUpper);
}

void CQtDialogView::SetProgressPos(int nId, int nPos) {
    if (auto* pBar = qobject_cast<QProgressBar*>(GetDlgItem(nId))) pBar->setValue(nPos);
}

void CQtDialogView::EndDialog(int nResult) {
    done(nResult);
}

// Escape and the caption's close button arrive here; the dialog answers them (with the
// platform's cancel result, not Qt's 0).
void CQtDialogView::reject() {
    m_dlg.OnCommand(kIdCancel);
}

void CQtDialogView::BuildFromTemplate() {
    setWindowTitle(ToQString(kFeedbackCaption));
    QFont font(QString::fromLatin1(kFeedbackFontFace.data(),
                                   static_cast<qsizetype>(kFeedbackFontFace.size())));
    font.setPointSize(kFeedbackFontPoints);
    setFont(font);
    m_baseUnits = BaseUnitsOf(this->font());
    const DIALOG_BASE_UNITS& u = m_baseUnits;
    setFixedSize(MapDluX(kFeedbackWidthDlu, u), MapDluY(kFeedbackHeightDlu, u));
    // A modal frame with caption and system menu: no resizing, no minimise or maximise box.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);

    QLabel* pPendingLabel = nullptr;
    std::vector<QWidget*> vecTabOrder;
    for (const DLGITEM& item : kFeedbackItems) {
        QWidget* pWidget = nullptr;
        const QString strText = ToQString(item.strText);
        switch (item.kind) {
            case DlgItemKind::GroupBox:
                pWidget = new QGroupBox(strText, this);
                break;
            case DlgItemKind::Label:
                pWidget = pPendingLabel = new QLabel(strText, this);
                break;
            case DlgItemKind::Edit:
                pWidget = new QLineEdit(this);
                break;
            case DlgItemKind::MultiLineEdit: {
                auto* pEdit = new QPlainTextEdit(this);
                pEdit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
                // Return is the field's own (a new line); Tab still moves on, as in the template.
                pEdit->setTabChangesFocus(true);
                pWidget = pEdit;
                break;
            }
            case DlgItemKind::Progress: {
                // The platform's bar starts at 0 of 0..100 (Qt's would say "not started", -1).
                auto* pBar = new QProgressBar(this);
                pBar->setTextVisible(false);
                pBar->setRange(0, 100);
                pBar->setValue(0);
                pWidget = pBar;
                break;
            }
            case DlgItemKind::DefPushButton:
            case DlgItemKind::PushButton: {
                auto* pButton = new QPushButton(strText, this);
                pButton->setDefault(item.kind == DlgItemKind::DefPushButton);
                pButton->setAutoDefault(true);
                connect(pButton, &QPushButton::clicked, this,
                        [this, nId = item.nId] { m_dlg.OnCommand(nId); });
                pWidget = pButton;
                break;
            }
        }
        pWidget->setGeometry(MapDluX(item.x, u), MapDluY(item.y, u), MapDluX(item.cx, u),
                             MapDluY(item.cy, u));
        if (item.nId != IDC_STATIC) {
            pWidget->setObjectName(QString::number(item.nId));
            pWidget->setProperty("ctrlId", item.nId);
            m_mapItems[item.nId] = pWidget;
            if (item.kind != DlgItemKind::Progress) vecTabOrder.push_back(pWidget);
        }
        // Each field is named by the label written just before it (the note "fields marked *"
        // between the name field and the e-mail label names nothing), so screen readers announce
        // the field by its label.
        if ((item.kind == DlgItemKind::Edit || item.kind == DlgItemKind::MultiLineEdit) &&
            pPendingLabel) {
            pPendingLabel->setBuddy(pWidget);
            pWidget->setAccessibleName(pPendingLabel->text());
            pPendingLabel = nullptr;
        }
    }
    for (size_t i = 1; i < vecTabOrder.size(); ++i) {
        QWidget::setTabOrder(vecTabOrder[i - 1], vecTabOrder[i]);
    }
}

std::u16string CQtDialogView::GetItemText(int nId) const {
    QWidget* pWidget = GetDlgItem(nId);
    if (auto* pEdit = qobject_cast<QLineEdit*>(pWidget)) return FromQString(pEdit->text());
    if (auto* pEdit = qobject_cast<QPlainTextEdit*>(pWidget)) {
        // A multi-line edit hands its lines out with CR LF, as typed on the platform.
        QString str = pEdit->toPlainText();
        str.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
        return FromQString(str);
    }
    if (auto* pButton = qobject_cast<QPushButton*>(pWidget)) return FromQString(pButton->text());
    return {};
}

void CQtDialogView::SetItemText(int nId, std::u16string_view strText) {
    QWidget* pWidget = GetDlgItem(nId);
    QString str = ToQString(strText);
    if (auto* pEdit = qobject_cast<QLineEdit*>(pWidget)) {
        pEdit->setText(str);
    } else if (auto* pEdit = qobject_cast<QPlainTextEdit*>(pWidget)) {
        str.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        pEdit->setPlainText(str);
    } else if (auto* pButton = qobject_cast<QPushButton*>(pWidget)) {
        pButton->setText(str);
    }
}

bool CQtDialogView::SetTimer(uintptr_t nIDEvent, unsigned nElapseMs) {
    // Setting a running timer again restarts it with the new period, as the platform does.
    KillTimer(nIDEvent);
    const int nQtTimer = startTimer(static_cast<int>(nElapseMs));
    if (nQtTimer == 0) return false;
    m_mapTimers[nIDEvent] = nQtTimer;
    return true;
}

bool CQtDialogView::KillTimer(uintptr_t nIDEvent) {
    const auto it = m_mapTimers.find(nIDEvent);
    if (it == m_mapTimers.end()) return false;
    killTimer(it->second);
    m_mapTimers.erase(it);
    return true;
}

void CQtDialogView::timerEvent(QTimerEvent* pEvent) {
    for (const auto& [nId, nQtTimer] : m_mapTimers) {
        if (nQtTimer == pEvent->timerId()) {
            m_dlg.OnTimer(nId);
            break;
        }
    }
    QDialog::timerEvent(pEvent);
}

int RunModalDialog(CDialog& dlg) {
    CQtDialogView view(dlg);
    return view.DoModal();
}

}  // namespace kt
