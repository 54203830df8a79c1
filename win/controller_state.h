// The state behind FlashController's functions and the helpers its files
// share. Only the controller's own files include this header.
#ifndef STM32_WIN_CONTROLLER_STATE_H
#define STM32_WIN_CONTROLLER_STATE_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "flash_controller.h"
#include "stm32.h"

struct FlashController {
    // ---- loaded image (controller_load.cpp); both buffers flash size bytes once allocated
    std::vector<uint8_t> image;
    int32_t imageLength = 0;
    std::vector<Stm32ByteRange> imageRanges; // the bytes the file defines, lent to the upload
    std::vector<uint8_t> flashBuffer;
    uint32_t imageFlashStart = 0; // flash start the loaded image was prepared for
    NativeString imagePath;
    // Size of the bytes read by the last successful download; 0 once the
    // flash buffer holds anything else.
    int32_t downloadSize = 0;

    // ---- targets (controller_watch.cpp); geometry written by the watch thread only
    std::atomic<int32_t> flashSize{0};
    std::atomic<uint32_t> flashStartAddress{0};
    std::atomic<int32_t> pageSize{0};
    // The list is replaced by the watch thread; other threads read it
    // through copyTargetList or while an operation holds the target.
    std::atomic<int32_t> targetCount{-1};
    std::atomic<int32_t> chosenTarget{0};
    std::vector<int32_t> targetList;
    std::mutex targetListLock;

    // ---- option area (controller_settings.cpp)
    std::atomic<int32_t> optionOffset{0};
    std::atomic<int32_t> optionSize{0};
    SettingsStore* settings = nullptr; // not owned

    // ---- idle hand-over (controller_idle.cpp). The lock guards idle and
    // the flags below; it is never held across a library call.
    std::mutex lock;
    std::condition_variable idleChanged;
    int32_t idle = 0;
    bool operationRunning = false; // an upload or download holds the target
    bool polling = false;          // the watch is inside its USB calls
    bool firstPollDone = false;
    std::atomic<bool> stopping{false}; // ends the watch thread

    std::thread watchThread;
    std::thread uploadThread;

    // ---- debug trace (controller_trace.cpp): an open FILE*, or null
    void* traceFile = nullptr;

    // ---- output (controller_output.cpp)
    StatusSink statusSink = nullptr;
    void* statusUserData = nullptr;
    LogSink logSink = nullptr;
    void* logUserData = nullptr;
    TargetChangedHandler targetChanged = nullptr;
    void* targetChangedUserData = nullptr;
};

namespace controller {

// Messages shared by several operations.
// Two spellings on purpose: the log line of a refused load or operation has
// no space before "(enable", the status line has one; both are the texts
// users and their scripts know, so neither is "fixed".
constexpr char kNoTargetForLoad[] = "STM32 DFU Target not available(enable via User and Reset button).";
constexpr char kNoTargetStatus[] = "STM32 DFU Target not available (enable via User and Reset button).";
constexpr char kOutOfMemory[] = "Out of memory.";
constexpr char kBusy[] = "An upload or download is running: wait until it has finished.";

// ---- output (controller_output.cpp)
void logText(FlashController* controller, const NativeString& text, int noLineBreak = 0);
void logMessage(FlashController* controller, const char* utf8);
void logPathMessage(FlashController* controller, const char* format, const NativeString& path);
// The closing "Total time" line; the stamps come from stm32NowMicroseconds.
void logElapsed(FlashController* controller, int64_t startMicroseconds, int64_t endMicroseconds);
void reportStatus(FlashController* controller, const NativeString& status);

struct ContextDeleter {
    void operator()(Stm32Context* context) const { stm32Exit(context); }
};
using ContextHolder = std::unique_ptr<Stm32Context, ContextDeleter>;
// A core context whose log reaches the controller's log sink.
ContextHolder openContext(FlashController* controller);

// ---- idle hand-over (controller_idle.cpp)
bool operationRunning(FlashController* controller);
// Takes the target for an upload or download; false while another one runs.
bool beginOperation(FlashController* controller);
void endOperation(FlashController* controller);
// The watch's side: false when it must not poll now.
bool beginPoll(FlashController* controller);
void endPoll(FlashController* controller);
void markFirstPollDone(FlashController* controller);
void waitForFirstPoll(FlashController* controller);
// Waits until the deadline or until the controller stops; false once stopping.
bool sleepUntil(FlashController* controller, std::chrono::steady_clock::time_point deadline);
void stopThreads(FlashController* controller);

// ---- files (controller_files.cpp)
enum class ReadOutcome { Ok, TooBig, ReadError, OutOfMemory };
// The whole file into bytes; an empty file or one of more than largest bytes is refused.
ReadOutcome readWholeFile(const NativeString& path, size_t largest, std::vector<uint8_t>* bytes);
// A short file would pass for a complete dump of the flash: it is removed.
bool writeFileFrom(const NativeString& path, const uint8_t* data, size_t length);

// ---- loaded image (controller_load.cpp)
void releaseBuffers(FlashController* controller);
bool allocateBuffers(FlashController* controller, int32_t flashSize);

// ---- targets (controller_watch.cpp)
// The chosen target's index in the core's list, or -1.
int32_t chosenTargetIndex(FlashController* controller);
void watchMain(FlashController* controller);

// ---- option area (controller_settings.cpp)
// A stored option size of 0 (or a nonsensical negative one) means the whole flash.
int32_t effectiveOptionSize(FlashController* controller, int32_t flashSize);

} // namespace controller

#endif
