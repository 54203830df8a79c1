// Upload: the loaded image written to the chosen target on a thread of its
// own, at the option offset while the option area is in use.
#include "controller_upload.h"

#include <system_error>

#include "controller_parts.h"
#include "controller_testing.h"
#include "elapsed_time.h"

namespace controller {

namespace {

const char kTargetChangedSinceLoad[] = "The target changed after the file was loaded: load the file again.";

struct UploadJob {
    int32_t targetIndex;
    uint32_t flashStart;
    int32_t flashSize;
    uint32_t offset;
};

void runUpload(FlashController* controller, UploadJob job) {
    ImageSlot& image = controller->image;
    ContextHolder context = controller->output.openContext();
    if (context) {
        stm32SetBuffer(context.get(), image.flashBuffer(), job.flashSize, image.image(), image.imageLength());
        // Bytes the file leaves undefined keep what the flash holds.
        stm32SetImageRanges(context.get(), image.ranges(), image.rangeCount());
        const int64_t start = stm32NowMicroseconds();
        const int32_t result = stm32Command(context.get(), job.targetIndex, job.flashStart, job.offset,
                                            image.imageLength(), STM32_CMD_UPLOAD);
        const int64_t end = stm32NowMicroseconds();
        context.reset();
        if (result == STM32_RESULT_OK) controller->output.logElapsed(start, end);
    }
    controller->gate.endOperation();
}

// Geometry and target as they stand once the operation holds the target;
// false (with a log line) when they do not fit the loaded buffers.
bool prepareUpload(FlashController* controller, UploadJob* job) {
    const TargetGeometry target = controller->watch.geometry();
    job->flashSize = target.flashSize;
    job->flashStart = target.flashStart;
    job->targetIndex = controller->watch.chosenIndex();
    if (job->flashSize <= 0 || job->targetIndex < 0) {
        controller->output.logMessage(kNoTargetForLoad);
        return false;
    }
    if (!controller->image.preparedFor(job->flashSize, job->flashStart)) {
        controller->output.logMessage(kTargetChangedSinceLoad);
        return false;
    }
    job->offset = controller->options.uploadArea(target).offset;
    return true;
}

} // namespace

bool UploadThread::start(std::function<void()> work) {
    join();
    try {
        thread_ = std::thread(std::move(work));
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void UploadThread::join() {
    if (thread_.joinable()) thread_.join();
}

} // namespace controller

using namespace controller;

void startUpload(FlashController* controller) {
    if (controller->image.imageLength() == 0) return;
    if (!controller->gate.beginOperation()) {
        controller->output.logMessage(kBusy);
        return;
    }
    UploadJob job{};
    if (!prepareUpload(controller, &job)) {
        controller->gate.endOperation();
        return;
    }
    // The working copy of the upload is not the bytes of a download.
    controller->image.forgetDownload();
    if (!controller->upload.start([controller, job] { runUpload(controller, job); })) {
        controller->gate.endOperation();
    }
}

void waitForUpload(FlashController* controller) {
    controller->upload.join();
}

bool uploadWasStarted(FlashController* controller) {
    return controller->upload.wasStarted();
}
