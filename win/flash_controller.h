// FlashController: the Windows GUI's link to the stm32 core library.
//
// It watches the connected DFU targets on a thread of its own, loads image
// files, uploads on a thread of its own, downloads on the caller's thread and
// writes the bytes read to a file. It holds no window code: the GUI registers
// sinks, and the stored option settings are reached through SettingsStore
// (the registry on Windows, memory in tests), so the same code builds and is
// tested on Linux against the virtual board.
//
// Inside, it is made of parts that each own their state: the output sinks,
// the idle gate, the option area, the image slot and the target watch
// (controller_*.h). The GUI and the tests reach them only through the
// functions below, grouped by the part that answers them.
#ifndef STM32_WIN_FLASH_CONTROLLER_H
#define STM32_WIN_FLASH_CONTROLLER_H

#include <cstddef>
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

// One entry of the open dialog's type list: a label and its "*.ext;*.ext" patterns.
struct ImageFileType {
    NativeString label;
    NativeString patterns;
};

// ---- life
// Creation: target count -1, idle gate closed until the watch starts.
// Returns null when memory is exhausted.
FlashController* createFlashController(SettingsStore* settings);
// Stops the watch and joins the threads (tests; the GUI never frees it).
void destroyFlashController(FlashController* controller);
SettingsStore* controllerSettings(FlashController* controller); // not owned; may be null

// ---- output sinks
void setStatusSink(FlashController* controller, void* userData, StatusSink sink);
void setLogSink(FlashController* controller, void* userData, LogSink sink);
// true when the STM32_DEBUG variable's value (may be null) is "1" or the
// stored "Trace" value is non-zero.
bool debugTraceWanted(FlashController* controller, const char* debugVariable);
// Appends the core's trace lines to the file at path from now on; false
// when it cannot be opened (its folder must exist).
bool startDebugTrace(FlashController* controller, const NativeString& path);
// Ends the trace and closes the file (also done by destroyFlashController).
void stopDebugTrace(FlashController* controller);

// ---- target watch
// Opens the idle gate and starts the watch thread (once for the life of the
// controller); the handler runs after each change the watch reports.
void startTargetWatch(FlashController* controller, void* userData, TargetChangedHandler handler);
TargetGeometry watchedGeometry(FlashController* controller);
// Targets seen by the last poll; -1 until a poll looked (or a new look is due).
int32_t watchedTargetCount(FlashController* controller);
// A copy of the target indices of the last poll, safe on any thread.
std::vector<int32_t> watchedTargetIndices(FlashController* controller);
int32_t chosenTargetPosition(FlashController* controller);
// Sets the chosen position and forces a fresh look by the watch.
void chooseTargetPosition(FlashController* controller, int32_t position);

// ---- startup: the file named on the command line
void setStartupImage(FlashController* controller, const NativeString& path);
// Once the watch has looked at the targets: loads the file given by
// setStartupImage and uploads it. Nothing without one.
void uploadStartupImage(FlashController* controller);

// ---- image slot and the operations on it
int loadImageFile(FlashController* controller, const NativeString* path); // null: the path given last
void startUpload(FlashController* controller);
int downloadFromTarget(FlashController* controller);
int writeDownloadFile(FlashController* controller, const NativeString& path);
// The path given to the last load (or by setStartupImage).
NativeString imageFilePath(FlashController* controller);
// Flash size bytes once loaded (erased bytes 0xFF where the file sets none); empty otherwise.
const std::vector<uint8_t>& loadedImageBytes(FlashController* controller);
int32_t loadedImageLength(FlashController* controller); // bytes to upload; 0 when nothing is loaded
// Size of the buffer a download reads into: flash size once allocated, else 0.
size_t downloadBufferSize(FlashController* controller);
// Every image kind the loader reads, one entry per format in the loader's
// order (binary first), then "All files".
std::vector<ImageFileType> openDialogFileTypes();

// ---- idle gate
// 1 while no upload or download holds the target; the watch polls only then.
int controllerIsIdle(FlashController* controller);

// ---- option area (see the Preferences dialog)
int32_t optionAreaOffset(FlashController* controller);
int32_t optionAreaSize(FlashController* controller);
// The values operations use until the stored ones are read again.
void setOptionArea(FlashController* controller, int32_t offset, int32_t size);
// An option offset as the operations use it: at least 0, at most flash
// size - page size (the start of the last page).
int32_t clampOptionAreaOffset(FlashController* controller, int32_t offset);
// "OptionsInUse": the stored number, 0 when missing or unreadable.
uint32_t readStoredOptionsInUse(FlashController* controller);
// Read "OptionsOffset"/"OptionsSize" into the controller (kept when missing);
// the result is the controller's value afterwards.
int32_t reloadOptionAreaOffset(FlashController* controller);
int32_t reloadOptionAreaSize(FlashController* controller);
// Stores all three; false (silently) when the key cannot be opened or created.
bool storeOptionArea(FlashController* controller, int32_t offset, int32_t size, bool inUse);

#endif
