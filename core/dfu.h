// DFU 1.1 / DfuSe transport on the default control pipe.
#ifndef STM32_CORE_DFU_H
#define STM32_CORE_DFU_H

#include <libusb.h>

#include <chrono>
#include <cstdint>
#include <functional>

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
    kDfuStateDnloadIdle = 5,
    kDfuStateManifest = 7,
    kDfuStateUploadIdle = 9,
    kDfuStateError = 10,
    kDfuStatusOk = 0,
    kDfuStatusErrTarget = 1,
    kDfuStatusErrVendor = 11,
    kDfuStatusErrUnknown = 14,
};

enum : uint8_t {
    kDfuDnload = 1,
    kDfuUpload = 2,
    kDfuGetStatus = 3,
    kDfuClrStatus = 4,
    kDfuAbort = 6,
};

// DfuSe command bytes (first byte of a DFU_DNLOAD with wValue 0).
enum : uint8_t {
    kDfuSeSetAddress = 0x21,
    kDfuSeErase = 0x41,
    kDfuSeReadUnprotect = 0x92,
};
constexpr uint16_t kDfuSeAddressCommandLength = 5;

constexpr uint8_t kRequestOut = 0x21; // class, interface, host to device
constexpr uint8_t kRequestIn = 0xA1;  // class, interface, device to host
constexpr int kMaxTransferSize = 4096; // largest block one control transfer carries here

// Bounds that tests shorten; production values are the defaults.
void setBusyWaitLimit(std::chrono::milliseconds limit);       // default 120 s
std::chrono::milliseconds busyWaitLimit();
void setControlTimeout(unsigned milliseconds);                // default 9000 ms
unsigned controlTimeout();
void setStuckBusyThreshold(std::chrono::milliseconds limit);  // default 15 s
void setHeldStatusTimeout(std::chrono::milliseconds limit);   // default 40 s
std::chrono::milliseconds heldStatusTimeout();
std::chrono::milliseconds stuckBusyThreshold();

// One step whose verdict comes through DFU_GETSTATUS, for the busy wait, the
// trace and the failure cause.
struct DfuOperation {
    const char* name;          // "SET_ADDRESS", "ERASE", "MASS_ERASE", "WRITE", "READ_UNPROTECT"
    bool dfuseCommand = false; // may finish without a busy phase (the U5A9 ROM does after Set Address)
    bool sectorErase = false;  // may stay busy for ever (H743/H753 rev V bank 2)
    bool hasAddress = false;
    uint32_t address = 0;
};

// The command byte followed by the address, least significant byte first.
void packDfuSeCommand(uint8_t command, uint32_t address, unsigned char out[kDfuSeAddressCommandLength]);

bool isTargetDescriptor(const libusb_device_descriptor& descriptor);
bool isDfuAltSetting(const libusb_interface_descriptor& alt);

// What a visitor of the alternate-setting walk wants next.
enum class AltWalk { Next, NextInterface, Stop };
using AltVisitor = std::function<AltWalk(uint8_t configIndex, const libusb_interface_descriptor& alt)>;
// Visits every DFU alternate setting (isDfuAltSetting) of every readable
// configuration, in descriptor order.
void walkDfuAltSettings(libusb_device* device, const libusb_device_descriptor& descriptor, const AltVisitor& visit);

// Plain class requests with the core's timeout.
int dfuControlOut(libusb_device_handle* handle, uint8_t request, uint16_t value, unsigned char* data,
                  uint16_t length);
int dfuControlIn(libusb_device_handle* handle, uint8_t request, uint16_t value, unsigned char* data,
                 uint16_t length);

// Sends one DfuSe command (wValue 0) and waits for its verdict. Returns 0,
// -1, or the transfer result when it was neither `length` nor 0.
int dfuSendCommand(libusb_device_handle* handle, unsigned char* bytes, uint16_t length, const DfuOperation& op);
// After a DfuSe command or data block: the first status must be dfuDNBUSY (or,
// for a DfuSe command, dfuDNLOAD-IDLE with OK), then the busy wait gives the
// board's verdict. Status requests here may be held by the board until the
// operation is over; timeouts and up to three stalls read as "still busy"
// until the busy bound.
int awaitBusyVerdict(libusb_device_handle* handle, const DfuOperation& op);

// DFU_GETSTATUS with a given timeout; returns the libusb result (6 when the
// reply was read) and fills status as dfuGetStatus does.
int requestStatus(libusb_device_handle* handle, DfuStatus* status, unsigned timeoutMs);

// Opens, claims interface 0 and selects alternate setting 0. 0 on success,
// else the libusb error of the step that failed.
int openTarget(libusb_device* device, DeviceHandle& handle);

// Finds the target of a command in a device list: the first 0483:df11 for
// index -1, else the device at that list position if it is one.
bool selectTargetDevice(const DeviceList& list, int32_t targetIndex, libusb_device** device,
                        libusb_device_descriptor* descriptor);

} // namespace stm32

void dfuGetStatus(libusb_device_handle* handle, DfuStatus* status);
int waitWhileDeviceIsBusy(libusb_device_handle* handle, DfuStatus* status);
int dfuEnsureIdle(libusb_device_handle* handle);
int dfuSetAddress(libusb_device_handle* handle, uint32_t address);
void dfuLeave(libusb_device_handle* handle);
void dfuGetFunctionalDescriptor(libusb_device* device, const libusb_device_descriptor* descriptor,
                                DfuFunctionalInfo* info);

#endif
