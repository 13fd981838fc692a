// The feedback dialog in-process (offscreen): layout, validation, busy states, replies, failures,
// the archive clean-up, and leaving while a request runs. Posts go to a loopback receiver.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QTextCursor>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "httpdownload/httppublic.h"
#include "ktreporter/feedbackdlg.h"
#include "ktreporter/formbody.h"
#include "ktreporter/ktreporterapp.h"
#include "platform/codepage.h"
#include "platform/msgbox.h"
#include "platform/paths.h"
#include "support/http_server.h"

namespace {

namespace fs = std::filesystem;
using kt::CFeedBackDlg;

const std::string kMultipart =
    "multipart/form-data; boundary=---------------------------7d92de3351722";

// Runs the Qt loop (which pumps the engine's window) until the condition holds or a generous
// guard time passes; the guard only keeps a broken build from hanging.
bool PumpUntil(const std::function<bool()>& fnDone, int nGuardMs = 20000) {
    QElapsedTimer timer;
    timer.start();
    while (!fnDone()) {
        if (timer.elapsed() > nGuardMs) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        ::usleep(1000);
    }
    return true;
}

std::vector<std::string> ContentTypes(const kttest::RECORDED_REQUEST& req) {
    std::vector<std::string> vec;
    for (const std::string& strLine : req.vecHeaderLines) {
        if (QString::fromStdString(strLine.substr(0, 13)).toLower() == "content-type:")
            vec.push_back(strLine.substr(strLine.find_first_not_of(' ', 13)));
    }
    return vec;
}

class FeedbackDlgTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kt::SetAnsiCodePage("GBK"));
        m_root = fs::temp_directory_path() / ("ktdlg-" + std::to_string(::getpid()));
        fs::remove_all(m_root);
        fs::create_directories(m_root);
        // Each box as "caption|text"; every one of them has only the OK button.
        kt::SetMessageBoxHandler(
            [this](std::u16string_view strText, std::u16string_view strCaption, unsigned uType) {
                m_vecBoxes.push_back(kt::ToUtf8(strCaption) + "|" + kt::ToUtf8(strText));
                EXPECT_EQ(kt::kMbOk, uType & 0xF);
                return kt::kIdOk;
            });
        // A fresh profile for every test.
        QSettings(QString::fromStdU16String(std::u16string(kt::kRegistryKey)),
                  QString::fromStdU16String(kt::CKTReporterApp().GetAppName()))
            .clear();
        kt::InstallEnginePump();
        ASSERT_EQ(1, HttpPool_Initialize(nullptr));
    }
    void TearDown() override {
        m_pDlg.reset();
        HttpPool_Uninitialize();
        kt::RemoveEnginePump();
        if (m_pServer) m_pServer->Stop();
        m_pApp.reset();
        kt::SetMessageBoxHandler({});
        kt::SetAnsiCodePage("");
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }

    // Starts the receiver and writes etc/urlserver.xml with kind 24 pointing at it.
    void StartReceiver() {
        m_pServer = std::make_unique<kttest::CHttpServer>();
        ASSERT_TRUE(m_pServer->IsRunning());
        fs::create_directories(m_root / "etc");
        std::ofstream(m_root / "etc" / "urlserver.xml")
            << "<?xml version=\"1.0\"?>\n<root>\n  <url id=\"1\" path=\"http://127.0.0.1:1/x\"/>\n"
               "  <url id=\"24\" path=\"http://127.0.0.1:"
            << m_pServer->Port() << "/feedback\"/>\n</root>\n";
    }
    // A new application object through the dialog's part of start-up (profile key, directories,
    // URL table, command line), then a new dialog shown.
    CFeedBackDlg& Open(std::vector<std::u16string> vecArgs = {}) {
        m_pDlg.reset();
        m_pApp = std::make_unique<kt::CKTReporterApp>();
        m_pApp->SetRegistryKey(kt::kRegistryKey);
        vecArgs.insert(vecArgs.begin(), u"ktreporter");
        m_pApp->SetExecutableDirectory(kt::FromFsPath(m_root.string()) + u"\\");
        m_pApp->SetCommandLine(std::move(vecArgs));
        EXPECT_TRUE(m_pApp->ParseCommandLine());
        m_pDlg = std::make_unique<CFeedBackDlg>();
        m_pDlg->Create();
        m_pDlg->show();
        return *m_pDlg;
    }
    void Fill(const std::vector<std::u16string>& vecFields = {u"n", u"a@b.cn", u"", u"t", u"d"}) {
        const int nIds[] = {kt::IDC_EDIT_NAME, kt::IDC_EDIT_EMAIL, kt::IDC_EDIT_PHONE,
                            kt::IDC_EDIT_TITLE, kt::IDC_EDIT_DESC};
        for (size_t i = 0; i < vecFields.size(); ++i) m_pDlg->SetDlgItemText(nIds[i], vecFields[i]);
    }
    void ClickSubmit() {
        static_cast<QPushButton*>(m_pDlg->GetDlgItem(kt::IDC_BTN_SUBMIT))->click();
    }
    // Idle: inputs enabled, bar hidden, timer stopped; busy: the reverse. Exit is always enabled.
    bool IsBusy(bool bBusy) const {
        for (int nId : {kt::IDC_EDIT_NAME, kt::IDC_EDIT_EMAIL, kt::IDC_EDIT_PHONE,
                        kt::IDC_EDIT_TITLE, kt::IDC_EDIT_DESC, kt::IDC_BTN_SUBMIT}) {
            if (m_pDlg->GetDlgItem(nId)->isEnabled() == bBusy) return false;
        }
        return m_pDlg->GetDlgItem(kt::IDC_BTN_EXIT)->isEnabled() &&
               m_pDlg->GetDlgItem(kt::IDC_PROGRESS)->isHidden() != bBusy &&
               m_pDlg->IsTimerSet(CFeedBackDlg::kProgressTimer) == bBusy;
    }
    // Submits and waits for the message box that ends every accepted submission; its text.
    std::string SubmitAndWait() {
        const size_t nBoxes = m_vecBoxes.size();
        ClickSubmit();
        EXPECT_TRUE(PumpUntil([&] { return m_vecBoxes.size() > nBoxes; }));
        return m_vecBoxes.size() > nBoxes ? m_vecBoxes.back() : "<none>";
    }

    fs::path m_root;
    std::vector<std::string> m_vecBoxes;
    std::unique_ptr<kt::CKTReporterApp> m_pApp;
    std::unique_ptr<kttest::CHttpServer> m_pServer;
    std::unique_ptr<CFeedBackDlg> m_pDlg;
};

