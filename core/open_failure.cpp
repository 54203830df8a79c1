// The wording of a failed open, claim or alternate-setting selection, and
// the log line the library gives after one.
#include "open_failure.h"

#include <libusb.h>

#include "log.h"

namespace {

// What the user can do differs by platform: Linux needs the udev rule for
// access, Windows a WinUSB binding before libusb can use the board at all.
#if defined(__linux__)
constexpr const char* kAccessHint =
    "Access to the board was denied: install the udev rule (sudo install -m 644 dist/linux/60-stm32-dfu.rules "
    "/etc/udev/rules.d/ && sudo udevadm control --reload-rules && sudo udevadm trigger --attr-match=idVendor=0483).";
#else
constexpr const char* kAccessHint =
    "Access to the board was denied: another program may hold it, or this user may not open it.";
#endif

#if defined(_WIN32)
constexpr const char* kDriverHint = "The board's driver cannot be used by libusb: bind WinUSB to \"STM32 BOOTLOADER\" "
                                    "(USB\\VID_0483&PID_DF11), for example with Zadig.";
#else
constexpr const char* kDriverHint = nullptr;
#endif

bool isDriverProblem(int32_t libusbError) {
    return libusbError == LIBUSB_ERROR_NOT_SUPPORTED || libusbError == LIBUSB_ERROR_NOT_FOUND;
}

} // namespace

extern "C" const char* stm32OpenFailureWords(int32_t libusbError) {
    switch (libusbError) {
    case LIBUSB_ERROR_ACCESS: return "access denied";
    case LIBUSB_ERROR_NO_DEVICE: return "the board is gone";
    case LIBUSB_ERROR_BUSY: return "busy: another program holds it";
    default: break;
    }
    if (isDriverProblem(libusbError)) return "its driver cannot be used by libusb";
    return libusb_error_name(libusbError);
}

extern "C" const char* stm32OpenFailureHint(int32_t libusbError) {
    if (libusbError == LIBUSB_ERROR_ACCESS) return kAccessHint;
    if (libusbError == LIBUSB_ERROR_BUSY) return "The board is busy: another program holds it.";
    if (isDriverProblem(libusbError)) return kDriverHint;
    return nullptr;
}

namespace stm32 {

void logOpenHint(Stm32Context* context, int libusbError) {
    if (const char* hint = stm32OpenFailureHint(libusbError)) {
        logLine(context, "%s", hint);
    } else if (isDriverProblem(libusbError)) {
        logLine(context, "The board cannot be opened through its driver (%s).", libusb_error_name(libusbError));
    } else {
        logLine(context, "The board could not be opened (%s).", libusb_error_name(libusbError));
    }
}

} // namespace stm32
