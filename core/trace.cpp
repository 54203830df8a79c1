// Debug trace channel: process-wide callback, or standard error with STM32_DEBUG=1.
#include "trace.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "session.h"
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

double millisecondsSince(std::chrono::steady_clock::time_point origin) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - origin).count();
}

std::chrono::steady_clock::time_point processOrigin() {
    static const std::chrono::steady_clock::time_point origin = std::chrono::steady_clock::now();
    return origin;
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

void trace(const char* kind, const char* format, ...) {
    if (!traceEnabled()) return;
    const Session* session = Session::active();
    double ms = millisecondsSince(session != nullptr ? session->started() : processOrigin());
    char text[400];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    char line[480];
    std::snprintf(line, sizeof line, "stm32 %10.3f %-6s %s", ms, kind, text);
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
