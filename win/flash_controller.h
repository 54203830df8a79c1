// FlashController: the Windows GUI's link to the stm32 core library.
//
// It watches the connected DFU targets on a thread of its own, loads image
// files, uploads on a thread of its own, downloads on the caller's thread and
// writes the bytes read to a file. It holds no window code: the GUI registers
// sinks, and the stored option settings are reached through SettingsStore
// (the registry on Windows, memory in tests), so the same code builds and is
// tested on Linux against the virtual board.
//
// The controller's state is its own (controller_state.h); the GUI and the
// tests reach it through the functions below only.
#ifndef STM32_WIN_FLASH_CONTROLLER_H
#define STM32_WIN_FLASH_CONTROLLER_H

#include <cstdint>
#include <vector>

#include "native_text.h"
#include "settings_store.h"

struct FlashController;

using StatusSink = void (*)(void* userData, const NativeChar* text);
using LogSink = void (*)(void* userData, const NativeChar* text, int noLineBreak);
using TargetChangedHandler = void (*)(void* userData);

// The chosen target's flash as the last poll read it; all 0 without one.
struct TargetGeometry {
    int32_t flashSize = 0;
    uint32_t flashStart = 0;
    int32_t pageSize = 0;
};

// ---- life and sinks
// Creation: target count -1, lock ready. Returns null when memory is exhausted.
FlashController* createFlashController(SettingsStore* settings);
// Stops the watch and joins the threads (tests; the GUI never frees it).
void destroyFlashController(FlashController* controller);
void setStatusSink(FlashController* controller, void* userData, StatusSink sink);
void setLogSink(FlashController* controller, void* userData, LogSink sink);
SettingsStore* settingsStore(FlashController* controller); // not owned; may be null

// ---- operations
void setImagePath(FlashController* controller, const NativeString& path);
NativeString imagePath(FlashController* controller);
// Starts the watch; a path set before is then loaded and uploaded.
void startDeviceWatch(FlashController* controller, void* userData, TargetChangedHandler handler);
int loadImageFile(FlashController* controller, const NativeString* path); // null: stored path
void startUpload(FlashController* controller);
int downloadFromTarget(FlashController* controller);
int writeDownloadFile(FlashController* controller, const NativeString& path);
// Waits for a running upload thread to end (tests).
void joinUpload(FlashController* controller);
// true once an upload thread was started (tests).
bool uploadWasStarted(FlashController* controller);
// Idle flag under the lock.
int isIdle(FlashController* controller);

// ---- the loaded image
// One entry of the open dialog's type list: a label and its "*.ext;*.ext" patterns.
struct ImageFileType {
    NativeString label;
    NativeString patterns;
};
// Every image kind the loader reads, one entry per format in the loader's
// order (binary first), then "All files".
std::vector<ImageFileType> imageFileTypes();
// Flash size bytes once loaded (erased bytes 0xFF where the file sets none); empty otherwise.
const std::vector<uint8_t>& imageBuffer(FlashController* controller);
int32_t imageLength(FlashController* controller); // bytes to upload; 0 when nothing is loaded
// Size of the buffer a download reads into: flash size once allocated, else 0.
size_t flashBufferSize(FlashController* controller);

// ---- targets
TargetGeometry targetGeometry(FlashController* controller);
// Targets seen by the last poll; -1 until a poll looked (or a new look is due).
int32_t targetCount(FlashController* controller);
int32_t chosenTarget(FlashController* controller);
// A copy of the target indices of the last poll, safe on any thread.
std::vector<int32_t> copyTargetList(FlashController* controller);
// Sets the chosen target and forces a fresh look by the watch.
void chooseTarget(FlashController* controller, int32_t position);
// What a poll records, for tests without a board: the targets' indices (the
// count is their number), the chosen position and its geometry.
void recordTargets(FlashController* controller, std::vector<int32_t> indices, int32_t chosen,
                   const TargetGeometry& geometry);

// ---- debug trace: the core's trace lines appended to a file
// true when the STM32_DEBUG variable's value (may be null) is "1" or the
// stored "Trace" value is non-zero.
bool traceWanted(FlashController* controller, const char* debugVariable);
// Appends the trace to the file at path from now on; false when it cannot be opened.
bool startTrace(FlashController* controller, const NativeString& path);
// Ends the trace and closes the file (also done by destroyFlashController).
void stopTrace(FlashController* controller);

// ---- option area (see the Preferences dialog)
int32_t optionOffset(FlashController* controller);
int32_t optionSize(FlashController* controller);
// The values operations use until the stored ones are read again.
void setOptionArea(FlashController* controller, int32_t offset, int32_t size);
// An option offset as the operations use it: at least 0, at most flash
// size - page size (the start of the last page).
int32_t limitOptionOffset(FlashController* controller, int32_t offset);
// "OptionsInUse": the stored number, 0 when missing or unreadable.
uint32_t readOptionsInUse(FlashController* controller);
// Read "OptionsOffset"/"OptionsSize" into the controller (kept when missing);
// the result is the controller's value afterwards.
int32_t readOptionsOffset(FlashController* controller);
int32_t readOptionsSize(FlashController* controller);
// Stores all three; false (silently) when the key cannot be opened or created.
bool storeOptions(FlashController* controller, int32_t offset, int32_t size, bool inUse);

#endif
