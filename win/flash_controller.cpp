#include "flash_controller.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <system_error>

#include "text.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <cstdio>
#include <sys/stat.h>
#endif

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(250);
// The file named on the command line is loaded once the first poll has
// looked at the targets; this bounds the wait if the watch cannot start.
constexpr auto kFirstPollWait = std::chrono::seconds(2);

const char kNoTargetForLoad[] = "STM32 DFU Target not available(enable via User and Reset button).";
const char kNoTargetStatus[] = "STM32 DFU Target not available (enable via User and Reset button).";
const char kUnknownFlashStatus[] = "STM32 flash size unknown (might be a driver problem).";
const char kOutOfMemory[] = "Out of memory.";
const char kBusy[] = "An upload or download is running: wait until it has finished.";
const char kTargetChangedSinceLoad[] = "The target changed after the file was loaded: load the file again.";

// ---------------------------------------------------------------- output

void logText(FlashController* controller, const NativeString& text, int noLineBreak = 0) {
    if (controller->logSink != nullptr) controller->logSink(controller->logUserData, text.c_str(), noLineBreak);
}

void logMessage(FlashController* controller, const char* utf8) {
    logText(controller, nativeFromUtf8(utf8, std::strlen(utf8), kMessageUnits));
}

void logPathMessage(FlashController* controller, const char* format, const NativeString& path) {
    logText(controller, formatNative(format, utf8FromNative(path).c_str()));
}

// Converts the core's UTF-8 log text; the continuation flag passes unchanged.
int logBridge(void* userData, const char* text, uint32_t length, int continuation) {
    auto* controller = static_cast<FlashController*>(userData);
    const NativeString line = length == 0 ? NativeString() : nativeFromUtf8(text, length, kMessageUnits);
    logText(controller, line, continuation);
    return 0;
}

void logElapsed(FlashController* controller, std::chrono::steady_clock::time_point start,
                std::chrono::steady_clock::time_point end) {
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(end - start).count();
    logText(controller, formatNative("Total time: %1.1f s", static_cast<double>(micros) * 0.000001));
}

struct ContextDeleter {
    void operator()(Stm32Context* context) const { stm32Exit(context); }
};
using ContextHolder = std::unique_ptr<Stm32Context, ContextDeleter>;

ContextHolder openContext(FlashController* controller) {
    ContextHolder context(stm32Init());
    if (context) stm32RegisterLogCallback(context.get(), controller, logBridge);
    return context;
}

// ---------------------------------------------------------------- idle hand-over

bool operationRunning(FlashController* controller) {
    std::lock_guard<std::mutex> guard(controller->lock);
    return controller->operationRunning;
}

// Takes the target for an upload or download. Refused while another one
// runs; otherwise waits for a poll that is already inside its USB calls, so
// the operation has the target to itself from here on.
bool beginOperation(FlashController* controller) {
    std::unique_lock<std::mutex> guard(controller->lock);
    if (controller->operationRunning) return false;
    controller->operationRunning = true;
    controller->idle = 0;
    controller->idleChanged.wait(guard, [controller] { return !controller->polling; });
    return true;
}

void endOperation(FlashController* controller) {
    {
        std::lock_guard<std::mutex> guard(controller->lock);
        controller->operationRunning = false;
        controller->idle = 1;
    }
    controller->idleChanged.notify_all();
}

// ---------------------------------------------------------------- files

enum class ReadOutcome { Ok, TooBig, ReadError };

