// The Windows part of the application: GDI+ and the common controls around InitInstance and
// ExitInstance, the platform's message boxes owned by the active window. The engine's hidden
// windows are real message-only windows of this thread, so the dialog's own modal loop delivers
// their messages: there is no pump to install.
#include <windows.h>
// After <windows.h>, which it needs.
#include <commctrl.h>

#include <string>

#include "functional/gdiplus_win.h"

#include "ktreporter/ktreporterapp.h"
#include "platform/codepage.h"
#include "platform/msgbox.h"
#include "platform/trace.h"

namespace kt {
namespace {

// The graphics library's start-up token and input, process globals with the library's defaults.
ULONG_PTR g_gdiplusToken = 0;
Gdiplus::GdiplusStartupInput g_gdiplusStartupInput;

void InstallWin32MessageBox() {
    SetMessageBoxHandler([](std::u16string_view strText, std::u16string_view strCaption,
                            unsigned uType) -> int {
        // What a box said is worth having in the trace: it is the only record of a refusal
        // or a server reply once the box is gone.
        KT_TRACE("MessageBox [%s] %s\n", ToUtf8(strCaption).c_str(), ToUtf8(strText).c_str());
        const std::u16string text(strText), caption(strCaption);
        return ::MessageBoxW(::GetActiveWindow(), reinterpret_cast<const wchar_t*>(text.c_str()),
                             reinterpret_cast<const wchar_t*>(caption.c_str()), uType);
    });
}

}  // namespace

void InstallEnginePump() {}
void RemoveEnginePump() {}

int CKTReporterApp::Run(int&, char**, std::vector<std::u16string> vecArgs) {
    SetCommandLine(std::move(vecArgs));
    // Start-up steps 1 and 2: GDI+, then every standard class of the common controls.
    if (Gdiplus::GdiplusStartup(&g_gdiplusToken, &g_gdiplusStartupInput, nullptr) != Gdiplus::Ok) {
        return 0;
    }
    INITCOMMONCONTROLSEX icc{sizeof(icc), 0xFF};
    ::InitCommonControlsEx(&icc);
    InstallWin32MessageBox();
    InitInstance();
    const int nExit = ExitInstance();
    SetMessageBoxHandler({});
    Gdiplus::GdiplusShutdown(g_gdiplusToken);
    return nExit;
}

}  // namespace kt
