// ktreporter.exe: the problem-feedback reporter a client starts with its context on the command
// line.
#include <windows.h>
// After <windows.h>, which it needs.
#include <shellapi.h>

#include <string>
#include <vector>

#include "ktreporter/ktreporterapp.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // The arguments as the process received them, program name first, split the way the C
    // runtime splits them.
    int nArgs = 0;
    LPWSTR* ppszArgs = ::CommandLineToArgvW(::GetCommandLineW(), &nArgs);
    std::vector<std::u16string> vecArgs;
    for (int i = 0; ppszArgs && i < nArgs; ++i) {
        vecArgs.emplace_back(reinterpret_cast<const char16_t*>(ppszArgs[i]));
    }
    ::LocalFree(ppszArgs);
    kt::CKTReporterApp theApp;
    int argc = 0;
    return theApp.Run(argc, nullptr, std::move(vecArgs));
}
