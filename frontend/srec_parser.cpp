// Motorola S-record: S0 header, S1/S2/S3 data with 16/24/32-bit addresses,
// S5/S6 record counts, S7/S8/S9 end records. Every record's checksum is
// checked, and the end record must be there, so that a file cut at a line
// break is not taken for a shorter image.
#include "image_chunks.h"

#include "hex_digits.h"

namespace frontend {

namespace {

struct Line {
    const uint8_t* text;
    size_t length; // without the line break and trailing blanks
    uint32_t number;
};

// The next line from *at, trailing white space removed.
Line nextLine(const uint8_t* bytes, size_t length, size_t* at, uint32_t number)
{
    const size_t begin = *at;
    size_t end = begin;
    while (end < length && bytes[end] != '\n') ++end;
    *at = end < length ? end + 1 : end;
    size_t trimmed = end;
    while (trimmed > begin && (bytes[trimmed - 1] == '\r' || bytes[trimmed - 1] == ' ' || bytes[trimmed - 1] == '\t')) {
        --trimmed;
    }
    return Line{bytes + begin, trimmed - begin, number};
}

bool blank(const Line& line) { return line.length == 0; }

// Bytes of the address field of each record type; 0 for a type that has none we accept.
int addressBytes(char type)
{
    switch (type) {
    case '0': case '1': case '5': case '9': return 2;
    case '2': case '6': case '8': return 3;
    case '3': case '7': return 4;
    default: return 0;
    }
}

std::string lineError(const Line& line, const std::string& what)
{
    return format("line %u: %s", line.number, what.c_str());
}

// One decoded record: its type, address and data.
struct Record {
    char type = 0;
    uint32_t address = 0;
    std::vector<uint8_t> data;
};

std::string decodeRecord(const Line& line, Record* record)
{
    if (line.length < 4 || line.text[0] != 'S') return lineError(line, "not an S-record (it must begin with 'S')");
    record->type = static_cast<char>(line.text[1]);
    const int width = addressBytes(record->type);
    if (width == 0) return lineError(line, format("record type S%c is not supported", line.text[1]));
    std::vector<uint8_t> bytes;
    bytes.reserve((line.length - 2) / 2);
    for (size_t at = 2; at + 1 < line.length; at += 2) {
        uint8_t value = 0;
        if (!stm32::readHexPair(reinterpret_cast<const char*>(line.text) + at, &value)) {
            return lineError(line, format("column %zu is not a hexadecimal digit", at + 1));
        }
        bytes.push_back(value);
    }
    if ((line.length - 2) % 2 != 0) return lineError(line, "the record has an odd number of digits");
    const size_t count = bytes[0];
    if (count + 1 != bytes.size()) {
        return lineError(line, format("the byte count says %zu bytes but the record holds %zu", count, bytes.size() - 1));
    }
    if (count < static_cast<size_t>(width) + 1) return lineError(line, "the record is too short for its address");
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < bytes.size(); ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
    const uint8_t expected = static_cast<uint8_t>(~sum);
    if (bytes.back() != expected) {
        return lineError(line, format("checksum 0x%02X is wrong (0x%02X expected)", bytes.back(), expected));
    }
    for (int i = 0; i < width; ++i) record->address = record->address << 8 | bytes[1 + static_cast<size_t>(i)];
    record->data.assign(bytes.begin() + 1 + width, bytes.end() - 1);
    return std::string();
}

bool isData(char type) { return type == '1' || type == '2' || type == '3'; }
bool isEnd(char type) { return type == '7' || type == '8' || type == '9'; }

} // namespace

std::string parseSrec(const uint8_t* bytes, size_t length, uint32_t flashStart, ParsedImage* out)
{
    out->file = bytes;
    size_t at = 0;
    uint32_t number = 0;
    uint32_t dataRecords = 0;
    while (at < length) {
        const Line line = nextLine(bytes, length, &at, ++number);
        if (blank(line)) continue;
        Record record;
        const std::string error = decodeRecord(line, &record);
        if (!error.empty()) return error;
        if (isData(record.type)) {
            ++dataRecords;
            if (record.data.empty()) continue;
            Chunk chunk;
            chunk.position = static_cast<int64_t>(record.address) - static_cast<int64_t>(flashStart);
            chunk.dataOffset = out->pool.size();
            chunk.size = static_cast<uint32_t>(record.data.size());
            chunk.inPool = true;
            chunk.origin = format("line %u", line.number);
            out->pool.insert(out->pool.end(), record.data.begin(), record.data.end());
            out->chunks.push_back(std::move(chunk));
        } else if (record.type == '5' || record.type == '6') {
            // The count covers the data records so far; a lost line shows here.
            const uint32_t mask = record.type == '5' ? 0xFFFFu : 0xFFFFFFu;
            if (record.address != (dataRecords & mask)) {
                return lineError(line, format("the record count says %u data records but %u came before it",
                                              record.address, dataRecords));
            }
        } else if (isEnd(record.type)) {
            return std::string(); // what follows the end record is not read
        }
    }
    return format("line %u: the file ends without an end record (S7, S8 or S9); it may be cut short", number);
}

} // namespace frontend
