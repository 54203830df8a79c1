// The record reader of Intel HEX text: where records stand, their fields and
// their checksums. What a record means is the decoder's business
// (intel_hex.h); the core's decodeIntelHex and the image loader both read
// their text through this one reader.
#ifndef STM32_CORE_INTEL_HEX_RECORDS_H
#define STM32_CORE_INTEL_HEX_RECORDS_H

#include <cstddef>
#include <cstdint>

namespace stm32 {

// One record, its fields decoded and its checksum verified.
struct IntelHexRecord {
    uint32_t line = 0; // of its ':', the first line being 1
    uint8_t byteCount = 0;
    uint16_t loadAddress = 0;
    uint8_t type = 0;
    uint8_t data[255] = {};
};

// Why the walk stopped before a record without data.
enum class IntelHexSyntax {
    NoRecordAtStart,   // the text does not begin with ':'
    TextOutsideRecord, // something other than white space between two records
    NoEndRecord,       // the text ends before a record without data
    HeaderNotHex,      // byte count, load address or type are not hex digits
    ShortData,         // fewer data digits than the byte count says
    NoChecksum,
    WrongChecksum,
};

class IntelHexReader {
public:
    // The text ends at length or at its first NUL, whichever comes first.
    IntelHexReader(const char* text, size_t length);

    enum class Step { Record, End, Fault };
    // Reads the next record into *record. End: a record without data, whatever
    // its type, which completes the text. Fault: see fault() and line().
    Step next(IntelHexRecord* record);

    IntelHexSyntax fault() const { return fault_; }
    // The line of the fault: its record's, or where the stray text or the end stands.
    uint32_t line() const { return line_; }
    // With WrongChecksum: the record's checksum and the one its bytes need.
    uint8_t checksum() const { return checksum_; }
    uint8_t expectedChecksum() const { return expected_; }

private:
    bool skipToRecord();
    bool pairAt(size_t at, uint8_t* value) const;
    Step fail(IntelHexSyntax fault);

    const char* text_;
    size_t length_;
    size_t at_ = 0;
    uint32_t line_ = 1;
    bool started_ = false;
    IntelHexSyntax fault_ = IntelHexSyntax::NoRecordAtStart;
    uint8_t checksum_ = 0;
    uint8_t expected_ = 0;
};

} // namespace stm32

#endif
