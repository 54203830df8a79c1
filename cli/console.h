// What stm32cmd writes to the console: the library's log lines on standard
// output, the debug trace, its own lines, errors and the usage text.
#ifndef STM32_CLI_CONSOLE_H
#define STM32_CLI_CONSOLE_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "options.h"

namespace cli {

// Where the human log goes (the library's lines, the program's own report
// lines): standard output, or standard error when standard output carries
// --json. Decided once, before the first line; everything that writes the
// human log asks here.
std::FILE* humanLog();
void sendHumanLogToStandardError(bool toStandardError);

// The library's log callback: progress pieces without a line break, shown at once.
int consoleLog(void* userData, const char* text, uint32_t length, int continuation);

// --trace: the core's lines go where STM32_DEBUG=1 sends them, standard error.
void traceToStandardError(void* userData, const char* line);

// Text of the program's own on standard output, unless quiet (the library's
// log is silenced the same way).
void say(const CliOptions& options, const std::string& text);

// "subject: the system's text for errno" on standard error.
void printSystemError(const std::string& subject);

// errorText (may be empty), then the usage text, on standard error; the exit status 7.
int showUsage(const std::string& programName, const std::string& errorText);

} // namespace cli

#endif
