// Block reads with DfuSe uploads.
#include "dfu.h"
#include "flash_ops.h"

int readPages(libusb_device_handle* handle, int32_t blockCount, uint32_t firstAddress, uint32_t blockSize,
              uint8_t* buffer) {
    if (dfuSetAddress(handle, firstAddress) != 0) return -1;
    if (dfuEnsureIdle(handle) != 0) return -1;
    if (blockCount < 1) return 0;
    if (buffer == nullptr || blockSize == 0 || blockSize > stm32::kMaxTransferSize) return -1;
    for (int32_t i = 0; i < blockCount; ++i) {
        uint8_t* block = buffer + static_cast<size_t>(i) * blockSize;
        int got = stm32::dfuControlIn(handle, stm32::kDfuUpload, static_cast<uint16_t>(i + 2), block,
                                      static_cast<uint16_t>(blockSize));
        if (got != static_cast<int>(blockSize)) return got;
        DfuStatus status{};
        dfuGetStatus(handle, &status);
        if (status.bStatus != stm32::kDfuStatusOk) return -1;
    }
    return 0;
}
