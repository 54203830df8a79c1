// Pure block and page arithmetic of the command engine (no USB), so that the
// planning can be tested on its own.
#ifndef STM32_CORE_ENGINE_PLAN_H
#define STM32_CORE_ENGINE_PLAN_H

#include <cstdint>
#include <vector>

#include "layout.h"

namespace stm32 {

inline uint64_t alignDown(uint64_t value, uint64_t block) { return value / block * block; }
inline uint64_t alignUp(uint64_t value, uint64_t block) { return (value + block - 1) / block * block; }

// Byte range relative to flash start: [begin, end).
struct Range {
    uint64_t begin = 0;
    uint64_t end = 0;
    uint64_t length() const { return end > begin ? end - begin : 0; }
    bool operator==(const Range& o) const { return begin == o.begin && end == o.end; }
};

// Sorted, disjoint, non-empty ranges.
using RangeList = std::vector<Range>;

// Physical pages of the flash the engine works on. Where the layout says
// nothing (no layout, or outside it) a page is one block.
class PageMap {
public:
    PageMap(uint32_t flashStart, uint32_t blockSize, uint64_t flashBytes, const FlashLayout* layout);

    // The page holding flashStart + offset, as offsets from flash start.
    Range pageAt(uint64_t offset) const;
    // Smallest range of whole blocks and whole pages covering r, within flash.
    Range widen(Range r) const;
    // Start addresses of the pages in r, one per page.
    std::vector<uint32_t> pageAddresses(Range r) const;
    // False if the page holding offset begins before flash start or ends past
    // the usable flash: erasing it would wipe bytes the engine never read.
    bool pageInsideFlash(uint64_t offset) const;

    uint64_t usableBytes() const { return usable_; } // whole blocks only
    uint32_t blockSize() const { return blockSize_; }

private:
    struct Page {
        uint64_t begin; // offset from flash start, clamped to 0
        uint64_t end;
        bool beforeFlash; // the real page begins before flash start
    };
    bool layoutPageAt(uint64_t absolute, Page* page) const;

    uint32_t flashStart_;
    uint32_t blockSize_;
    uint64_t usable_;
    uint32_t layoutStart_ = 0;
    std::vector<FlashSegment> segments_;
};

// Number of distinct pages holding a block of the runs that is not all 0xFF
// (all-0xFF blocks are never sent): the pages a write changes. bytes[0] is
// the byte at flash offset bytesBegin; the runs lie in what bytes holds.
uint32_t pagesWritten(const PageMap& map, const RangeList& runs, const uint8_t* bytes, uint64_t bytesBegin);

// Reads needed so that `length` bytes at `offset` land at the start of a
// buffer without any block passing the end of the usable flash.
struct ReadPlan {
    uint64_t readOffset;   // where the address pointer goes (from flash start)
    uint32_t blockCount;
    uint64_t skip;         // leading bytes to drop from the buffer afterwards
};
ReadPlan planRead(uint64_t offset, uint64_t length, uint32_t blockSize, uint64_t usableBytes);

// Upload erase mode of the engine: whole flash when the image starts at flash
// start and fills at least half of it.
bool useWholeFlashMode(uint64_t offset, uint64_t imageLength, uint64_t flashSize);

} // namespace stm32

#endif
