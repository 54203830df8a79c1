// The engine's page arithmetic over arbitrary geometries: block sizes of 1
// to 4096 bytes, layouts of several segments, flash sizes that end inside a
// page.
//
// For every range inside the usable flash: the widened run covers it, stays
// inside the usable flash, starts and ends on block boundaries and never
// cuts a physical page that lies wholly inside the flash; the erase
// addresses ascend, lie in the run and their pages cover it; a read plan
// covers the bytes asked for without passing the end of the flash.
#include <vector>

#include "engine_plan.h"
#include "fuzz_input.h"

namespace {

uint32_t drawPageSize(fuzz::Input& in) {
    static const uint32_t common[] = {256, 1024, 2048, 16384, 65536, 131072};
    const uint8_t pick = in.byte();
    if (pick < 200) return common[pick % 6];
    return 64 * (1 + in.byte());
}

stm32::FlashLayout drawLayout(fuzz::Input& in, uint32_t start) {
    stm32::FlashLayout layout;
    layout.startAddress = start;
    const int segments = 1 + in.byte() % 4;
    uint64_t total = 0;
    for (int i = 0; i < segments; ++i) {
        const stm32::FlashSegment segment{1u + in.byte() % 16, drawPageSize(in)};
        layout.segments.push_back(segment);
        total += uint64_t{segment.pageCount} * segment.pageSize;
    }
    layout.totalSize = static_cast<int32_t>(total);
    return layout;
}

// A layout page as offsets from the flash start; one that begins before the
// flash start has a negative signedBegin and begin 0.
struct Page {
    uint64_t begin;
    int64_t signedBegin;
    uint64_t end;
};

// The layout's pages as offsets from the flash start.
std::vector<Page> pagesOf(const stm32::FlashLayout& layout, uint32_t flashStart) {
    std::vector<Page> pages;
    int64_t at = int64_t{layout.startAddress} - int64_t{flashStart};
    for (const stm32::FlashSegment& segment : layout.segments) {
        for (uint32_t i = 0; i < segment.pageCount; ++i, at += segment.pageSize) {
            pages.push_back({static_cast<uint64_t>(at < 0 ? 0 : at), at, static_cast<uint64_t>(at + segment.pageSize)});
        }
    }
    return pages;
}

void checkWiden(const stm32::PageMap& map, uint32_t flashStart, const std::vector<Page>& pages, stm32::Range r) {
    const uint64_t block = map.blockSize();
    const stm32::Range w = map.widen(r);
    FUZZ_CHECK(w.begin <= r.begin && w.end >= r.end);
    FUZZ_CHECK(w.end <= map.usableBytes());
    FUZZ_CHECK(w.begin % block == 0 && w.end % block == 0);
    for (const Page& page : pages) {
        const bool inside = page.signedBegin >= 0 && page.end <= map.usableBytes();
        const bool overlaps = page.begin < w.end && page.end > w.begin;
        if (inside && overlaps) FUZZ_CHECK(page.begin >= w.begin && page.end <= w.end);
    }

    const std::vector<uint32_t> addresses = map.pageAddresses(w);
    FUZZ_CHECK(!addresses.empty());
    // One address per page, in order, each the start of the page it erases,
    // and together their pages cover the run.
    uint64_t covered = w.begin;
    for (size_t i = 0; i < addresses.size(); ++i) {
        FUZZ_CHECK(i == 0 || addresses[i] > addresses[i - 1]);
        const stm32::Range page = map.pageAt(covered);
        FUZZ_CHECK(page.begin <= covered && page.end > covered);
        FUZZ_CHECK(uint64_t{addresses[i]} == uint64_t{flashStart} + page.begin);
        // An erased page lies wholly in the run, or the run would lose the
        // bytes of the page that it never read back.
        FUZZ_CHECK(page.begin >= w.begin);
        FUZZ_CHECK(page.end <= w.end || page.end > map.usableBytes());
        covered = page.end;
    }
    FUZZ_CHECK(covered >= w.end);
}

void checkReadPlan(const stm32::PageMap& map, uint64_t offset, uint64_t length) {
    const uint32_t block = map.blockSize();
    const stm32::ReadPlan plan = stm32::planRead(offset, length, block, map.usableBytes());
    FUZZ_CHECK(plan.readOffset + plan.skip == offset);
    const uint64_t readEnd = plan.readOffset + uint64_t{plan.blockCount} * block;
    FUZZ_CHECK(readEnd >= offset + length);
    FUZZ_CHECK(readEnd <= map.usableBytes());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    // Transfer sizes are powers of two on real bootloaders; DFU allows any.
    const uint16_t blockChoice = static_cast<uint16_t>(in.word(2));
    const uint32_t block = blockChoice < 0xE000 ? 1u << (blockChoice % 13) : 1 + blockChoice % 4096;
    const uint32_t flashStart = 0x08000000;
    const stm32::FlashLayout layout = drawLayout(in, flashStart);
    // Front ends size the flash from the layout; a smaller size may end inside a page.
    const bool exactSize = in.byte() < 200;
    const uint64_t total = static_cast<uint64_t>(layout.totalSize);
    const uint64_t flashBytes = exactSize ? total : 1 + in.word(3) % total;

    const stm32::PageMap map(flashStart, block, flashBytes, &layout);
    const uint64_t usable = map.usableBytes();
    FUZZ_CHECK(usable <= flashBytes && usable % block == 0);
    if (usable == 0) return 0;
    const std::vector<Page> pages = pagesOf(layout, flashStart);
    for (int ranges = 0; ranges < 4 && !in.empty(); ++ranges) {
        const uint64_t begin = in.word(3) % usable;
        const uint64_t end = begin + 1 + in.word(3) % (usable - begin);
        checkWiden(map, flashStart, pages, {begin, end});
        checkReadPlan(map, begin, end - begin);
    }
    return 0;
}
