// The feedback dialog's behaviour against a recording view, as any toolkit's window drives it:
// validation, the busy state and its timer, replies, failures, the profile and the archive
// clean-up. Posts go to a loopback receiver. (Leaving while a request runs, the bar's steps and
// the body on the wire: in the build's real window, test_dialogview.cpp.)
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ktreporter/dlg_fixture.h"
#include "support/raw_server.h"

namespace {

using kt::CFeedBackDlg;
using namespace kttest;

const std::u16string kMsgIncomplete = u"必填信息不全，请输入完整的信息后再递交。";
const std::u16string kMsgBadEmail = u"不是有效的邮箱地址。";
const std::string kMultipart =
    "Content-Type: multipart/form-data; boundary=---------------------------7d92de3351722";

// The window as the dialog drives it, recorded.
class CFakeView final : public kt::IDialogView {
public:
    std::u16string GetItemText(int nId) const override {
        return m_mapText.count(nId) ? m_mapText.at(nId) : std::u16string();
    }
    void SetItemText(int nId, std::u16string_view strText) override { m_mapText[nId] = strText; }
    void EnableItem(int nId, bool bEnable) override { m_mapEnabled[nId] = bEnable; }
    void ShowItem(int nId, bool bShow) override { m_mapShown[nId] = bShow; }
    void FocusItem(int) override {}
    void SetProgressRange(int, int, int) override {}
    void SetProgressPos(int, int) override {}
    bool SetTimer(uintptr_t nIDEvent, unsigned nElapseMs) override {
        return m_mapTimers.insert_or_assign(nIDEvent, nElapseMs), true;
    }
    bool KillTimer(uintptr_t nIDEvent) override { return m_mapTimers.erase(nIDEvent) != 0; }
    void EndDialog(int nResult) override { m_nResult = nResult; }

    std::map<int, std::u16string> m_mapText;
    std::map<int, bool> m_mapEnabled, m_mapShown;
    std::map<uintptr_t, unsigned> m_mapTimers;
    int m_nResult = 0;
};

class FeedbackDlgTest : public DlgFixture {
protected:
    CFeedBackDlg& Open(std::vector<std::u16string> vecArgs = {}) {
        CFeedBackDlg& dlg = NewDialog(std::move(vecArgs));
        m_view = CFakeView();
        dlg.AttachView(&m_view);
        dlg.OnInitDialog();
        return dlg;
    }
    // Busy: the inputs and submit disabled (the exit button never), the bar shown, timer 1000
    // running at 400 ms; idle: the reverse, and no timer.
    bool IsBusy(bool bBusy) const {
        std::map<int, bool> mapEnabled;
        for (int nId : kFieldIds) mapEnabled[nId] = !bBusy;
        mapEnabled[kt::IDC_BTN_SUBMIT] = !bBusy;
        return m_view.m_mapEnabled == mapEnabled &&
               m_view.m_mapShown == std::map<int, bool>{{kt::IDC_PROGRESS, bBusy}} &&
               m_view.m_mapTimers == (bBusy ? std::map<uintptr_t, unsigned>{{1000, 400}}
                                            : std::map<uintptr_t, unsigned>{});
    }
    // Submits and waits for the message box that ends every accepted submission; its text.
    std::string SubmitAndWait() {
        const size_t nBoxes = m_vecBoxes.size();
        m_pDlg->OnCommand(kt::IDC_BTN_SUBMIT);
        EXPECT_TRUE(PumpUntil([&] { return m_vecBoxes.size() > nBoxes; }));
        return m_vecBoxes.size() > nBoxes ? m_vecBoxes.back() : "<none>";
    }
    std::string AppBox(std::u16string_view strText) const {
        return kt::ToUtf8(m_pApp->GetAppName()) + "|" + kt::ToUtf8(strText);
    }
    // Name, e-mail and phone as the profile holds them.
    std::string Profile() const {
        std::string str;
        for (const char16_t* psz : kProfileKeys)
            str += kt::ToUtf8(m_pApp->GetProfileString(u"FEEDBACK_INFO", psz, u"-")) + "|";
        return str;
    }