#ifdef _WIN32
class FileHolder {
public:
    explicit FileHolder(HANDLE handle) : handle_(handle) {}
    ~FileHolder() {
        if (valid()) CloseHandle(handle_);
    }
    FileHolder(const FileHolder&) = delete;
    FileHolder& operator=(const FileHolder&) = delete;
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

// Opened without sharing, as the image must not change while it is read.
ReadOutcome readFileInto(const NativeString& path, uint8_t* buffer, size_t capacity, size_t* fileSize) {
    FileHolder file(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size;
    if (!file.valid() || !GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0) return ReadOutcome::ReadError;
    if (static_cast<unsigned long long>(size.QuadPart) > capacity) return ReadOutcome::TooBig;
    size_t done = 0;
    const size_t wanted = static_cast<size_t>(size.QuadPart);
    while (done < wanted) {
        DWORD got = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(wanted - done, 1u << 20));
        if (!ReadFile(file.get(), buffer + done, chunk, &got, nullptr) || got == 0) return ReadOutcome::ReadError;
        done += got;
    }
    *fileSize = wanted;
    return ReadOutcome::Ok;
}

// A short file would pass for a complete dump of the flash: it is removed.
bool writeFileFrom(const NativeString& path, const uint8_t* data, size_t length) {
    size_t done = 0;
    {
        FileHolder file(
            CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid()) return false;
        while (done < length) {
            DWORD put = 0;
            const DWORD chunk = static_cast<DWORD>(std::min<size_t>(length - done, 1u << 20));
            if (!WriteFile(file.get(), data + done, chunk, &put, nullptr) || put == 0) break;
            done += put;
        }
    }
    if (done == length) return true;
    DeleteFileW(path.c_str());
    return false;
}
#else
struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHolder = std::unique_ptr<std::FILE, FileCloser>;

ReadOutcome readFileInto(const NativeString& path, uint8_t* buffer, size_t capacity, size_t* fileSize) {
    FileHolder file(std::fopen(path.c_str(), "rb"));
    struct stat info;
    if (!file || fstat(fileno(file.get()), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) {
        return ReadOutcome::ReadError;
    }
    if (static_cast<unsigned long long>(info.st_size) > capacity) return ReadOutcome::TooBig;
    const size_t wanted = static_cast<size_t>(info.st_size);
    if (std::fread(buffer, 1, wanted, file.get()) != wanted) return ReadOutcome::ReadError;
    *fileSize = wanted;
    return ReadOutcome::Ok;
}

// A short file would pass for a complete dump of the flash: it is removed.
bool writeFileFrom(const NativeString& path, const uint8_t* data, size_t length) {
    FileHolder file(std::fopen(path.c_str(), "wb"));
    if (!file) return false;
    const bool allWritten = std::fwrite(data, 1, length, file.get()) == length;
    if (std::fclose(file.release()) == 0 && allWritten) return true;
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) std::remove(path.c_str());
    return false;
}
#endif

bool isIntelHexPath(const NativeString& path) {
    const size_t dot = path.rfind(NativeChar('.'));
    if (dot == NativeString::npos) return false;
    const NativeString extension = path.substr(dot);
    return extension == nativeFromUtf8(".hex") || extension == nativeFromUtf8(".HEX");
}

// ---------------------------------------------------------------- buffers

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

// A stored option size of 0 (or a nonsensical negative one) means the whole flash.
int32_t effectiveOptionSize(FlashController* controller, int32_t flashSize) {
    const int32_t size = controller->optionSize;
    return size > 0 ? size : flashSize;
}

// ---------------------------------------------------------------- watch

void clearGeometry(FlashController* controller) {
    controller->flashSize = 0;
    controller->flashStartAddress = 0;
    controller->pageSize = 0;
}

void replaceTargetList(FlashController* controller, std::vector<int32_t> list) {
    std::lock_guard<std::mutex> guard(controller->targetListLock);
    controller->targetList.swap(list);
}

int32_t chosenTargetIndex(FlashController* controller) {
    std::lock_guard<std::mutex> guard(controller->targetListLock);
    const int32_t chosen = controller->chosenTarget;
    if (chosen < 0 || static_cast<size_t>(chosen) >= controller->targetList.size()) return -1;
    return controller->targetList[chosen];
}

NativeString noTarget(FlashController* controller) {
    clearGeometry(controller);
    replaceTargetList(controller, {});
    return nativeFromUtf8(kNoTargetStatus);
}

// Reads the chosen target's layout into the geometry; the status text.
NativeString describeChosenTarget(FlashController* controller, Stm32Context* context) {
    const int32_t index = chosenTargetIndex(controller);
    if (index < 0) {
        // The target went away between counting and listing: look again next time.
        controller->targetCount = -1;
        clearGeometry(controller);
        return nativeFromUtf8(kUnknownFlashStatus);
    }
    FlashInfo info;
    std::memset(&info, 0, sizeof info);
    if (stm32GetFlashInfo(context, index, &info) == 0) {
        clearGeometry(controller);
        return nativeFromUtf8(kUnknownFlashStatus);
    }
    const int32_t unitBytes = stm32UnitMultiplier(info.unit);
    const int64_t pageBytes = static_cast<int64_t>(info.pageSize) * unitBytes;
    if (info.flashSize <= 0 || pageBytes <= 0 || pageBytes > info.flashSize) {
        clearGeometry(controller);
        return nativeFromUtf8(kUnknownFlashStatus);
    }
    controller->pageSize = static_cast<int32_t>(pageBytes);
    controller->flashStartAddress = info.startAddress;
    controller->flashSize = info.flashSize;
    // The total of all segments, not just the first segment's pages.
    const int32_t shownSize = info.flashSize / unitBytes;
    if (info.unit == 'K' || info.unit == 'M') {
        return formatNative("STM32 (ID: %d) Flash: %d %cB.", index, shownSize, info.unit);
    }
    return formatNative("STM32 (ID: %d) Flash: %d B.", index, shownSize);
}

// One look at the targets; true with the status text when anything changed.
bool refreshTargets(FlashController* controller, Stm32Context* context, NativeString* status) {
    const int32_t count = stm32GetDeviceCount();
    if (count == controller->targetCount) return false;
    controller->targetCount = count;
    if (count <= 0) {
        *status = noTarget(controller);
        return true;
    }
    std::vector<int32_t> list;
    try {
        list.assign(static_cast<size_t>(count), -1);
    } catch (const std::bad_alloc&) {
        controller->targetCount = 0; // counts as no target; the next poll tries again
        *status = noTarget(controller);
        return true;
    }
    if (controller->chosenTarget > count - 1) controller->chosenTarget = 0;
    stm32GetDeviceIndices(context, list.data(), count);
    replaceTargetList(controller, std::move(list));
    *status = describeChosenTarget(controller, context);
    return true;
}

void pollOnce(FlashController* controller, Stm32Context* context) {
    {
        std::lock_guard<std::mutex> guard(controller->lock);
        if (controller->idle == 0 || controller->stopping) return;
        controller->polling = true;
    }
    NativeString status;
    const bool changed = refreshTargets(controller, context, &status);
    {
        std::lock_guard<std::mutex> guard(controller->lock);
        controller->polling = false;
        controller->firstPollDone = true;
    }
    controller->idleChanged.notify_all();
    // The sinks reach the window by synchronous messages: never call them
    // while an operation could be waiting for this poll.
    if (!changed) return;
    if (controller->statusSink != nullptr) controller->statusSink(controller->statusUserData, status.c_str());
    if (controller->targetChanged != nullptr) controller->targetChanged(controller->targetChangedUserData);
}

void markFirstPollDone(FlashController* controller) {
    {
        std::lock_guard<std::mutex> guard(controller->lock);
        controller->firstPollDone = true;
    }
    controller->idleChanged.notify_all();
}

void watchMain(FlashController* controller) {
    ContextHolder context = openContext(controller);
    if (!context) {
        markFirstPollDone(controller);
        return;
    }
    while (!controller->stopping) {
        // Polls start every 250 ms, however long the previous one took.
        const auto nextPoll = std::chrono::steady_clock::now() + kPollInterval;
        pollOnce(controller, context.get());
        std::unique_lock<std::mutex> guard(controller->lock);
        controller->idleChanged.wait_until(guard, nextPoll, [controller] { return controller->stopping.load(); });
    }
}

void waitForFirstPoll(FlashController* controller) {
    std::unique_lock<std::mutex> guard(controller->lock);
    controller->idleChanged.wait_for(guard, kFirstPollWait, [controller] { return controller->firstPollDone; });
}

// ---------------------------------------------------------------- upload

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
        const auto start = std::chrono::steady_clock::now();
        const int32_t result = stm32Command(context.get(), job.targetIndex, job.flashStart, job.offset,
                                            controller->imageLength, STM32_CMD_UPLOAD);
        const auto end = std::chrono::steady_clock::now();
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
    job->offset = inUse ? static_cast<uint32_t>(limitOptionOffset(controller, controller->optionOffset)) : 0;
    return true;
}

} // namespace

