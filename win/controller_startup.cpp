// Startup: the file named on the command line is loaded and uploaded once
// the watch has looked at the targets, with the whole flash as option size.
#include "controller_parts.h"

void setStartupImage(FlashController* controller, const NativeString& path) {
    controller->image.setPath(path);
}

void uploadStartupImage(FlashController* controller) {
    if (controller->image.path().empty()) return;
    controller->gate.waitForFirstPoll();
    controller->options.setSize(controller->watch.geometry().flashSize);
    if (loadImageFile(controller, nullptr) == 0) startUpload(controller);
}
