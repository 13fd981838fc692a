// The feedback dialog in-process (offscreen): layout, validation, busy states, replies, failures,
// the archive clean-up, and leaving while a request runs. Posts go to a loopback receiver.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTextCursor>
#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
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

struct BOX {
    std::u16string strText;
    std::u16string strCaption;
    unsigned uType;
};

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
        if (QString::fromStdString(strLine.substr(0, 13)).toLower() !=
            QLatin1String("content-type:"))
            continue;
        vec.push_back(strLine.substr(strLine.find_first_not_of(' ', 13)));
    }
    return vec;
}

class FeedbackDlgTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kt::SetAnsiCodePage("GBK"));
        m_root = fs::temp_directory_path() /
                 ("ktdlg-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_root);
        fs::create_directories(m_root / "etc");
        kt::SetMessageBoxHandler([this](std::u16string_view strText, std::u16string_view strCaption,
                                        unsigned uType) {
            m_vecBoxes.push_back(BOX{std::u16string(strText), std::u16string(strCaption), uType});
            return kt::kIdOk;
        });
        m_pApp = std::make_unique<kt::CKTReporterApp>();
        m_pApp->SetRegistryKey(kt::kRegistryKey);
        // A fresh profile for every test.
        QSettings(QString::fromStdU16String(std::u16string(kt::kRegistryKey)),
                  QString::fromStdU16String(m_pApp->GetAppName()))
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
        std::ofstream(m_root / "etc" / "urlserver.xml")
            << "<?xml version=\"1.0\"?>\n<root>\n  <url id=\"1\" path=\"http://127.0.0.1:1/x\"/>\n"
               "  <url id=\"24\" path=\"http://127.0.0.1:"
            << m_pServer->Port() << "/feedback\"/>\n</root>\n";
    }
    // The application's start-up for a dialog: directories, URL table, command line.
    void PrepareApp(std::vector<std::u16string> vecArgs) {
        vecArgs.insert(vecArgs.begin(), u"ktreporter");
        m_pApp->SetExecutableDirectory(kt::FromFsPath(m_root.string()) + u"\\");
        m_pApp->SetCommandLine(std::move(vecArgs));
        ASSERT_TRUE(m_pApp->ParseCommandLine());
    }
    CFeedBackDlg& OpenDialog() {
        m_pDlg = std::make_unique<CFeedBackDlg>();
        m_pDlg->Create();
        m_pDlg->show();
        return *m_pDlg;
    }
    void Fill(const std::u16string& strName, const std::u16string& strEmail,
              const std::u16string& strPhone, const std::u16string& strTitle,
              const std::u16string& strDesc) {
        m_pDlg->SetDlgItemText(kt::IDC_EDIT_NAME, strName);
        m_pDlg->SetDlgItemText(kt::IDC_EDIT_EMAIL, strEmail);
        m_pDlg->SetDlgItemText(kt::IDC_EDIT_PHONE, strPhone);
        m_pDlg->SetDlgItemText(kt::IDC_EDIT_TITLE, strTitle);
        m_pDlg->SetDlgItemText(kt::IDC_EDIT_DESC, strDesc);
    }
    void ClickSubmit() {
        static_cast<QPushButton*>(m_pDlg->GetDlgItem(kt::IDC_BTN_SUBMIT))->click();
    }
    bool IsIdle() const {
        for (int nId : {kt::IDC_EDIT_NAME, kt::IDC_EDIT_EMAIL, kt::IDC_EDIT_PHONE,
                        kt::IDC_EDIT_TITLE, kt::IDC_EDIT_DESC, kt::IDC_BTN_SUBMIT}) {
            if (!m_pDlg->GetDlgItem(nId)->isEnabled()) return false;
        }
        return m_pDlg->GetDlgItem(kt::IDC_BTN_EXIT)->isEnabled() &&
               m_pDlg->GetDlgItem(kt::IDC_PROGRESS)->isHidden() &&
               !m_pDlg->IsTimerSet(CFeedBackDlg::kProgressTimer);
    }
    bool IsBusy() const {
        for (int nId : {kt::IDC_EDIT_NAME, kt::IDC_EDIT_EMAIL, kt::IDC_EDIT_PHONE,
                        kt::IDC_EDIT_TITLE, kt::IDC_EDIT_DESC, kt::IDC_BTN_SUBMIT}) {
            if (m_pDlg->GetDlgItem(nId)->isEnabled()) return false;
        }
        return m_pDlg->GetDlgItem(kt::IDC_BTN_EXIT)->isEnabled() &&
               !m_pDlg->GetDlgItem(kt::IDC_PROGRESS)->isHidden() &&
               m_pDlg->IsTimerSet(CFeedBackDlg::kProgressTimer);
    }
    std::u16string Profile(const char* pszKey) const {
        return m_pApp->GetProfileString(u"FEEDBACK_INFO", kt::FromUtf8(pszKey), u"<none>");
    }
    // Submits valid fields and waits for the dialog to end or for a message box.
    void SubmitAndWait() {
        const size_t nBoxes = m_vecBoxes.size();
        ClickSubmit();
        ASSERT_TRUE(PumpUntil([&] { return m_vecBoxes.size() > nBoxes; }));
    }

    fs::path m_root;
    std::vector<BOX> m_vecBoxes;
    std::unique_ptr<kt::CKTReporterApp> m_pApp;
    std::unique_ptr<kttest::CHttpServer> m_pServer;
    std::unique_ptr<CFeedBackDlg> m_pDlg;
};

