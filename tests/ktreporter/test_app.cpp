// The Qt side of the reporter (offscreen). Start-up as the process runs it: InitInstance with a
// command line either shows the dialog or ends without any window or message; the parsed pairs
// are what the dialog then works with. The window of template 525: its layout, and the keys,
// clicks, close button and timer that it hands to the dialog (whose behaviour
// test_feedbackdlg.cpp tests). The profile's file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTextCursor>
#include <QTimer>
#include <string>
#include <vector>

#include "inet/inetpool.h"
#include "ktreporter/dlg_fixture.h"
#include "ktreporter/qtdialogview.h"

namespace {

using namespace kttest;

struct RUN {
    bool bShown = false;
    std::u16string strTitle;
    std::u16string strAttachFile;
    std::vector<std::u16string> vecBoxes;
    // Ids the two request pools hand out while the dialog is up and after shut-down.
    long nInetIdShown = 0;
    long nEngineIdShown = 0;
    long nInetIdAfter = 0;
    long nEngineIdAfter = 0;
};

// Runs start-up and shut-down with the given arguments; a dialog that appears is noted and closed
// with Escape's result.
RUN RunInstance(std::vector<std::u16string> vecArgs) {
    RUN run;
    kt::SetMessageBoxHandler([&run](std::u16string_view strText, std::u16string_view, unsigned) {
        run.vecBoxes.emplace_back(strText);
        return kt::kIdOk;
    });
    vecArgs.insert(vecArgs.begin(), u"ktreporter");
    kt::CKTReporterApp app;
    app.SetCommandLine(vecArgs);
    QTimer watcher;
    watcher.setInterval(5);
    QObject::connect(&watcher, &QTimer::timeout, [&run] {
        auto* pDlg = dynamic_cast<kt::CQtDialogView*>(QApplication::activeModalWidget());
        if (!pDlg || !pDlg->isVisible()) return;
        run.bShown = true;
        run.strTitle = pDlg->windowTitle().toStdU16String();
        run.strAttachFile = static_cast<kt::CFeedBackDlg&>(pDlg->GetDialog()).GetAttachFile();
        run.nInetIdShown = CreateRequest(nullptr, nullptr, nullptr);
        run.nEngineIdShown = HttpPool_NewRequest();
        pDlg->reject();
    });
    watcher.start();
    EXPECT_FALSE(app.InitInstance());
    watcher.stop();
    EXPECT_EQ(0, app.ExitInstance());
    run.nInetIdAfter = CreateRequest(nullptr, nullptr, nullptr);
    run.nEngineIdAfter = HttpPool_NewRequest();
    kt::SetMessageBoxHandler({});
    return run;
}

// A line that is not pairs ends without any window or message; else the dialog shows with the
// parsed values (the pairs themselves: test_form.cpp), both pools up while it runs and gone after.
TEST(ReporterApp, StartUpShowsTheDialogForPairsOnlyWithBothPoolsUp) {
    const struct {
        std::vector<std::u16string> vecArgs;
        bool bShown;
        std::u16string strAttach;  // beyond the screenshot directory for -T 0
    } cases[] = {
        {{u"-T", u"0", u"-U"}, false, u""},
        {{}, true, u""},
        {{u"-T", u"2", u"-P", u"x.png"}, true, u"x.png"},
        {{u"-T", u"0"}, true, u"+"},
        {{u"-t", u"0"}, true, u"+"},
    };
    // A screenshot goes to tmp\ beside the executable, behind a doubled separator.
    const std::u16string strExe = kt::GetModuleFileName();
    const std::u16string strTmp = strExe.substr(0, strExe.rfind(u'\\') + 1) + u"tmp\\\\ScreenShoot";
    int nLastShot = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        const RUN run = RunInstance(c.vecArgs);
        EXPECT_TRUE(run.vecBoxes.empty());
        ASSERT_EQ(c.bShown, run.bShown);
        if (!c.bShown) continue;
        EXPECT_EQ(u"问题反馈", run.strTitle);
        if (c.strAttach == u"+") {
            // "ScreenShootYYYYMMDDNNN.jpeg", NNN counting up within the process.
            ASSERT_EQ(strTmp.size() + 16, run.strAttachFile.size());
            EXPECT_EQ(strTmp, run.strAttachFile.substr(0, strTmp.size()));
            const int nShot = std::stoi(kt::ToUtf8(run.strAttachFile.substr(strTmp.size() + 8)));
            EXPECT_TRUE(nLastShot == 0 || nShot == nLastShot + 1) << nShot;
            nLastShot = nShot;
            std::error_code ec;
            fs::remove(kt::ToFsPath(run.strAttachFile), ec);
        } else {
            EXPECT_EQ(c.strAttach, run.strAttachFile);
        }
        // A fresh pool numbers from 1; shut-down releases the records the test left in them.
        EXPECT_EQ(1, run.nInetIdShown);
        EXPECT_GE(run.nEngineIdShown, 1);
        EXPECT_EQ(-1, run.nInetIdAfter);
        EXPECT_EQ(-1, run.nEngineIdAfter);
    }
    EXPECT_EQ(u"X\\\\ScreenShoot20240105001.jpeg", kt::FormatScreenShotPath(u"X\\", 2024, 1, 5, 1));
}

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
    std::unique_ptr<kt::CQtDialogView> m_pView;
};

TEST_F(QtDialogViewTest, LayoutFollowsTemplate525AndKeysClicksCloseAndTimerReachTheDialog) {
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

    // Return breaks a line in the description and submits from a single-line field; the busy
    // state disables the inputs, shows the bar and its timer moves it; exit, Escape and the close
    // button end the window with the cancel result; a stored name puts the focus on the title.
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
    auto* pDesc = static_cast<QPlainTextEdit*>(m_pView->GetDlgItem(kt::IDC_EDIT_DESC));
    pDesc->moveCursor(QTextCursor::End);
    QApplication::sendEvent(pDesc, &enter);
    EXPECT_EQ(u"问题描述,与大局无关\r\n", m_pView->GetItemText(kt::IDC_EDIT_DESC));
    EXPECT_TRUE(m_vecBoxes.empty());
    QApplication::sendEvent(m_pView->GetDlgItem(kt::IDC_EDIT_EMAIL), &enter);
    EXPECT_EQ(std::vector<std::string>{AppBox(kMsgIncomplete)}, m_vecBoxes);
    auto* pBar = static_cast<QProgressBar*>(m_pView->GetDlgItem(kt::IDC_PROGRESS));
    for (bool bBusy : {true, false}) {
        m_pDlg->SetBusy(bBusy);
        for (int nId : {kt::IDC_EDIT_NAME, kt::IDC_EDIT_EMAIL, kt::IDC_EDIT_PHONE,
                        kt::IDC_EDIT_TITLE, kt::IDC_EDIT_DESC, kt::IDC_BTN_SUBMIT})
            EXPECT_NE(bBusy, m_pView->GetDlgItem(nId)->isEnabled()) << nId;
        EXPECT_TRUE(m_pView->GetDlgItem(kt::IDC_BTN_EXIT)->isEnabled());
        EXPECT_EQ(bBusy, pBar->isVisible());
        EXPECT_EQ(bBusy, m_pView->IsTimerSet(kt::CFeedBackDlg::kProgressTimer));
        EXPECT_TRUE(!bBusy || PumpUntil([&] { return pBar->value() >= 10; }));
    }

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
