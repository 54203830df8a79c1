// Intel HEX text to a flash-sized binary image whose position 0 is flash start.
#include "intel_hex.h"

#include "stm32.h"

#include <cstring>

namespace {

// Offsets of the fixed fields within a record (":" at 0).
constexpr size_t kByteCountAt = 1;
constexpr size_t kLoadAddressAt = 3;
constexpr size_t kRecordTypeAt = 7;
constexpr size_t kDataAt = 9;

// Image positions and the size (position + 1) must both fit 32 bits.
constexpr uint64_t kLastPosition = 0xFFFFFFFEull;

int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads exactly two hex digits. Stops at the first non-digit, so it never
// looks past a terminating NUL.
bool readHexByte(const char* at, uint8_t* value)
{
    const int high = hexDigitValue(at[0]);
    if (high < 0) return false;
    const int low = hexDigitValue(at[1]);
    if (low < 0) return false;
    *value = static_cast<uint8_t>(high * 16 + low);
    return true;
}

struct RecordHeader {
    uint8_t byteCount = 0;
    uint16_t loadAddress = 0;
    uint8_t type = 0;
    uint8_t sum = 0; // running checksum of the header bytes
};

bool readHeader(const char* record, RecordHeader* header)
{
    if (record[0] != ':') return false;
    uint8_t addressHigh = 0;
    uint8_t addressLow = 0;
    if (!readHexByte(record + kByteCountAt, &header->byteCount)) return false;
    if (!readHexByte(record + kLoadAddressAt, &addressHigh)) return false;
    if (!readHexByte(record + kLoadAddressAt + 2, &addressLow)) return false;
    if (!readHexByte(record + kRecordTypeAt, &header->type)) return false;
    header->loadAddress = static_cast<uint16_t>(addressHigh << 8 | addressLow);
    header->sum = static_cast<uint8_t>(header->byteCount + addressHigh + addressLow + header->type);
    return true;
}

// The checksum byte makes the sum of all bytes of the record 0 modulo 256.
bool checksumMatches(const char* record, size_t checksumAt, uint8_t sumSoFar)
{
    uint8_t checksum = 0;
    if (!readHexByte(record + checksumAt, &checksum)) return false;
    return static_cast<uint8_t>(sumSoFar + checksum) == 0;
}

// Result of one record line.
enum class RecordOutcome { Continue, EndOfText, Failed, TooBig };

// *recordEnd receives the position after the checksum of a complete record.
RecordOutcome decodeRecord(const char* record, IntelHexState* state, uint32_t flashStart, uint8_t* image,
                           uint32_t capacity, size_t* recordEnd)
{
    RecordHeader header;
    if (!readHeader(record, &header)) return RecordOutcome::Failed;

    if (header.byteCount == 0) {
        // A zero-length record ends the text, but only if it arrived intact.
        return checksumMatches(record, kDataAt, header.sum) ? RecordOutcome::EndOfText : RecordOutcome::Failed;
    }

    intelHexPrepareRecord(state, header.type, header.byteCount, header.loadAddress);
    if (state->error) return RecordOutcome::Failed;

    uint8_t sum = header.sum;
    for (uint32_t index = 0; index < header.byteCount; ++index) {
        uint8_t dataByte = 0;
        if (!readHexByte(record + kDataAt + 2 * index, &dataByte)) return RecordOutcome::Failed;
        sum = static_cast<uint8_t>(sum + dataByte);
        intelHexUpdateRecord(state, header.type, image, capacity, index, dataByte);
        if (state->error) return RecordOutcome::Failed;
    }
    // A corrupted record must not reach flash: it would verify against itself.
    const size_t checksumAt = kDataAt + 2u * header.byteCount;
    if (!checksumMatches(record, checksumAt, sum)) return RecordOutcome::Failed;
    *recordEnd = checksumAt + 2;

    intelHexFinalizeRecord(state, header.type, flashStart);
    if (state->size > capacity) return RecordOutcome::TooBig;
    return RecordOutcome::Continue;
}

// The next ":" after a record. Only white space may lie between records: a
// record whose ":" was damaged must fail the text, not vanish from the image.
char* nextRecord(char* from)
{
    for (; *from != '\0'; ++from) {
        if (*from == ':') return from;
        if (*from != '\r' && *from != '\n' && *from != ' ' && *from != '\t') return nullptr;
    }
    return nullptr;
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

uint32_t decodeIntelHex(char* text, uint32_t flashStart, uint8_t* image, uint32_t capacity, uint32_t* imageLength)
{
    uint32_t unusedLength = 0;
    if (imageLength == nullptr) imageLength = &unusedLength;
    *imageLength = 0;
    if (text == nullptr || (image == nullptr && capacity != 0)) return 0;

    IntelHexState state;
    std::memset(&state, 0, sizeof state);

    char* record = text;
    for (;;) {
        // Cut the record at its line break so that no field read runs into the
        // next line. The last record may end with the text instead.
        char* lineBreak = std::strchr(record, '\n');
        if (lineBreak != nullptr) *lineBreak = '\0';
        size_t recordEnd = 0;
        const RecordOutcome outcome = decodeRecord(record, &state, flashStart, image, capacity, &recordEnd);
        if (lineBreak != nullptr) *lineBreak = '\n';

        switch (outcome) {
        case RecordOutcome::EndOfText:
        case RecordOutcome::TooBig:
            *imageLength = state.size;
            return state.size;
        case RecordOutcome::Failed:
            return 0;
        case RecordOutcome::Continue:
            break;
        }
        record = nextRecord(record + recordEnd);
        if (record == nullptr) return 0;
    }
}
