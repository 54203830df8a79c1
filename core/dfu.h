// DFU 1.1 / DfuSe transport on the default control pipe. Every operation
// talks through a Session (the open board and what the command has learned
// of it); the functions outside the namespace are the classic forms on a bare
// handle, each with a session of its own.
#ifndef STM32_CORE_DFU_H
#define STM32_CORE_DFU_H

#include <libusb.h>

#include <cstdint>

#include "failure.h"
#include "session.h"

struct DfuStatus {
    uint32_t bStatus;
    uint32_t bwPollTimeout;
    uint32_t bState;
    uint32_t iString;
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
constexpr int kDfuStatusLength = 6;

constexpr uint8_t kRequestOut = 0x21; // class, interface, host to device
constexpr uint8_t kRequestIn = 0xA1;  // class, interface, device to host
constexpr int kMaxTransferSize = 4096; // largest block one control transfer carries here

// One step whose verdict comes through DFU_GETSTATUS, for the busy wait, the
// trace and the failure cause.
struct DfuOperation {
    RequestAt request;         // "SET_ADDRESS", "ERASE", "MASS_ERASE", "WRITE", ...
    bool dfuseCommand = false; // a DfuSe command, which some ROMs finish without a busy phase
    bool sectorErase = false;  // a page or sector erase, which some ROMs never report done
};

// The command byte followed by the address, least significant byte first.
void packDfuSeCommand(uint8_t command, uint32_t address, unsigned char out[kDfuSeAddressCommandLength]);

// Plain class requests with the core's timeout, traced.
int dfuControlOut(Session& session, uint8_t request, uint16_t value, unsigned char* data, uint16_t length);
int dfuControlIn(Session& session, uint8_t request, uint16_t value, unsigned char* data, uint16_t length);

// DFU_GETSTATUS with a given timeout; returns the libusb result (6 when the
// reply was read) and fills status as getStatus does.
int requestStatus(Session& session, DfuStatus* status, unsigned timeoutMs);
// A failed request reads as errUNKNOWN in dfuERROR.
void getStatus(Session& session, DfuStatus* status);

// Sends one DfuSe command (wValue 0) and waits for its verdict. Returns 0,
// -1, or the transfer result when it was neither `length` nor 0.
int sendCommand(Session& session, unsigned char* bytes, uint16_t length, const DfuOperation& op);
// After a DfuSe command or data block: the first status must be dfuDNBUSY (or,
// for a DfuSe command, dfuDNLOAD-IDLE with OK), then the busy wait gives the
// board's verdict. Status requests here may be held by the board until the
// operation is over; timeouts and up to three stalls read as "still busy"
// until the busy bound.
int awaitBusyVerdict(Session& session, const DfuOperation& op);
// 0 once the board is no longer busy, -1 on an error status or at the bound.
int waitWhileBusy(Session& session, DfuStatus* status);
// Brings the board to dfuIDLE (or an OK status after a clear): 0, else -1.
int ensureIdle(Session& session);
int setAddress(Session& session, uint32_t address);
// The zero-length download that leaves DFU mode; nothing is checked.
void leave(Session& session);

} // namespace stm32

void dfuGetStatus(libusb_device_handle* handle, DfuStatus* status);
int waitWhileDeviceIsBusy(libusb_device_handle* handle, DfuStatus* status);
int dfuEnsureIdle(libusb_device_handle* handle);
int dfuSetAddress(libusb_device_handle* handle, uint32_t address);
void dfuLeave(libusb_device_handle* handle);

#endif