    CFakeView m_view;
};

TEST_F(FeedbackDlgTest, OpensIdleAndRefusalsShowTheirTextButStillSaveTheProfile) {
    StartReceiver();
    Open();
    EXPECT_EQ(u"测试下问题", m_view.m_mapText[kt::IDC_EDIT_TITLE]);
    EXPECT_EQ(u"问题描述,与大局无关", m_view.m_mapText[kt::IDC_EDIT_DESC]);
    EXPECT_TRUE(IsBusy(false));
    EXPECT_GT(m_pDlg->GetRequestId(), 0);

    const struct {
        std::vector<std::u16string> vecFields;
        std::u16string strMessage;
    } cases[] = {
        {{u"", u"a@b.cn", u"1", u"t", u"d"}, kMsgIncomplete},
        {{u"n", u"", u"2", u"t", u"d"}, kMsgIncomplete},
        {{u"n", u"a@b.cn", u"3", u"", u"d"}, kMsgIncomplete},
        {{u"n", u"a@b.cn", u"4", u"t", u""}, kMsgIncomplete},
        {{u"n", u"a@b", u"5", u"t", u"d"}, kMsgBadEmail},
        {{u"n", u" a@b.cn", u"6", u"t", u"d"}, kMsgBadEmail},
        {{u"王五", u"王@b.cn", u" 7 ", u"t", u"d"}, kMsgBadEmail},
    };
    for (const auto& c : cases) {
        Fill(c.vecFields);
        // The box comes while the dialog is busy; it is idle again after it.
        m_fnOnBox = [this] { EXPECT_TRUE(IsBusy(true)); };
        const size_t nBefore = m_vecBoxes.size();
        m_pDlg->OnCommand(kt::IDC_BTN_SUBMIT);
        m_fnOnBox = nullptr;
        ASSERT_EQ(nBefore + 1, m_vecBoxes.size());
        EXPECT_EQ(AppBox(c.strMessage), m_vecBoxes.back());
        EXPECT_TRUE(IsBusy(false));
        // The values typed at the click are stored, untrimmed, even though it was refused.
        EXPECT_EQ(kt::ToUtf8(c.vecFields[0] + u"|" + c.vecFields[1] + u"|" + c.vecFields[2] + u"|"),
                  Profile());
    }
    EXPECT_EQ(0u, m_pServer->RequestCount());
    EXPECT_EQ(0, m_view.m_nResult);

    // The next dialog loads them back.
    Open();
    EXPECT_EQ(u"王五|王@b.cn| 7 ", m_view.m_mapText[kt::IDC_EDIT_NAME] + u"|" +
                                       m_view.m_mapText[kt::IDC_EDIT_EMAIL] + u"|" +
                                       m_view.m_mapText[kt::IDC_EDIT_PHONE]);
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

// Each reply as the receiver frames it: the box it gives (a reply is shown as a C string in the
// code page, its last byte giving way to the terminating zero), whether it ends the dialog with OK
// (else the dialog is idle again, and the next row posts again from it), and whether the archive
// goes (only for -T 1 -D 1 after a non-empty reply that arrived whole by its own framing).
TEST_F(FeedbackDlgTest, RepliesShowTheirTextAndOnlyAWholeOneDeletesTheArchive) {
    // The etc directory is made on the way to the URL table; with no urlserver.xml in it there is
    // no URL and the engine refuses the post.
    Open();
    EXPECT_TRUE(fs::is_directory(m_root / "etc"));
    Fill();
    EXPECT_EQ(AppBox(u"HTTP请求参数错误!"), SubmitAndWait());
    EXPECT_TRUE(IsBusy(false));

    kttest::CRawServer raw;
    ASSERT_TRUE(raw.IsRunning());
    std::ofstream(m_root / "etc" / "urlserver.xml")
        << "<?xml version=\"1.0\"?>\n<root>\n  <url id=\"24\" path=\"" << raw.Url("/feedback")
        << "\"/>\n</root>\n";
    const fs::path archive = m_root / "logs.rar";
    const std::string strArchive("Rar!\x1a\x07\0\r\n\xFF", 10);
    const std::u16string strPath = kt::FromFsPath(archive.string());
    const auto ok = [](const std::string& strBody, size_t nLength = 0) {
        return "HTTP/1.1 200 OK\r\nContent-Length: " +
               std::to_string(nLength ? nLength : strBody.size()) + "\r\n\r\n" + strBody;
    };
    const std::string kReply = "服务器返回信息|", strLong(100000, 'r');
    const struct {
        std::u16string strType, strDelete;
        std::string strReply;  // sent whole, then the connection closes
        std::string strBox;
        bool bEnded, bDeleted;
    } cases[] = {
        {u"1", u"1", ok("X"), kReply, true, true},  // one byte: nothing left to show
        {u"1", u"1", ok("abc"), kReply + "ab", true, true},
        {u"1", u"1", ok(std::string("ok\0", 3)), kReply + "ok", true, true},
        {u"1", u"1", ok(std::string("ab\0cd!", 6)), kReply + "ab", true, true},  // to the zero
        {u"1", u"1", ok("\xB3\xC9\xB9\xA6\n"), kReply + "成功", true, true},     // GBK text
        {u"1", u"1", ok(strLong), kReply + strLong.substr(1), true, true},
        {u"1", u"1", ok(""), kReply + "服务器返回数据为空", false, false},
        {u"1", u"1", "HTTP/1.1 500 Oops\r\nContent-Length: 4\r\n\r\noops", "", false, false},
        {u"1", u"1", ok(strLong.substr(50000), strLong.size()), kReply + strLong.substr(50001),
         true, false},
        {u"1", u"1", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nok\n", kReply + "ok", true,
         false},
        // Without -D 1, or with another type, the archive stays after a whole reply.
        {u"1", u"0", ok("ok\n"), kReply + "ok", true, false},
        {u"2", u"1", ok(""), kReply + "服务器返回数据为空", false, false},
        {u"2", u"1", ok("ok\n"), kReply + "ok", true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        std::ofstream(archive, std::ios::binary) << strArchive;
        if (&c == cases || m_view.m_nResult != 0)
            Open({u"-T", c.strType, u"-D", c.strDelete, u"-P", strPath});
        Fill();
        raw.SetDefaultAction(kttest::RAW_ACTION::Reply(c.strReply));
        const size_t nRequest = raw.RequestCount();
        EXPECT_EQ(c.strBox.empty() ? AppBox(u"HTTP应答错误!") : c.strBox, SubmitAndWait());
        EXPECT_EQ(c.bEnded ? kt::kIdOk : 0, m_view.m_nResult);
        EXPECT_TRUE(c.bEnded || IsBusy(false));
        EXPECT_EQ(c.bDeleted, !fs::exists(archive));
        // The file travels behind its type's content-type line; every post of a dialog carries
        // the dialog's header line exactly once.
        const std::string strRequest = raw.Request(nRequest);
        const std::string strHead = strRequest.substr(0, strRequest.find("\r\n\r\n") + 2);
        EXPECT_NE(std::string::npos, strHead.find(kMultipart));
        EXPECT_EQ(strHead.find(kMultipart), strHead.rfind(kMultipart));
        EXPECT_NE(std::string::npos,
                  strRequest.find((c.strType == u"1" ? "rar\r\n\r\n" : "pjpeg\r\n\r\n") +
                                  strArchive + "\r\n---"));
    }
}

}  // namespace
