// Upload planning on its own: what is read, erased and written for raw and
// sparse images, with and without skipping unchanged pages.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "engine_plan.h"
#include "layout.h"
#include "upload_plan.h"

namespace {

using stm32::Range;
using stm32::RangeList;
using stm32::UploadPlanner;
using stm32::UploadSettings;
using stm32::WritePlan;
using Addresses = std::vector<uint32_t>;

constexpr uint32_t kStart = 0x08000000;
constexpr uint32_t KB = 1024;
constexpr const char* kF1 = "@Internal Flash  /0x08000000/128*002Kg";
constexpr const char* kF4 = "@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg";

// One board's flash as the planner sees it: layout, read-back and image.
struct Flash {
    Flash(const char* name, uint32_t blockSize) {
        EXPECT_TRUE(stm32::parseFlashLayout(name, &layout)) << name;
        size = static_cast<uint32_t>(layout.totalSize);
        map = std::make_unique<stm32::PageMap>(kStart, blockSize, size, &layout);
        readBack.assign(size, 0xFF);
        image.assign(size, 0xFF);
    }
    UploadPlanner planner(const RangeList& defined, uint64_t offset = 0, bool skip = false) const {
        UploadSettings settings;
        settings.flashSize = size;
        settings.offset = offset;
        settings.skipUnchanged = skip;
        settings.massEraseAllowed = true;
        return UploadPlanner(*map, stm32::shifted(defined, offset), settings);
    }
    // Flash already holding the image over the defined ranges, data elsewhere.
    void programmed(const RangeList& defined, uint64_t offset = 0) {
        for (size_t i = 0; i < size; ++i) readBack[i] = static_cast<uint8_t>(i * 7 + 3);
        for (const Range& r : defined) {
            for (uint64_t i = r.begin; i < r.end; ++i) image[i] = static_cast<uint8_t>(i * 13 + 1);
            std::copy(image.begin() + long(r.begin), image.begin() + long(r.end), readBack.begin() + long(offset + r.begin));
        }
    }
    stm32::FlashLayout layout;
    uint32_t size = 0;
    std::unique_ptr<stm32::PageMap> map;
    std::vector<uint8_t> readBack, image;
};

TEST(DefinedRanges, AreSortedMergedAndCheckedAgainstTheImage) {
    RangeList out;
    ASSERT_TRUE(stm32::definedImageRanges(nullptr, 0, 100, &out));
    EXPECT_EQ(out, (RangeList{{0, 100}}));
    ASSERT_TRUE(stm32::definedImageRanges(nullptr, 0, 0, &out));
    EXPECT_TRUE(out.empty());

    const Stm32ByteRange unordered[] = {{50, 60}, {10, 20}, {15, 30}, {30, 31}, {40, 40}};
    ASSERT_TRUE(stm32::definedImageRanges(unordered, 5, 100, &out));
    EXPECT_EQ(out, (RangeList{{10, 31}, {50, 60}}));

    const Stm32ByteRange onlyEmpty[] = {{5, 5}};
    ASSERT_TRUE(stm32::definedImageRanges(onlyEmpty, 1, 100, &out));
    EXPECT_TRUE(out.empty()) << "an image of no defined bytes is empty, not whole";

    const Stm32ByteRange pastEnd[] = {{0, 10}, {90, 101}};
    EXPECT_FALSE(stm32::definedImageRanges(pastEnd, 2, 100, &out));
    const Stm32ByteRange reversed[] = {{20, 10}};
    EXPECT_FALSE(stm32::definedImageRanges(reversed, 1, 100, &out));
}

TEST(RangeArithmetic, WithoutAndBlocksHolding) {
    EXPECT_EQ(stm32::without({{0, 100}}, {{10, 20}, {30, 40}}), (RangeList{{0, 10}, {20, 30}, {40, 100}}));
    EXPECT_EQ(stm32::without({{0, 10}, {20, 30}}, {{5, 25}}), (RangeList{{0, 5}, {25, 30}}));
    EXPECT_EQ(stm32::without({{0, 10}}, {{0, 10}}), RangeList{});
    EXPECT_EQ(stm32::without({{0, 10}}, {}), (RangeList{{0, 10}}));
    // Blocks of 16: two ranges in one block join, the last block is cut at the limit.
    EXPECT_EQ(stm32::blocksHolding({{1, 2}, {14, 17}, {40, 41}, {90, 95}}, 16, 92), (RangeList{{0, 48}, {80, 92}}));
    EXPECT_TRUE(stm32::covers({{0, 4}, {4, 10}}, {2, 3}));
    EXPECT_FALSE(stm32::covers({{0, 4}, {5, 10}}, {3, 6}));
}

TEST(UploadPlan, RawImageKeepsTheClassicBlockRun) {
    Flash f1(kF1, 2048);
    UploadPlanner planner = f1.planner({{0, KB}}, 0x400);
    EXPECT_FALSE(planner.wholeFlash());
    EXPECT_EQ(planner.reads(), (RangeList{{0, 0x800}}));
    WritePlan plan = planner.decide(f1.readBack.data(), f1.image.data());
    EXPECT_FALSE(plan.massErase);
    EXPECT_EQ(plan.eraseAddresses, (Addresses{kStart}));
    EXPECT_EQ(plan.writes, (RangeList{{0, 0x800}}));
    EXPECT_TRUE(plan.moreReads.empty());
}

TEST(UploadPlan, ApplicationBehindABootloaderLeavesTheBootloaderSectors) {
    Flash f4(kF4, 2048);
    // 300 KB of application at 0x08008000, two small records in between
    // elsewhere: only sectors 2 to 6 and the one with the table are touched.
    RangeList defined{{0x8000, 0x8000 + 300 * KB}, {0xE0010, 0xE0020}};
    UploadPlanner planner = f4.planner(defined);
    EXPECT_FALSE(planner.wholeFlash()) << "300 KB defined of 1 MB";
    EXPECT_EQ(planner.reads(), (RangeList{{0x8000, 0x60000}, {0xE0000, 0x100000}}));
    WritePlan plan = planner.decide(f4.readBack.data(), f4.image.data());
    EXPECT_EQ(plan.eraseAddresses, (Addresses{kStart + 0x8000, kStart + 0xC000, kStart + 0x10000,
                                              kStart + 0x20000, kStart + 0x40000, kStart + 0xE0000}));
    EXPECT_EQ(plan.writes, planner.reads());
    EXPECT_EQ(plan.pages, 6u);
}

TEST(UploadPlan, EightyBytesHighInFlashEraseOneSectorAndNoMassErase) {
    Flash f4(kF4, 2048);
    UploadPlanner planner = f4.planner({{0xE0000, 0xE0050}});
    EXPECT_FALSE(planner.wholeFlash()) << "the span is 900 KB but only 80 bytes are defined";
    WritePlan plan = planner.decide(f4.readBack.data(), f4.image.data());
    EXPECT_FALSE(plan.massErase);
    EXPECT_EQ(plan.eraseAddresses, (Addresses{kStart + 0xE0000}));
    EXPECT_EQ(plan.writes, (RangeList{{0xE0000, 0x100000}}));
}

TEST(UploadPlan, WholeFlashFromDefinedBytesReadsEveryUndefinedBlock) {
    Flash f1(kF1, 2048);
    // 130 KB defined with a 1000-byte hole after the first 8 KB, ending
    // mid-block: the blocks holding the hole and the tail are carried over.
    RangeList defined{{0, 8 * KB}, {8 * KB + 1000, 131 * KB}};
    UploadPlanner planner = f1.planner(defined);
    ASSERT_TRUE(planner.wholeFlash());
    EXPECT_EQ(planner.reads(), (RangeList{{8 * KB, 10 * KB}, {130 * KB, 256 * KB}}));
    WritePlan plan = planner.decide(f1.readBack.data(), f1.image.data());
    EXPECT_TRUE(plan.massErase);
    EXPECT_TRUE(plan.eraseAddresses.empty());
    EXPECT_EQ(plan.writes, (RangeList{{0, 256 * KB}}));

    // Fewer defined bytes than half the flash, whatever the span: page mode.
    UploadPlanner sparse = f1.planner({{0, 8 * KB}, {200 * KB, 256 * KB}});
    EXPECT_FALSE(sparse.wholeFlash());
}

TEST(UploadPlan, RawWholeFlashReadsTheClassicTail) {
    Flash f4(kF4, 2048);
    // Ending on a block boundary the classic upload reads one block more.
    UploadPlanner half = f4.planner({{0, 512 * KB}});
    ASSERT_TRUE(half.wholeFlash());
    EXPECT_EQ(half.reads(), (RangeList{{512 * KB - 2048, 1024 * KB}}));
    UploadPlanner full = f4.planner({{0, 1024 * KB}});
    EXPECT_EQ(full.reads(), (RangeList{{1024 * KB - 2048, 1024 * KB}}));
}

TEST(SkipUnchanged, SameImageSkipsEveryPageAndOneChangedByteOneSector) {
    Flash f4(kF4, 2048);
    RangeList defined{{0, 512 * KB}};
    f4.programmed(defined);
    UploadPlanner planner = f4.planner(defined, 0, true);
    ASSERT_TRUE(planner.wholeFlash());
    EXPECT_EQ(planner.reads(), (RangeList{{0, 512 * KB}})) << "compare first; read the rest only for a mass erase";
    WritePlan same = planner.decide(f4.readBack.data(), f4.image.data());
    EXPECT_FALSE(same.massErase);
    EXPECT_TRUE(same.eraseAddresses.empty());
    EXPECT_TRUE(same.writes.empty());
    EXPECT_EQ(same.pages, 8u);
    EXPECT_EQ(same.skippedPages, 8u);

    f4.image[0x30000 + 77] ^= 0x40; // in the first 128 KB sector
    WritePlan one = planner.decide(f4.readBack.data(), f4.image.data());
    EXPECT_FALSE(one.massErase);
    EXPECT_EQ(one.eraseAddresses, (Addresses{kStart + 0x20000}));
    EXPECT_EQ(one.writes, (RangeList{{0x20000, 0x40000}}));
    EXPECT_TRUE(one.moreReads.empty());
    EXPECT_EQ(one.skippedPages, 7u);
}

TEST(SkipUnchanged, BlankPagesAreWrittenWithoutAnErase) {
    Flash f1(kF1, 2048);
    RangeList defined{{0, 10 * KB}};
    f1.programmed(defined, 0x800);
    std::fill(f1.readBack.begin() + 0x1000, f1.readBack.begin() + 0x1800, 0xFF); // one page blank
    f1.image[5] ^= 1; // flash page 1 changed; page 2 is blank but wanted
    UploadPlanner planner = f1.planner(defined, 0x800, true);
    WritePlan plan = planner.decide(f1.readBack.data(), f1.image.data());
    EXPECT_EQ(plan.eraseAddresses, (Addresses{kStart + 0x800}));
    EXPECT_EQ(plan.writes, (RangeList{{0x800, 0x1800}}));
    EXPECT_EQ(plan.pages, 5u);
    EXPECT_EQ(plan.skippedPages, 3u);
}

TEST(SkipUnchanged, OnlyTheDefinedBytesDecide) {
    // Bytes outside the file differ from the image buffer (its 0xFF fill):
    // they are kept, so they do not make the page changed.
    Flash f1(kF1, 2048);
    RangeList defined{{0x100, 0x200}};
    f1.programmed(defined);
    f1.image[0x300] = 0x00;
    WritePlan plan = f1.planner(defined, 0, true).decide(f1.readBack.data(), f1.image.data());
    EXPECT_TRUE(plan.writes.empty());
    EXPECT_EQ(plan.skippedPages, 1u);
}

TEST(SkipUnchanged, WholeFlashMassErasesWhenMostPagesChange) {
    Flash f1(kF1, 2048);
    RangeList defined{{0, 200 * KB}};
    f1.programmed(defined);
    // 60 of the 100 pages change: more than half need an erase.
    for (uint32_t page = 0; page < 60; ++page) f1.image[page * 2048 + 1] ^= 0xFF;
    UploadPlanner planner = f1.planner(defined, 0, true);
    WritePlan plan = planner.decide(f1.readBack.data(), f1.image.data());
    EXPECT_TRUE(plan.massErase);
    EXPECT_EQ(plan.writes, (RangeList{{0, 256 * KB}}));
    EXPECT_EQ(plan.moreReads, (RangeList{{200 * KB, 256 * KB}})) << "the rest is read only now";
    EXPECT_EQ(plan.skippedPages, 0u);

    // 50 of 100: page by page.
    for (uint32_t page = 50; page < 60; ++page) f1.image[page * 2048 + 1] ^= 0xFF;
    plan = planner.decide(f1.readBack.data(), f1.image.data());
    EXPECT_FALSE(plan.massErase);
    EXPECT_EQ(plan.eraseAddresses.size(), 50u);
    EXPECT_EQ(plan.writes, (RangeList{{0, 100 * KB}}));
    EXPECT_EQ(plan.skippedPages, 50u);
}

TEST(SkipUnchanged, ABlankBoardGetsNoEraseAtAll) {
    Flash f1(kF1, 2048);
    RangeList defined{{0, 256 * KB}};
    for (size_t i = 0; i < f1.image.size(); ++i) f1.image[i] = static_cast<uint8_t>(i);
    WritePlan plan = f1.planner(defined, 0, true).decide(f1.readBack.data(), f1.image.data());
    EXPECT_FALSE(plan.massErase);
    EXPECT_TRUE(plan.eraseAddresses.empty());
    EXPECT_EQ(plan.writes, (RangeList{{0, 256 * KB}}));
}

TEST(SkipUnchanged, PagesSmallerThanABlockAreDecidedTogether) {
    // A block spans two 1 KB pages: an unchanged page sharing a block with a
    // changed one is erased and written with it, never programmed twice.
    Flash small("@Internal Flash  /0x08000000/256*001Kg", 2048);
    RangeList defined{{0, 8 * KB}};
    small.programmed(defined);
    small.image[3 * KB + 1] ^= 1; // page 3, in block 1 with page 2
    WritePlan plan = small.planner(defined, 0, true).decide(small.readBack.data(), small.image.data());
    EXPECT_EQ(plan.eraseAddresses, (Addresses{kStart + 2 * KB, kStart + 3 * KB}));
    EXPECT_EQ(plan.writes, (RangeList{{2 * KB, 4 * KB}}));
    EXPECT_EQ(plan.pages, 8u);
    EXPECT_EQ(plan.skippedPages, 6u);
}

} // namespace