// ---------------------------------------------------------------- creation and sinks

FlashController* createFlashController(SettingsStore* settings) {
    FlashController* controller = new (std::nothrow) FlashController();
    if (controller != nullptr) controller->settings = settings;
    return controller;
}

void destroyFlashController(FlashController* controller) {
    if (controller == nullptr) return;
    {
        std::lock_guard<std::mutex> guard(controller->lock);
        controller->stopping = true;
    }
    controller->idleChanged.notify_all();
    if (controller->watchThread.joinable()) controller->watchThread.join();
    if (controller->uploadThread.joinable()) controller->uploadThread.join();
    delete controller;
}

void setImagePath(FlashController* controller, const NativeString& path) {
    controller->imagePath = path;
}

void setStatusSink(FlashController* controller, void* userData, StatusSink sink) {
    controller->statusUserData = userData;
    controller->statusSink = sink;
}

void setLogSink(FlashController* controller, void* userData, LogSink sink) {
    controller->logUserData = userData;
    controller->logSink = sink;
}

// ---------------------------------------------------------------- operations

void startDeviceWatch(FlashController* controller, void* userData, TargetChangedHandler handler) {
    controller->targetChangedUserData = userData;
    controller->targetChanged = handler;
    {
        std::lock_guard<std::mutex> guard(controller->lock);
        if (!controller->operationRunning) controller->idle = 1;
    }
    if (controller->watchThread.joinable()) return; // one watch for the life of the controller
    try {
        controller->watchThread = std::thread(watchMain, controller);
    } catch (const std::system_error&) {
        markFirstPollDone(controller); // no watch: no target is ever reported
    }
    if (controller->imagePath.empty()) return;
    waitForFirstPoll(controller);
    controller->optionSize = controller->flashSize.load();
    if (loadImageFile(controller, nullptr) == 0) startUpload(controller);
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
        logText(controller, formatNative("File too big : %d (max option size : %d).", controller->imageLength, limit));
        releaseBuffers(controller);
        return -1;
    }
    return 0;
}

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

