// What one command has learned about its board while it runs: the ROM's
// known behaviours, the last failure and its cause, and notes the engine logs
// once its progress line is closed. The transport functions keep their plain
// signatures, so they reach it through the thread's active session.
#ifndef STM32_CORE_SESSION_H
#define STM32_CORE_SESSION_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "failure.h"

namespace stm32 {

class Session {
public:
    // Becomes the thread's active session until destroyed.
    Session();
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The active session of this thread; a per-thread spare when none is, so
    // transport functions called on their own (tests) still have one.
    static Session& current();
    static const Session* active();

    std::chrono::steady_clock::time_point started() const { return started_; }

    // The ROM holds a status request until the operation is over, so it may
    // be polled without waiting (see rom_quirks.h).
    bool romHoldsStatus = false;
    // A status request was stalled: from now on every poll waits the
    // announced time, whatever the ROM is known for.
    bool statusStalled = false;
    // Some reply carried errVENDOR: the flash is read-protected.
    bool readProtected = false;
    // Address pointer and block size, so that a failed block names its address.
    uint32_t addressPointer = 0;
    uint32_t blockSize = 0;

    void recordFailure(const FailureCause& cause);
    const FailureCause& failure() const { return failure_; }
    void clearFailure() { failure_ = FailureCause{}; }

    // A complete log line for the engine (never in the middle of a progress line).
    void addNote(const std::string& line) { notes_.push_back(line); }
    std::vector<std::string> takeNotes();

private:
    std::chrono::steady_clock::time_point started_;
    FailureCause failure_;
    std::vector<std::string> notes_;
    Session* previous_;
};

} // namespace stm32

#endif
