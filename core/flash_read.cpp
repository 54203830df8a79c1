// Block reads with DfuSe uploads.
#include "dfu.h"
#include "flash_ops.h"
#include "wait_bounds.h"

namespace {

// Why an upload failed: the board says so in its next status (errVENDOR for
// read protection, errTARGET for an address it does not have).
void recordFailedUpload(stm32::Session& session, uint32_t address, int got) {
    const stm32::RequestAt upload{"UPLOAD", true, address};
    DfuStatus status{};
    int asked = stm32::requestStatus(session, &status, stm32::controlTimeout());
    if (asked == stm32::kDfuStatusLength && status.bStatus != stm32::kDfuStatusOk) {
        session.recordFailure(stm32::FailureCause::answered(upload, status.bState, status.bStatus));
    } else if (got < 0) {
        session.recordFailure(stm32::FailureCause::failed(upload, got));
    } else {
        session.recordFailure(stm32::FailureCause::failed(upload, 0, "short block"));
    }
}

} // namespace

namespace stm32 {

int readBlocks(Session& session, int32_t blockCount, uint32_t firstAddress, uint32_t blockSize, uint8_t* buffer) {
    if (setAddress(session, firstAddress) != 0) return -1;
    // Uploads start from dfuIDLE: the Set Address left the board in dfuDNLOAD-IDLE.
    if (ensureIdle(session) != 0) return -1;
    if (blockCount < 1) return 0;
    if (buffer == nullptr || blockSize == 0 || blockSize > kMaxTransferSize) return -1;
    for (int32_t i = 0; i < blockCount; ++i) {
        uint8_t* block = buffer + static_cast<size_t>(i) * blockSize;
        uint32_t address = firstAddress + static_cast<uint32_t>(i) * blockSize;
        int got =
            dfuControlIn(session, kDfuUpload, static_cast<uint16_t>(i + 2), block, static_cast<uint16_t>(blockSize));
        if (got != static_cast<int>(blockSize)) {
            recordFailedUpload(session, address, got);
            return got;
        }
        DfuStatus status{};
        getStatus(session, &status);
        if (status.bStatus != kDfuStatusOk) {
            session.recordFailure(FailureCause::answered({"UPLOAD", true, address}, status.bState, status.bStatus));
            return -1;
        }
    }
    return 0;
}

} // namespace stm32

int readBlocks(libusb_device_handle* handle, int32_t blockCount, uint32_t firstAddress, uint32_t blockSize,
               uint8_t* buffer) {
    stm32::Session session(handle);
    return stm32::readBlocks(session, blockCount, firstAddress, blockSize, buffer);
}
