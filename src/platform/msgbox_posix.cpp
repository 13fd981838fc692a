#include <cstdio>

#include "platform/codepage.h"
#include "platform/msgbox.h"
#include "platform/platform_impl.h"

namespace kt::detail {

// Headless: the box becomes a line on stderr and is answered with OK.
int DefaultMessageBox(std::u16string_view strText, std::u16string_view strCaption, unsigned) {
    const std::string text = ToUtf8(strText);
    const std::string caption = ToUtf8(strCaption);
    std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
    return kIdOk;
}

}  // namespace kt::detail