// ---------------------------------------------------------------- accessors

int isIdle(FlashController* controller) {
    std::lock_guard<std::mutex> guard(controller->lock);
    return controller->idle;
}

void chooseTarget(FlashController* controller, int32_t position) {
    // A list box without a selection reports -1: take the first target then.
    controller->chosenTarget = position < 0 ? 0 : position;
    controller->targetCount = -1;
}

void joinUpload(FlashController* controller) {
    if (controller->uploadThread.joinable()) controller->uploadThread.join();
}

std::vector<int32_t> copyTargetList(FlashController* controller) {
    std::lock_guard<std::mutex> guard(controller->targetListLock);
    return controller->targetList;
}

int32_t limitOptionOffset(FlashController* controller, int32_t offset) {
    const int32_t lastPage = std::max(0, controller->flashSize - controller->pageSize);
    return std::min(std::max(0, offset), lastPage);
}

// ---------------------------------------------------------------- settings

uint32_t readOptionsInUse(FlashController* controller) {
    uint32_t value = 0;
    if (controller->settings == nullptr || !controller->settings->readNumber(kOptionsInUseValue, &value)) return 0;
    return value;
}

int32_t readOptionsOffset(FlashController* controller) {
    uint32_t value = 0;
    if (controller->settings != nullptr && controller->settings->readNumber(kOptionsOffsetValue, &value)) {
        controller->optionOffset = static_cast<int32_t>(value);
    }
    return controller->optionOffset;
}

int32_t readOptionsSize(FlashController* controller) {
    uint32_t value = 0;
    if (controller->settings != nullptr && controller->settings->readNumber(kOptionsSizeValue, &value)) {
        controller->optionSize = static_cast<int32_t>(value);
    }
    return controller->optionSize;
}

bool storeOptions(FlashController* controller, int32_t offset, int32_t size, bool inUse) {
    SettingsStore* settings = controller->settings;
    if (settings == nullptr) return false;
    return settings->writeNumber(kOptionsOffsetValue, static_cast<uint32_t>(offset)) &&
           settings->writeNumber(kOptionsSizeValue, static_cast<uint32_t>(size)) &&
           settings->writeNumber(kOptionsInUseValue, inUse ? 1u : 0u);
}
