// Output of the controller: log lines and status text to the GUI's sinks,
// the core's log bridged into them, the closing "Total time" line.
#include <cstring>

#include "controller_state.h"
#include "text.h"

namespace controller {

namespace {

// Converts the core's UTF-8 log text; the continuation flag passes unchanged.
int logBridge(void* userData, const char* text, uint32_t length, int continuation) {
    auto* controller = static_cast<FlashController*>(userData);
    const NativeString line = length == 0 ? NativeString() : nativeFromUtf8(text, length, kMessageUnits);
    logText(controller, line, continuation);
    return 0;
}

} // namespace

void logText(FlashController* controller, const NativeString& text, int noLineBreak) {
    if (controller->logSink != nullptr) controller->logSink(controller->logUserData, text.c_str(), noLineBreak);
}

void logMessage(FlashController* controller, const char* utf8) {
    logText(controller, nativeFromUtf8(utf8, std::strlen(utf8), kMessageUnits));
}

void logPathMessage(FlashController* controller, const char* format, const NativeString& path) {
    logText(controller, formatNative(format, utf8FromNative(path).c_str()));
}

void logElapsed(FlashController* controller, std::chrono::steady_clock::time_point start,
                std::chrono::steady_clock::time_point end) {
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(end - start).count();
    logText(controller, formatNative("Total time: %1.1f s", static_cast<double>(micros) * 0.000001));
}

void reportStatus(FlashController* controller, const NativeString& status) {
    if (controller->statusSink != nullptr) controller->statusSink(controller->statusUserData, status.c_str());
    if (controller->targetChanged != nullptr) controller->targetChanged(controller->targetChangedUserData);
}

ContextHolder openContext(FlashController* controller) {
    ContextHolder context(stm32Init());
    if (context) stm32RegisterLogCallback(context.get(), controller, logBridge);
    return context;
}

} // namespace controller

void setStatusSink(FlashController* controller, void* userData, StatusSink sink) {
    controller->statusUserData = userData;
    controller->statusSink = sink;
}

void setLogSink(FlashController* controller, void* userData, LogSink sink) {
    controller->logUserData = userData;
    controller->logSink = sink;
}
