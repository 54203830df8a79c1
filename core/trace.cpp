// Debug trace channel: process-wide callback, or standard error with STM32_DEBUG=1.
#include "trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "stm32.h"

namespace {

std::mutex g_traceMutex; // one line at a time, whichever thread writes it
Stm32TraceCallback g_callback = nullptr;
void* g_userData = nullptr;

bool environmentAsksForTrace() {
    static const bool asked = [] {
        const char* value = std::getenv("STM32_DEBUG");
        return value != nullptr && std::strcmp(value, "1") == 0;
    }();
    return asked;
}

} // namespace

namespace stm32 {

bool traceEnabled() {
    {
        std::lock_guard<std::mutex> lock(g_traceMutex);
        if (g_callback != nullptr) return true;
    }
    return environmentAsksForTrace();
}

void traceLine(std::chrono::steady_clock::time_point origin, const char* board, const char* kind, const char* format,
               va_list args) {
    if (!traceEnabled()) return;
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - origin).count();
    char text[400];
    std::vsnprintf(text, sizeof text, format, args);
    char line[520];
    std::snprintf(line, sizeof line, "stm32 %s %10.3f %-6s %s", board != nullptr && *board != '\0' ? board : "-", ms,
                  kind, text);
    std::lock_guard<std::mutex> lock(g_traceMutex);
    if (g_callback != nullptr) {
        g_callback(g_userData, line);
    } else {
        std::fprintf(stderr, "%s\n", line);
    }
}

} // namespace stm32

extern "C" void stm32SetTraceCallback(Stm32TraceCallback callback, void* userData) {
    std::lock_guard<std::mutex> lock(g_traceMutex);
    g_callback = callback;
    g_userData = userData;
}
