#include "ktreporter/ktreporterapp.h"

#include <QApplication>
#include <QMetaObject>
#include <QSettings>
#include <QString>
#include <atomic>

#include "httpdownload/httppublic.h"
#include "inet/inetpool.h"
#include "ktreporter/feedbackdlg.h"
#include "platform/msgbox.h"
#include "platform/msgwindow.h"
#include "platform/paths.h"
#include "platform/trace.h"

namespace kt {
namespace {

CKTReporterApp* g_pApp = nullptr;
// Set while a pump is queued in the Qt loop, so that a burst of posted messages costs one pump.
std::atomic<bool> g_bPumpQueued{false};

QString ToQString(std::u16string_view str) {
    return QString::fromUtf16(str.data(), static_cast<qsizetype>(str.size()));
}

std::u16string BaseNameOf(const std::u16string& strPath) {
    const size_t nSlash = strPath.find_last_of(u"\\/");
    std::u16string strName = nSlash == std::u16string::npos ? strPath : strPath.substr(nSlash + 1);
    const size_t nDot = strName.rfind(u'.');
    if (nDot != std::u16string::npos && nDot != 0) strName.resize(nDot);
    return strName;
}

}  // namespace

void InstallEnginePump() {
    SetThreadWakeHook([] {
        // Runs on the posting (worker) thread: only schedule, never dispatch here.
        QCoreApplication* pCore = QCoreApplication::instance();
        if (!pCore || g_bPumpQueued.exchange(true)) return;
        QMetaObject::invokeMethod(
            pCore,
            [] {
                g_bPumpQueued.store(false);
                PumpMessages();
            },
            Qt::QueuedConnection);
    });
    // Messages may already be waiting from before the hook existed.
    if (HasPendingMessages() && QCoreApplication::instance()) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [] { PumpMessages(); }, Qt::QueuedConnection);
    }
}

void RemoveEnginePump() {
    SetThreadWakeHook({});
}

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

int CKTReporterApp::Run(int& argc, char** argv, std::vector<std::u16string> vecArgs) {
    SetCommandLine(std::move(vecArgs));
    int nExit = 0;
    {
        // Start-up step 1: the graphics library is the Qt application; common controls
        // (step 2) and the framework boilerplate (step 3) have no counterpart here.
        QApplication app(argc, argv);
        InstallQtMessageBox();
        InitInstance();
        nExit = ExitInstance();
        SetMessageBoxHandler({});
    }
    return nExit;
}

bool CKTReporterApp::InitInstance() {
    if (!QApplication::instance()) return false;
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

    // Both pools notify through message windows of this thread; the Qt loop must pump them.
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

    {
        CFeedBackDlg dlg;
        dlg.DoModal();
    }
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
    m_strRegistryKey = strKey;
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
    if (m_strRegistryKey.empty()) return false;
    QSettings settings(QSettings::UserScope, ToQString(m_strRegistryKey), ToQString(m_strAppName));
    settings.beginGroup(ToQString(strSection));
    settings.setValue(ToQString(strEntry), ToQString(strValue));
    settings.endGroup();
    settings.sync();
    return settings.status() == QSettings::NoError;
}

std::u16string CKTReporterApp::GetProfileString(std::u16string_view strSection,
                                                std::u16string_view strEntry,
                                                std::u16string_view strDefault) const {
    if (m_strRegistryKey.empty()) return std::u16string(strDefault);
    QSettings settings(QSettings::UserScope, ToQString(m_strRegistryKey), ToQString(m_strAppName));
    const QVariant value =
        settings.value(ToQString(strSection) + QLatin1Char('/') + ToQString(strEntry));
    if (!value.isValid()) return std::u16string(strDefault);
    return value.toString().toStdU16String();
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
