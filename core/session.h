// What one command learns about its board while it talks to it: the ROM's
// known behaviour, what the board has shown (a stalled poll, read
// protection), the address pointer, the last failure and its cause, and
// notes the engine logs once its progress line is closed. The transport
// takes it explicitly: one command, one session, one thread.
#ifndef STM32_CORE_SESSION_H
#define STM32_CORE_SESSION_H

#include <libusb.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "failure.h"
#include "rom_knowledge.h"

namespace stm32 {

class Session {
public:
    Session() : Session(nullptr) {}
    explicit Session(libusb_device_handle* handle);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The open board the session talks to; null until it is open.
    libusb_device_handle* handle() const { return handle_; }
    void attach(libusb_device_handle* handle) { handle_ = handle; }

    // The board's port path, which every trace line names from now on.
    void nameBoard(const std::string& portPath) { board_ = portPath; }

    // One trace line, its time counted from the session's start.
    void trace(const char* kind, const char* format, ...) const
#if defined(__GNUC__) || defined(__clang__)
        __attribute__((format(printf, 3, 4)))
#endif
        ;

    // What is known of the board's ROM: the default row until it is learned.
    const RomKnowledge& rom() const { return rom_; }
    void knowRom(const RomKnowledge& rom) { rom_ = rom; }
    // A status request was stalled: from now on every poll waits the
    // announced time, whatever the ROM is known for.
    bool statusStalled = false;
    // Some reply carried errVENDOR: the flash is read-protected.
    bool readProtected = false;
    // Address pointer and block size, so that a failed block names its address.
    uint32_t addressPointer = 0;
    uint32_t blockSize = 0;

    // Keeps the cause (the last one counts) and traces it.
    void recordFailure(const FailureCause& cause);
    const FailureCause& failure() const { return failure_; }
    void clearFailure() { failure_ = FailureCause{}; }

    // A complete log line for the engine (never in the middle of a progress line).
    void addNote(const std::string& line) { notes_.push_back(line); }
    std::vector<std::string> takeNotes();

private:
    libusb_device_handle* handle_;
    std::chrono::steady_clock::time_point started_;
    std::string board_;
    RomKnowledge rom_;
    FailureCause failure_;
    std::vector<std::string> notes_;
};

} // namespace stm32

#endif
