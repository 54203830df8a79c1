// Finding a target in libusb's device list, reading its DFU descriptors and
// opening it for a command.
#ifndef STM32_CORE_TARGET_DEVICE_H
#define STM32_CORE_TARGET_DEVICE_H

#include <libusb.h>

#include <cstdint>
#include <functional>

#include "stm32.h"
#include "usb_holders.h"

struct DfuFunctionalInfo {
    int32_t bLength;
    int32_t bDescriptorType;
    int32_t bmAttributes;
    int32_t wDetachTimeOut;
    int32_t wTransferSize;
};

namespace stm32 {

constexpr uint8_t kFunctionalDescriptorType = 0x21;

bool isTargetDescriptor(const libusb_device_descriptor& descriptor);

// What a visitor of the alternate-setting walk wants next.
enum class AltWalk { Next, NextInterface, Stop };
using AltVisitor = std::function<AltWalk(uint8_t configIndex, const libusb_interface_descriptor& alt)>;
// Visits every DFU alternate setting (class 0xFE, subclass 1, with a name) of
// every readable configuration, in descriptor order.
void walkDfuAltSettings(libusb_device* device, const libusb_device_descriptor& descriptor, const AltVisitor& visit);

// The port path a context is pinned to (stm32SetTargetPath), or null.
const char* pinnedPath(const Stm32Context* context);

// The device a call on one board works on: the one at pinnedPath when that is
// given, else the one at list position targetIndex; null when there is none.
libusb_device* deviceFor(const DeviceList& list, int32_t targetIndex, const char* pinnedPath);

// Finds the target of a command in a device list: the one at pinnedPath when
// that is given, else the first 0483:df11 for index -1, else the device at
// that list position if it is one.
bool selectTargetDevice(const DeviceList& list, int32_t targetIndex, const char* pinnedPath, libusb_device** device,
                        libusb_device_descriptor* descriptor);

} // namespace stm32

void dfuGetFunctionalDescriptor(libusb_device* device, const libusb_device_descriptor* descriptor,
                                DfuFunctionalInfo* info);

#endif
