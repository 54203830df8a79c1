// What an upload reads, erases and writes. Pure: the engine does the I/O and
// hands the read-back bytes in, so every decision can be tested on its own.
#ifndef STM32_CORE_UPLOAD_PLAN_H
#define STM32_CORE_UPLOAD_PLAN_H

#include <cstdint>
#include <vector>

#include "engine_plan.h"
#include "stm32.h"

namespace stm32 {

// The image positions that the file defines: the caller's ranges sorted,
// merged and without empty ones, or all of [0, imageLength) when none are
// given. False if a range is reversed or passes the image length.
bool definedImageRanges(const Stm32ByteRange* ranges, int32_t count, uint64_t imageLength, RangeList* out);

uint64_t totalLength(const RangeList& ranges);
// True if every byte of r lies in one of the ranges.
bool covers(const RangeList& ranges, Range r);
RangeList shifted(const RangeList& ranges, uint64_t by);
// Sorts and joins overlapping or touching ranges.
RangeList merged(RangeList ranges);
// The bytes of a that are not in b.
RangeList without(const RangeList& a, const RangeList& b);
// Whole blocks holding any byte of the ranges, joined, cut at limit.
RangeList blocksHolding(const RangeList& ranges, uint32_t blockSize, uint64_t limit);

struct UploadSettings {
    uint64_t flashSize = 0;        // as lent by the caller
    uint64_t offset = 0;           // of image position 0, from flash start
    bool skipUnchanged = false;
    bool massEraseAllowed = false; // the lent flash is the whole part
};

struct WritePlan {
    bool massErase = false;
    std::vector<uint32_t> eraseAddresses; // page starts, one Erase command each
    RangeList writes;                     // block runs written from the flash buffer
    RangeList moreReads;                  // block runs to read before the mass erase
    uint32_t pages = 0;                   // physical pages holding defined bytes
    uint32_t skippedPages = 0;            // of those, left alone: they already hold the image
};

class UploadPlanner {
public:
    // defined: the bytes the file defines, as offsets from flash start,
    // inside the usable flash.
    UploadPlanner(const PageMap& map, RangeList defined, const UploadSettings& settings);

    // The image is big enough for one mass erase instead of page erases.
    bool wholeFlash() const { return wholeFlash_; }
    // False if a page that may be erased reaches outside the lent flash.
    bool pagesInsideFlash() const;
    // Block runs to read into the flash buffer, each at its own offset,
    // before decide().
    const RangeList& reads() const { return reads_; }
    // readBack: the flash buffer after reads(), indexed by flash offset;
    // image: indexed by image position.
    WritePlan decide(const uint8_t* readBack, const uint8_t* image) const;

private:
    struct UnitState {
        bool changed;  // a defined byte differs from flash
        bool erased;   // the flash under it reads all 0xFF
        bool holdsData; // what it will hold is not all 0xFF
    };
    UnitState examine(Range unit, const uint8_t* readBack, const uint8_t* image) const;
    RangeList wholeFlashReads() const;
    WritePlan massErasePlan() const;
    uint32_t pageCount(Range unit) const;

    const PageMap& map_;
    RangeList defined_;
    UploadSettings settings_;
    // Smallest runs of whole blocks and whole pages that hold defined bytes:
    // the unit in which flash can be left alone or rewritten.
    RangeList units_;
    bool wholeFlash_ = false;
    RangeList reads_;
};

} // namespace stm32

#endif
