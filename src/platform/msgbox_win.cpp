#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/codepage.h"
#include "platform/msgbox.h"
#include "platform/platform_impl.h"

namespace kt::detail {
namespace {

// A program linked for the GUI subsystem shows real boxes; a console program (kt-inspect, the
// test binaries) has nobody to press a button, so its boxes become lines on stderr as on Linux.
bool IsGuiProgram() {
    static const bool s_bGui = [] {
        const auto* pBase = reinterpret_cast<const BYTE*>(::GetModuleHandleW(nullptr));
        const auto* pDos = reinterpret_cast<const IMAGE_DOS_HEADER*>(pBase);
        const auto* pNt = reinterpret_cast<const IMAGE_NT_HEADERS*>(pBase + pDos->e_lfanew);
        return pNt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI;
    }();
    return s_bGui;
}

}  // namespace

int DefaultMessageBox(std::u16string_view strText, std::u16string_view strCaption, unsigned uType) {
    if (IsGuiProgram()) {
        const std::u16string text(strText), caption(strCaption);
        return ::MessageBoxW(nullptr, reinterpret_cast<const wchar_t*>(text.c_str()),
                             reinterpret_cast<const wchar_t*>(caption.c_str()), uType);
    }
    const std::string text = ToUtf8(strText);
    const std::string caption = ToUtf8(strCaption);
    std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
    return kIdOk;
}

}  // namespace kt::detail
