// Opt-in debug trace: one line per DFU request, reply and engine decision.
#ifndef STM32_CORE_TRACE_H
#define STM32_CORE_TRACE_H

namespace stm32 {

// True when a trace callback is set or STM32_DEBUG=1 is in the environment.
bool traceEnabled();

// One trace line: "stm32 <ms> <kind> <text>", ms since the current command
// began (or since the first trace line outside a command). kind is one of
// req, reply, decide, fail, note.
void trace(const char* kind, const char* format, ...)
#if defined(__GNUC__) || defined(__clang__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

} // namespace stm32

#endif
