// Download: the chosen target's flash (or the option area in use) read into
// the flash buffer on the caller's thread, then written to a file.
#include "controller_files.h"
#include "controller_parts.h"
#include "elapsed_time.h"

using namespace controller;

namespace {

// Reads area of the target into the slot's flash buffer; true when the core reported success.
bool readFlash(FlashController* controller, const TargetGeometry& target, int32_t targetIndex,
               const Stm32FlashArea& area) {
    ImageSlot& image = controller->image;
    ContextHolder context = controller->output.openContext();
    if (!context) return false;
    stm32SetBuffer(context.get(), image.flashBuffer(), target.flashSize, image.image(), target.flashSize);
    const int64_t start = stm32NowMicroseconds();
    const int32_t result =
        stm32Command(context.get(), targetIndex, target.flashStart, area.offset, area.size, STM32_CMD_DOWNLOAD);
    const int64_t end = stm32NowMicroseconds();
    context.reset();
    if (result != STM32_RESULT_OK) return false;
    controller->output.logElapsed(start, end);
    image.keepDownload(area.size);
    return true;
}

} // namespace

int downloadFromTarget(FlashController* controller) {
    if (!controller->gate.beginOperation()) {
        controller->output.logMessage(kBusy);
        return -1;
    }
    const TargetGeometry target = controller->watch.geometry();
    const int32_t targetIndex = controller->watch.chosenIndex();
    bool read = false;
    if (target.flashSize <= 0 || targetIndex < 0) {
        controller->output.logMessage(kNoTargetForLoad);
    } else if (!controller->image.allocate(target.flashSize, target.flashStart)) {
        controller->output.logMessage(kOutOfMemory);
    } else {
        read = readFlash(controller, target, targetIndex, controller->options.downloadArea(target));
    }
    controller->gate.endOperation();
    return read ? 0 : -1;
}

int writeDownloadFile(FlashController* controller, const NativeString& path) {
    if (controller->gate.operationRunning()) return -1;
    const ImageSlot& image = controller->image;
    const int32_t size = image.downloadSize();
    if (size <= 0 || static_cast<size_t>(size) > image.bufferSize()) return -1;
    return writeFileFrom(path, image.flashBytes(), static_cast<size_t>(size)) ? 0 : -1;
}