TEST_F(FeedbackDlgTest, LayoutFollowsTemplate525InDialogUnits) {
    PrepareApp({});
    CFeedBackDlg& dlg = OpenDialog();
    EXPECT_EQ(QStringLiteral("问题反馈"), dlg.windowTitle());
    const kt::DIALOG_BASE_UNITS u = dlg.GetBaseUnits();
    ASSERT_GT(u.nBaseX, 0);
    ASSERT_GT(u.nBaseY, 0);
    EXPECT_EQ(QSize(kt::MapDluX(229, u), kt::MapDluY(249, u)), dlg.size());
    for (const kt::DLGITEM& item : kt::kFeedbackItems) {
        if (item.nId == kt::IDC_STATIC) continue;
        const QWidget* pWidget = dlg.GetDlgItem(item.nId);
        ASSERT_NE(nullptr, pWidget) << item.nId;
        EXPECT_EQ(QRect(kt::MapDluX(item.x, u), kt::MapDluY(item.y, u), kt::MapDluX(item.cx, u),
                        kt::MapDluY(item.cy, u)),
                  pWidget->geometry())
            << item.nId;
    }
    // Every label and group box text, at its place.
    int nTexts = 0;
    for (const QObject* pChild : dlg.children()) {
        const auto* pLabel = qobject_cast<const QLabel*>(pChild);
        if (!pLabel) continue;
        for (const kt::DLGITEM& item : kt::kFeedbackItems) {
            if (item.kind == kt::DlgItemKind::Label &&
                pLabel->text().toStdU16String() == item.strText) {
                EXPECT_EQ(QPoint(kt::MapDluX(item.x, u), kt::MapDluY(item.y, u)), pLabel->pos());
                ++nTexts;
            }
        }
    }
    EXPECT_EQ(6, nTexts);
    EXPECT_EQ(u"递交(&S)", dlg.GetDlgItemText(kt::IDC_BTN_SUBMIT));
    EXPECT_EQ(u"退出(&X)", dlg.GetDlgItemText(kt::IDC_BTN_EXIT));
    EXPECT_TRUE(static_cast<QPushButton*>(dlg.GetDlgItem(kt::IDC_BTN_SUBMIT))->isDefault());
    EXPECT_EQ(u"测试下问题", dlg.GetDlgItemText(kt::IDC_EDIT_TITLE));
    EXPECT_EQ(u"问题描述,与大局无关", dlg.GetDlgItemText(kt::IDC_EDIT_DESC));
    EXPECT_TRUE(IsIdle());
    EXPECT_EQ(0, dlg.GetProgress().GetPos());
    EXPECT_EQ(100, static_cast<QProgressBar*>(dlg.GetDlgItem(kt::IDC_PROGRESS))->maximum());

    // Tab order 1136, 1146, 1206, 1207, 1208, 1541, 1542 and round again.
    const int nOrder[] = {1136, 1146, 1206, 1207, 1208, 1541, 1542, 1136};
    QWidget* pWidget = dlg.GetDlgItem(1136);
    for (size_t i = 1; i < std::size(nOrder); ++i) {
        do {
            pWidget = pWidget->nextInFocusChain();
        } while (!(pWidget->focusPolicy() & Qt::TabFocus) || pWidget->property("ctrlId").isNull());
        EXPECT_EQ(nOrder[i], pWidget->property("ctrlId").toInt());
    }
    // Each field is announced by its label.
    const std::pair<int, const char16_t*> buddies[] = {{1136, u"*客户姓名:"},
                                                       {1146, u"*客户邮箱:"},
                                                       {1206, u"联系电话:"},
                                                       {1207, u"*问题标题:"},
                                                       {1208, u"*问题描述:"}};
    for (const auto& [nId, pszLabel] : buddies) {
        bool bFound = false;
        for (const QObject* pChild : dlg.children()) {
            const auto* pLabel = qobject_cast<const QLabel*>(pChild);
            if (pLabel && pLabel->buddy() == dlg.GetDlgItem(nId)) {
                EXPECT_EQ(std::u16string(pszLabel), pLabel->text().toStdU16String());
                bFound = true;
            }
        }
        EXPECT_TRUE(bFound) << nId;
    }
    // The header line went onto the dialog's request id once, at opening.
    EXPECT_GT(dlg.GetRequestId(), 0);
    EXPECT_TRUE(dlg.GetAttachFile().empty());
}

