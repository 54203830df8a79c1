#include "controller_idle_gate.h"

namespace controller {

namespace {

constexpr auto kFirstPollWait = std::chrono::seconds(2);

} // namespace

void IdleGate::open() {
    std::lock_guard<std::mutex> guard(lock_);
    if (!operationRunning_) idle_ = 1;
}

int IdleGate::isIdle() {
    std::lock_guard<std::mutex> guard(lock_);
    return idle_;
}

bool IdleGate::operationRunning() {
    std::lock_guard<std::mutex> guard(lock_);
    return operationRunning_;
}

// Refused while another operation runs; otherwise waits for a poll that is
// already inside its USB calls, so the operation has the target to itself.
bool IdleGate::beginOperation() {
    std::unique_lock<std::mutex> guard(lock_);
    if (operationRunning_) return false;
    operationRunning_ = true;
    idle_ = 0;
    changed_.wait(guard, [this] { return !polling_; });
    return true;
}

void IdleGate::endOperation() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        operationRunning_ = false;
        idle_ = 1;
    }
    changed_.notify_all();
}

bool IdleGate::beginPoll() {
    std::lock_guard<std::mutex> guard(lock_);
    if (idle_ == 0 || stopping_) return false;
    polling_ = true;
    return true;
}

void IdleGate::endPoll() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        polling_ = false;
        firstPollDone_ = true;
    }
    changed_.notify_all();
}

void IdleGate::markFirstPollDone() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        firstPollDone_ = true;
    }
    changed_.notify_all();
}

void IdleGate::waitForFirstPoll() {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, kFirstPollWait, [this] { return firstPollDone_; });
}

bool IdleGate::sleepUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_until(guard, deadline, [this] { return stopping_; });
    return !stopping_;
}

void IdleGate::stop() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
}

} // namespace controller
