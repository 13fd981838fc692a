#include "platform/msgbox.h"

#include <cstdio>
#include <mutex>

#include "platform/codepage.h"

namespace kt {
namespace {

int StderrMessageBox(std::u16string_view strText, std::u16string_view strCaption, unsigned) {
    const std::string text = ToUtf8(strText);
    const std::string caption = ToUtf8(strCaption);
    std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
    return kIdOk;
}

struct HandlerState {
    std::mutex mutex;
    MessageBoxHandler handler;
};

HandlerState& State() {
    static HandlerState* s_pState = new HandlerState;
    return *s_pState;
}

}  // namespace

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler) {
    HandlerState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    MessageBoxHandler previous = std::move(s.handler);
    s.handler = std::move(handler);
    return previous;
}

int MessageBox(std::u16string_view strText, std::u16string_view strCaption, unsigned uType) {
    MessageBoxHandler handler;
    {
        HandlerState& s = State();
        std::lock_guard<std::mutex> lock(s.mutex);
        handler = s.handler;
    }
    // Called without the lock: a modal box runs a nested loop that may show another box.
    if (handler) return handler(strText, strCaption, uType);
    return StderrMessageBox(strText, strCaption, uType);
}

}  // namespace kt
