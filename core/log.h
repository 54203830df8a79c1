// Internal log channel: every text of the library goes through these.
#ifndef STM32_CORE_LOG_H
#define STM32_CORE_LOG_H

#include "stm32.h"

// Appends text to the context's log line, truncated to the space left.
void logAppend(Stm32Context* context, const char* text);
// Hands the log line to the callback (if any) and empties it.
void logFlush(Stm32Context* context, int continuation);

namespace stm32 {

// One complete line, printf-style.
void logLine(Stm32Context* context, const char* format, ...)
#if defined(__GNUC__) || defined(__clang__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
// A piece of a growing line (heading or dot).
void logProgress(Stm32Context* context, const char* text);
// Ends the line the pieces began.
void logEndProgress(Stm32Context* context);
// After a failed open, claim or alternate-setting selection: one line that
// says what the user can change, from the libusb error.
void logOpenHint(Stm32Context* context, int libusbError);

} // namespace stm32

#endif
