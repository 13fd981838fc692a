#include "ktreporter/ktreporterapp.h"

#include "httpdownload/httppublic.h"
#include "inet/inetpool.h"
#include "platform/msgbox.h"
#include "platform/paths.h"
#include "platform/trace.h"

namespace kt {
namespace {

CKTReporterApp* g_pApp = nullptr;

std::u16string BaseNameOf(const std::u16string& strPath) {
    const size_t nSlash = strPath.find_last_of(u"\\/");
    std::u16string strName = nSlash == std::u16string::npos ? strPath : strPath.substr(nSlash + 1);
    const size_t nDot = strName.rfind(u'.');
    if (nDot != std::u16string::npos && nDot != 0) strName.resize(nDot);
    return strName;
}

}  // namespace

CKTReporterApp::CKTReporterApp() {
    g_pApp = this;
    m_strAppName = BaseNameOf(GetModuleFileName());
}

CKTReporterApp::~CKTReporterApp() {
    if (g_pApp == this) g_pApp = nullptr;
}

CKTReporterApp* CKTReporterApp::Get() {
    return g_pApp;
}

bool CKTReporterApp::InitInstance() {
    SetRegistryKey(kRegistryKey);

    std::u16string strExe = GetModuleFileName();
    const size_t nSlash = strExe.rfind(u'\\');
    if (strExe.empty() || nSlash == std::u16string::npos) {
        // Nowhere to find etc\urlserver.xml or tmp\: better no window than one that cannot send.
        KT_TRACE("%s() cannot determine the executable's path\n", "InitInstance");
        return false;
    }
    strExe.resize(nSlash + 1);
    SetExecutableDirectory(strExe);

    // Both pools notify through message windows of this thread; the toolkit's loop must pump them.
    InstallEnginePump();
    m_bEnginePumped = true;
    if (!InitPool(nullptr)) {
        MessageBox(kInetPoolInitFailedText, m_strAppName, kMbOk | kMbIconWarning);
        return false;
    }
    if (HttpPool_Initialize(nullptr) == 0) {
        MessageBox(kMsgHttpPoolFailed, m_strAppName, kMbOk | kMbIconWarning);
        return false;
    }
    if (!ParseCommandLine()) return false;

    RunFeedbackDialog();
    return false;
}

int CKTReporterApp::ExitInstance() {
    UninitPool();
    HttpPool_Uninitialize();
    if (m_bEnginePumped) {
        RemoveEnginePump();
        m_bEnginePumped = false;
    }
    return 0;
}

void CKTReporterApp::SetRegistryKey(std::u16string_view strKey) {
    m_pProfile = OpenUserProfile(strKey, m_strAppName);
}

void CKTReporterApp::SetExecutableDirectory(std::u16string_view strExeDir) {
    m_strExeDir = strExeDir;
    m_pathClient.SetRootPath(m_strExeDir);
    m_pathServer.Load(m_pathClient.GetPath(kClientPathEtc));
}

bool CKTReporterApp::ParseCommandLine() {
    return kt::ParseCommandLine(m_args, m_vecCmdLine);
}

bool CKTReporterApp::WriteProfileString(std::u16string_view strSection,
                                        std::u16string_view strEntry,
                                        std::u16string_view strValue) {
    return m_pProfile && m_pProfile->WriteString(strSection, strEntry, strValue);
}

std::u16string CKTReporterApp::GetProfileString(std::u16string_view strSection,
                                                std::u16string_view strEntry,
                                                std::u16string_view strDefault) const {
    std::optional<std::u16string> value;
    if (m_pProfile) value = m_pProfile->GetString(strSection, strEntry);
    return value ? *std::move(value) : std::u16string(strDefault);
}

std::u16string CKTReporterApp::GetClientPath(ClientPathType nType) {
    return m_pathClient.GetPath(nType);
}

std::u16string CKTReporterApp::GetServerURL(SPathType nType) const {
    return m_pathServer.GetURL(nType);
}

void CKTReporterApp::CleanUpAttachment() {
    if (m_args.m_nAttachType == 1 && m_args.m_bDeleteAttach && !m_args.m_strAttachPath.empty()) {
        DeleteFileAt(m_args.m_strAttachPath);
    }
}

}  // namespace kt
