// Download: the chosen target's flash (or the option area in use) read into
// the flash buffer on the caller's thread, then written to a file.
#include "controller_state.h"
#include "elapsed_time.h"
#include "option_area.h"

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
    const Stm32FlashArea area =
        stm32DownloadArea(readOptionsInUse(controller) != 0, controller->optionOffset,
                          effectiveOptionSize(controller, flashSize), flashSize, controller->pageSize);
    int32_t result = -1;
    ContextHolder context = openContext(controller);
    if (context) {
        stm32SetBuffer(context.get(), controller->flashBuffer.data(), flashSize, controller->image.data(), flashSize);
        const int64_t start = stm32NowMicroseconds();
        result = stm32Command(context.get(), targetIndex, flashStart, area.offset, area.size, STM32_CMD_DOWNLOAD);
        const int64_t end = stm32NowMicroseconds();
        context.reset();
        if (result == STM32_RESULT_OK) {
            logElapsed(controller, start, end);
            controller->downloadSize = area.size;
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