TEST_F(FeedbackDlgTest, LayoutFollowsTemplate525InDialogUnits) {
    CFeedBackDlg& dlg = Open();
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
    EXPECT_EQ(u"递交(&S)", dlg.GetDlgItemText(kt::IDC_BTN_SUBMIT));
    EXPECT_EQ(u"退出(&X)", dlg.GetDlgItemText(kt::IDC_BTN_EXIT));
    EXPECT_TRUE(static_cast<QPushButton*>(dlg.GetDlgItem(kt::IDC_BTN_SUBMIT))->isDefault());
    EXPECT_EQ(u"测试下问题", dlg.GetDlgItemText(kt::IDC_EDIT_TITLE));
    EXPECT_EQ(u"问题描述,与大局无关", dlg.GetDlgItemText(kt::IDC_EDIT_DESC));
    EXPECT_TRUE(IsBusy(false));
    EXPECT_GT(dlg.GetRequestId(), 0);

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
    EXPECT_TRUE(PumpUntil([&] { return dlg.focusWidget() != nullptr; }, 2000));
    EXPECT_EQ(dlg.GetDlgItem(kt::IDC_EDIT_NAME), dlg.focusWidget());
}

TEST_F(FeedbackDlgTest, RefusedSubmissionsShowTheirTextAndStillSaveTheProfile) {
    StartReceiver();
    Open();
    const std::u16string kIncomplete = u"必填信息不全，请输入完整的信息后再递交。";
    const std::u16string kBadEmail = u"不是有效的邮箱地址。";
    const struct {
        std::vector<std::u16string> vecFields;
        std::u16string strMessage;
    } cases[] = {
        {{u"", u"a@b.cn", u"1", u"t", u"d"}, kIncomplete},
        {{u"n", u"", u"2", u"t", u"d"}, kIncomplete},
        {{u"n", u"a@b.cn", u"3", u"", u"d"}, kIncomplete},
        {{u"n", u"a@b.cn", u"4", u"t", u""}, kIncomplete},
        {{u"n", u"a@b", u"5", u"t", u"d"}, kBadEmail},
        {{u"n", u" a@b.cn", u"6", u"t", u"d"}, kBadEmail},
        {{u"王五", u"王@b.cn", u" 7 ", u"t", u"d"}, kBadEmail},
    };
    // Return breaks the line in the description and submits from a single-line field.
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
    auto* pDesc = static_cast<QPlainTextEdit*>(m_pDlg->GetDlgItem(kt::IDC_EDIT_DESC));
    pDesc->moveCursor(QTextCursor::End);
    QApplication::sendEvent(pDesc, &enter);
    EXPECT_EQ(u"问题描述,与大局无关\r\n", m_pDlg->GetDlgItemText(kt::IDC_EDIT_DESC));
    EXPECT_TRUE(m_vecBoxes.empty());
    const char16_t* pszKey[] = {u"FEEDBACK_NAME", u"FEEDBACK_EMAIL", u"FEEDBACK_PHONE"};
    for (const auto& c : cases) {
        Fill(c.vecFields);
        const size_t nBefore = m_vecBoxes.size();
        QApplication::sendEvent(m_pDlg->GetDlgItem(kt::IDC_EDIT_EMAIL), &enter);
        ASSERT_EQ(nBefore + 1, m_vecBoxes.size());
        EXPECT_EQ(kt::ToUtf8(m_pApp->GetAppName() + u"|" + c.strMessage), m_vecBoxes.back());
        EXPECT_TRUE(IsBusy(false));
        // The values typed at the click are stored, untrimmed, even though it was refused.
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(kt::ToUtf8(c.vecFields[i]),
                      kt::ToUtf8(m_pApp->GetProfileString(u"FEEDBACK_INFO", pszKey[i], u"-")));
        }
    }
    EXPECT_EQ(0u, m_pServer->RequestCount());
    EXPECT_TRUE(m_pDlg->isVisible());

    // The next dialog loads them back, and with a stored name the focus goes to the title.
    CFeedBackDlg& next = Open();
    EXPECT_EQ(u"王五", next.GetDlgItemText(kt::IDC_EDIT_NAME));
    EXPECT_EQ(u"王@b.cn", next.GetDlgItemText(kt::IDC_EDIT_EMAIL));
    EXPECT_EQ(u" 7 ", next.GetDlgItemText(kt::IDC_EDIT_PHONE));
    EXPECT_TRUE(PumpUntil([&] { return next.focusWidget() != nullptr; }, 2000));
    EXPECT_EQ(next.GetDlgItem(kt::IDC_EDIT_TITLE), next.focusWidget());
}

