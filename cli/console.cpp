#include "console.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "exit_status.h"

namespace cli {

namespace {
bool g_humanLogToStandardError = false;
} // namespace

std::FILE* humanLog() { return g_humanLogToStandardError ? stderr : stdout; }

void sendHumanLogToStandardError(bool toStandardError) { g_humanLogToStandardError = toStandardError; }

int consoleLog(void* /*userData*/, const char* text, uint32_t length, int continuation)
{
    std::FILE* out = humanLog();
    if (continuation != 0) {
        std::fwrite(text, 1, length, out);
    } else {
        if (length > 0) std::fwrite(text, 1, length, out);
        std::fputc('\n', out);
    }
    // Progress dots must show while they come, also through a pipe.
    std::fflush(out);
    return 0;
}

void traceToStandardError(void* /*userData*/, const char* line)
{
    std::fprintf(stderr, "%s\n", line);
    std::fflush(stderr);
}

void say(const CliOptions& options, const std::string& text)
{
    if (options.quiet) return;
    std::fputs(text.c_str(), humanLog());
    std::fflush(humanLog());
}

void printSystemError(const std::string& subject)
{
    std::fprintf(stderr, "%s: %s\n", subject.c_str(), std::strerror(errno));
}

int showUsage(const std::string& programName, const std::string& errorText)
{
    std::fputs(errorText.c_str(), stderr);
    std::fputs(usageText(programName).c_str(), stderr);
    return kExitParameterError;
}

} // namespace cli
