// The record walk of an Intel HEX file. The core's decodeIntelHex stays the
// judge of what is valid and fills the image; this walk follows the same
// rules to learn what the decoder cannot tell: where each data record lands
// (the defined ranges, overlaps) and which line is wrong.
#include "image_chunks.h"

#include <cstring>

namespace frontend {

namespace {

// Image positions and the size (position + 1) must both fit 32 bits.
constexpr uint64_t kLastPosition = 0xFFFFFFFEull;

struct Cursor {
    const uint8_t* text;
    size_t length;
    size_t at = 0;
    uint32_t line = 1;
};

bool readByte(const Cursor& cursor, size_t at, uint8_t* value)
{
    if (at + 1 >= cursor.length) return false;
    const int high = hexDigit(cursor.text[at]);
    const int low = hexDigit(cursor.text[at + 1]);
    if (high < 0 || low < 0) return false;
    *value = static_cast<uint8_t>(high * 16 + low);
    return true;
}

// Skips the white space between records, counting lines; false when
// anything else stands there.
bool skipToRecord(Cursor* cursor)
{
    for (; cursor->at < cursor->length; ++cursor->at) {
        const uint8_t c = cursor->text[cursor->at];
        if (c == ':') return true;
        if (c == '\n') ++cursor->line;
        else if (c != '\r' && c != ' ' && c != '\t') return false;
    }
    return false;
}

std::string lineError(const Cursor& cursor, const char* what)
{
    return format("line %u: %s", cursor.line, what);
}

// Walk state, as the decoder keeps it.
struct Walk {
    uint32_t base = 0; // relative to flash start
};

// Applies an extended address record (type 02 or 04) of two data bytes.
std::string applyExtendedAddress(const Cursor& cursor, uint8_t type, const uint8_t* data, uint32_t flashStart,
                                 Walk* walk)
{
    const uint32_t value = uint32_t{data[0]} << 8 | data[1];
    const uint32_t absolute = type == 0x04 ? value << 16 : value << 4;
    // The decoder compares as signed 32-bit numbers; so must the walk.
    if (static_cast<int32_t>(absolute) < static_cast<int32_t>(flashStart)) {
        return lineError(cursor, format("extended address 0x%08X lies below flash start 0x%08X", absolute, flashStart)
                                     .c_str());
    }
    walk->base = absolute - flashStart;
    return std::string();
}

} // namespace

std::string parseIntelHexRecords(const uint8_t* bytes, size_t length, uint32_t flashStart, ParsedImage* out)
{
    out->file = bytes;
    // The decoder reads a C string: its text ends at the first NUL.
    // An empty file may come without any buffer at all.
    const void* nul = length > 0 ? std::memchr(bytes, 0, length) : nullptr;
    Cursor cursor{bytes, nul != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - bytes) : length};
    // The decoder wants the first record at the very start of the text.
    if (cursor.length == 0 || bytes[0] != ':') return lineError(cursor, "the file does not begin with a record (':')");
    Walk walk;
    for (;;) {
        if (!skipToRecord(&cursor)) {
            if (cursor.at >= cursor.length) return lineError(cursor, "the file ends without an end-of-file record");
            return lineError(cursor, "text outside a record (each record begins with ':')");
        }
        uint8_t header[4];
        for (size_t i = 0; i < 4; ++i) {
            if (!readByte(cursor, cursor.at + 1 + 2 * i, &header[i])) {
                return lineError(cursor, "the record header is not hexadecimal digits");
            }
        }
        const uint8_t count = header[0];
        const uint16_t loadAddress = static_cast<uint16_t>(header[1] << 8 | header[2]);
        const uint8_t type = header[3];
        uint8_t sum = static_cast<uint8_t>(count + header[1] + header[2] + type);
        uint8_t data[255];
        const size_t dataAt = cursor.at + 9;
        for (size_t i = 0; i < count; ++i) {
            if (!readByte(cursor, dataAt + 2 * i, &data[i])) {
                return lineError(cursor, format("the record is shorter than its byte count %u", count).c_str());
            }
            sum = static_cast<uint8_t>(sum + data[i]);
        }
        uint8_t checksum = 0;
        if (!readByte(cursor, dataAt + 2u * count, &checksum)) return lineError(cursor, "the record has no checksum");
        if (static_cast<uint8_t>(sum + checksum) != 0) {
            return lineError(cursor, format("checksum 0x%02X is wrong (0x%02X expected)", checksum,
                                            static_cast<uint8_t>(-sum))
                                         .c_str());
        }
        // A record without data ends the text, whatever its type.
        if (count == 0) return std::string();
        if (type == 0x00) {
            const uint64_t first = uint64_t{walk.base} + loadAddress;
            if (first + count - 1 > kLastPosition) return lineError(cursor, "data beyond the 32-bit address space");
            Chunk chunk;
            chunk.position = static_cast<int64_t>(first);
            chunk.dataOffset = out->pool.size();
            chunk.size = count;
            chunk.inPool = true;
            chunk.origin = format("line %u", cursor.line);
            out->pool.insert(out->pool.end(), data, data + count);
            out->chunks.push_back(std::move(chunk));
        } else if (type == 0x02 || type == 0x04) {
            if (count != 2) return lineError(cursor, "an extended address record needs 2 data bytes");
            const std::string error = applyExtendedAddress(cursor, type, data, flashStart, &walk);
            if (!error.empty()) return error;
        } else if (type != 0x03 && type != 0x05) {
            return lineError(cursor, format("record type 0x%02X is not supported", type).c_str());
        }
        cursor.at = dataAt + 2u * count + 2;
    }
}

} // namespace frontend
