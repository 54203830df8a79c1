// Erase and write of flash blocks.
#include "dfu.h"
#include "flash_ops.h"
#include "log.h"
#include "session.h"

namespace {

constexpr int kDotEvery = 5; // one dot per five pages or blocks keeps a console readable

// Dots only where a caller gave a progress line (null: the silent forms).
void progressDot(Stm32Context* progressLine, size_t index) {
    if (progressLine != nullptr && index % kDotEvery == 0) stm32::logProgress(progressLine, ".");
}

int eraseOne(libusb_device_handle* handle, uint32_t address) {
    unsigned char command[stm32::kDfuSeAddressCommandLength];
    stm32::packDfuSeCommand(stm32::kDfuSeErase, address, command);
    stm32::DfuOperation op{"ERASE", true, true, true, address};
    return stm32::dfuSendCommand(handle, command, sizeof command, op);
}

} // namespace

namespace stm32 {

int32_t trimmedSendLength(const uint8_t* data, int32_t length) {
    if (data == nullptr || length <= 0) return 0;
    int32_t used = length;
    while (used > 0 && data[used - 1] == 0xFF) --used;
    if (used == 0 || used == length) return used;
    int32_t rounded = (used + 7) / 8 * 8;
    return rounded < length ? rounded : length; // never past the block
}

int eraseAddresses(Stm32Context* progressLine, libusb_device_handle* handle, const std::vector<uint32_t>& addresses) {
    if (dfuEnsureIdle(handle) != 0) return -1;
    for (size_t i = 0; i < addresses.size(); ++i) {
        int rc = eraseOne(handle, addresses[i]);
        if (rc != 0) return rc;
        progressDot(progressLine, i);
    }
    return 0;
}

int eraseAddresses(libusb_device_handle* handle, const std::vector<uint32_t>& addresses) {
    return eraseAddresses(nullptr, handle, addresses);
}

} // namespace stm32

int erasePages(Stm32Context* progressLine, libusb_device_handle* handle, int32_t pageCount, uint32_t firstAddress,
               uint32_t step) {
    std::vector<uint32_t> addresses;
    for (int32_t i = 0; i < pageCount; ++i) addresses.push_back(firstAddress + static_cast<uint32_t>(i) * step);
    return stm32::eraseAddresses(progressLine, handle, addresses);
}

int erasePages(libusb_device_handle* handle, int32_t pageCount, uint32_t firstAddress, uint32_t step) {
    return erasePages(nullptr, handle, pageCount, firstAddress, step);
}

int dfuMassErase(libusb_device_handle* handle) {
    if (dfuEnsureIdle(handle) != 0) return -1;
    unsigned char command[1] = {stm32::kDfuSeErase};
    stm32::DfuOperation op{"MASS_ERASE", true};
    return stm32::dfuSendCommand(handle, command, sizeof command, op);
}

int dfuWriteMemory(libusb_device_handle* handle, uint16_t blockNumber, const uint8_t* data, int32_t length) {
    if (length < 0 || length > 0xFFFF) return -1;
    int32_t sendLength = stm32::trimmedSendLength(data, length);
    if (length > 0 && sendLength == 0) return 0; // all erased: the flash under it already reads so
    // libusb takes a non-const pointer for both directions; an OUT transfer only reads it.
    unsigned char* bytes = const_cast<unsigned char*>(data);
    int sent = stm32::dfuControlOut(handle, stm32::kDfuDnload, blockNumber, sendLength > 0 ? bytes : nullptr,
                                    static_cast<uint16_t>(sendLength));
    stm32::Session& session = stm32::Session::current();
    uint32_t blockSize = session.blockSize != 0 ? session.blockSize : static_cast<uint32_t>(length);
    stm32::DfuOperation op{"WRITE", false, false, true,
                           session.addressPointer + static_cast<uint32_t>(blockNumber - 2) * blockSize};
    if (sendLength == 0) return sent;
    if (sent != sendLength) {
        stm32::FailureCause cause;
        cause.request = op.name;
        cause.hasAddress = true;
        cause.address = op.address;
        cause.libusbError = sent < 0 ? sent : LIBUSB_ERROR_IO;
        session.recordFailure(cause);
        return sent;
    }
    return stm32::awaitBusyVerdict(handle, op);
}

int writeBlocks(Stm32Context* progressLine, libusb_device_handle* handle, int32_t blockCount, uint32_t firstAddress,
                int32_t blockSize, const uint8_t* data) {
    // dfuDNLOAD-IDLE, where the Set Address leaves the board, takes data blocks.
    if (dfuSetAddress(handle, firstAddress) != 0) return -1;
    if (blockCount <= 0) return 0;
    if (data == nullptr || blockSize <= 0) return -1;
    for (int32_t i = 0; i < blockCount; ++i) {
        const uint8_t* block = data + static_cast<size_t>(i) * static_cast<size_t>(blockSize);
        int rc = dfuWriteMemory(handle, static_cast<uint16_t>(i + 2), block, blockSize);
        if (rc != 0) return rc;
        progressDot(progressLine, static_cast<size_t>(i));
    }
    return 0;
}

int writeBlocks(libusb_device_handle* handle, int32_t blockCount, uint32_t firstAddress, int32_t blockSize,
                const uint8_t* data) {
    return writeBlocks(nullptr, handle, blockCount, firstAddress, blockSize, data);
}
