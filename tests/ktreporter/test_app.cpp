// The Qt side of the reporter (offscreen). Start-up as the process runs it: InitInstance with a
// command line either shows the dialog or ends without any window or message; the parsed pairs
// are what the dialog then works with. The window of template 525: its layout, and the keys,
// clicks, close button and timer that it hands to the dialog (whose behaviour
// test_feedbackdlg.cpp tests). The profile's file. The tests' main: a QApplication (offscreen) and
// a profile store of their own.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <string>
#include <vector>

#include "inet/inetpool.h"
#include "ktreporter/dlg_fixture.h"
#include "ktreporter/qtdialogview.h"
#include "support/scoped.h"

namespace {

using namespace kttest;

// Runs start-up and shut-down with the given arguments: the attachment of the dialog that appears
// (closed at once with Escape's result), "-" when none does. Both pools are checked up while the
// dialog runs (a fresh inet pool numbers from 1) and down after shut-down.
std::u16string RunInstance(std::vector<std::u16string> vecArgs) {
    const kttest::CMessageBoxLog boxes;
    vecArgs.insert(vecArgs.begin(), u"ktreporter");
    kt::CKTReporterApp app;
    app.SetCommandLine(vecArgs);
    std::u16string strAttach = u"-";
    QTimer watcher;
    watcher.setInterval(5);
    QObject::connect(&watcher, &QTimer::timeout, [&strAttach] {
        auto* pDlg = dynamic_cast<kt::CQtDialogView*>(QApplication::activeModalWidget());
        if (!pDlg || !pDlg->isVisible()) return;
        strAttach = static_cast<kt::CFeedBackDlg&>(pDlg->GetDialog()).GetAttachFile();
        EXPECT_EQ(1, CreateRequest(nullptr, nullptr, nullptr));
        EXPECT_GE(HttpPool_NewRequest(), 1);
        pDlg->reject();
    });
    watcher.start();
    EXPECT_FALSE(app.InitInstance());
    watcher.stop();
    EXPECT_EQ(0, app.ExitInstance());
    EXPECT_EQ(-1, CreateRequest(nullptr, nullptr, nullptr));
    EXPECT_EQ(-1, HttpPool_NewRequest());
    EXPECT_EQ(0u, boxes.Count());
    return strAttach;
}

// A line that is not pairs ends without any window or message; else the dialog shows with the
// parsed attachment (the pairs themselves: test_form.cpp), or for -T 0 a new screenshot in the tmp
// directory beside the executable, behind a doubled separator: "ScreenShootYYYYMMDDNNN.jpeg", NNN
// counting up within the process.
TEST(ReporterApp, StartUpShowsTheDialogForPairsOnlyWithBothPoolsUp) {
    EXPECT_EQ(u"-", RunInstance({u"-T", u"0", u"-U"}));
    EXPECT_EQ(u"", RunInstance({}));
    EXPECT_EQ(u"x.png", RunInstance({u"-T", u"2", u"-P", u"x.png"}));
    const std::u16string strExe = kt::GetModuleFileName();
    const std::u16string strTmp = strExe.substr(0, strExe.rfind(u'\\') + 1) + u"tmp\\\\ScreenShoot";
    int nLastShot = 0;
    for (int i = 0; i < 2; ++i) {
        const std::u16string strShot = RunInstance({u"-T", u"0"});
        ASSERT_EQ(strTmp.size() + 16, strShot.size());
        EXPECT_EQ(strTmp, strShot.substr(0, strTmp.size()));
        const int nShot = std::stoi(kt::ToUtf8(strShot.substr(strTmp.size() + 8)));
        EXPECT_TRUE(i == 0 || nShot == nLastShot + 1) << nShot;
        nLastShot = nShot;
        std::error_code ec;
        fs::remove(kt::ToFsPath(strShot), ec);
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

    // Return in a single-line field submits (Return in the description, the tab order through the
    // fields and the first focus: test_e2e); the busy state disables the inputs, shows the bar and
    // its timer moves it; exit, Escape and the close button end the window with the cancel result;
    // a stored name puts the focus on the title.
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
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

    // Escape reaches the dialog through reject(), as the close button does; the exit button's
    // click goes the way of the submit button's above.
    kt::CQtDialogView& view = Show();
    QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(&view, &esc);
    EXPECT_EQ(kt::kIdCancel, view.result());
    EXPECT_FALSE(view.isVisible());

    kt::CKTReporterApp::Get()->WriteProfileString(u"FEEDBACK_INFO", u"FEEDBACK_NAME", u"n");
    kt::CQtDialogView& next = Show();
    EXPECT_TRUE(PumpUntil([&] { return next.focusWidget() != nullptr; }));
    EXPECT_EQ(next.GetDlgItem(kt::IDC_EDIT_TITLE), next.focusWidget());
}

// The profile's file holds name, e-mail and phone: it is the user's alone (its values go back
// and forth in FeedbackDlgTest, its place is checked by test_e2e).
TEST(QtProfile, FileIsReadableByTheUserAlone) {
    const mode_t nOldMask = ::umask(022);
    kt::CKTReporterApp app;
    app.SetRegistryKey(kt::kRegistryKey);
    const fs::path file = QSettings(QString::fromStdU16String(std::u16string(kt::kRegistryKey)),
                                    QString::fromStdU16String(app.GetAppName()))
                              .fileName()
                              .toStdString();
    fs::remove(file);
    // The second write finds the file as an older run may have left it, open to others.
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(app.WriteProfileString(u"FEEDBACK_INFO", u"FEEDBACK_NAME", u"王五"));
        EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write,
                  fs::status(file).permissions() & fs::perms::all);
        fs::permissions(file, fs::perms::group_read | fs::perms::others_read,
                        fs::perm_options::add);
    }
    fs::remove(file);
    ::umask(nOldMask);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // The profile (QSettings) must not touch the user's own configuration.
    const fs::path config =
        fs::temp_directory_path() / ("ktreporter-test-config-" + std::to_string(::getpid()));
    fs::create_directories(config);
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    if (!::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int nResult = 0;
    {
        QApplication app(argc, argv);
        nResult = RUN_ALL_TESTS();
    }
    std::error_code ec;
    fs::remove_all(config, ec);
    return nResult;
}
