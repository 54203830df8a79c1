// FlashController itself: its parts, each the owner of its own state. Only
// the controller's operation files include this header; the GUI and the
// tests use flash_controller.h.
#ifndef STM32_WIN_CONTROLLER_PARTS_H
#define STM32_WIN_CONTROLLER_PARTS_H

#include "controller_idle_gate.h"
#include "controller_image_slot.h"
#include "controller_option_area.h"
#include "controller_output.h"
#include "controller_target_watch.h"
#include "controller_upload.h"
#include "flash_controller.h"

struct FlashController {
    explicit FlashController(SettingsStore* settingsStore)
        : settings(settingsStore), options(settingsStore), watch(gate, output) {}

    SettingsStore* const settings; // not owned; may be null
    controller::OutputSinks output;
    controller::IdleGate gate;
    controller::OptionArea options;
    controller::ImageSlot image;
    controller::TargetWatch watch;
    controller::UploadThread upload;
};

namespace controller {

// Log lines of more than one operation.
// Two spellings on purpose: the log line of a refused load or operation has
// no space before "(enable", the watch's status line has one; both are the
// texts users and their scripts know, so neither is "fixed".
constexpr char kNoTargetForLoad[] = "STM32 DFU Target not available(enable via User and Reset button).";
constexpr char kOutOfMemory[] = "Out of memory.";
constexpr char kBusy[] = "An upload or download is running: wait until it has finished.";

} // namespace controller

#endif
