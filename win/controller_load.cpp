// Loading an image file into the flash-sized image buffer for the chosen
// target. The file is read here (Win32 calls on Windows, bounded by its
// format) and decoded by the front-end helper's loader, which also reports
// the byte ranges the file defines for the upload.
#include <algorithm>
#include <cstring>
#include <new>

#include "controller_state.h"
#include "image_loader.h"
#include "option_area.h"
#include "text.h"

namespace controller {

namespace {

// An ELF or DfuSe file carries headers, symbols and debug sections beside
// the flash bytes; this only bounds what is read (a judgement, not a
// documented limit of any tool).
constexpr size_t kLargestContainerFile = 64u << 20;

// The largest file of a format worth reading for a flash of flashSize bytes:
// a raw binary is the flash bytes themselves; record text takes about three
// characters per byte, as the Intel HEX limit always was.
size_t largestFileFor(Stm32ImageFormat format, int32_t flashSize) {
    const size_t flash = static_cast<size_t>(flashSize);
    switch (format) {
    case STM32_IMAGE_RAW:
        return flash;
    case STM32_IMAGE_INTEL_HEX:
    case STM32_IMAGE_SREC:
        return 3 * flash;
    default:
        return kLargestContainerFile + flash;
    }
}

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
    logPathMessage(controller, format, path);
    releaseBuffers(controller);
    return -1;
}

// Reads the whole file within the largest size any format allows, then
// applies the limit of the format its contents have.
int readImageFile(FlashController* controller, const NativeString& path, int32_t flashSize,
                  std::vector<uint8_t>* bytes, Stm32ImageFormat* format) {
    const std::string name = utf8FromNative(path);
    const Stm32ImageFormat byName = stm32ImageFormatFromName(name.c_str());
    const size_t limit = std::max(largestFileFor(STM32_IMAGE_ELF, flashSize), largestFileFor(byName, flashSize));
    const ReadOutcome outcome = readWholeFile(path, limit, bytes);
    if (outcome == ReadOutcome::OutOfMemory) {
        logMessage(controller, kOutOfMemory);
        releaseBuffers(controller);
        return -1;
    }
    if (outcome == ReadOutcome::TooBig) return failLoad(controller, "File (%s) too big for device.", path);
    if (outcome != ReadOutcome::Ok) return failLoad(controller, "File (%s) read error.", path);
    *format = stm32DetectImageFormat(name.c_str(), bytes->data(), bytes->size());
    if (bytes->size() > largestFileFor(*format, flashSize)) {
        return failLoad(controller, "File (%s) too big for device.", path);
    }
    return 0;
}

// Maps the loader's verdict onto the log lines users know; formats beyond
// raw binary and Intel HEX add the loader's own line saying what is wrong.
int takeLoaded(FlashController* controller, const NativeString& path, Stm32ImageFormat format,
               Stm32LoadedImage* loaded) {
    switch (loaded->status) {
    case STM32_LOAD_OK:
        try {
            controller->imageRanges.assign(loaded->ranges, loaded->ranges + loaded->rangeCount);
        } catch (const std::bad_alloc&) {
            logMessage(controller, kOutOfMemory);
            releaseBuffers(controller);
            return -1;
        }
        controller->imageLength = static_cast<int32_t>(loaded->length);
        return 0;
    case STM32_LOAD_OUT_OF_MEMORY:
        logMessage(controller, kOutOfMemory);
        releaseBuffers(controller);
        return -1;
    case STM32_LOAD_TOO_BIG:
        return failLoad(controller, "File (%s) too big for device.", path);
    case STM32_LOAD_OUTSIDE_FLASH:
        // Data wholly past the end comes with how far it reaches: to this
        // log it is too big, as it always was; data below flash start is not.
        if (loaded->length > 0) return failLoad(controller, "File (%s) too big for device.", path);
        break;
    case STM32_LOAD_READ_ERROR:
        return failLoad(controller, "File (%s) read error.", path);
    default:
        break;
    }
    logPathMessage(controller, "File (%s) decoding error.", path);
    if (format != STM32_IMAGE_RAW && format != STM32_IMAGE_INTEL_HEX && loaded->message[0] != '\0') {
        logMessage(controller, loaded->message);
    }
    releaseBuffers(controller);
    return -1;
}

int decodeImage(FlashController* controller, const NativeString& path, uint32_t flashStart) {
    std::vector<uint8_t> bytes;
    Stm32ImageFormat format = STM32_IMAGE_RAW;
    if (readImageFile(controller, path, static_cast<int32_t>(controller->image.size()), &bytes, &format) != 0) {
        return -1;
    }
    const std::string name = utf8FromNative(path);
    Stm32LoadedImage loaded;
    std::memset(&loaded, 0, sizeof loaded);
    stm32LoadImageBytes(name.c_str(), bytes.data(), bytes.size(), controller->image.data(),
                        static_cast<uint32_t>(controller->image.size()), flashStart, &loaded);
    const int result = takeLoaded(controller, path, format, &loaded);
    stm32ReleaseLoadedImage(&loaded);
    return result;
}

} // namespace

