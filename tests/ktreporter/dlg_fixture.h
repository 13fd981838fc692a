// What the dialog's tests share, free of any toolkit: a temporary client root, the engine's pool, a
// loopback receiver named by etc/urlserver.xml, a recorder of message boxes, a profile kept in
// the platform's store emptied, and a fresh application object per dialog. Each test file shows the
// dialog its own way: to a recording view, or in the window of the build's toolkit.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "httpdownload/httppublic.h"
#include "ktreporter/feedbackdlg.h"
#include "ktreporter/ktreporterapp.h"
#include "platform/codepage.h"
#include "platform/msgbox.h"
#include "platform/paths.h"
#include "support/http_server.h"
#include "support/scoped.h"

namespace kttest {

namespace fs = std::filesystem;

inline const int kFieldIds[] = {kt::IDC_EDIT_NAME, kt::IDC_EDIT_EMAIL, kt::IDC_EDIT_PHONE,
                                kt::IDC_EDIT_TITLE, kt::IDC_EDIT_DESC};
inline const char16_t* const kProfileKeys[] = {u"FEEDBACK_NAME", u"FEEDBACK_EMAIL",
                                               u"FEEDBACK_PHONE"};

class DlgFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kt::SetAnsiCodePage("GBK"));
        m_root = fs::temp_directory_path() /
                 ("ktdlg-" + std::to_string(reinterpret_cast<uintptr_t>(this)));
        fs::remove_all(m_root);
        fs::create_directories(m_root);
        ASSERT_EQ(1, HttpPool_Initialize(nullptr));
        kt::CKTReporterApp app;
        app.SetRegistryKey(kt::kRegistryKey);
        for (const char16_t* psz : kProfileKeys) app.WriteProfileString(u"FEEDBACK_INFO", psz, u"");
    }
    void TearDown() override {
        m_pDlg.reset();
        HttpPool_Uninitialize();
        if (m_pServer) m_pServer->Stop();
        m_pApp.reset();
        kt::SetAnsiCodePage("");
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }

    // Starts the receiver and writes etc/urlserver.xml with kind 24 pointing at it.
    void StartReceiver() {
        m_pServer = std::make_unique<CHttpServer>();
        ASSERT_TRUE(m_pServer->IsRunning());
        fs::create_directories(m_root / "etc");
        std::ofstream(m_root / "etc" / "urlserver.xml")
            << "<?xml version=\"1.0\"?>\n<root>\n  <url id=\"1\" path=\"http://127.0.0.1:1/x\"/>\n"
               "  <url id=\"24\" path=\"http://127.0.0.1:"
            << m_pServer->Port() << "/feedback\"/>\n</root>\n";
    }
    // A new application object through the dialog's part of start-up (profile, directories, URL
    // table, command line) and a new dialog for it, not yet initialised.
    template <typename DLG = kt::CFeedBackDlg>
    DLG& NewDialog(std::vector<std::u16string> vecArgs) {
        m_pDlg.reset();
        m_pApp = std::make_unique<kt::CKTReporterApp>();
        m_pApp->SetRegistryKey(kt::kRegistryKey);
        vecArgs.insert(vecArgs.begin(), u"ktreporter");
        m_pApp->SetExecutableDirectory(kt::FromFsPath(m_root.string()) + u"\\");
        m_pApp->SetCommandLine(std::move(vecArgs));
        EXPECT_TRUE(m_pApp->ParseCommandLine());
        m_pDlg = std::make_unique<DLG>();
        return static_cast<DLG&>(*m_pDlg);
    }
    void Fill(const std::vector<std::u16string>& vecFields = {u"n", u"a@b.cn", u"", u"t", u"d"}) {
        for (size_t i = 0; i < vecFields.size(); ++i)
            m_pDlg->SetDlgItemText(kFieldIds[i], vecFields[i]);
    }
    fs::path m_root;
    // Each box as "caption|text"; every one of them has only the OK button. m_fnOnBox runs as a
    // box is shown.
    std::vector<std::string> m_vecBoxes;
    std::function<void()> m_fnOnBox;
    CScopedMessageBoxHandler m_boxes{
        [this](std::u16string_view strText, std::u16string_view strCaption, unsigned uType) {
            if (m_fnOnBox) m_fnOnBox();
            m_vecBoxes.push_back(kt::ToUtf8(strCaption) + "|" + kt::ToUtf8(strText));
            EXPECT_EQ(kt::kMbOk, uType & 0xF);
            return kt::kIdOk;
        }};
    std::unique_ptr<kt::CKTReporterApp> m_pApp;
    std::unique_ptr<CHttpServer> m_pServer;
    std::unique_ptr<kt::CFeedBackDlg> m_pDlg;
};

}  // namespace kttest
