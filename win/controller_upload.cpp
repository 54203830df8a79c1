// Upload: the loaded image written to the chosen target on a thread of its
// own, at the option offset while the option area is in use.
#include <system_error>

#include "controller_state.h"
#include "elapsed_time.h"
#include "option_area.h"

namespace controller {

namespace {

const char kTargetChangedSinceLoad[] = "The target changed after the file was loaded: load the file again.";

struct UploadJob {
    int32_t targetIndex;
    uint32_t flashStart;
    int32_t flashSize;
    uint32_t offset;
};

void uploadMain(FlashController* controller, UploadJob job) {
    ContextHolder context = openContext(controller);
    if (context) {
        stm32SetBuffer(context.get(), controller->flashBuffer.data(), job.flashSize, controller->image.data(),
                       controller->imageLength);
        // Bytes the file leaves undefined keep what the flash holds.
        stm32SetImageRanges(context.get(), controller->imageRanges.data(),
                            static_cast<int32_t>(controller->imageRanges.size()));
        const int64_t start = stm32NowMicroseconds();
        const int32_t result = stm32Command(context.get(), job.targetIndex, job.flashStart, job.offset,
                                            controller->imageLength, STM32_CMD_UPLOAD);
        const int64_t end = stm32NowMicroseconds();
        context.reset();
        if (result == STM32_RESULT_OK) logElapsed(controller, start, end);
    }
    endOperation(controller);
}

// Geometry and target as they stand once the operation holds the target;
// false (with a log line) when they do not fit the loaded buffers.
bool prepareUpload(FlashController* controller, UploadJob* job) {
    job->flashSize = controller->flashSize;
    job->flashStart = controller->flashStartAddress;
    job->targetIndex = chosenTargetIndex(controller);
    if (job->flashSize <= 0 || job->targetIndex < 0) {
        logMessage(controller, kNoTargetForLoad);
        return false;
    }
    if (controller->flashBuffer.size() != static_cast<size_t>(job->flashSize) ||
        controller->imageFlashStart != job->flashStart) {
        logMessage(controller, kTargetChangedSinceLoad);
        return false;
    }
    const bool inUse = readOptionsInUse(controller) != 0;
    job->offset = stm32UploadArea(inUse, controller->optionOffset, job->flashSize, controller->pageSize).offset;
    return true;
}

} // namespace

} // namespace controller

using namespace controller;

void startUpload(FlashController* controller) {
    if (controller->imageLength == 0) return;
    if (!beginOperation(controller)) {
        logMessage(controller, kBusy);
        return;
    }
    UploadJob job{};
    if (!prepareUpload(controller, &job)) {
        endOperation(controller);
        return;
    }
    // The working copy of the upload is not the bytes of a download.
    controller->downloadSize = 0;
    // The previous upload thread ended its operation as its last step.
    if (controller->uploadThread.joinable()) controller->uploadThread.join();
    try {
        controller->uploadThread = std::thread(uploadMain, controller, job);
    } catch (const std::system_error&) {
        endOperation(controller);
    }
}

void joinUpload(FlashController* controller) {
    if (controller->uploadThread.joinable()) controller->uploadThread.join();
}

bool uploadWasStarted(FlashController* controller) {
    return controller->uploadThread.joinable();
}