TEST(EmailPattern, AcceptsDottedHyphenatedAndPlusAddressesOnly) {
    for (const char* psz : {"a@b.cn", "first.last@mail.example.com", "a-b+c.d_e@x-y.z.org",
                            "a+b@c.d", "_@_._", "A1@B2.C3"}) {
        EXPECT_TRUE(kt::IsValidEmail(psz)) << psz;
    }
    for (const char* psz : {"", "a@b", "a@bcn", "@b.cn", "a@.cn", ".a@b.cn", "a..b@c.d", "a@b..cn",
                            "a@b+c.cn", "a@b.cn ", " a@b.cn", "a b@c.d", "a@@b.cn", "a@b.cn.",
                            "a-@b.cn", "\xD5\xC5@b.cn", "a@\xC3\xA9.cn", "a@b.c\xD5"}) {
        EXPECT_FALSE(kt::IsValidEmail(psz)) << psz;
    }
}

TEST_F(FeedbackDlgTest, BusyWhileTheRequestRunsThenTheReplyEndsTheDialog) {
    StartReceiver();
    m_pServer->HoldReplies(true);
    m_pServer->SetReply(200, kt::ToAnsi(u"收到，编号 42\n"));
    CFeedBackDlg& dlg = Open({u"-U", u"用户9", u"-T", u"5"});
    Fill({u"张三", u"zhang.san@example.com", u"", u"无法登录", u"第一行\n第二行"});
    ClickSubmit();
    ASSERT_TRUE(PumpUntil([&] { return m_pServer->RequestCount() == 1; }));
    EXPECT_TRUE(IsBusy(true));

    // The bar advances by 10 per tick and starts over at 100; other timers leave it alone.
    dlg.GetProgress().SetPos(0);
    for (int n : {10, 20, 30, 40, 50, 60, 70, 80, 90, 0, 10}) {
        dlg.OnTimer(CFeedBackDlg::kProgressTimer);
        EXPECT_EQ(n, dlg.GetProgress().GetPos());
    }
    dlg.OnTimer(4711);
    EXPECT_EQ(10, dlg.GetProgress().GetPos());
    // The real timer runs too.
    dlg.GetProgress().SetPos(0);
    EXPECT_TRUE(PumpUntil([&] { return dlg.GetProgress().GetPos() >= 10; }, 5000));

    m_pServer->HoldReplies(false);
    ASSERT_TRUE(PumpUntil([&] { return !m_vecBoxes.empty(); }));
    EXPECT_EQ(std::vector<std::string>{"服务器返回信息|收到，编号 42"}, m_vecBoxes);
    EXPECT_EQ(kt::kIdOk, dlg.result());
    EXPECT_FALSE(dlg.isVisible());

    // What went on the wire: the exact body in GBK, the engine's default content-type line
    // first and the dialog's own behind it.
    const kttest::RECORDED_REQUEST req = m_pServer->Request(0);
    EXPECT_EQ("POST /feedback", req.strMethod + " " + req.strPath);
    EXPECT_EQ(ContentTypes(req),
              (std::vector<std::string>{"application/x-www-form-urlencoded", kMultipart}));
    const kt::FEEDBACK_FORM form = kt::MakeFeedbackForm(
        5, u"用户9", u"张三", u"zhang.san@example.com", u"", u"无法登录", u"第一行\r\n第二行", u"");
    std::vector<char> vecBody;
    ASSERT_EQ(0, kt::BuildFeedbackBody(form, u"", vecBody));
    EXPECT_EQ(std::string(vecBody.begin(), vecBody.end()), req.strBody);
    EXPECT_NE(std::string::npos, req.strBody.find("\r\n\xD5\xC5\xC8\xFD\r\n"));
}

