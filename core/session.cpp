// Per-command session record, active for the thread that runs the command.
#include "session.h"

#include "trace.h"

namespace stm32 {

namespace {
thread_local Session* t_active = nullptr;
} // namespace

Session::Session() : started_(std::chrono::steady_clock::now()), previous_(t_active) { t_active = this; }

Session::~Session() { t_active = previous_; }

Session& Session::current() {
    if (t_active != nullptr) return *t_active;
    // Created on first use and then active for the rest of the thread.
    thread_local Session spare;
    return spare;
}

const Session* Session::active() { return t_active; }

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
