// Intel HEX records: ":" count(2) address(4) type(2) data(2 x count) checksum(2).
#include "intel_hex_records.h"

#include <cstring>

#include "hex_digits.h"

namespace stm32 {

namespace {

// Offsets of the fixed fields within a record (":" at 0).
constexpr size_t kHeaderAt = 1;
constexpr size_t kHeaderBytes = 4; // byte count, load address (2), type
constexpr size_t kDataAt = 9;

size_t textLength(const char* text, size_t length)
{
    if (text == nullptr || length == 0) return 0;
    const void* nul = std::memchr(text, 0, length);
    return nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - text) : length;
}

} // namespace

IntelHexReader::IntelHexReader(const char* text, size_t length) : text_(text), length_(textLength(text, length)) {}

IntelHexReader::Step IntelHexReader::fail(IntelHexSyntax fault)
{
    fault_ = fault;
    return Step::Fault;
}

bool IntelHexReader::pairAt(size_t at, uint8_t* value) const
{
    return at + 1 < length_ && readHexPair(text_ + at, value);
}

// Only white space may lie between records: a record whose ":" was damaged
// must fail the text, not vanish from the image.
bool IntelHexReader::skipToRecord()
{
    for (; at_ < length_; ++at_) {
        const char c = text_[at_];
        if (c == ':') return true;
        if (c == '\n') ++line_;
        else if (c != '\r' && c != ' ' && c != '\t') return false;
    }
    return false;
}

IntelHexReader::Step IntelHexReader::next(IntelHexRecord* record)
{
    if (!started_) {
        started_ = true;
        // The first record stands at the very start of the text.
        if (length_ == 0 || text_[0] != ':') return fail(IntelHexSyntax::NoRecordAtStart);
    } else if (!skipToRecord()) {
        return fail(at_ >= length_ ? IntelHexSyntax::NoEndRecord : IntelHexSyntax::TextOutsideRecord);
    }
    record->line = line_;
    uint8_t header[kHeaderBytes];
    for (size_t i = 0; i < kHeaderBytes; ++i) {
        if (!pairAt(at_ + kHeaderAt + 2 * i, &header[i])) return fail(IntelHexSyntax::HeaderNotHex);
    }
    record->byteCount = header[0];
    record->loadAddress = static_cast<uint16_t>(header[1] << 8 | header[2]);
    record->type = header[3];
    uint8_t sum = static_cast<uint8_t>(header[0] + header[1] + header[2] + header[3]);
    const size_t dataAt = at_ + kDataAt;
    for (size_t i = 0; i < record->byteCount; ++i) {
        if (!pairAt(dataAt + 2 * i, &record->data[i])) return fail(IntelHexSyntax::ShortData);
        sum = static_cast<uint8_t>(sum + record->data[i]);
    }
    const size_t checksumAt = dataAt + 2u * record->byteCount;
    if (!pairAt(checksumAt, &checksum_)) return fail(IntelHexSyntax::NoChecksum);
    // The checksum makes the sum of all bytes of the record 0 modulo 256; a
    // corrupted record must not reach flash, where it would verify against itself.
    if (static_cast<uint8_t>(sum + checksum_) != 0) {
        expected_ = static_cast<uint8_t>(-sum);
        return fail(IntelHexSyntax::WrongChecksum);
    }
    at_ = checksumAt + 2;
    return record->byteCount == 0 ? Step::End : Step::Record;
}

} // namespace stm32