// A reply is shown as a C string in the code page: its last byte becomes the terminating zero. An
// empty reply and a failure code leave the dialog open and idle.
TEST_F(FeedbackDlgTest, RepliesAndFailuresShowTheirText) {
    // The etc directory is made on the way to the URL table; with no urlserver.xml in it there is
    // no URL and the engine refuses the post.
    Open();
    EXPECT_TRUE(fs::is_directory(m_root / "etc"));
    Fill();
    EXPECT_EQ(kt::ToUtf8(m_pApp->GetAppName()) + "|HTTP请求参数错误!", SubmitAndWait());
    EXPECT_TRUE(IsBusy(false));

    StartReceiver();
    const struct {
        int nStatus;
        std::string strReply;
        std::string strShown;
        bool bEnded;
    } cases[] = {
        {200, "X", "", true},                          // one byte: nothing left to show
        {200, "abc", "ab", true},                      // no terminating zero: last byte lost
        {200, std::string("ok\0", 3), "ok", true},     // a terminating zero takes that place
        {200, std::string("ab\0cd!", 6), "ab", true},  // text stops at the first zero
        {200, "\xB3\xC9\xB9\xA6\n", "成功", true},     // GBK text
        {200, "", "服务器返回数据为空", false},
        {500, "oops", "", false},
    };
    for (const auto& c : cases) {
        m_pServer->SetReply(c.nStatus, c.strReply);
        CFeedBackDlg& dlg = Open();
        Fill();
        EXPECT_EQ(c.nStatus == 200 ? "服务器返回信息|" + c.strShown
                                   : kt::ToUtf8(m_pApp->GetAppName()) + "|HTTP应答错误!",
                  SubmitAndWait());
        EXPECT_EQ(!c.bEnded, dlg.isVisible());
        EXPECT_TRUE(c.bEnded ? dlg.result() == kt::kIdOk : IsBusy(false));
    }
}

