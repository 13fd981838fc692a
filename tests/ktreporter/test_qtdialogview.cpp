// The Qt window of the dialog (offscreen): the layout of template 525, and the keys, clicks, close
// button and timer that it hands to the dialog. The behaviour itself is tested in
// test_feedbackdlg.cpp.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTextCursor>
#include <string>
#include <vector>

#include "ktreporter/dlg_fixture.h"
#include "ktreporter/qtdialogview.h"

namespace {

using namespace kttest;

class QtDialogViewTest : public DlgFixture {
protected:
    void Pump() override {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        kt::PumpMessagesFor(1);
    }
    void CloseDialog() override {
        m_pView.reset();
        DlgFixture::CloseDialog();
    }
    kt::CQtDialogView& Show(std::vector<std::u16string> vecArgs = {}) {
        m_pView = std::make_unique<kt::CQtDialogView>(NewDialog(std::move(vecArgs)));
        m_pView->Create();
        m_pView->show();
        return *m_pView;
    }
    // Idle: inputs enabled, bar hidden, timer stopped; busy: the reverse. Exit is always enabled.
    bool IsBusy(bool bBusy) const {
        for (int nId : {kt::IDC_EDIT_NAME, kt::IDC_EDIT_EMAIL, kt::IDC_EDIT_PHONE,
                        kt::IDC_EDIT_TITLE, kt::IDC_EDIT_DESC, kt::IDC_BTN_SUBMIT}) {
            if (m_pView->GetDlgItem(nId)->isEnabled() == bBusy) return false;
        }
        return m_pView->GetDlgItem(kt::IDC_BTN_EXIT)->isEnabled() &&
               m_pView->GetDlgItem(kt::IDC_PROGRESS)->isHidden() != bBusy &&
               m_pView->IsTimerSet(kt::CFeedBackDlg::kProgressTimer) == bBusy;
    }

