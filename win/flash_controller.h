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

constexpr int kPathUnits = 260;    // paths are bounded to 260 UTF-16 units
constexpr int kMessageUnits = 512; // messages to 512

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
    // Buffers, owned here.
    std::vector<uint8_t> image;
    int32_t imageLength = 0;
    std::vector<uint8_t> flashBuffer;

    // Geometry of the chosen target; written by the watch thread only.
    std::atomic<int32_t> flashSize{0};
    std::atomic<uint32_t> flashStartAddress{0};
    std::atomic<int32_t> pageSize{0};

    // Option area (Part of the preferences).
    std::atomic<int32_t> optionOffset{0};
    std::atomic<int32_t> optionSize{0};

    // Targets.
    std::atomic<int32_t> targetCount{-1};
    std::atomic<int32_t> chosenTarget{0};
    std::vector<int32_t> targetList;

    NativeString imagePath;

    std::thread watchThread;
    std::thread uploadThread;
    std::mutex lock; // guards idle only
    int32_t idle = 0;
    std::atomic<bool> stopping{false}; // lets tests end the watch thread

    StatusSink statusSink = nullptr;
    void* statusUserData = nullptr;
    LogSink logSink = nullptr;
    void* logUserData = nullptr;
    TargetChangedHandler targetChanged = nullptr;
    void* targetChangedUserData = nullptr;

    SettingsStore* settings = nullptr; // not owned

    // Size of the bytes read by the last successful download.
    int32_t downloadSize = 0;
};

// Creation: target count -1, lock ready, counter frequency read. Returns null
// when memory is exhausted.
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

// Settings readers and writer shared with the Preferences dialog.
uint32_t readOptionsInUse(FlashController* controller);
int32_t readOptionsOffset(FlashController* controller);
int32_t readOptionsSize(FlashController* controller);
bool storeOptions(FlashController* controller, int32_t offset, int32_t size, bool inUse);

// Number entry of the GUI fields: "0x" (lower-case x) hexadecimal, else
// decimal; *ok false when the text does not read as a number. Negative
// numbers read as 0.
int32_t parseFieldNumber(const NativeString& text, bool* ok);

#endif