// Only a non-empty reply with -T 1 and -D 1 deletes the archive. Every post of one dialog goes on
// its one request id and carries the dialog's header line exactly once.
TEST_F(FeedbackDlgTest, ArchiveIsDeletedOnlyAfterANonEmptyReplyWithDeleteAndType1) {
    StartReceiver();
    const fs::path archive = m_root / "logs.rar";
    const std::string strArchive("Rar!\x1a\x07\0\r\n\xFF", 10);
    const std::u16string strPath = kt::FromFsPath(archive.string());
    const struct {
        std::vector<std::u16string> vecArgs;
        bool bDeleted;
        std::string strLine;  // the end of the file part's content-type line
    } cases[] = {
        {{u"-T", u"1", u"-D", u"1", u"-P", strPath}, true, "rar\r\n\r\n"},
        {{u"-T", u"1", u"-D", u"0", u"-P", strPath}, false, "rar\r\n\r\n"},
        {{u"-T", u"2", u"-D", u"1", u"-P", strPath}, false, "pjpeg\r\n\r\n"},
    };
    size_t nRequest = 0;
    for (const auto& c : cases) {
        std::ofstream(archive, std::ios::binary) << strArchive;
        CFeedBackDlg& dlg = Open(c.vecArgs);
        const long nId = dlg.GetRequestId();
        EXPECT_EQ(strPath, dlg.GetAttachFile());
        Fill();
        for (const auto& [nStatus, pszReply] : {std::pair{200, ""}, {503, "busy"}, {200, "ok\n"}}) {
            EXPECT_TRUE(fs::exists(archive));
            m_pServer->SetReply(nStatus, pszReply);
            SubmitAndWait();
            EXPECT_EQ(nId, dlg.GetRequestId());
            const std::vector<std::string> vec = ContentTypes(m_pServer->Request(nRequest++));
            EXPECT_EQ(1, std::count(vec.begin(), vec.end(), kMultipart));
        }
        EXPECT_EQ(kt::kIdOk, dlg.result());
        EXPECT_EQ(c.bDeleted, !fs::exists(archive)) << &c - cases;
        // The archive travelled behind its content-type line.
        EXPECT_NE(
            std::string::npos,
            m_pServer->Request(nRequest - 1).strBody.find(c.strLine + strArchive + "\r\n---"));
    }
}

// Exit, Escape and the close button while a request runs: the dialog closes at once with the
// cancel result, destroying it stops the request before that returns, and the late reply reaches
// nothing (no box, no clean-up).
TEST_F(FeedbackDlgTest, LeavingDuringARequestClosesAtOnceAndNothingIsNotified) {
    StartReceiver();
    m_pServer->HoldReplies(true);
    m_pServer->SetReply(200, "late reply\n");
    const fs::path archive = m_root / "a.rar";
    std::ofstream(archive) << "data";
    const std::function<void(CFeedBackDlg&)> ways[] = {
        [](CFeedBackDlg& dlg) {
            static_cast<QPushButton*>(dlg.GetDlgItem(kt::IDC_BTN_EXIT))->click();
        },
        [](CFeedBackDlg& dlg) {
            QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QApplication::sendEvent(&dlg, &esc);
        },
        [](CFeedBackDlg& dlg) { dlg.close(); },
    };
    for (size_t i = 0; i < std::size(ways); ++i) {
        CFeedBackDlg& dlg =
            Open({u"-T", u"1", u"-D", u"1", u"-P", kt::FromFsPath(archive.string())});
        Fill();
        ClickSubmit();
        ASSERT_TRUE(PumpUntil([&] { return m_pServer->RequestCount() == i + 1; }));
        const long nId = dlg.GetRequestId();
        EXPECT_EQ(1, HttpPool_IsRunning(nId));
        ways[i](dlg);
        EXPECT_EQ(kt::kIdCancel, dlg.result()) << i;
        EXPECT_FALSE(dlg.isVisible()) << i;
        m_pDlg.reset();
        EXPECT_EQ(0, HttpPool_IsRunning(nId)) << i;
    }
    m_pServer->HoldReplies(false);
    PumpUntil([] { return false; }, 300);
    EXPECT_TRUE(m_vecBoxes.empty());
    EXPECT_TRUE(fs::exists(archive));
}

}  // namespace
