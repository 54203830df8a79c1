// Loading an image file into the flash-sized image buffer for the chosen
// target: raw binary, or Intel HEX by its ".hex"/".HEX" name.
#include <cstring>
#include <new>

#include "controller_state.h"
#include "text.h"

namespace controller {

namespace {

bool isIntelHexPath(const NativeString& path) {
    const size_t dot = path.rfind(NativeChar('.'));
    if (dot == NativeString::npos) return false;
    const NativeString extension = path.substr(dot);
    return extension == nativeFromUtf8(".hex") || extension == nativeFromUtf8(".HEX");
}

int failLoad(FlashController* controller, const char* format, const NativeString& path) {
    logPathMessage(controller, format, path);
    releaseBuffers(controller);
    return -1;
}

int readBinaryImage(FlashController* controller, const NativeString& path) {
    size_t fileSize = 0;
    const ReadOutcome outcome =
        readFileInto(path, controller->image.data(), controller->image.size(), &fileSize);
    if (outcome == ReadOutcome::TooBig) return failLoad(controller, "File (%s) too big for device.", path);
    if (outcome != ReadOutcome::Ok) return failLoad(controller, "File (%s) read error.", path);
    controller->imageLength = static_cast<int32_t>(fileSize);
    return 0;
}

int readIntelHexImage(FlashController* controller, const NativeString& path, uint32_t flashStart) {
    const size_t flashSize = controller->image.size();
    const size_t capacity = 3 * flashSize;
    std::vector<char> text;
    try {
        // One more than the capacity: the decoder needs the text terminated.
        text.assign(capacity + 1, static_cast<char>(0xFF));
    } catch (const std::bad_alloc&) {
        logMessage(controller, kOutOfMemory);
        releaseBuffers(controller);
        return -1;
    }
    size_t fileSize = 0;
    const ReadOutcome outcome = readFileInto(path, reinterpret_cast<uint8_t*>(text.data()), capacity, &fileSize);
    if (outcome == ReadOutcome::TooBig) return failLoad(controller, "File (%s) too big for device.", path);
    if (outcome != ReadOutcome::Ok) return failLoad(controller, "File (%s) read error.", path);
    text[fileSize] = '\0';
    uint32_t decodedLength = static_cast<uint32_t>(fileSize);
    decodeIntelHex(text.data(), flashStart, controller->image.data(), static_cast<uint32_t>(flashSize),
                   &decodedLength);
    if (decodedLength > flashSize) return failLoad(controller, "File (%s) too big for device.", path);
    if (decodedLength == 0) return failLoad(controller, "File (%s) decoding error.", path);
    controller->imageLength = static_cast<int32_t>(decodedLength);
    return 0;
}

} // namespace

void releaseBuffers(FlashController* controller) {
    std::vector<uint8_t>().swap(controller->image);
    std::vector<uint8_t>().swap(controller->flashBuffer);
    controller->imageLength = 0;
    controller->downloadSize = 0;
}

// Both buffers flash size bytes; the image starts erased (0xFF) so that
// bytes no record of an Intel HEX file sets are left alone in flash.
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
    const int loaded =
        isIntelHexPath(stored) ? readIntelHexImage(controller, stored, flashStart) : readBinaryImage(controller, stored);
    if (loaded != 0) return -1;
    const int32_t limit = effectiveOptionSize(controller, flashSize);
    if (readOptionsInUse(controller) != 0 && controller->imageLength > limit) {
        // The spaces before the colons are part of the message users know.
        logText(controller, formatNative("File too big : %d (max option size : %d).", controller->imageLength, limit));
        releaseBuffers(controller);
        return -1;
    }
    return 0;
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
