// The Qt part of the application: the Qt application as the graphics start-up, its message boxes,
// and the Qt loop pumping the engine's message windows.
#include <QApplication>
#include <QMetaObject>
#include <atomic>

#include "ktreporter/ktreporterapp.h"
#include "platform/msgbox.h"
#include "platform/msgwindow.h"

namespace kt {
namespace {

// Set while a pump is queued in the Qt loop, so that a burst of posted messages costs one pump.
std::atomic<bool> g_bPumpQueued{false};

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

}  // namespace kt
