#include "image_chunks.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "image_loader.h"

namespace frontend {

std::string format(const char* pattern, ...)
{
    char buffer[512];
    va_list args;
    va_start(args, pattern);
    const int written = std::vsnprintf(buffer, sizeof buffer, pattern, args);
    va_end(args);
    return written < 0 ? std::string() : std::string(buffer);
}

namespace {

uint64_t address(int64_t position, uint32_t flashStart) { return static_cast<uint64_t>(position + flashStart); }

// The first chunk whose data lies outside the flash, described; status
// OUTSIDE_FLASH (below its start, or wholly past its end) or TOO_BIG (runs
// past its end). Every chunk is looked at so that length tells the reach.
bool refuseOutside(const ParsedImage& parsed, uint32_t capacity, uint32_t flashStart, Placement* placement)
{
    int64_t reach = 0;
    const Chunk* first = nullptr;
    for (const Chunk& chunk : parsed.chunks) {
        const int64_t end = chunk.position + chunk.size;
        reach = std::max(reach, end);
        if (first == nullptr && (chunk.position < 0 || end > capacity)) first = &chunk;
    }
    if (first == nullptr) return false;
    const uint64_t start = address(first->position, flashStart);
    const uint64_t last = start + first->size - 1;
    const uint64_t flashEnd = uint64_t{flashStart} + capacity;
    if (first->position < 0) {
        placement->status = STM32_LOAD_OUTSIDE_FLASH;
        placement->message = format("%s: data at 0x%08llX..0x%08llX lies below flash start 0x%08X",
                                    first->origin.c_str(), static_cast<unsigned long long>(start),
                                    static_cast<unsigned long long>(last), flashStart);
        return true;
    }
    placement->status = first->position >= capacity ? STM32_LOAD_OUTSIDE_FLASH : STM32_LOAD_TOO_BIG;
    placement->message = format("%s: data at 0x%08llX..0x%08llX lies past the end of flash 0x%08llX (%u bytes)",
                                first->origin.c_str(), static_cast<unsigned long long>(start),
                                static_cast<unsigned long long>(last), static_cast<unsigned long long>(flashEnd - 1),
                                capacity);
    placement->length = reach > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(reach);
    return true;
}

// The earlier chunk (before index) that defines position.
const Chunk* earlierOwner(const ParsedImage& parsed, size_t index, int64_t position)
{
    for (size_t other = 0; other < index; ++other) {
        const Chunk& chunk = parsed.chunks[other];
        if (position >= chunk.position && position < chunk.position + chunk.size) return &chunk;
    }
    return nullptr;
}

// Copies the chunks in file order; a byte that an earlier chunk defined
// differently is an error (the same byte twice is harmless).
bool copyChunks(const ParsedImage& parsed, uint8_t* image, uint32_t capacity, uint32_t flashStart,
                Placement* placement)
{
    std::vector<bool> defined(capacity, false);
    for (size_t index = 0; index < parsed.chunks.size(); ++index) {
        const Chunk& chunk = parsed.chunks[index];
        const uint8_t* data = parsed.dataOf(chunk);
        const size_t start = static_cast<size_t>(chunk.position);
        for (size_t i = 0; i < chunk.size; ++i) {
            const size_t at = start + i;
            if (defined[at] && image[at] != data[i]) {
                const Chunk* owner = earlierOwner(parsed, index, static_cast<int64_t>(at));
                placement->status = STM32_LOAD_DECODE_ERROR;
                placement->message = format("%s and %s define 0x%08llX differently (0x%02X and 0x%02X)",
                                            owner != nullptr ? owner->origin.c_str() : "an earlier record",
                                            chunk.origin.c_str(),
                                            static_cast<unsigned long long>(address(static_cast<int64_t>(at), flashStart)),
                                            image[at], data[i]);
                return false;
            }
            image[at] = data[i];
            defined[at] = true;
        }
    }
    return true;
}

std::vector<Stm32ByteRange> mergedRanges(const ParsedImage& parsed)
{
    std::vector<Stm32ByteRange> ranges;
    ranges.reserve(parsed.chunks.size());
    for (const Chunk& chunk : parsed.chunks) {
        if (chunk.size == 0) continue;
        const uint32_t begin = static_cast<uint32_t>(chunk.position);
        ranges.push_back(Stm32ByteRange{begin, begin + chunk.size});
    }
    std::sort(ranges.begin(), ranges.end(),
              [](const Stm32ByteRange& a, const Stm32ByteRange& b) { return a.begin < b.begin; });
    std::vector<Stm32ByteRange> merged;
    for (const Stm32ByteRange& range : ranges) {
        if (!merged.empty() && range.begin <= merged.back().end) {
            merged.back().end = std::max(merged.back().end, range.end);
        } else {
            merged.push_back(range);
        }
    }
    return merged;
}

} // namespace

Placement placeChunks(const ParsedImage& parsed, uint8_t* image, uint32_t capacity, uint32_t flashStart)
{
    Placement placement;
    if (refuseOutside(parsed, capacity, flashStart, &placement)) return placement;
    if (!copyChunks(parsed, image, capacity, flashStart, &placement)) return placement;
    placement.ranges = mergedRanges(parsed);
    if (placement.ranges.empty()) {
        placement.status = STM32_LOAD_EMPTY;
        placement.message = "the file defines no data";
        return placement;
    }
    placement.length = placement.ranges.back().end;
    placement.status = STM32_LOAD_OK;
    return placement;
}

} // namespace frontend
