// Output of the controller: log lines and status text to the GUI's sinks,
// the core's log bridged into them, the closing "Total time" line.
#include <cstring>

#include "controller_state.h"
#include "elapsed_time.h"
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

void logElapsed(FlashController* controller, int64_t startMicroseconds, int64_t endMicroseconds) {
    char line[64];
    const int32_t length = stm32FormatTotalTime(startMicroseconds, endMicroseconds, line, sizeof line);
    logText(controller, nativeFromUtf8(line, static_cast<size_t>(length), kMessageUnits));
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