TEST_F(FeedbackDlgTest, FocusGoesToTheTitleOnlyWhenAStoredNameIsLoaded) {
    PrepareApp({});
    CFeedBackDlg& first = OpenDialog();
    EXPECT_TRUE(PumpUntil([&] { return first.focusWidget() != nullptr; }, 2000));
    EXPECT_EQ(first.GetDlgItem(kt::IDC_EDIT_NAME), first.focusWidget());

    m_pApp->WriteProfileString(u"FEEDBACK_INFO", u"FEEDBACK_NAME", u"李四");
    m_pApp->WriteProfileString(u"FEEDBACK_INFO", u"FEEDBACK_EMAIL", u"li@example.com");
    m_pApp->WriteProfileString(u"FEEDBACK_INFO", u"FEEDBACK_PHONE", u" 123 ");
    CFeedBackDlg& second = OpenDialog();
    EXPECT_EQ(u"李四", second.GetDlgItemText(kt::IDC_EDIT_NAME));
    EXPECT_EQ(u"li@example.com", second.GetDlgItemText(kt::IDC_EDIT_EMAIL));
    EXPECT_EQ(u" 123 ", second.GetDlgItemText(kt::IDC_EDIT_PHONE));
    EXPECT_TRUE(PumpUntil([&] { return second.focusWidget() != nullptr; }, 2000));
    EXPECT_EQ(second.GetDlgItem(kt::IDC_EDIT_TITLE), second.focusWidget());
}

