// Start-up as the process runs it: InitInstance with a command line either shows the dialog or ends
// without any window or message; the parsed pairs are what the dialog then works with.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <filesystem>
#include <string>
#include <vector>

#include "httpdownload/httppublic.h"
#include "inet/inetpool.h"
#include "ktreporter/feedbackdlg.h"
#include "ktreporter/ktreporterapp.h"
#include "ktreporter/qtdialogview.h"
#include "platform/codepage.h"
#include "platform/msgbox.h"
#include "platform/paths.h"

namespace {

namespace fs = std::filesystem;

struct RUN {
    bool bShown = false;
    std::u16string strTitle;
    kt::CReporterArgs args;
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
        run.args = kt::CKTReporterApp::Get()->GetArgs();
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

TEST(ReporterApp, CommandLinesThatAreNotPairsEndSilentlyWithoutAWindow) {
    // The last switch without a value (valid pairs before it do not help), a letter not in the
    // table, three characters, no or another sign, too short, empty, a later bad pair.
    const std::vector<std::vector<std::u16string>> vecBad = {
        {u"-T"},        {u"-T", u"0", u"-U"}, {u"-X", u"1"},
        {u"-TT", u"1"}, {u"T", u"1"},         {u"/T", u"1"},
        {u"-", u"1"},   {u"", u""},           {u"-T", u"0", u"--", u"0"}};
    for (const auto& vec : vecBad) {
        const RUN run = RunInstance(vec);
        EXPECT_FALSE(run.bShown) << "argument count " << vec.size();
        EXPECT_TRUE(run.vecBoxes.empty());
    }
    // A missing part fails the pair itself.
    kt::CReporterArgs args;
    const std::u16string strSwitch = u"-T", strValue = u"5";
    EXPECT_FALSE(kt::ParseArgPair(args, nullptr, &strValue));
    EXPECT_FALSE(kt::ParseArgPair(args, &strSwitch, nullptr));
}

TEST(ReporterApp, PairsShowTheDialogWithTheirValues) {
    const std::u16string strPath = u"C:\\logs\\a \"b\".rar";
    const std::vector<std::u16string> kUpper = {u"-H", u"  +4660", u"-D",     u"1",  u"-T",
                                                u"1",  u"-U",      u"用户 7", u"-P", strPath};
    const std::vector<std::u16string> kLower = {u"-h", u"  +4660", u"-d",     u"1",  u"-t",
                                                u"1",  u"-u",      u"用户 7", u"-p", strPath};
    const struct {
        std::vector<std::u16string> vecArgs;
        int32_t nType;
        uint32_t hWnd;
        bool bDelete;
        std::u16string strUser, strPath;
    } cases[] = {
        {{}, -1, 0, false, u"", u""},
        {kUpper, 1, 4660, true, u"用户 7", strPath},
        {kLower, 1, 4660, true, u"用户 7", strPath},
        // Decimal conversion: no digits is 0, it stops at the first non-digit, it saturates.
        {{u"-t", u"0"}, 0, 0, false, u"", u""},
        {{u"-T", u"0"}, 0, 0, false, u"", u""},
        {{u"-T", u"abc", u"-u", u"u1"}, 0, 0, false, u"u1", u""},
        {{u"-T", u" 12xyz"}, 12, 0, false, u"", u""},
        {{u"-T", u"-3"}, -3, 0, false, u"", u""},
        {{u"-T", u"99999999999"}, 2147483647, 0, false, u"", u""},
        // A later pair overwrites an earlier one; an empty value is a value.
        {{u"-T", u"0", u"-t", u"1", u"-U", u"a", u"-u", u"b", u"-P", u""}, 1, 0, false, u"b", u""},
        // The delete flag is only ever set.
        {{u"-D", u"0"}, -1, 0, false, u"", u""},
        {{u"-D", u"no"}, -1, 0, false, u"", u""},
        {{u"-D", u"1", u"-D", u"0"}, -1, 0, true, u"", u""},
        {{u"-d", u"-2"}, -1, 0, true, u"", u""},
    };
    // A screenshot goes to tmp\ beside the executable, behind a doubled separator.
    const std::u16string strExe = kt::GetModuleFileName();
    const std::u16string strTmp = strExe.substr(0, strExe.rfind(u'\\') + 1) + u"tmp\\\\ScreenShoot";
    int nLastShot = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        const RUN run = RunInstance(c.vecArgs);
        ASSERT_TRUE(run.bShown);
        EXPECT_EQ(u"问题反馈", run.strTitle);
        EXPECT_TRUE(run.vecBoxes.empty());
        EXPECT_EQ(c.nType, run.args.m_nAttachType);
        EXPECT_EQ(c.hWnd, run.args.m_hCaptureWnd);
        EXPECT_EQ(c.bDelete, run.args.m_bDeleteAttach);
        EXPECT_EQ(c.strUser, run.args.m_strUserId);
        EXPECT_EQ(c.strPath, run.args.m_strAttachPath);
        if (c.nType == 0) {
            // "ScreenShootYYYYMMDDNNN.jpeg", NNN counting up within the process.
            ASSERT_EQ(strTmp.size() + 16, run.strAttachFile.size());
            EXPECT_EQ(strTmp, run.strAttachFile.substr(0, strTmp.size()));
            const int nShot = std::stoi(kt::ToUtf8(run.strAttachFile.substr(strTmp.size() + 8)));
            EXPECT_TRUE(nLastShot == 0 || nShot == nLastShot + 1) << nShot;
            nLastShot = nShot;
            std::error_code ec;
            fs::remove(kt::ToFsPath(run.strAttachFile), ec);
        } else {
            EXPECT_EQ(c.strPath, run.strAttachFile);
        }
        // Both pools are up while the dialog runs (a fresh pool numbers from 1) and gone after
        // shut-down, which releases the records the test left in them.
        EXPECT_EQ(1, run.nInetIdShown);
        EXPECT_GE(run.nEngineIdShown, 1);
        EXPECT_EQ(-1, run.nInetIdAfter);
        EXPECT_EQ(-1, run.nEngineIdAfter);
    }
    EXPECT_EQ(u"X\\\\ScreenShoot20240105001.jpeg", kt::FormatScreenShotPath(u"X\\", 2024, 1, 5, 1));
}

}  // namespace
