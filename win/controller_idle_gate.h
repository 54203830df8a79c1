// The idle gate: the hand-over of the target between the watch thread and
// the operations. An upload or download takes the target only once no poll
// is inside its USB calls, and the watch does not poll while an operation
// holds the target. Its lock is never held across a library call.
#ifndef STM32_WIN_CONTROLLER_IDLE_GATE_H
#define STM32_WIN_CONTROLLER_IDLE_GATE_H

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace controller {

class IdleGate {
public:
    // The watch starts: idle from now on, unless an operation holds the target.
    void open();
    int isIdle();
    bool operationRunning();
    // Takes the target for an upload or download; false while another one runs.
    bool beginOperation();
    void endOperation();
    // The watch's side: false when it must not poll now.
    bool beginPoll();
    void endPoll();
    void markFirstPollDone();
    // Bounded: the file named on the command line is loaded after the first
    // poll, but not held up forever by a watch that cannot start.
    void waitForFirstPoll();
    // Waits until the deadline or until the gate stops; false once stopping.
    bool sleepUntil(std::chrono::steady_clock::time_point deadline);
    // Ends the watch's sleeps for good (destruction).
    void stop();

private:
    std::mutex lock_;
    std::condition_variable changed_;
    int idle_ = 0;
    bool operationRunning_ = false; // an upload or download holds the target
    bool polling_ = false;          // the watch is inside its USB calls
    bool firstPollDone_ = false;
    bool stopping_ = false;
};

} // namespace controller

#endif
