// What the portable parts of the platform layer take from the platform's own implementation file
// (the _posix.cpp or _win.cpp of the service). Not a public header.
#pragma once

#include <string>
#include <string_view>

namespace kt::detail {

// Whether a trace line reaches anyone when no sink is installed (formatting is skipped otherwise).
bool TraceDefaultActive();
// Writes one formatted line to the platform's trace output.
void TraceDefaultEmit(std::string_view strLine);

// The message box shown when no handler is installed; answers the button pressed.
int DefaultMessageBox(std::u16string_view strText, std::u16string_view strCaption, unsigned uType);

}  // namespace kt::detail
