/*
 * Timing of one command and its closing "Total time" line. A monotonic
 * clock, so that a clock change during a long upload cannot show a negative
 * or absurd time.
 */
#ifndef STM32_FRONTEND_ELAPSED_TIME_H
#define STM32_FRONTEND_ELAPSED_TIME_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Microseconds on a monotonic clock; only differences mean anything. */
int64_t stm32NowMicroseconds(void);

/*
 * Writes "Total time: %1.1f s" for the time between the two stamps into
 * buffer (NUL-terminated, cut to fit), without a line break: each front end
 * ends the line its own way. Returns the length of the text.
 */
int32_t stm32FormatTotalTime(int64_t startMicroseconds, int64_t endMicroseconds, char *buffer, size_t capacity);

#ifdef __cplusplus
}
#endif

#endif /* STM32_FRONTEND_ELAPSED_TIME_H */