void releaseBuffers(FlashController* controller) {
    std::vector<uint8_t>().swap(controller->image);
    std::vector<uint8_t>().swap(controller->flashBuffer);
    std::vector<Stm32ByteRange>().swap(controller->imageRanges);
    controller->imageLength = 0;
    controller->downloadSize = 0;
}

// Both buffers flash size bytes; the image starts erased (0xFF).
bool allocateBuffers(FlashController* controller, int32_t flashSize) {
    releaseBuffers(controller);
    try {
        controller->flashBuffer.assign(static_cast<size_t>(flashSize), 0);
        controller->image.assign(static_cast<size_t>(flashSize), 0xFF);
    } catch (const std::bad_alloc&) {
        releaseBuffers(controller);
        logMessage(controller, kOutOfMemory);
        return false;
    }
    return true;
}

} // namespace controller

using namespace controller;

void setImagePath(FlashController* controller, const NativeString& path) {
    controller->imagePath = path;
}

NativeString imagePath(FlashController* controller) {
    return controller->imagePath;
}

int loadImageFile(FlashController* controller, const NativeString* path) {
    if (operationRunning(controller)) {
        logMessage(controller, kBusy);
        return -1;
    }
    if (path != nullptr) controller->imagePath = *path;
    const NativeString& stored = controller->imagePath;
    const int32_t flashSize = controller->flashSize;
    const uint32_t flashStart = controller->flashStartAddress;
    if (flashSize <= 0) {
        logMessage(controller, kNoTargetForLoad);
        return -1;
    }
    if (!allocateBuffers(controller, flashSize)) return -1;
    // Never open a different file than the one named: an over-long path is refused, not cut.
    if (stored.empty() || stored.size() >= static_cast<size_t>(kPathUnits)) {
        return failLoad(controller, "File (%s) read error.", stored);
    }
    controller->imageFlashStart = flashStart;
    if (decodeImage(controller, stored, flashStart) != 0) return -1;
    // The Windows field keeps "0 is the whole flash" for the size.
    const int32_t limit = effectiveOptionSize(controller, flashSize);
    if (stm32ImageExceedsOptionArea(readOptionsInUse(controller) != 0, controller->imageLength, limit)) {
        // The spaces before the colons are part of the message users know.
        logText(controller, formatNative("File too big : %d (max option size : %d).", controller->imageLength, limit));
        releaseBuffers(controller);
        return -1;
    }
    return 0;
}

std::vector<ImageFileType> imageFileTypes() {
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

const std::vector<uint8_t>& imageBuffer(FlashController* controller) {
    return controller->image;
}

int32_t imageLength(FlashController* controller) {
    return controller->imageLength;
}

size_t flashBufferSize(FlashController* controller) {
    return controller->flashBuffer.size();
}
