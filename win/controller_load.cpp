// Loading an image file into the image slot for the chosen target. The file
// is read here (Win32 calls on Windows) and decoded by the front-end
// helper's loader, which also decides how long a file of each format may be
// and reports the byte ranges the file defines for the upload.
#include <cstring>

#include "controller_files.h"
#include "controller_parts.h"
#include "image_loader.h"
#include "text.h"

namespace controller {

namespace {

// The open dialog's names of the kinds; the first two are the ones it always had.
const char* fileTypeLabel(Stm32ImageFormat format) {
    switch (format) {
    case STM32_IMAGE_RAW:
        return "Binary files";
    case STM32_IMAGE_INTEL_HEX:
        return "Intel Hex files";
    case STM32_IMAGE_SREC:
        return "Motorola S-record files";
    case STM32_IMAGE_ELF:
        return "ELF files";
    case STM32_IMAGE_DFUSE:
        return "DfuSe files";
    }
    return "Image files";
}

int failLoad(FlashController* controller, const char* format, const NativeString& path) {
    controller->output.logPathMessage(format, path);
    controller->image.release();
    return -1;
}

int failForMemory(FlashController* controller) {
    controller->output.logMessage(kOutOfMemory);
    controller->image.release();
    return -1;
}

// Maps the loader's verdict onto the log lines users know; formats beyond
// raw binary and Intel HEX add the loader's own line saying what is wrong.
int takeLoaded(FlashController* controller, const NativeString& path, const Stm32LoadedImage& loaded) {
    switch (loaded.status) {
    case STM32_LOAD_OK:
        return controller->image.take(loaded) ? 0 : failForMemory(controller);
    case STM32_LOAD_OUT_OF_MEMORY:
        return failForMemory(controller);
    case STM32_LOAD_TOO_BIG:
        return failLoad(controller, "File (%s) too big for device.", path);
    case STM32_LOAD_OUTSIDE_FLASH:
        // Data wholly past the end comes with how far it reaches: to this
        // log it is too big, as it always was; data below flash start is not.
        if (loaded.length > 0) return failLoad(controller, "File (%s) too big for device.", path);
        break;
    case STM32_LOAD_READ_ERROR:
        return failLoad(controller, "File (%s) read error.", path);
    default:
        break;
    }
    controller->output.logPathMessage("File (%s) decoding error.", path);
    if (loaded.format != STM32_IMAGE_RAW && loaded.format != STM32_IMAGE_INTEL_HEX && loaded.message[0] != '\0') {
        controller->output.logMessage(loaded.message);
    }
    controller->image.release();
    return -1;
}

// Reads the whole file, as far as a file of any format may be long, and
// decodes it into the slot's image.
int decodeImage(FlashController* controller, const NativeString& path, int32_t flashSize, uint32_t flashStart) {
    const uint32_t capacity = static_cast<uint32_t>(flashSize);
    std::vector<uint8_t> bytes;
    switch (readWholeFile(path, stm32LargestImageFileOfAnyFormat(capacity), &bytes)) {
    case ReadOutcome::Ok:
        break;
    case ReadOutcome::OutOfMemory:
        return failForMemory(controller);
    case ReadOutcome::TooBig:
        return failLoad(controller, "File (%s) too big for device.", path);
    case ReadOutcome::ReadError:
        return failLoad(controller, "File (%s) read error.", path);
    }
    const std::string name = utf8FromNative(path);
    Stm32LoadedImage loaded;
    std::memset(&loaded, 0, sizeof loaded);
    stm32LoadImageBytes(name.c_str(), bytes.data(), bytes.size(), controller->image.image(), capacity, flashStart,
                        &loaded);
    const int result = takeLoaded(controller, path, loaded);
    stm32ReleaseLoadedImage(&loaded);
    return result;
}

} // namespace

} // namespace controller

using namespace controller;

int loadImageFile(FlashController* controller, const NativeString* path) {
    if (controller->gate.operationRunning()) {
        controller->output.logMessage(kBusy);
        return -1;
    }
    if (path != nullptr) controller->image.setPath(*path);
    const NativeString stored = controller->image.path();
    const TargetGeometry target = controller->watch.geometry();
    if (target.flashSize <= 0) {
        controller->output.logMessage(kNoTargetForLoad);
        return -1;
    }
    if (!controller->image.allocate(target.flashSize, target.flashStart)) return failForMemory(controller);
    // Never open a different file than the one named: an over-long path is refused, not cut.
    if (stored.empty() || stored.size() >= static_cast<size_t>(kPathUnits)) {
        return failLoad(controller, "File (%s) read error.", stored);
    }
    if (decodeImage(controller, stored, target.flashSize, target.flashStart) != 0) return -1;
    const int32_t length = controller->image.imageLength();
    if (controller->options.refusesImage(length, target.flashSize)) {
        // The spaces before the colons are part of the message users know.
        controller->output.log(formatNative("File too big : %d (max option size : %d).", length,
                                            controller->options.effectiveSize(target.flashSize)));
        controller->image.release();
        return -1;
    }
    return 0;
}

std::vector<ImageFileType> openDialogFileTypes() {
    std::vector<ImageFileType> types;
    const char* const* extensions = nullptr;
    const int32_t count = stm32ImageFileExtensions(&extensions);
    int32_t lastFormat = -1;
    for (int32_t i = 0; i < count; ++i) {
        const std::string name = std::string("x.") + extensions[i];
        const Stm32ImageFormat format = stm32ImageFormatFromName(name.c_str());
        const NativeString pattern = nativeFromUtf8(std::string("*.") + extensions[i]);
        if (format != lastFormat || types.empty()) {
            types.push_back({nativeFromUtf8(fileTypeLabel(format)), pattern});
            lastFormat = format;
        } else {
            types.back().patterns += nativeFromUtf8(";") + pattern;
        }
    }
    types.push_back({nativeFromUtf8("All files"), nativeFromUtf8("*.*")});
    return types;
}