TEST_F(FeedbackDlgTest, RefusedSubmissionsShowTheirTextAndStillSaveTheProfile) {
    StartReceiver();
    PrepareApp({});
    OpenDialog();
    const std::u16string strApp = m_pApp->GetAppName();
    struct CASE {
        std::u16string strName, strEmail, strPhone, strTitle, strDesc;
        std::u16string strMessage;
    };
    const std::u16string kIncomplete = u"必填信息不全，请输入完整的信息后再递交。";
    const std::u16string kBadEmail = u"不是有效的邮箱地址。";
    const CASE cases[] = {
        {u"", u"a@b.cn", u"1", u"t", u"d", kIncomplete},
        {u"n", u"", u"2", u"t", u"d", kIncomplete},
        {u"n", u"a@b.cn", u"3", u"", u"d", kIncomplete},
        {u"n", u"a@b.cn", u"4", u"t", u"", kIncomplete},
        {u"n", u"a@b", u"5", u"t", u"d", kBadEmail},
        {u"n", u" a@b.cn", u"6", u"t", u"d", kBadEmail},
        {u"王五", u"王@b.cn", u" 7 ", u"t", u"d", kBadEmail},
    };
    for (const CASE& c : cases) {
        Fill(c.strName, c.strEmail, c.strPhone, c.strTitle, c.strDesc);
        const size_t nBefore = m_vecBoxes.size();
        ClickSubmit();
        ASSERT_EQ(nBefore + 1, m_vecBoxes.size());
        EXPECT_EQ(c.strMessage, m_vecBoxes.back().strText);
        EXPECT_EQ(strApp, m_vecBoxes.back().strCaption);
        EXPECT_TRUE(IsIdle());
        // The values typed at the click are stored, untrimmed, even though it was refused.
        EXPECT_EQ(kt::ToUtf8(c.strName), kt::ToUtf8(Profile("FEEDBACK_NAME")));
        EXPECT_EQ(kt::ToUtf8(c.strEmail), kt::ToUtf8(Profile("FEEDBACK_EMAIL")));
        EXPECT_EQ(kt::ToUtf8(c.strPhone), kt::ToUtf8(Profile("FEEDBACK_PHONE")));
    }
    EXPECT_EQ(0u, m_pServer->RequestCount());
    EXPECT_TRUE(m_pDlg->isVisible());
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
    PrepareApp({u"-U", u"用户9", u"-T", u"5"});
    CFeedBackDlg& dlg = OpenDialog();
    Fill(u"张三", u"zhang.san@example.com", u"", u"无法登录", u"第一行\n第二行");
    ClickSubmit();
    ASSERT_TRUE(PumpUntil([&] { return m_pServer->RequestCount() == 1; }));
    EXPECT_TRUE(IsBusy());
    EXPECT_FALSE(m_pDlg->GetDlgItem(kt::IDC_PROGRESS)->isHidden());

    // The bar advances by 10 per tick and starts over at 100.
    dlg.GetProgress().SetPos(0);
    const int nExpected[] = {10, 20, 30, 40, 50, 60, 70, 80, 90, 0, 10};
    for (int n : nExpected) {
        dlg.OnTimer(CFeedBackDlg::kProgressTimer);
        EXPECT_EQ(n, dlg.GetProgress().GetPos());
    }
    dlg.OnTimer(4711);  // other timers leave the bar alone
    EXPECT_EQ(10, dlg.GetProgress().GetPos());
    // The real timer runs too.
    dlg.GetProgress().SetPos(0);
    EXPECT_TRUE(PumpUntil([&] { return dlg.GetProgress().GetPos() >= 10; }, 5000));

    m_pServer->HoldReplies(false);
    ASSERT_TRUE(PumpUntil([&] { return !m_vecBoxes.empty(); }));
    ASSERT_EQ(1u, m_vecBoxes.size());
    EXPECT_EQ(u"收到，编号 42", m_vecBoxes[0].strText);
    EXPECT_EQ(u"服务器返回信息", m_vecBoxes[0].strCaption);
    EXPECT_EQ(kt::kMbOk, m_vecBoxes[0].uType);
    EXPECT_EQ(kt::kIdOk, dlg.result());
    EXPECT_FALSE(dlg.isVisible());

    // What went on the wire: the exact body, with the dialog's header line.
    const kttest::RECORDED_REQUEST req = m_pServer->Request(0);
    EXPECT_EQ("POST", req.strMethod);
    EXPECT_EQ("/feedback", req.strPath);
    // The engine's default content-type line first, the dialog's own behind it.
    EXPECT_EQ(ContentTypes(req),
              (std::vector<std::string>{"application/x-www-form-urlencoded",
                                        "multipart/form-data; "
                                        "boundary=---------------------------7d92de3351722"}));
    const kt::FEEDBACK_FORM form = kt::MakeFeedbackForm(
        5, u"用户9", u"张三", u"zhang.san@example.com", u"", u"无法登录", u"第一行\r\n第二行", u"");
    std::vector<char> vecBody;
    ASSERT_EQ(0, kt::BuildFeedbackBody(form, u"", vecBody));
    EXPECT_EQ(std::string(vecBody.begin(), vecBody.end()), req.strBody);
    // GBK on the wire.
    EXPECT_NE(std::string::npos, req.strBody.find("\r\n\xD5\xC5\xC8\xFD\r\n"));
}

TEST_F(FeedbackDlgTest, RepliesAreShownAsACStringInTheCodePage) {
    StartReceiver();
    PrepareApp({});
    struct CASE {
        std::string strReply;
        std::u16string strShown;
    };
    const CASE cases[] = {
        {"X", u""},                          // one byte: nothing left to show
        {"abc", u"ab"},                      // no terminating zero: last byte lost
        {std::string("ok\0", 3), u"ok"},     // a terminating zero takes that place
        {std::string("ab\0cd!", 6), u"ab"},  // text stops at the first zero
        {"\xB3\xC9\xB9\xA6\n", u"成功"},     // GBK text
    };
    for (const CASE& c : cases) {
        m_vecBoxes.clear();
        m_pServer->SetReply(200, c.strReply);
        CFeedBackDlg& dlg = OpenDialog();
        Fill(u"n", u"a@b.cn", u"", u"t", u"d");
        SubmitAndWait();
        ASSERT_EQ(1u, m_vecBoxes.size());
        EXPECT_EQ(kt::ToUtf8(c.strShown), kt::ToUtf8(m_vecBoxes[0].strText));
        EXPECT_EQ(u"服务器返回信息", m_vecBoxes[0].strCaption);
        EXPECT_EQ(kt::kIdOk, dlg.result());
        EXPECT_FALSE(dlg.isVisible());
    }
}

