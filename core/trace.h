// Opt-in debug trace: one line per DFU request, reply and engine decision.
// The callback is process-wide (stm32SetTraceCallback); each command counts
// its lines' time from its own start.
#ifndef STM32_CORE_TRACE_H
#define STM32_CORE_TRACE_H

#include <chrono>
#include <cstdarg>

namespace stm32 {

// True when a trace callback is set or STM32_DEBUG=1 is in the environment.
bool traceEnabled();

// One trace line: "stm32 <board> <ms> <kind> <text>", ms since origin; board
// is the port path, "-" when empty. kind is one of req, reply, decide, fail, note.
void traceLine(std::chrono::steady_clock::time_point origin, const char* board, const char* kind, const char* format,
               va_list args);

} // namespace stm32

#endif
