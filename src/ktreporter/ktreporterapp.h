// The application object: start-up, the profile store, the client directories, the URL table, the
// parsed command line, shut-down. One per process, used on the GUI thread only. Free of any
// toolkit: what start-up needs of the window system (the message pump, the dialog's window, the
// profile's store) comes through the seams declared at the end and in platform/profile.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ktreporter/reporterargs.h"
#include "platform/profile.h"
#include "serverpath/clientpathmanager.h"
#include "serverpath/serverpathmanager.h"

namespace kt {

inline constexpr ClientPathType kClientPathEtc = static_cast<ClientPathType>(1);
inline constexpr ClientPathType kClientPathTmp = static_cast<ClientPathType>(6);
inline constexpr SPathType kSptFeedback = SPT_FEEDBACK;

inline constexpr std::u16string_view kRegistryKey = u"KTReporter Software";
inline constexpr std::u16string_view kMsgHttpPoolFailed = u"初始化HTTPxx操作请求池信息！";

class CKTReporterApp {
public:
    // Becomes the process's application object (Get) until destroyed.
    CKTReporterApp();
    ~CKTReporterApp();
    CKTReporterApp(const CKTReporterApp&) = delete;
    CKTReporterApp& operator=(const CKTReporterApp&) = delete;

    static CKTReporterApp* Get();

    // The whole process: the toolkit's application (the graphics start-up), InitInstance,
    // ExitInstance. vecArgs is the command line as the process received it, program name first.
    // Returns the process's exit status.
    int Run(int& argc, char** argv, std::vector<std::u16string> vecArgs);

    // Start-up steps 1 to 12; always false. Needs the toolkit's application.
    bool InitInstance();
    // Step 12: the feedback dialog, run modally. Lives in a file of its own so that the dialog,
    // which asks the application for its context, and the application do not include each other.
    static void RunFeedbackDialog();
    // Shut-down: the pools in reverse order; returns 0.
    int ExitInstance();

    // Pieces of start-up, in the order InitInstance calls them.
    void SetRegistryKey(std::u16string_view strKey);
    // Steps 6 and 7: the client root and the URL table from its etc directory. strExeDir ends in
    // a backslash.
    void SetExecutableDirectory(std::u16string_view strExeDir);
    // Step 10 over the stored command line.
    bool ParseCommandLine();
    void SetCommandLine(std::vector<std::u16string> vecArgs) { m_vecCmdLine = std::move(vecArgs); }

    // The profile: the platform's store (OpenUserProfile) under the registry key and GetAppName(),
    // opened by SetRegistryKey; before that nothing is stored and defaults are answered.
    bool WriteProfileString(std::u16string_view strSection, std::u16string_view strEntry,
                            std::u16string_view strValue);
    std::u16string GetProfileString(std::u16string_view strSection, std::u16string_view strEntry,
                                    std::u16string_view strDefault) const;
    // Replaces the store (tests keep the profile in memory).
    void SetProfileStore(std::unique_ptr<IProfileStore> pStore) { m_pProfile = std::move(pStore); }

    std::u16string GetClientPath(ClientPathType nType);
    std::u16string GetServerURL(SPathType nType) const;
    std::u16string GetUserId() const { return m_args.m_strUserId; }
    int32_t GetAttachType() const { return m_args.m_nAttachType; }
    const std::u16string& GetAttachPath() const { return m_args.m_strAttachPath; }
    uint32_t GetCaptureWnd() const { return m_args.m_hCaptureWnd; }
    const CReporterArgs& GetArgs() const { return m_args; }
    const std::u16string& GetExecutableDirectory() const { return m_strExeDir; }
    // The executable's base name: the application's name in captions and in the profile.
    const std::u16string& GetAppName() const { return m_strAppName; }
    void SetAppName(std::u16string strName) { m_strAppName = std::move(strName); }

    // Deletes the archive given by -P when -T 1 and -D were given; nothing otherwise.
    void CleanUpAttachment();

private:
    CClientPathManager m_pathClient;
    std::u16string m_strExeDir;
    CServerPathManager m_pathServer;
    CReporterArgs m_args;

    std::unique_ptr<IProfileStore> m_pProfile;
    std::u16string m_strAppName;
    std::vector<std::u16string> m_vecCmdLine;
    bool m_bEnginePumped = false;
};

// The toolkit's part of start-up. InstallEnginePump lets the toolkit's event loop on the calling
// (GUI) thread deliver the engine's window messages (with Qt: the thread's wake hook queues one
// PumpMessages call into the Qt loop); RemoveEnginePump undoes it before the toolkit's application
// goes away.
void InstallEnginePump();
void RemoveEnginePump();

// Installs the QMessageBox handler of platform/msgbox.h (parent: the active window).
void InstallQtMessageBox();

}  // namespace kt
