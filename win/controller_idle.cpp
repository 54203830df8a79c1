// The idle hand-over between the watch thread and the operations: an upload
// or download takes the target only once no poll is inside its USB calls,
// and the watch does not poll while an operation holds the target.
#include "controller_state.h"

namespace controller {

namespace {

// The file named on the command line is loaded once the first poll has
// looked at the targets; this bounds the wait if the watch cannot start.
constexpr auto kFirstPollWait = std::chrono::seconds(2);

} // namespace

bool operationRunning(FlashController* controller) {
    std::lock_guard<std::mutex> guard(controller->lock);
    return controller->operationRunning;
}

// Refused while another operation runs; otherwise waits for a poll that is
// already inside its USB calls, so the operation has the target to itself.
bool beginOperation(FlashController* controller) {
    std::unique_lock<std::mutex> guard(controller->lock);
    if (controller->operationRunning) return false;
    controller->operationRunning = true;
    controller->idle = 0;
    controller->idleChanged.wait(guard, [controller] { return !controller->polling; });
    return true;
}

void endOperation(FlashController* controller) {
    {
        std::lock_guard<std::mutex> guard(controller->lock);
        controller->operationRunning = false;
        controller->idle = 1;
    }
    controller->idleChanged.notify_all();
}

bool beginPoll(FlashController* controller) {
    std::lock_guard<std::mutex> guard(controller->lock);
    if (controller->idle == 0 || controller->stopping) return false;
    controller->polling = true;
    return true;
}

void endPoll(FlashController* controller) {
    {
        std::lock_guard<std::mutex> guard(controller->lock);
        controller->polling = false;
        controller->firstPollDone = true;
    }
    controller->idleChanged.notify_all();
}

void markFirstPollDone(FlashController* controller) {
    {
        std::lock_guard<std::mutex> guard(controller->lock);
        controller->firstPollDone = true;
    }
    controller->idleChanged.notify_all();
}

void waitForFirstPoll(FlashController* controller) {
    std::unique_lock<std::mutex> guard(controller->lock);
    controller->idleChanged.wait_for(guard, kFirstPollWait, [controller] { return controller->firstPollDone; });
}

bool sleepUntil(FlashController* controller, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> guard(controller->lock);
    controller->idleChanged.wait_until(guard, deadline, [controller] { return controller->stopping.load(); });
    return !controller->stopping;
}

void stopThreads(FlashController* controller) {
    {
        std::lock_guard<std::mutex> guard(controller->lock);
        controller->stopping = true;
    }
    controller->idleChanged.notify_all();
    if (controller->watchThread.joinable()) controller->watchThread.join();
    if (controller->uploadThread.joinable()) controller->uploadThread.join();
}

} // namespace controller

int isIdle(FlashController* controller) {
    std::lock_guard<std::mutex> guard(controller->lock);
    return controller->idle;
}
