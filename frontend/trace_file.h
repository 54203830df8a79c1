/*
 * The GUIs' debug trace: the core's trace lines (every DFU request, reply
 * and decision) appended to a file that a user can send us. The GUIs have
 * no console, so STM32_DEBUG=1 alone would print them nowhere. Like the
 * core's trace callback, the trace file is one for the whole process.
 */
#ifndef STM32_FRONTEND_TRACE_FILE_H
#define STM32_FRONTEND_TRACE_FILE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Non-zero when the STM32_DEBUG value (may be null) is exactly "1" or the stored setting is on. */
int32_t stm32TraceWanted(const char *debugVariable, int32_t storedSetting);

/*
 * From now on the trace is appended to the file at path (UTF-8; its wide
 * name on Windows), one line each, ended as the platform's text files are.
 * Its folder must exist. Answers 0 when the file cannot be opened; an
 * earlier trace file is closed either way.
 */
int32_t stm32StartTraceFile(const char *path);

/* Ends the trace and closes the file; nothing happens when none is open. */
void stm32StopTraceFile(void);

#ifdef __cplusplus
}
#endif

#endif /* STM32_FRONTEND_TRACE_FILE_H */
