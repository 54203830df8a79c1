// Context record, buffers and the log channel.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log.h"
#include "stm32.h"

extern "C" Stm32Context* stm32Init(void) {
    return static_cast<Stm32Context*>(std::calloc(1, sizeof(Stm32Context)));
}

extern "C" void stm32Exit(Stm32Context* context) { std::free(context); }

extern "C" void stm32SetBuffer(Stm32Context* context, uint8_t* flashBuffer, int32_t flashBufferSize,
                               uint8_t* image, int32_t imageLength) {
    if (context == nullptr) return;
    context->flashBuffer = flashBuffer;
    context->flashBufferSize = flashBufferSize;
    context->image = image;
    context->imageLength = imageLength;
    context->imageRanges = nullptr; // a new image is whole until its ranges are lent
    context->imageRangeCount = 0;
    // The image is a full flash picture whose tail reads as erased flash.
    if (image != nullptr && imageLength >= 0 && imageLength < flashBufferSize) {
        std::memset(image + imageLength, 0xFF, static_cast<size_t>(flashBufferSize - imageLength));
    }
}

extern "C" void stm32SetUploadFlags(Stm32Context* context, uint32_t flags) {
    if (context != nullptr) context->uploadFlags = flags;
}

extern "C" void stm32SetImageRanges(Stm32Context* context, const Stm32ByteRange* ranges, int32_t count) {
    if (context == nullptr) return;
    context->imageRanges = count > 0 ? ranges : nullptr;
    context->imageRangeCount = count > 0 && ranges != nullptr ? count : 0;
}

extern "C" int32_t stm32SetTargetPath(Stm32Context* context, const char* path) {
    if (context == nullptr) return 0;
    const size_t length = path != nullptr ? std::strlen(path) : 0;
    if (length >= sizeof context->targetPath) {
        context->targetPath[0] = '\0';
        return 0;
    }
    if (length > 0) std::memcpy(context->targetPath, path, length);
    context->targetPath[length] = '\0';
    return 1;
}

extern "C" void stm32GetCommandReport(const Stm32Context* context, Stm32CommandReport* report) {
    if (report == nullptr) return;
    *report = context != nullptr ? context->report : Stm32CommandReport{};
}

extern "C" void stm32RegisterLogCallback(Stm32Context* context, void* userData, Stm32LogCallback callback) {
    if (context == nullptr) return;
    context->callbackUserData = userData;
    context->logCallback = callback;
}

extern "C" int32_t stm32UnitMultiplier(char unit) {
    if (unit == 'K') return 1024;
    if (unit == 'M') return 1048576;
    return 1;
}

void logAppend(Stm32Context* context, const char* text) {
    if (context == nullptr || text == nullptr) return;
    int32_t used = context->logLineLength;
    if (used < 0 || used >= STM32_LOG_LINE_SIZE) used = STM32_LOG_LINE_SIZE - 1;
    size_t space = STM32_LOG_LINE_SIZE - static_cast<size_t>(used);
    // Truncate what does not fit and cap the length at 511.
    int written = std::snprintf(context->logLine + used, space, "%s", text);
    if (written < 0) written = 0;
    if (static_cast<size_t>(written) >= space) written = static_cast<int>(space - 1);
    context->logLineLength = used + written;
}

void logFlush(Stm32Context* context, int continuation) {
    if (context == nullptr) return;
    if (context->logCallback != nullptr) {
        context->logCallback(context->callbackUserData, context->logLine,
                             static_cast<uint32_t>(context->logLineLength), continuation);
    }
    context->logLineLength = 0;
    // An empty line must read as empty to a callback that ignores the length.
    context->logLine[0] = '\0';
}

namespace stm32 {

void logLine(Stm32Context* context, const char* format, ...) {
    if (context == nullptr) return;
    char text[STM32_LOG_LINE_SIZE];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    logAppend(context, text);
    logFlush(context, 0);
}

void logProgress(Stm32Context* context, const char* text) {
    if (context == nullptr) return;
    logAppend(context, text);
    logFlush(context, 1);
}

void logEndProgress(Stm32Context* context) {
    if (context == nullptr) return;
    logFlush(context, 0);
}

} // namespace stm32
