// The Qt side of the reporter (offscreen). Start-up as the process runs it: InitInstance with a
// command line either shows the dialog or ends without any window or message; the parsed pairs
// are what the dialog then works with. The profile's file. The tests' main: a QApplication
// (offscreen) and a profile store of their own. (The Qt window itself: test_dialogview.cpp.)
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
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