TEST_F(FeedbackDlgTest, EmptyReplyAndFailuresLeaveTheDialogOpenOnTheSameRequestId) {
    StartReceiver();
    PrepareApp({});
    CFeedBackDlg& dlg = OpenDialog();
    const long nId = dlg.GetRequestId();
    Fill(u"n", u"a@b.cn", u"", u"t", u"d");

    m_pServer->SetReply(200, "");
    SubmitAndWait();
    EXPECT_EQ(u"服务器返回数据为空", m_vecBoxes.back().strText);
    EXPECT_EQ(u"服务器返回信息", m_vecBoxes.back().strCaption);
    EXPECT_TRUE(IsIdle());
    EXPECT_TRUE(dlg.isVisible());

    m_pServer->SetReply(500, "oops");
    SubmitAndWait();
    EXPECT_EQ(u"HTTP应答错误!", m_vecBoxes.back().strText);
    EXPECT_EQ(m_pApp->GetAppName(), m_vecBoxes.back().strCaption);
    EXPECT_TRUE(IsIdle());
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(nId, dlg.GetRequestId());

    // The header line was attached once: every post carries it exactly once.
    ASSERT_EQ(2u, m_pServer->RequestCount());
    for (size_t i = 0; i < 2; ++i) {
        const std::vector<std::string> vec = ContentTypes(m_pServer->Request(i));
        EXPECT_EQ(1, std::count(vec.begin(), vec.end(),
                                "multipart/form-data; "
                                "boundary=---------------------------7d92de3351722"))
            << i;
    }
}

TEST_F(FeedbackDlgTest, MissingFeedbackUrlIsTheEnginesParameterError) {
    PrepareApp({});  // no urlserver.xml
    CFeedBackDlg& dlg = OpenDialog();
    Fill(u"n", u"a@b.cn", u"", u"t", u"d");
    SubmitAndWait();
    EXPECT_EQ(u"HTTP请求参数错误!", m_vecBoxes.back().strText);
    EXPECT_TRUE(IsIdle());
    EXPECT_TRUE(dlg.isVisible());
}

TEST_F(FeedbackDlgTest, ArchiveIsDeletedOnlyAfterANonEmptyReplyWithDeleteAndType1) {
    StartReceiver();
    const fs::path archive = m_root / "logs.rar";
    std::ofstream(archive, std::ios::binary) << std::string("Rar!\x1a\x07\0\r\n\xFF", 10);
    PrepareApp({u"-T", u"1", u"-D", u"1", u"-P", kt::FromFsPath(archive.string())});

    CFeedBackDlg& dlg = OpenDialog();
    EXPECT_EQ(kt::FromFsPath(archive.string()), dlg.GetAttachFile());
    Fill(u"n", u"a@b.cn", u"", u"t", u"d");
    m_pServer->SetReply(200, "");
    SubmitAndWait();
    EXPECT_TRUE(fs::exists(archive));
    m_pServer->SetReply(503, "busy");
    SubmitAndWait();
    EXPECT_TRUE(fs::exists(archive));
    m_pServer->SetReply(200, "ok\n");
    SubmitAndWait();
    EXPECT_EQ(kt::kIdOk, dlg.result());
    EXPECT_FALSE(fs::exists(archive));
    // The archive travelled behind the rar line.
    EXPECT_NE(std::string::npos, m_pServer->Request(2).strBody.find(
                                     std::string("rar\r\n\r\nRar!\x1a\x07\0\r\n\xFF\r\n---", 22)));
}

TEST_F(FeedbackDlgTest, ArchiveStaysWithoutTheDeleteFlagOrWithAnotherType) {
    StartReceiver();
    const fs::path archive = m_root / "keep.rar";
    for (const std::vector<std::u16string>& vecArgs :
         {std::vector<std::u16string>{u"-T", u"1", u"-D", u"0"},
          std::vector<std::u16string>{u"-T", u"2", u"-D", u"1"}}) {
        std::ofstream(archive) << "data";
        m_pApp = std::make_unique<kt::CKTReporterApp>();
        m_pApp->SetRegistryKey(kt::kRegistryKey);
        std::vector<std::u16string> vec = vecArgs;
        vec.push_back(u"-P");
        vec.push_back(kt::FromFsPath(archive.string()));
        PrepareApp(vec);
        OpenDialog();
        Fill(u"n", u"a@b.cn", u"", u"t", u"d");
        m_pServer->SetReply(200, "ok\n");
        SubmitAndWait();
        EXPECT_EQ(kt::kIdOk, m_pDlg->result());
        EXPECT_TRUE(fs::exists(archive));
    }
}

