// ELF32 little-endian ARM: the file bytes of each PT_LOAD segment, placed by
// its physical address (the load address, where flash holds initialised
// data). Empty segments (.bss) and other segment types are not flash data.
#include "image_chunks.h"

#include <cstring>

namespace frontend {

namespace {

constexpr size_t kHeaderSize = 52;
constexpr size_t kProgramHeaderSize = 32;
constexpr uint16_t kMachineArm = 40;
constexpr uint32_t kLoadSegment = 1;

uint16_t half(const uint8_t* at) { return static_cast<uint16_t>(at[0] | at[1] << 8); }

struct Segment {
    uint32_t type, offset, physicalAddress, fileSize, memorySize;
};

Segment readSegment(const uint8_t* at)
{
    return Segment{word(at), word(at + 4), word(at + 12), word(at + 16), word(at + 20)};
}

std::string checkHeader(const uint8_t* bytes, size_t length)
{
    if (length < kHeaderSize) return format("the ELF header is cut short (%zu of %zu bytes)", length, kHeaderSize);
    if (std::memcmp(bytes, "\x7f" "ELF", 4) != 0) return "not an ELF file (no ELF magic)";
    if (bytes[4] != 1) return "not a 32-bit ELF file";
    if (bytes[5] != 1) return "not a little-endian ELF file";
    if (bytes[6] != 1) return format("ELF version %u is not supported", bytes[6]);
    const uint16_t machine = half(bytes + 18);
    if (machine != kMachineArm) return format("machine %u is not ARM (%u)", machine, kMachineArm);
    return std::string();
}

} // namespace

std::string parseElf(const uint8_t* bytes, size_t length, uint32_t flashStart, ParsedImage* out)
{
    out->file = bytes;
    const std::string headerError = checkHeader(bytes, length);
    if (!headerError.empty()) return headerError;
    const uint32_t tableOffset = word(bytes + 28);
    const uint16_t entrySize = half(bytes + 42);
    const uint16_t entries = half(bytes + 44);
    if (entries == 0) return "the file has no program headers (an object file, not a linked program?)";
    if (entrySize < kProgramHeaderSize) return format("program header size %u is too small", entrySize);
    if (uint64_t{tableOffset} + uint64_t{entrySize} * entries > length) {
        return "the program header table lies past the end of the file; it may be cut short";
    }
    for (uint16_t index = 0; index < entries; ++index) {
        const Segment segment = readSegment(bytes + tableOffset + size_t{entrySize} * index);
        if (segment.type != kLoadSegment || segment.fileSize == 0) continue;
        if (segment.fileSize > segment.memorySize) {
            return format("segment %u: file size %u exceeds its memory size %u", index, segment.fileSize,
                          segment.memorySize);
        }
        if (uint64_t{segment.offset} + segment.fileSize > length) {
            return format("segment %u: its %u bytes at file offset 0x%X lie past the end of the file; it may be cut short",
                          index, segment.fileSize, segment.offset);
        }
        Chunk chunk;
        chunk.position = static_cast<int64_t>(segment.physicalAddress) - static_cast<int64_t>(flashStart);
        chunk.dataOffset = segment.offset;
        chunk.size = segment.fileSize;
        chunk.origin = format("segment %u", index);
        out->chunks.push_back(std::move(chunk));
    }
    return std::string();
}

} // namespace frontend