    std::unique_ptr<kt::CQtDialogView> m_pView;
};

TEST_F(QtDialogViewTest, LayoutFollowsTemplate525InDialogUnits) {
    kt::CQtDialogView& dlg = Show();
    EXPECT_EQ(QStringLiteral("问题反馈"), dlg.windowTitle());
    const kt::DIALOG_BASE_UNITS u = dlg.GetBaseUnits();
    ASSERT_GT(u.nBaseX, 0);
    ASSERT_GT(u.nBaseY, 0);
    EXPECT_EQ(QSize(kt::MapDluX(229, u), kt::MapDluY(249, u)), dlg.size());
    int nLabels = 0;
    for (size_t i = 0; i < kt::kFeedbackItems.size(); ++i) {
        const kt::DLGITEM& item = kt::kFeedbackItems[i];
        const QRect rect(kt::MapDluX(item.x, u), kt::MapDluY(item.y, u), kt::MapDluX(item.cx, u),
                         kt::MapDluY(item.cy, u));
        if (item.nId != kt::IDC_STATIC) {
            ASSERT_NE(nullptr, dlg.GetDlgItem(item.nId)) << item.nId;
            EXPECT_EQ(rect, dlg.GetDlgItem(item.nId)->geometry()) << item.nId;
        }
        if (item.kind != kt::DlgItemKind::Label) continue;
        // Each label at its place, and the buddy of the field behind it so that screen readers
        // announce the field by it.
        for (const QLabel* pLabel : dlg.findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
            if (pLabel->text().toStdU16String() != item.strText) continue;
            ++nLabels;
            EXPECT_EQ(rect.topLeft(), pLabel->pos());
            const kt::DLGITEM& next = kt::kFeedbackItems[i + 1];
            EXPECT_EQ(next.kind == kt::DlgItemKind::Label ? nullptr : dlg.GetDlgItem(next.nId),
                      pLabel->buddy())
                << i;
        }
    }
    EXPECT_EQ(6, nLabels);
    EXPECT_EQ(u"递交(&S)", dlg.GetItemText(kt::IDC_BTN_SUBMIT));
    EXPECT_EQ(u"退出(&X)", dlg.GetItemText(kt::IDC_BTN_EXIT));
    EXPECT_TRUE(static_cast<QPushButton*>(dlg.GetDlgItem(kt::IDC_BTN_SUBMIT))->isDefault());
    EXPECT_EQ(u"测试下问题", dlg.GetItemText(kt::IDC_EDIT_TITLE));
    EXPECT_EQ(u"问题描述,与大局无关", dlg.GetItemText(kt::IDC_EDIT_DESC));
    EXPECT_TRUE(IsBusy(false));

    // Tab order 1136, 1146, 1206, 1207, 1208, 1541, 1542 and round again.
    const int nOrder[] = {1136, 1146, 1206, 1207, 1208, 1541, 1542, 1136};
    QWidget* pWidget = dlg.GetDlgItem(1136);
    for (size_t i = 1; i < std::size(nOrder); ++i) {
        do {
            pWidget = pWidget->nextInFocusChain();
        } while (!(pWidget->focusPolicy() & Qt::TabFocus) || pWidget->property("ctrlId").isNull());
        EXPECT_EQ(nOrder[i], pWidget->property("ctrlId").toInt());
    }
    // No stored name: the focus starts in the name field.
    EXPECT_TRUE(PumpUntil([&] { return dlg.focusWidget() != nullptr; }));
    EXPECT_EQ(dlg.GetDlgItem(kt::IDC_EDIT_NAME), dlg.focusWidget());
}

// Return breaks a line in the description and submits from a single-line field; the busy state
// disables the inputs, shows the bar and its timer moves it; exit, Escape and the close button
// end the window with the cancel result; a stored name puts the focus on the title.
TEST_F(QtDialogViewTest, KeysClicksCloseAndTimerReachTheDialog) {
    Show();
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
    auto* pDesc = static_cast<QPlainTextEdit*>(m_pView->GetDlgItem(kt::IDC_EDIT_DESC));
    pDesc->moveCursor(QTextCursor::End);
    QApplication::sendEvent(pDesc, &enter);
    EXPECT_EQ(u"问题描述,与大局无关\r\n", m_pView->GetItemText(kt::IDC_EDIT_DESC));
    EXPECT_TRUE(m_vecBoxes.empty());
    QApplication::sendEvent(m_pView->GetDlgItem(kt::IDC_EDIT_EMAIL), &enter);
    EXPECT_EQ(std::vector<std::string>{AppBox(kMsgIncomplete)}, m_vecBoxes);
    EXPECT_TRUE(IsBusy(false));
    m_pDlg->SetBusy(true);
    EXPECT_TRUE(IsBusy(true));
    auto* pBar = static_cast<QProgressBar*>(m_pView->GetDlgItem(kt::IDC_PROGRESS));
    EXPECT_TRUE(PumpUntil([&] { return pBar->value() >= 10; }));
    m_pDlg->SetBusy(false);
    EXPECT_TRUE(IsBusy(false));

    const std::function<void(kt::CQtDialogView&)> ways[] = {
        [](kt::CQtDialogView& view) {
            static_cast<QPushButton*>(view.GetDlgItem(kt::IDC_BTN_EXIT))->click();
        },
        [](kt::CQtDialogView& view) {
            QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QApplication::sendEvent(&view, &esc);
        },
        [](kt::CQtDialogView& view) { view.close(); },
    };
    for (const auto& fnWay : ways) {
        kt::CQtDialogView& view = Show();
        fnWay(view);
        EXPECT_EQ(kt::kIdCancel, view.result()) << &fnWay - ways;
        EXPECT_FALSE(view.isVisible()) << &fnWay - ways;
    }

    kt::CKTReporterApp::Get()->WriteProfileString(u"FEEDBACK_INFO", u"FEEDBACK_NAME", u"n");
    kt::CQtDialogView& view = Show();
    EXPECT_TRUE(PumpUntil([&] { return view.focusWidget() != nullptr; }));
    EXPECT_EQ(view.GetDlgItem(kt::IDC_EDIT_TITLE), view.focusWidget());
}

// The profile's file holds name, e-mail and phone: it is the user's alone, also when an older run
// left it open to others.
TEST(QtProfile, FileIsReadableByTheUserAloneAndKeepsItsValues) {
    const mode_t nOldMask = ::umask(022);
    kt::CKTReporterApp app;
    app.SetRegistryKey(kt::kRegistryKey);
    const fs::path file = QSettings(QString::fromStdU16String(std::u16string(kt::kRegistryKey)),
                                    QString::fromStdU16String(app.GetAppName()))
                              .fileName()
                              .toStdString();
    fs::remove(file);
    for (const char16_t* psz : {u"王五", u"李四"}) {
        EXPECT_TRUE(app.WriteProfileString(u"FEEDBACK_INFO", u"FEEDBACK_NAME", psz));
        EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write,
                  fs::status(file).permissions() & fs::perms::all);
        EXPECT_EQ(psz, app.GetProfileString(u"FEEDBACK_INFO", u"FEEDBACK_NAME", u"-"));
        fs::permissions(file, fs::perms::group_read | fs::perms::others_read,
                        fs::perm_options::add);
    }
    EXPECT_EQ(u"-", app.GetProfileString(u"FEEDBACK_INFO", u"FEEDBACK_PHONE", u"-"));
    fs::remove(file);
    ::umask(nOldMask);
}

}  // namespace
