// Start-up as the process runs it: InitInstance with a command line either shows the dialog or ends
// without any window or message.
#include <gtest/gtest.h>

#include <unistd.h>
#include <QApplication>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "httpdownload/httppublic.h"
#include "httpdownload/inetpool.h"
#include "ktreporter/feedbackdlg.h"
#include "ktreporter/ktreporterapp.h"
#include "platform/codepage.h"
#include "platform/msgbox.h"
#include "platform/paths.h"

namespace {

namespace fs = std::filesystem;

struct RUN {
    bool bReturned = false;
    bool bShown = false;
    std::u16string strTitle;
    int32_t nAttachType = -99;
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
        auto* pDlg = dynamic_cast<kt::CFeedBackDlg*>(QApplication::activeModalWidget());
        if (!pDlg || !pDlg->isVisible()) return;
        run.bShown = true;
        run.strTitle = pDlg->windowTitle().toStdU16String();
        run.nAttachType = kt::CKTReporterApp::Get()->GetAttachType();
        run.strAttachFile = pDlg->GetAttachFile();
        run.nInetIdShown = CreateRequest(nullptr, nullptr, nullptr);
        run.nEngineIdShown = HttpPool_NewRequest();
        pDlg->reject();
    });
    watcher.start();
    run.bReturned = !app.InitInstance();
    watcher.stop();
    EXPECT_EQ(0, app.ExitInstance());
    run.nInetIdAfter = CreateRequest(nullptr, nullptr, nullptr);
    run.nEngineIdAfter = HttpPool_NewRequest();
    kt::SetMessageBoxHandler({});
    return run;
}

TEST(ReporterApp, BadCommandLinesEndSilentlyWithoutAWindow) {
    const std::vector<std::vector<std::u16string>> vecBad = {
        {u"-T"}, {u"-T", u"0", u"-U"}, {u"-X", u"1"}, {u"-TT", u"1"}, {u"T", u"1"},
    };
    for (const auto& vec : vecBad) {
        const RUN run = RunInstance(vec);
        EXPECT_TRUE(run.bReturned);
        EXPECT_FALSE(run.bShown) << kt::ToUtf8(vec[0]);
        EXPECT_TRUE(run.vecBoxes.empty());
    }
}

TEST(ReporterApp, GoodCommandLinesShowTheDialog) {
    RUN run = RunInstance({});
    EXPECT_TRUE(run.bShown);
    EXPECT_EQ(u"问题反馈", run.strTitle);
    EXPECT_EQ(-1, run.nAttachType);
    EXPECT_TRUE(run.strAttachFile.empty());
    EXPECT_TRUE(run.vecBoxes.empty());
    // Both pools are up while the dialog runs (a fresh pool numbers from 1) and gone after
    // shut-down, which releases the records the test left in them.
    EXPECT_EQ(1, run.nInetIdShown);
    EXPECT_GE(run.nEngineIdShown, 1);
    EXPECT_EQ(-1, run.nInetIdAfter);
    EXPECT_EQ(-1, run.nEngineIdAfter);

    run = RunInstance({u"-t", u"abc", u"-u", u"u1"});
    EXPECT_TRUE(run.bShown);
    EXPECT_EQ(0, run.nAttachType);
    // The screenshot goes to tmp\ beside the executable, behind a doubled separator.
    const std::u16string strExe = kt::GetModuleFileName();
    const std::u16string strTmp = strExe.substr(0, strExe.rfind(u'\\') + 1) + u"tmp\\\\ScreenShoot";
    EXPECT_EQ(strTmp, run.strAttachFile.substr(0, strTmp.size()));
    std::error_code ec;
    fs::remove(kt::ToFsPath(run.strAttachFile), ec);

    run = RunInstance({u"-T", u"1", u"-P", u"/nonexistent/x.rar", u"-D", u"1"});
    EXPECT_TRUE(run.bShown);
    EXPECT_EQ(u"/nonexistent/x.rar", run.strAttachFile);
}

TEST(ReporterApp, AccessorsAndCleanUp) {
    kt::CKTReporterApp app;
    EXPECT_EQ(&app, kt::CKTReporterApp::Get());
    const fs::path root = fs::temp_directory_path() / ("ktapp-" + std::to_string(::getpid()));
    fs::create_directories(root);
    const fs::path archive = root / "a.rar";
    app.SetExecutableDirectory(kt::FromFsPath(root.string()) + u"\\");
    // The etc directory was made on the way to the URL table; no table means no URL.
    EXPECT_TRUE(fs::is_directory(root / "etc"));
    EXPECT_EQ(u"", app.GetServerURL(kt::kSptFeedback));
    EXPECT_EQ(kt::FromFsPath(root.string()) + u"\\tmp\\", app.GetClientPath(kt::kClientPathTmp));
    EXPECT_TRUE(fs::is_directory(root / "tmp"));

    const std::u16string strArchive = kt::FromFsPath(archive.string());
    const struct {
        std::vector<std::u16string> vecArgs;
        bool bDeleted;
    } cases[] = {
        {{u"-T", u"1", u"-D", u"1", u"-P", strArchive}, true},
        {{u"-T", u"1", u"-P", strArchive}, false},
        {{u"-T", u"0", u"-D", u"1", u"-P", strArchive}, false},
        {{u"-T", u"2", u"-D", u"1", u"-P", strArchive}, false},
    };
    for (const auto& c : cases) {
        kt::CKTReporterApp one;
        std::vector<std::u16string> vec = c.vecArgs;
        vec.insert(vec.begin(), u"ktreporter");
        one.SetCommandLine(vec);
        ASSERT_TRUE(one.ParseCommandLine());
        fs::create_directories(root);
        std::ofstream(archive) << "x";
        one.CleanUpAttachment();
        EXPECT_EQ(c.bDeleted, !fs::exists(archive));
    }
    std::error_code ec;
    fs::remove_all(root, ec);
}

}  // namespace
