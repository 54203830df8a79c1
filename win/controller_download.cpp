// Download: the chosen target's flash (or the option area in use) read into
// the flash buffer on the caller's thread, then written to a file.
#include <algorithm>

#include "controller_state.h"

using namespace controller;

int downloadFromTarget(FlashController* controller) {
    if (!beginOperation(controller)) {
        logMessage(controller, kBusy);
        return -1;
    }
    const int32_t flashSize = controller->flashSize;
    const uint32_t flashStart = controller->flashStartAddress;
    const int32_t targetIndex = chosenTargetIndex(controller);
    if (flashSize <= 0 || targetIndex < 0) {
        logMessage(controller, kNoTargetForLoad);
        endOperation(controller);
        return -1;
    }
    if (!allocateBuffers(controller, flashSize)) {
        endOperation(controller);
        return -1;
    }
    int32_t offset = 0;
    int32_t size = flashSize;
    if (readOptionsInUse(controller) != 0) {
        offset = limitOptionOffset(controller, controller->optionOffset);
        size = std::min(effectiveOptionSize(controller, flashSize), flashSize - offset);
    }
    int32_t result = -1;
    ContextHolder context = openContext(controller);
    if (context) {
        stm32SetBuffer(context.get(), controller->flashBuffer.data(), flashSize, controller->image.data(), flashSize);
        const auto start = std::chrono::steady_clock::now();
        result = stm32Command(context.get(), targetIndex, flashStart, static_cast<uint32_t>(offset), size,
                              STM32_CMD_DOWNLOAD);
        const auto end = std::chrono::steady_clock::now();
        context.reset();
        if (result == STM32_RESULT_OK) {
            logElapsed(controller, start, end);
            controller->downloadSize = size;
        }
    }
    endOperation(controller);
    return result == STM32_RESULT_OK ? 0 : -1;
}

int writeDownloadFile(FlashController* controller, const NativeString& path) {
    if (operationRunning(controller)) return -1;
    const int32_t size = controller->downloadSize;
    if (size <= 0 || static_cast<size_t>(size) > controller->flashBuffer.size()) return -1;
    return writeFileFrom(path, controller->flashBuffer.data(), static_cast<size_t>(size)) ? 0 : -1;
}
