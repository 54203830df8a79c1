// Removal of read protection with the DfuSe Read Unprotect command (0x92).
// The only place that sends it: the board mass-erases all its flash.
#include <libusb.h>

#include "dfu.h"
#include "log.h"
#include "stm32.h"
#include "target_session.h"
#include "wait_bounds.h"

namespace {

using stm32::logLine;

// The ROM answers the command's first status with dfuDNBUSY, then erases the
// flash, drops the protection and resets: the next status may fail, and that
// is the expected end.
int32_t sendReadUnprotect(Stm32Context* context, stm32::Session& session) {
    unsigned char command[1] = {stm32::kDfuSeReadUnprotect};
    int sent = stm32::dfuControlOut(session, stm32::kDfuDnload, 0, command, sizeof command);
    if (sent != static_cast<int>(sizeof command) && sent != 0) {
        logLine(context, "The board did not take the Read Unprotect command (%s).",
                sent < 0 ? libusb_error_name(sent) : "short transfer");
        return STM32_RESULT_ERASE_ERROR;
    }
    DfuStatus status{};
    int got = stm32::requestStatus(session, &status, stm32::controlTimeout());
    if (got != stm32::kDfuStatusLength || status.bStatus != stm32::kDfuStatusOk || status.bState != stm32::kDfuStateDnBusy) {
        logLine(context, "The board refused to remove read protection (%s).",
                got != stm32::kDfuStatusLength ? libusb_error_name(got) : stm32::dfuStateName(status.bState));
        return STM32_RESULT_ERASE_ERROR;
    }
    session.trace("decide", "read unprotect accepted: the board erases its flash and resets");
    // Whatever this one answers (usually nothing: the board is resetting).
    stm32::requestStatus(session, &status, stm32::controlTimeout());
    return STM32_RESULT_OK;
}

int32_t unprotect(Stm32Context* context, int32_t targetIndex) {
    stm32::TargetSession target(context, 0);
    if (!target.startUsb()) {
        logLine(context, "Problem with USB.");
        return STM32_RESULT_USB_INIT;
    }
    if (!target.select(targetIndex)) {
        logLine(context, "STM32 not connected or not in bootload mode.");
        return STM32_RESULT_NO_TARGET;
    }
    // The board erases everything: its layout does not matter.
    if (!target.openWithoutLayout()) return STM32_RESULT_OPEN_ERROR;
    logLine(context, "Removing read protection: the board erases its whole flash and resets.");
    if (stm32::ensureIdle(target.session()) != 0) {
        logLine(context, "The board did not return to dfuIDLE.");
        return STM32_RESULT_ERASE_ERROR;
    }
    int32_t result = sendReadUnprotect(context, target.session());
    if (result == STM32_RESULT_OK) {
        logLine(context, "Read protection removed; the flash is erased and the board restarts in DFU mode.");
    }
    return result;
}

} // namespace

extern "C" int32_t stm32Unprotect(Stm32Context* context, int32_t targetIndex) {
    if (context == nullptr) return STM32_RESULT_NO_TARGET;
    int32_t result = STM32_RESULT_NO_TARGET;
    try {
        result = unprotect(context, targetIndex);
    } catch (...) {
        context->logLineLength = 0;
        return STM32_RESULT_NO_TARGET;
    }
    logLine(context, result == STM32_RESULT_OK ? "OK." : "Error while removing read protection.");
    return result;
}
