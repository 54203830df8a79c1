// Intel HEX text to a flash-sized binary image whose position 0 is flash start.
#include "intel_hex.h"

#include <cstring>

#include "intel_hex_records.h"
#include "stm32.h"

namespace {

// Image positions and the size (position + 1) must both fit 32 bits.
constexpr uint64_t kLastPosition = 0xFFFFFFFEull;

bool isAddressRecord(uint8_t type)
{
    return type == kHexExtendedSegmentAddress || type == kHexExtendedLinearAddress;
}

} // namespace

void intelHexPrepareRecord(IntelHexState* state, uint8_t recordType, uint8_t byteCount, uint16_t loadAddress)
{
    switch (recordType) {
    case kHexData:
        state->recordAddress = loadAddress;
        break;
    case kHexExtendedSegmentAddress:
        if (byteCount != 2) state->error = true;
        state->base = 0;
        state->shift = 12;
        break;
    case kHexExtendedLinearAddress:
        if (byteCount != 2) state->error = true;
        state->base = 0;
        state->shift = 24;
        break;
    case kHexStartSegmentAddress:
    case kHexStartLinearAddress:
        break;
    default: // includes end of file with data
        state->error = true;
        break;
    }
}

void intelHexUpdateRecord(IntelHexState* state, uint8_t recordType, uint8_t* image, uint32_t capacity, uint32_t byteIndex,
                  uint8_t dataByte)
{
    switch (recordType) {
    case kHexData: {
        const uint64_t position = uint64_t{state->base} + state->recordAddress + byteIndex;
        if (position > kLastPosition) {
            state->error = true;
            return;
        }
        const uint32_t position32 = static_cast<uint32_t>(position);
        if (position32 + 1 > state->size) state->size = position32 + 1;
        if (position32 < capacity) image[position32] = dataByte;
        break;
    }
    case kHexExtendedSegmentAddress:
    case kHexExtendedLinearAddress:
        state->base += uint32_t{dataByte} << state->shift;
        state->shift -= 8;
        break;
    case kHexStartSegmentAddress:
    case kHexStartLinearAddress:
        break;
    default:
        state->error = true;
        break;
    }
}

void intelHexFinalizeRecord(IntelHexState* state, uint8_t recordType, uint32_t flashStart)
{
    if (recordType != kHexExtendedSegmentAddress && recordType != kHexExtendedLinearAddress) return;
    if (static_cast<int32_t>(state->base) >= static_cast<int32_t>(flashStart)) {
        state->base -= flashStart;
        state->shift = 0;
    } else {
        state->error = true;
    }
}

IntelHexFault intelHexApplyRecord(IntelHexState* state, const stm32::IntelHexRecord& record, uint32_t flashStart,
                                  uint8_t* image, uint32_t capacity)
{
    intelHexPrepareRecord(state, record.type, record.byteCount, record.loadAddress);
    if (state->error) {
        return isAddressRecord(record.type) ? IntelHexFault::AddressRecordLength : IntelHexFault::UnsupportedType;
    }
    for (uint32_t index = 0; index < record.byteCount; ++index) {
        intelHexUpdateRecord(state, record.type, image, capacity, index, record.data[index]);
        if (state->error) return IntelHexFault::BeyondAddressSpace;
    }
    intelHexFinalizeRecord(state, record.type, flashStart);
    return state->error ? IntelHexFault::BelowFlashStart : IntelHexFault::None;
}

uint32_t decodeIntelHex(char* text, uint32_t flashStart, uint8_t* image, uint32_t capacity, uint32_t* imageLength)
{
    uint32_t unusedLength = 0;
    if (imageLength == nullptr) imageLength = &unusedLength;
    *imageLength = 0;
    if (text == nullptr || (image == nullptr && capacity != 0)) return 0;

    IntelHexState state;
    std::memset(&state, 0, sizeof state);
    stm32::IntelHexReader reader(text, std::strlen(text));
    stm32::IntelHexRecord record;
    for (;;) {
        switch (reader.next(&record)) {
        case stm32::IntelHexReader::Step::Fault: return 0;
        case stm32::IntelHexReader::Step::End: *imageLength = state.size; return state.size;
        case stm32::IntelHexReader::Step::Record: break;
        }
        // An address below flash start fails the next record with data only,
        // so an end record right behind it still ends the text.
        if (state.error) return 0;
        const IntelHexFault fault = intelHexApplyRecord(&state, record, flashStart, image, capacity);
        if (fault != IntelHexFault::None && fault != IntelHexFault::BelowFlashStart) return 0;
        if (state.size > capacity) {
            // Too big: the caller reports it with the size reached.
            *imageLength = state.size;
            return state.size;
        }
    }
}
