// DFU 1.1 / DfuSe transport on the default control pipe.
#ifndef STM32_CORE_DFU_H
#define STM32_CORE_DFU_H

#include <libusb.h>

#include <chrono>
#include <cstdint>

#include "stm32.h"
#include "usb_holders.h"

struct DfuStatus {
    uint32_t bStatus;
    uint32_t bwPollTimeout;
    uint32_t bState;
    uint32_t iString;
};

struct DfuFunctionalInfo {
    int32_t bLength;
    int32_t bDescriptorType;
    int32_t bmAttributes;
    int32_t wDetachTimeOut;
    int32_t wTransferSize;
};

namespace stm32 {

enum : uint32_t {
    kDfuStateIdle = 2,
    kDfuStateDnBusy = 4,
    kDfuStateError = 10,
    kDfuStatusOk = 0,
    kDfuStatusErrUnknown = 14,
};

enum : uint8_t {
    kDfuDnload = 1,
    kDfuUpload = 2,
    kDfuGetStatus = 3,
    kDfuClrStatus = 4,
};

constexpr uint8_t kRequestOut = 0x21; // class, interface, host to device
constexpr uint8_t kRequestIn = 0xA1;  // class, interface, device to host
constexpr int kMaxTransferSize = 4096; // largest block one control transfer carries here

// Bounds that tests shorten; production values are the defaults.
void setBusyWaitLimit(std::chrono::milliseconds limit);       // default 120 s
std::chrono::milliseconds busyWaitLimit();
void setControlTimeout(unsigned milliseconds);                // default 9000 ms
unsigned controlTimeout();

bool isTargetDescriptor(const libusb_device_descriptor& descriptor);
bool isDfuAltSetting(const libusb_interface_descriptor& alt);

// Plain class requests with the core's timeout.
int dfuControlOut(libusb_device_handle* handle, uint8_t request, uint16_t value, unsigned char* data,
                  uint16_t length);
int dfuControlIn(libusb_device_handle* handle, uint8_t request, uint16_t value, unsigned char* data,
                 uint16_t length);

// Sends one DfuSe command (wValue 0) and waits for its verdict: the next
// status must be dfuDNBUSY, then the busy wait decides. Returns 0, -1, or the
// transfer result when it was neither `length` nor 0.
int dfuSendCommand(libusb_device_handle* handle, unsigned char* bytes, uint16_t length);
// After a DfuSe command or data block: the next status must be dfuDNBUSY, then
// the busy wait gives the board's verdict.
int awaitBusyVerdict(libusb_device_handle* handle);

// Opens, claims interface 0 and selects alternate setting 0. 0 on success.
int openTarget(libusb_device* device, DeviceHandle& handle);

} // namespace stm32

void dfuGetStatus(libusb_device_handle* handle, DfuStatus* status);
int waitWhileDeviceIsBusy(libusb_device_handle* handle, DfuStatus* status);
int dfuEnsureIdle(libusb_device_handle* handle);
int dfuSetAddress(libusb_device_handle* handle, uint32_t address);
void dfuLeave(libusb_device_handle* handle);
void dfuGetFunctionalDescriptor(libusb_device* device, const libusb_device_descriptor* descriptor,
                                DfuFunctionalInfo* info);

#endif
