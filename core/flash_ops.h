// Block read, erase and write on an open target (interface 0, alt 0).
// "Block" is the transfer unit (wTransferSize bytes); a "page" is what one
// DfuSe Erase command clears.
#ifndef STM32_CORE_FLASH_OPS_H
#define STM32_CORE_FLASH_OPS_H

#include <libusb.h>

#include <cstdint>
#include <vector>

#include "stm32.h"

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

namespace stm32 {

// One Erase command per address.
int eraseAddresses(Stm32Context* progressLine, libusb_device_handle* handle, const std::vector<uint32_t>& addresses);
int eraseAddresses(libusb_device_handle* handle, const std::vector<uint32_t>& addresses);

// Bytes of a block that are actually sent: erased (0xFF) tail trimmed, rounded
// up to 8 but never past the block. 0 for an all-0xFF block.
int32_t trimmedSendLength(const uint8_t* data, int32_t length);

} // namespace stm32

#endif
