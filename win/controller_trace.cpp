// The GUI's debug trace: the core's trace lines (every DFU request, reply
// and decision) appended to a file a user can send us. The GUI has no
// console, so STM32_DEBUG=1 alone would print them nowhere.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "controller_state.h"

#ifdef _WIN32
#include <wchar.h>
#endif

namespace controller {

namespace {

// Notepad of older Windows shows LF-only text as one long line.
#ifdef _WIN32
constexpr char kLineEnd[] = "\r\n";
#else
constexpr char kLineEnd[] = "\n";
#endif

// Called by the core under its trace lock, one line at a time.
void writeTraceLine(void* userData, const char* line) {
    auto* file = static_cast<std::FILE*>(userData);
    std::fputs(line, file);
    std::fputs(kLineEnd, file);
    // A crash or a kill must not lose the lines that tell what happened.
    std::fflush(file);
}

std::FILE* openForAppend(const NativeString& path) {
#ifdef _WIN32
    return _wfopen(path.c_str(), L"ab");
#else
    return std::fopen(path.c_str(), "ab");
#endif
}

} // namespace

} // namespace controller

using namespace controller;

bool traceWanted(FlashController* controller, const char* debugVariable) {
    if (debugVariable != nullptr && std::strcmp(debugVariable, "1") == 0) return true;
    uint32_t value = 0;
    SettingsStore* settings = controller->settings;
    return settings != nullptr && settings->readNumber(kTraceValue, &value) && value != 0;
}

bool startTrace(FlashController* controller, const NativeString& path) {
    stopTrace(controller);
    std::FILE* file = openForAppend(path);
    if (file == nullptr) return false;
    controller->traceFile = file;
    stm32SetTraceCallback(writeTraceLine, file);
    return true;
}

void stopTrace(FlashController* controller) {
    if (controller->traceFile == nullptr) return;
    // Once this returns the core calls the old callback no more.
    stm32SetTraceCallback(nullptr, nullptr);
    std::fclose(static_cast<std::FILE*>(controller->traceFile));
    controller->traceFile = nullptr;
}
