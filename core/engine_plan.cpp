// Page and block arithmetic of the command engine: no USB here.
#include <algorithm>
#include <set>

#include "engine_plan.h"

namespace stm32 {

PageMap::PageMap(uint32_t flashStart, uint32_t blockSize, uint64_t flashBytes, const FlashLayout* layout)
    : flashStart_(flashStart), blockSize_(blockSize == 0 ? 1 : blockSize),
      usable_(flashBytes / (blockSize == 0 ? 1 : blockSize) * (blockSize == 0 ? 1 : blockSize)) {
    if (layout != nullptr) {
        layoutStart_ = layout->startAddress;
        segments_ = layout->segments;
    }
}

bool PageMap::layoutPageAt(uint64_t absolute, Page* page) const {
    uint64_t segmentStart = layoutStart_;
    for (const FlashSegment& segment : segments_) {
        uint64_t segmentEnd = segmentStart + static_cast<uint64_t>(segment.pageCount) * segment.pageSize;
        if (absolute >= segmentStart && absolute < segmentEnd) {
            uint64_t pageStart = segmentStart + (absolute - segmentStart) / segment.pageSize * segment.pageSize;
            // A page that begins before flash start is clamped to it.
            page->beforeFlash = pageStart < flashStart_;
            page->begin = page->beforeFlash ? 0 : pageStart - flashStart_;
            page->end = pageStart + segment.pageSize - flashStart_;
            return true;
        }
        segmentStart = segmentEnd;
    }
    return false;
}

Range PageMap::pageAt(uint64_t offset) const {
    Page page{};
    if (layoutPageAt(static_cast<uint64_t>(flashStart_) + offset, &page)) return {page.begin, page.end};
    uint64_t begin = alignDown(offset, blockSize_);
    return {begin, begin + blockSize_};
}

Range PageMap::widen(Range r) const {
    if (r.length() == 0) return {r.begin, r.begin};
    uint64_t begin = alignDown(r.begin, blockSize_);
    uint64_t end = std::min(alignUp(r.end, blockSize_), usable_);
    if (begin >= end) return {begin, begin}; // nothing of it lies in the usable flash
    for (;;) {
        uint64_t newBegin = alignDown(pageAt(begin).begin, blockSize_);
        uint64_t newEnd = std::min(alignUp(pageAt(end - 1).end, blockSize_), usable_);
        newBegin = std::min(newBegin, begin);
        newEnd = std::max(newEnd, end);
        if (newBegin == begin && newEnd == end) break;
        begin = newBegin;
        end = newEnd;
    }
    return {begin, end};
}

std::vector<uint32_t> PageMap::pageAddresses(Range r) const {
    std::vector<uint32_t> addresses;
    uint64_t offset = r.begin;
    while (offset < r.end) {
        Range page = pageAt(offset);
        addresses.push_back(static_cast<uint32_t>(flashStart_ + page.begin));
        offset = page.end > offset ? page.end : offset + blockSize_;
    }
    return addresses;
}

bool PageMap::pageInsideFlash(uint64_t offset) const {
    Page page{};
    // Past the end of a known layout there is no flash, whatever was lent.
    if (!layoutPageAt(static_cast<uint64_t>(flashStart_) + offset, &page)) return segments_.empty() && offset < usable_;
    return !page.beforeFlash && page.end <= usable_;
}

uint32_t pagesWritten(const PageMap& map, const RangeList& runs, const uint8_t* bytes, uint64_t bytesBegin) {
    std::set<uint64_t> pages;
    const uint64_t block = map.blockSize();
    for (const Range& run : runs) {
        for (uint64_t at = run.begin; at < run.end; at += block) {
            const uint8_t* first = bytes + (at - bytesBegin);
            const uint64_t length = std::min(block, run.end - at);
            if (std::all_of(first, first + length, [](uint8_t b) { return b == 0xFF; })) continue;
            pages.insert(map.pageAt(at).begin);
        }
    }
    return static_cast<uint32_t>(pages.size());
}

ReadPlan planRead(uint64_t offset, uint64_t length, uint32_t blockSize, uint64_t usableBytes) {
    uint64_t blocks = alignUp(length, blockSize) / blockSize;
    if (offset + blocks * blockSize <= usableBytes) return {offset, static_cast<uint32_t>(blocks), 0};
    // The direct read would pass the end of flash: start at the block boundary instead.
    uint64_t aligned = alignDown(offset, blockSize);
    uint64_t skip = offset - aligned;
    blocks = alignUp(skip + length, blockSize) / blockSize;
    return {aligned, static_cast<uint32_t>(blocks), skip};
}

bool useWholeFlashMode(uint64_t offset, uint64_t imageLength, uint64_t flashSize) {
    return offset == 0 && imageLength * 2 >= flashSize;
}

} // namespace stm32
