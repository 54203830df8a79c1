// FlashController: the Windows GUI's link to the stm32 core library.
//
// It watches the connected DFU targets on a thread of its own, loads image
// files (raw binary or Intel HEX), uploads on a thread of its own, downloads
// on the caller's thread and writes the bytes read to a file. It holds no
// window code: the GUI registers sinks, and the stored option settings are
// reached through SettingsStore (the registry on Windows, memory in tests),
// so the same code builds and is tested on Linux against the virtual board.
//
// Text: NativeChar is wchar_t (UTF-16) on Windows and char (UTF-8)
// elsewhere; the core's UTF-8 log text is converted by the log bridge.
#ifndef STM32_WIN_FLASH_CONTROLLER_H
#define STM32_WIN_FLASH_CONTROLLER_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "stm32.h"

#ifdef _WIN32
using NativeChar = wchar_t;
#else
using NativeChar = char;
#endif
using NativeString = std::basic_string<NativeChar>;

constexpr int kPathUnits = 260;    // paths are bounded to 260 UTF-16 units (with the terminator)
constexpr int kMessageUnits = 512; // messages to 512 (with the terminator)

// Names of the stored values under "Software\TidewireSTM32Utility\Prefs".
constexpr const char* kOptionsInUseValue = "OptionsInUse";
constexpr const char* kOptionsOffsetValue = "OptionsOffset";
constexpr const char* kOptionsSizeValue = "OptionsSize";

// Stored option settings and recent files ("Software\TidewireSTM32Utility\Prefs").
class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    // false if the key or value is missing or unreadable.
    virtual bool readNumber(const char* name, uint32_t* value) = 0;
    // false if the key could not be opened or created.
    virtual bool writeNumber(const char* name, uint32_t value) = 0;
    virtual bool readString(const char* name, NativeString* value) = 0;
    virtual bool writeString(const char* name, const NativeString& value) = 0;
};

// SettingsStore kept in memory (tests, and platforms without a registry).
class MemorySettingsStore : public SettingsStore {
public:
    bool readNumber(const char* name, uint32_t* value) override;
    bool writeNumber(const char* name, uint32_t value) override;
    bool readString(const char* name, NativeString* value) override;
    bool writeString(const char* name, const NativeString& value) override;
    bool failWrites = false; // simulates a registry key that cannot be created
    bool failReads = false;  // simulates a registry key that cannot be opened
private:
    std::mutex mutex_;
    std::vector<std::pair<std::string, uint32_t>> numbers_;
    std::vector<std::pair<std::string, NativeString>> strings_;
};

#ifdef _WIN32
// The registry store of the current user (HKCU\Software\TidewireSTM32Utility\Prefs).
std::unique_ptr<SettingsStore> createRegistrySettingsStore();
#endif

using StatusSink = void (*)(void* userData, const NativeChar* text);
using LogSink = void (*)(void* userData, const NativeChar* text, int noLineBreak);
using TargetChangedHandler = void (*)(void* userData);

struct FlashController {
    // Buffers, owned here; both are flash size bytes once allocated.
    std::vector<uint8_t> image;
    int32_t imageLength = 0;
    std::vector<uint8_t> flashBuffer;
    uint32_t imageFlashStart = 0; // flash start the loaded image was prepared for

    // Geometry of the chosen target; written by the watch thread only.
    std::atomic<int32_t> flashSize{0};
    std::atomic<uint32_t> flashStartAddress{0};
    std::atomic<int32_t> pageSize{0};

    // Option area (see the Preferences dialog).
    std::atomic<int32_t> optionOffset{0};
    std::atomic<int32_t> optionSize{0};

    // Targets. The list is replaced by the watch thread; other threads read
    // it through copyTargetList or while an operation holds the target.
    std::atomic<int32_t> targetCount{-1};
    std::atomic<int32_t> chosenTarget{0};
    std::vector<int32_t> targetList;
    std::mutex targetListLock;

    NativeString imagePath;

    std::thread watchThread;
    std::thread uploadThread;

    // The lock guards idle and the hand-over state below; it is never held
    // across a library call.
    std::mutex lock;
    std::condition_variable idleChanged;
    int32_t idle = 0;
    bool operationRunning = false; // an upload or download holds the target
    bool polling = false;          // the watch is inside its USB calls
    bool firstPollDone = false;
    std::atomic<bool> stopping{false}; // lets tests end the watch thread

    StatusSink statusSink = nullptr;
    void* statusUserData = nullptr;
    LogSink logSink = nullptr;
    void* logUserData = nullptr;
    TargetChangedHandler targetChanged = nullptr;
    void* targetChangedUserData = nullptr;

    SettingsStore* settings = nullptr; // not owned

    // Size of the bytes read by the last successful download; 0 once the
    // flash buffer holds anything else.
    int32_t downloadSize = 0;
};

// Creation: target count -1, lock ready. Returns null when memory is exhausted.
FlashController* createFlashController(SettingsStore* settings);
// Stops the watch and joins the threads (tests; the GUI never frees it).
void destroyFlashController(FlashController* controller);

void setImagePath(FlashController* controller, const NativeString& path);
void setStatusSink(FlashController* controller, void* userData, StatusSink sink);
void setLogSink(FlashController* controller, void* userData, LogSink sink);

void startDeviceWatch(FlashController* controller, void* userData, TargetChangedHandler handler);
int loadImageFile(FlashController* controller, const NativeString* path); // null: stored path
void startUpload(FlashController* controller);
int downloadFromTarget(FlashController* controller);
int writeDownloadFile(FlashController* controller, const NativeString& path);

// Idle flag under the lock.
int isIdle(FlashController* controller);
// Sets the chosen target and forces a fresh look by the watch.
void chooseTarget(FlashController* controller, int32_t position);
// Waits for a running upload thread to end (tests).
void joinUpload(FlashController* controller);
// A copy of the target indices of the last poll, safe on any thread.
std::vector<int32_t> copyTargetList(FlashController* controller);
// An option offset as the operations use it: at least 0, at most flash
// size - page size (the start of the last page).
int32_t limitOptionOffset(FlashController* controller, int32_t offset);

// Settings readers and writer shared with the Preferences dialog.
// "OptionsInUse": the stored number, 0 when missing or unreadable.
uint32_t readOptionsInUse(FlashController* controller);
// Read "OptionsOffset"/"OptionsSize" into the controller (kept when missing);
// the result is the controller's value afterwards.
int32_t readOptionsOffset(FlashController* controller);
int32_t readOptionsSize(FlashController* controller);
// Stores all three; false (silently) when the key cannot be opened or created.
bool storeOptions(FlashController* controller, int32_t offset, int32_t size, bool inUse);

// Number entry of the GUI fields: "0x" (lower-case x) hexadecimal, else
// decimal, read as far as the digits go (at most 256 units); *ok false when
// no digit reads. Negative numbers read as 0; numbers beyond the 32-bit
// range read as INT32_MAX.
int32_t parseFieldNumber(const NativeString& text, bool* ok);

#endif
