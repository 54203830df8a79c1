// Erase and write of flash blocks.
#include "dfu.h"
#include "flash_ops.h"
#include "progress.h"

namespace {

void stepDone(stm32::ProgressLine* progress, size_t index) {
    if (progress != nullptr) progress->stepDone(index);
}

int eraseOne(stm32::Session& session, uint32_t address) {
    unsigned char command[stm32::kDfuSeAddressCommandLength];
    stm32::packDfuSeCommand(stm32::kDfuSeErase, address, command);
    stm32::DfuOperation op{{"ERASE", true, address}, true, true};
    return stm32::sendCommand(session, command, sizeof command, op);
}

std::vector<uint32_t> pageAddresses(int32_t pageCount, uint32_t firstAddress, uint32_t step) {
    std::vector<uint32_t> addresses;
    for (int32_t i = 0; i < pageCount; ++i) addresses.push_back(firstAddress + static_cast<uint32_t>(i) * step);
    return addresses;
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

int eraseAddresses(Session& session, const std::vector<uint32_t>& addresses, ProgressLine* progress) {
    if (ensureIdle(session) != 0) return -1;
    for (size_t i = 0; i < addresses.size(); ++i) {
        int rc = eraseOne(session, addresses[i]);
        if (rc != 0) return rc;
        stepDone(progress, i);
    }
    return 0;
}

int massErase(Session& session) {
    if (ensureIdle(session) != 0) return -1;
    unsigned char command[1] = {kDfuSeErase};
    DfuOperation op{{"MASS_ERASE"}, true, false};
    return sendCommand(session, command, sizeof command, op);
}

int writeMemory(Session& session, uint16_t blockNumber, const uint8_t* data, int32_t length) {
    if (length < 0 || length > 0xFFFF) return -1;
    int32_t sendLength = trimmedSendLength(data, length);
    if (length > 0 && sendLength == 0) return 0; // all erased: the flash under it already reads so
    // libusb takes a non-const pointer for both directions; an OUT transfer only reads it.
    unsigned char* bytes = const_cast<unsigned char*>(data);
    int sent = dfuControlOut(session, kDfuDnload, blockNumber, sendLength > 0 ? bytes : nullptr,
                             static_cast<uint16_t>(sendLength));
    uint32_t blockSize = session.blockSize != 0 ? session.blockSize : static_cast<uint32_t>(length);
    DfuOperation op{{"WRITE", true, session.addressPointer + static_cast<uint32_t>(blockNumber - 2) * blockSize}};
    if (sendLength == 0) return sent;
    if (sent != sendLength) {
        session.recordFailure(FailureCause::failed(op.request, sent < 0 ? sent : LIBUSB_ERROR_IO));
        return sent;
    }
    return awaitBusyVerdict(session, op);
}

int writeBlocks(Session& session, int32_t blockCount, uint32_t firstAddress, int32_t blockSize, const uint8_t* data,
                ProgressLine* progress) {
    // dfuDNLOAD-IDLE, where the Set Address leaves the board, takes data blocks.
    if (setAddress(session, firstAddress) != 0) return -1;
    if (blockCount <= 0) return 0;
    if (data == nullptr || blockSize <= 0) return -1;
    for (int32_t i = 0; i < blockCount; ++i) {
        const uint8_t* block = data + static_cast<size_t>(i) * static_cast<size_t>(blockSize);
        int rc = writeMemory(session, static_cast<uint16_t>(i + 2), block, blockSize);
        if (rc != 0) return rc;
        stepDone(progress, static_cast<size_t>(i));
    }
    return 0;
}

} // namespace stm32

int erasePages(Stm32Context* progressLine, libusb_device_handle* handle, int32_t pageCount, uint32_t firstAddress,
               uint32_t step) {
    stm32::Session session(handle);
    stm32::ProgressLine dots(progressLine);
    return stm32::eraseAddresses(session, pageAddresses(pageCount, firstAddress, step), &dots);
}

int erasePages(libusb_device_handle* handle, int32_t pageCount, uint32_t firstAddress, uint32_t step) {
    return erasePages(nullptr, handle, pageCount, firstAddress, step);
}

int dfuMassErase(libusb_device_handle* handle) {
    stm32::Session session(handle);
    return stm32::massErase(session);
}

int dfuWriteMemory(libusb_device_handle* handle, uint16_t blockNumber, const uint8_t* data, int32_t length) {
    stm32::Session session(handle);
    return stm32::writeMemory(session, blockNumber, data, length);
}

int writeBlocks(Stm32Context* progressLine, libusb_device_handle* handle, int32_t blockCount, uint32_t firstAddress,
                int32_t blockSize, const uint8_t* data) {
    stm32::Session session(handle);
    stm32::ProgressLine dots(progressLine);
    return stm32::writeBlocks(session, blockCount, firstAddress, blockSize, data, &dots);
}

int writeBlocks(libusb_device_handle* handle, int32_t blockCount, uint32_t firstAddress, int32_t blockSize,
                const uint8_t* data) {
    return writeBlocks(nullptr, handle, blockCount, firstAddress, blockSize, data);
}
