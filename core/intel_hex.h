// What Intel HEX records mean: the decoder's working record and its three
// steps per record. Internal to the core (the image loader uses it too); the
// public entry point is decodeIntelHex in stm32.h.
#ifndef STM32_CORE_INTEL_HEX_H
#define STM32_CORE_INTEL_HEX_H

#include <cstdint>

#include "intel_hex_records.h"

// Working record of one decodeIntelHex call; zero at its start.
struct IntelHexState {
    uint32_t base;          // from the last extended address record, relative to flash start once complete
    uint32_t recordAddress; // load address of the current data record
    uint32_t size;          // highest image position written + 1
    uint32_t shift;         // bit position of the next address byte within base
    bool error;             // the current (or an earlier) record cannot be handled
};

enum IntelHexRecordType : uint8_t {
    kHexData = 0x00,
    kHexEndOfFile = 0x01,
    kHexExtendedSegmentAddress = 0x02,
    kHexStartSegmentAddress = 0x03,
    kHexExtendedLinearAddress = 0x04,
    kHexStartLinearAddress = 0x05,
};

void intelHexPrepareRecord(IntelHexState* state, uint8_t recordType, uint8_t byteCount, uint16_t loadAddress);
void intelHexUpdateRecord(IntelHexState* state, uint8_t recordType, uint8_t* image, uint32_t capacity, uint32_t byteIndex,
                  uint8_t dataByte);
void intelHexFinalizeRecord(IntelHexState* state, uint8_t recordType, uint32_t flashStart);

// What applying one record found wrong.
enum class IntelHexFault {
    None,
    UnsupportedType,     // not 00 to 05, or an end record with data
    AddressRecordLength, // an extended address record without exactly 2 data bytes
    BeyondAddressSpace,  // data past the last 32-bit image position
    BelowFlashStart,     // an extended address below flash start (state->base still holds it)
};

// Prepares, updates with every data byte and finalizes one record, stopping
// at the first fault; state->error must be clear on entry. Data goes to
// image below capacity (none with capacity 0).
IntelHexFault intelHexApplyRecord(IntelHexState* state, const stm32::IntelHexRecord& record, uint32_t flashStart,
                                  uint8_t* image, uint32_t capacity);

#endif
