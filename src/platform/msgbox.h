// Application message boxes go through one replaceable handler: the executable installs a Qt one,
// tests a recorder, headless tools one that writes to stderr (the default).
#pragma once

#include <functional>
#include <string_view>

// <windows.h> renames these to their wide forms; here they name the family's own functions.
#ifdef MessageBox
#undef MessageBox
#endif

namespace kt {

inline constexpr unsigned kMbOk = 0x0;
inline constexpr unsigned kMbOkCancel = 0x1;
inline constexpr unsigned kMbYesNo = 0x4;
inline constexpr unsigned kMbIconError = 0x10;
inline constexpr unsigned kMbIconQuestion = 0x20;
inline constexpr unsigned kMbIconWarning = 0x30;
inline constexpr unsigned kMbIconInformation = 0x40;

inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

using MessageBoxHandler =
    std::function<int(std::u16string_view strText, std::u16string_view strCaption, unsigned uType)>;

// Replaces the handler for the process and returns the previous one; an empty handler restores the
// stderr one. Called on the thread that shows the box.
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);

// AfxMessageBox / MessageBox: shows the text and returns the button pressed (kIdOk by default).
int MessageBox(std::u16string_view strText, std::u16string_view strCaption = u"",
               unsigned uType = kMbOk);

}  // namespace kt
