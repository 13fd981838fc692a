#include "platform/msgbox.h"

#include <mutex>

#include "platform/platform_impl.h"

namespace kt {
namespace {

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
    return detail::DefaultMessageBox(strText, strCaption, uType);
}

}  // namespace kt
