// The controller's output sinks: the status line, the log and the
// target-changed handler that the window registers, the core's log bridged
// into the log sink, and the debug trace file. The sinks are set before the
// watch starts and only read afterwards, on any thread.
#ifndef STM32_WIN_CONTROLLER_OUTPUT_H
#define STM32_WIN_CONTROLLER_OUTPUT_H

#include <cstdint>
#include <memory>

#include "flash_controller.h"
#include "stm32.h"

namespace controller {

struct ContextDeleter {
    void operator()(Stm32Context* context) const { stm32Exit(context); }
};
using ContextHolder = std::unique_ptr<Stm32Context, ContextDeleter>;

class OutputSinks {
public:
    void setStatusSink(void* userData, StatusSink sink);
    void setLogSink(void* userData, LogSink sink);
    void setTargetChangedHandler(void* userData, TargetChangedHandler handler);

    void log(const NativeString& text, int noLineBreak = 0) const;
    void logMessage(const char* utf8) const;
    // format has one %s for the path.
    void logPathMessage(const char* format, const NativeString& path) const;
    // The closing "Total time" line; the stamps come from stm32NowMicroseconds.
    void logElapsed(int64_t startMicroseconds, int64_t endMicroseconds) const;
    // The status line, then the target-changed handler.
    void reportTargetChange(const NativeString& status) const;
    // A core context whose log reaches the log sink.
    ContextHolder openContext();

    bool startTrace(const NativeString& path);
    void stopTrace();

private:
    static int logBridge(void* userData, const char* text, uint32_t length, int continuation);

    StatusSink statusSink_ = nullptr;
    void* statusUserData_ = nullptr;
    LogSink logSink_ = nullptr;
    void* logUserData_ = nullptr;
    TargetChangedHandler targetChanged_ = nullptr;
    void* targetChangedUserData_ = nullptr;
    bool tracing_ = false; // this controller started the process's trace file
};

} // namespace controller

#endif
