// Block reads with DfuSe uploads.
#include "dfu.h"
#include "flash_ops.h"
#include "session.h"

namespace {

// Why an upload failed: the board says so in its next status (errVENDOR for
// read protection, errTARGET for an address it does not have).
void recordFailedUpload(libusb_device_handle* handle, uint32_t address, int got) {
    DfuStatus status{};
    int asked = stm32::requestStatus(handle, &status, stm32::controlTimeout());
    stm32::FailureCause cause;
    cause.request = "UPLOAD";
    cause.hasAddress = true;
    cause.address = address;
    if (asked == 6 && status.bStatus != stm32::kDfuStatusOk) {
        cause.hasStatus = true;
        cause.state = status.bState;
        cause.status = status.bStatus;
    } else if (got < 0) {
        cause.libusbError = got;
    } else {
        cause.detail = "short block";
    }
    stm32::Session::current().recordFailure(cause);
}

} // namespace

int readBlocks(libusb_device_handle* handle, int32_t blockCount, uint32_t firstAddress, uint32_t blockSize,
               uint8_t* buffer) {
    if (dfuSetAddress(handle, firstAddress) != 0) return -1;
    // Uploads start from dfuIDLE: the Set Address left the board in dfuDNLOAD-IDLE.
    if (dfuEnsureIdle(handle) != 0) return -1;
    if (blockCount < 1) return 0;
    if (buffer == nullptr || blockSize == 0 || blockSize > stm32::kMaxTransferSize) return -1;
    for (int32_t i = 0; i < blockCount; ++i) {
        uint8_t* block = buffer + static_cast<size_t>(i) * blockSize;
        uint32_t address = firstAddress + static_cast<uint32_t>(i) * blockSize;
        int got = stm32::dfuControlIn(handle, stm32::kDfuUpload, static_cast<uint16_t>(i + 2), block,
                                      static_cast<uint16_t>(blockSize));
        if (got != static_cast<int>(blockSize)) {
            recordFailedUpload(handle, address, got);
            return got;
        }
        DfuStatus status{};
        dfuGetStatus(handle, &status);
        if (status.bStatus != stm32::kDfuStatusOk) {
            stm32::FailureCause cause;
            cause.request = "UPLOAD";
            cause.hasAddress = true;
            cause.address = address;
            cause.hasStatus = true;
            cause.state = status.bState;
            cause.status = status.bStatus;
            stm32::Session::current().recordFailure(cause);
            return -1;
        }
    }
    return 0;
}
