// DfuSe file: an 11-byte prefix, targets of named elements, and the 16-byte
// DFU suffix whose CRC covers everything before it. Only targets for
// alternate setting 0 (the internal flash) are flash data; others (option
// bytes, OTP) are left alone.
#include "image_chunks.h"

#include <cstring>

namespace frontend {

namespace {

constexpr size_t kPrefixSize = 11;
constexpr size_t kTargetPrefixSize = 274;
constexpr size_t kElementHeaderSize = 8;
constexpr size_t kSuffixSize = 16;
constexpr uint8_t kFlashAlternateSetting = 0;

// The DFU suffix CRC: CRC-32 (reflected 0xEDB88320) from all ones, stored
// without the final inversion.
uint32_t dfuCrc(const uint8_t* bytes, size_t length)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc;
}

std::string checkSuffix(const uint8_t* bytes, size_t length)
{
    if (length < kPrefixSize + kSuffixSize) return format("the file is too short for a DfuSe file (%zu bytes)", length);
    const uint8_t* suffix = bytes + length - kSuffixSize;
    if (suffix[8] != 'U' || suffix[9] != 'F' || suffix[10] != 'D') return "the DFU suffix is missing (no \"UFD\" signature)";
    if (suffix[11] != kSuffixSize) return format("the DFU suffix length is %u, not %zu", suffix[11], kSuffixSize);
    const uint32_t stored = word(suffix + 12);
    const uint32_t computed = dfuCrc(bytes, length - 4);
    if (stored != computed) return format("the DFU suffix CRC is 0x%08X but the file gives 0x%08X", stored, computed);
    return std::string();
}

std::string checkPrefix(const uint8_t* bytes, size_t length)
{
    if (std::memcmp(bytes, "DfuSe", 5) != 0) return "not a DfuSe file (no \"DfuSe\" prefix)";
    if (bytes[5] != 0x01) return format("DfuSe version %u is not supported", bytes[5]);
    const uint32_t imageSize = word(bytes + 6);
    if (imageSize != length - kSuffixSize) {
        return format("the prefix says %u bytes before the suffix but there are %zu; the file may be cut short",
                      imageSize, length - kSuffixSize);
    }
    return std::string();
}

// Reads the elements of one target at *at; flash targets become chunks.
std::string readTarget(const uint8_t* bytes, size_t end, size_t* at, unsigned targetNumber, uint32_t flashStart,
                       ParsedImage* out)
{
    if (*at + kTargetPrefixSize > end) return format("target %u: its prefix is cut short", targetNumber);
    const uint8_t* prefix = bytes + *at;
    if (std::memcmp(prefix, "Target", 6) != 0) return format("target %u: no \"Target\" signature", targetNumber);
    const uint8_t alternateSetting = prefix[6];
    const uint32_t targetSize = word(prefix + 266);
    const uint32_t elements = word(prefix + 270);
    *at += kTargetPrefixSize;
    if (targetSize > end - *at) return format("target %u: its %u bytes run past the end of the file", targetNumber, targetSize);
    const size_t targetEnd = *at + targetSize;
    for (uint32_t element = 0; element < elements; ++element) {
        if (*at + kElementHeaderSize > targetEnd) {
            return format("target %u element %u: its header lies past the end of the target", targetNumber, element);
        }
        const uint32_t address = word(bytes + *at);
        const uint32_t size = word(bytes + *at + 4);
        *at += kElementHeaderSize;
        if (size > targetEnd - *at) {
            return format("target %u element %u: its %u bytes run past the end of the target", targetNumber, element, size);
        }
        if (alternateSetting == kFlashAlternateSetting && size > 0) {
            Chunk chunk;
            chunk.position = static_cast<int64_t>(address) - static_cast<int64_t>(flashStart);
            chunk.dataOffset = *at;
            chunk.size = size;
            chunk.origin = format("target %u element %u", targetNumber, element);
            out->chunks.push_back(std::move(chunk));
        }
        *at += size;
    }
    if (*at != targetEnd) {
        return format("target %u: its size says %u bytes but its elements take %zu", targetNumber, targetSize,
                      *at - (targetEnd - targetSize));
    }
    return std::string();
}

} // namespace

std::string parseDfuse(const uint8_t* bytes, size_t length, uint32_t flashStart, ParsedImage* out)
{
    out->file = bytes;
    std::string error = checkSuffix(bytes, length);
    if (error.empty()) error = checkPrefix(bytes, length);
    if (!error.empty()) return error;
    const unsigned targets = bytes[10];
    const size_t end = length - kSuffixSize;
    size_t at = kPrefixSize;
    bool flashTarget = false;
    for (unsigned target = 0; target < targets; ++target) {
        if (at + kTargetPrefixSize <= end && bytes[at + 6] == kFlashAlternateSetting) flashTarget = true;
        error = readTarget(bytes, end, &at, target, flashStart, out);
        if (!error.empty()) return error;
    }
    if (at != end) return format("%zu bytes follow the last target", end - at);
    if (!flashTarget) return "no target for alternate setting 0 (Internal Flash)";
    return std::string();
}

} // namespace frontend
