// One command's record of its board.
#include "session.h"

#include <cstdarg>

#include "trace.h"

namespace stm32 {

Session::Session(libusb_device_handle* handle) : handle_(handle), started_(std::chrono::steady_clock::now()) {}

void Session::trace(const char* kind, const char* format, ...) const {
    va_list args;
    va_start(args, format);
    traceLine(started_, board_.c_str(), kind, format, args);
    va_end(args);
}

void Session::recordFailure(const FailureCause& cause) {
    failure_ = cause;
    trace("fail", "%s", cause.describe().c_str());
}

std::vector<std::string> Session::takeNotes() {
    std::vector<std::string> taken;
    taken.swap(notes_);
    return taken;
}

} // namespace stm32