TEST_F(FeedbackDlgTest, ExitDuringARequestClosesAtOnceAndNothingIsNotified) {
    StartReceiver();
    m_pServer->HoldReplies(true);
    m_pServer->SetReply(200, "late reply\n");
    const fs::path archive = m_root / "a.rar";
    std::ofstream(archive) << "data";
    PrepareApp({u"-T", u"1", u"-D", u"1", u"-P", kt::FromFsPath(archive.string())});
    CFeedBackDlg& dlg = OpenDialog();
    Fill(u"n", u"a@b.cn", u"", u"t", u"d");
    ClickSubmit();
    ASSERT_TRUE(PumpUntil([&] { return m_pServer->RequestCount() == 1; }));
    const long nId = dlg.GetRequestId();
    EXPECT_EQ(1, HttpPool_IsRunning(nId));

    static_cast<QPushButton*>(dlg.GetDlgItem(kt::IDC_BTN_EXIT))->click();
    EXPECT_EQ(kt::kIdCancel, dlg.result());
    EXPECT_FALSE(dlg.isVisible());
    // Destroying the dialog detaches its reporter: the request is stopped before this returns.
    m_pDlg.reset();
    EXPECT_EQ(0, HttpPool_IsRunning(nId));

    m_pServer->HoldReplies(false);
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 300) QApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_TRUE(m_vecBoxes.empty());
    EXPECT_TRUE(fs::exists(archive));
}

TEST_F(FeedbackDlgTest, EscapeAndCloseCancel) {
    PrepareApp({});
    CFeedBackDlg& dlg = OpenDialog();
    dlg.close();
    EXPECT_EQ(kt::kIdCancel, dlg.result());
    CFeedBackDlg& second = OpenDialog();
    QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(&second, &esc);
    EXPECT_EQ(kt::kIdCancel, second.result());
    EXPECT_FALSE(second.isVisible());
}

TEST_F(FeedbackDlgTest, ReturnSubmitsExceptInTheDescriptionWhereItBreaksTheLine) {
    PrepareApp({});
    CFeedBackDlg& dlg = OpenDialog();
    Fill(u"", u"a@b.cn", u"", u"t", u"d");
    QPlainTextEdit* pDesc = static_cast<QPlainTextEdit*>(dlg.GetDlgItem(kt::IDC_EDIT_DESC));
    pDesc->moveCursor(QTextCursor::End);
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
    QApplication::sendEvent(pDesc, &enter);
    EXPECT_TRUE(m_vecBoxes.empty());
    EXPECT_EQ(u"d\r\n", dlg.GetDlgItemText(kt::IDC_EDIT_DESC));

    QApplication::sendEvent(dlg.GetDlgItem(kt::IDC_EDIT_EMAIL), &enter);
    ASSERT_EQ(1u, m_vecBoxes.size());
    EXPECT_EQ(u"必填信息不全，请输入完整的信息后再递交。", m_vecBoxes[0].strText);
}

TEST_F(FeedbackDlgTest, ScreenshotNamesCountUpWithinTheProcess) {
    PrepareApp({u"-T", u"0"});
    const std::u16string strFirst = OpenDialog().GetAttachFile();
    const std::u16string strSecond = OpenDialog().GetAttachFile();
    const std::u16string strTmp = kt::FromFsPath(m_root.string()) + u"\\tmp\\";
    // "<tmp dir>\" + "\ScreenShootYYYYMMDDNNN.jpeg"
    ASSERT_EQ(strTmp.size() + 28, strFirst.size());
    EXPECT_EQ(strTmp + u"\\ScreenShoot", strFirst.substr(0, strTmp.size() + 12));
    EXPECT_EQ(u".jpeg", strFirst.substr(strFirst.size() - 5));
    const int nFirst = std::stoi(kt::ToUtf8(strFirst.substr(strFirst.size() - 8, 3)));
    const int nSecond = std::stoi(kt::ToUtf8(strSecond.substr(strSecond.size() - 8, 3)));
    EXPECT_EQ(nFirst + 1, nSecond);
    EXPECT_TRUE(fs::is_directory(m_root / "tmp"));
    // Format of the name itself.
    EXPECT_EQ(u"X\\\\ScreenShoot20240105001.jpeg", kt::FormatScreenShotPath(u"X\\", 2024, 1, 5, 1));
}

}  // namespace
