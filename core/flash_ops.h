// Block read, erase and write on an open target (interface 0, alt 0).
// "Block" is the transfer unit (wTransferSize bytes); a "page" is what one
// DfuSe Erase command clears. The forms outside the namespace are the classic
// ones on a bare handle, each with a session of its own.
#ifndef STM32_CORE_FLASH_OPS_H
#define STM32_CORE_FLASH_OPS_H

#include <libusb.h>

#include <cstdint>
#include <vector>

#include "stm32.h"

namespace stm32 {

class ProgressLine;
class Session;

int readBlocks(Session& session, int32_t blockCount, uint32_t firstAddress, uint32_t blockSize, uint8_t* buffer);
// One Erase command per address; progress (may be null) gets every page done.
int eraseAddresses(Session& session, const std::vector<uint32_t>& addresses, ProgressLine* progress);
int massErase(Session& session);
int writeMemory(Session& session, uint16_t blockNumber, const uint8_t* data, int32_t length);
// Sets the address pointer, then writes consecutive blocks; progress (may be
// null) gets every block done.
int writeBlocks(Session& session, int32_t blockCount, uint32_t firstAddress, int32_t blockSize, const uint8_t* data,
                ProgressLine* progress);

// Bytes of a block that are actually sent: erased (0xFF) tail trimmed, rounded
// up to 8 but never past the block. 0 for an all-0xFF block.
int32_t trimmedSendLength(const uint8_t* data, int32_t length);

} // namespace stm32

int readBlocks(libusb_device_handle* handle, int32_t blockCount, uint32_t firstAddress, uint32_t blockSize,
               uint8_t* buffer);
// The forms with a context put a progress dot for every fifth page or block
// on the context's open log line; the others show nothing.
int erasePages(Stm32Context* progressLine, libusb_device_handle* handle, int32_t pageCount, uint32_t firstAddress,
               uint32_t step);
int erasePages(libusb_device_handle* handle, int32_t pageCount, uint32_t firstAddress, uint32_t step);
int dfuMassErase(libusb_device_handle* handle);
int dfuWriteMemory(libusb_device_handle* handle, uint16_t blockNumber, const uint8_t* data, int32_t length);
int writeBlocks(Stm32Context* progressLine, libusb_device_handle* handle, int32_t blockCount, uint32_t firstAddress,
                int32_t blockSize, const uint8_t* data);
int writeBlocks(libusb_device_handle* handle, int32_t blockCount, uint32_t firstAddress, int32_t blockSize,
                const uint8_t* data);

#endif
