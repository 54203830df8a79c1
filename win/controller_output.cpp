#include "controller_output.h"

#include <cstring>

#include "elapsed_time.h"
#include "text.h"
#include "trace_file.h"

namespace controller {

void OutputSinks::setStatusSink(void* userData, StatusSink sink) {
    statusUserData_ = userData;
    statusSink_ = sink;
}

void OutputSinks::setLogSink(void* userData, LogSink sink) {
    logUserData_ = userData;
    logSink_ = sink;
}

void OutputSinks::setTargetChangedHandler(void* userData, TargetChangedHandler handler) {
    targetChangedUserData_ = userData;
    targetChanged_ = handler;
}

void OutputSinks::log(const NativeString& text, int noLineBreak) const {
    if (logSink_ != nullptr) logSink_(logUserData_, text.c_str(), noLineBreak);
}

void OutputSinks::logMessage(const char* utf8) const {
    log(nativeFromUtf8(utf8, std::strlen(utf8), kMessageUnits));
}

void OutputSinks::logPathMessage(const char* format, const NativeString& path) const {
    log(formatNative(format, utf8FromNative(path).c_str()));
}

void OutputSinks::logElapsed(int64_t startMicroseconds, int64_t endMicroseconds) const {
    char line[64];
    const int32_t length = stm32FormatTotalTime(startMicroseconds, endMicroseconds, line, sizeof line);
    log(nativeFromUtf8(line, static_cast<size_t>(length), kMessageUnits));
}

void OutputSinks::reportTargetChange(const NativeString& status) const {
    if (statusSink_ != nullptr) statusSink_(statusUserData_, status.c_str());
    if (targetChanged_ != nullptr) targetChanged_(targetChangedUserData_);
}

// Converts the core's UTF-8 log text; the continuation flag passes unchanged.
int OutputSinks::logBridge(void* userData, const char* text, uint32_t length, int continuation) {
    const auto* output = static_cast<const OutputSinks*>(userData);
    const NativeString line = length == 0 ? NativeString() : nativeFromUtf8(text, length, kMessageUnits);
    output->log(line, continuation);
    return 0;
}

ContextHolder OutputSinks::openContext() {
    ContextHolder context(stm32Init());
    if (context) stm32RegisterLogCallback(context.get(), this, logBridge);
    return context;
}

bool OutputSinks::startTrace(const NativeString& path) {
    stopTrace();
    tracing_ = stm32StartTraceFile(utf8FromNative(path).c_str()) != 0;
    return tracing_;
}

void OutputSinks::stopTrace() {
    if (!tracing_) return;
    stm32StopTraceFile();
    tracing_ = false;
}

} // namespace controller
