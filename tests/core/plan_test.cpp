// Block and page arithmetic of the engine, and the write trimming.
#include <gtest/gtest.h>

#include <vector>

#include "engine_plan.h"
#include "flash_ops.h"
#include "layout.h"

namespace {

using stm32::PageMap;
using stm32::Range;

constexpr uint32_t kStart = 0x08000000;

stm32::FlashLayout layoutOf(const char* name) {
    stm32::FlashLayout layout;
    EXPECT_TRUE(stm32::parseFlashLayout(name, &layout)) << name;
    return layout;
}

TEST(PageMap, PagesEqualToBlocksKeepTheBlockRun) {
    auto layout = layoutOf("@Internal Flash  /0x08000000/128*002Kg");
    PageMap map(kStart, 2048, 262144, &layout);
    EXPECT_EQ(map.widen({0x400, 0x800}), (Range{0, 0x800}));
    EXPECT_EQ(map.widen({0x800, 0x801}), (Range{0x800, 0x1000}));
    EXPECT_EQ(map.widen({0x7FF, 0x801}), (Range{0, 0x1000}));
    EXPECT_EQ(map.pageAddresses({0, 0x3000}),
              (std::vector<uint32_t>{kStart, kStart + 0x800, kStart + 0x1000, kStart + 0x1800, kStart + 0x2000,
                                     kStart + 0x2800}));
}

TEST(PageMap, SectorsWidenTheRunToWholeSectors) {
    auto layout = layoutOf("@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg");
    PageMap map(kStart, 2048, 1048576, &layout);
    // Inside sector 0.
    EXPECT_EQ(map.widen({0x400, 0x800}), (Range{0, 0x4000}));
    // Crossing sectors 1 and 2.
    EXPECT_EQ(map.widen({0x7000, 0x8100}), (Range{0x4000, 0xC000}));
    // Inside the 64 KB sector 4 and the first 128 KB sector 5.
    EXPECT_EQ(map.widen({0x10000, 0x10001}), (Range{0x10000, 0x20000}));
    EXPECT_EQ(map.widen({0x20000 + 5, 0x20000 + 9}), (Range{0x20000, 0x40000}));
    // Last byte of flash.
    EXPECT_EQ(map.widen({0xFFFFF, 0x100000}), (Range{0xE0000, 0x100000}));
    EXPECT_EQ(map.pageAddresses({0, 0x40000}),
              (std::vector<uint32_t>{kStart, kStart + 0x4000, kStart + 0x8000, kStart + 0xC000, kStart + 0x10000,
                                     kStart + 0x20000}));
}

TEST(PageMap, PagesSmallerThanBlocksAreAllErased) {
    auto layout = layoutOf("@Internal Flash  /0x08000000/256*001Kg");
    PageMap map(kStart, 2048, 262144, &layout);
    Range run = map.widen({0x900, 0xA00});
    EXPECT_EQ(run, (Range{0x800, 0x1000}));
    EXPECT_EQ(map.pageAddresses(run), (std::vector<uint32_t>{kStart + 0x800, kStart + 0xC00}));
}

TEST(PageMap, WithoutLayoutPagesAreBlocks) {
    PageMap map(kStart, 1024, 8192, nullptr);
    EXPECT_EQ(map.widen({100, 1500}), (Range{0, 2048}));
    EXPECT_EQ(map.pageAddresses({0, 2048}), (std::vector<uint32_t>{kStart, kStart + 1024}));
    EXPECT_EQ(map.widen({8000, 8192}), (Range{7168, 8192}));
}

TEST(PageMap, RunNeverPassesTheUsableFlash) {
    PageMap map(kStart, 2048, 5000, nullptr); // two whole blocks only
    EXPECT_EQ(map.usableBytes(), 4096u);
    EXPECT_EQ(map.widen({4000, 4096}), (Range{2048, 4096}));
}

TEST(PageMap, PagesReachingOutsideTheLentFlashAreFlagged) {
    auto layout = layoutOf("@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg");
    // Flash start given 1 KB into sector 0.
    PageMap shifted(kStart + 0x400, 2048, 0x8000, &layout);
    EXPECT_FALSE(shifted.pageInsideFlash(0));
    EXPECT_TRUE(shifted.pageInsideFlash(0x3C00)); // sector 1 lies wholly inside
    // Lent flash ending inside sector 4.
    PageMap shortened(kStart, 2048, 0x18000, &layout);
    EXPECT_TRUE(shortened.pageInsideFlash(0xC000));
    EXPECT_FALSE(shortened.pageInsideFlash(0x10000));
}

TEST(PageMap, LentFlashLargerThanTheLayoutEndsAtTheLayout) {
    auto layout = layoutOf("@Internal Flash  /0x08000000/4*1Kg");
    PageMap larger(kStart, 2048, 8192, &layout); // the caller lent 8 KB for a 4 KB part
    EXPECT_TRUE(larger.pageInsideFlash(0));
    EXPECT_TRUE(larger.pageInsideFlash(0x0FFF));
    EXPECT_FALSE(larger.pageInsideFlash(0x1000));
    EXPECT_FALSE(larger.pageInsideFlash(0x1800));
}

TEST(ReadPlan, DirectReadWhenItStaysInsideFlash) {
    auto plan = stm32::planRead(0x400, 1024, 2048, 262144);
    EXPECT_EQ(plan.readOffset, 0x400u);
    EXPECT_EQ(plan.blockCount, 1u);
    EXPECT_EQ(plan.skip, 0u);
    plan = stm32::planRead(0, 262144, 2048, 262144);
    EXPECT_EQ(plan.blockCount, 128u);
    plan = stm32::planRead(0, 1, 2048, 262144);
    EXPECT_EQ(plan.blockCount, 1u);
}

TEST(ReadPlan, AlignedReadNearTheEndOfFlash) {
    // 1 KB at 0x400 before the end: a direct 2 KB block would pass the end.
    auto plan = stm32::planRead(262144 - 0x400, 0x400, 2048, 262144);
    EXPECT_EQ(plan.readOffset, 262144u - 2048u);
    EXPECT_EQ(plan.blockCount, 1u);
    EXPECT_EQ(plan.skip, 0x400u);
    plan = stm32::planRead(262144 - 3000, 3000, 2048, 262144);
    EXPECT_EQ(plan.readOffset + plan.blockCount * 2048ull, 262144u);
    EXPECT_EQ(plan.readOffset + plan.skip, 262144u - 3000u);
}

TEST(WholeFlashMode, HalfTheFlashAtOffsetZeroIsTheBoundary) {
    EXPECT_TRUE(stm32::useWholeFlashMode(0, 131072, 262144));
    EXPECT_FALSE(stm32::useWholeFlashMode(0, 131071, 262144));
    EXPECT_FALSE(stm32::useWholeFlashMode(4, 262140, 262144));
    EXPECT_TRUE(stm32::useWholeFlashMode(0, 262144, 262144));
}

TEST(WriteTrimming, ErasedTailIsCutAndRoundedToEightWithinTheBlock) {
    std::vector<uint8_t> block(2048, 0x00);
    std::fill(block.end() - 100, block.end(), 0xFF);
    EXPECT_EQ(stm32::trimmedSendLength(block.data(), 2048), 1952);
    std::fill(block.begin(), block.end(), 0xFF);
    block[2044] = 0x12;
    EXPECT_EQ(stm32::trimmedSendLength(block.data(), 2048), 2048);
    std::fill(block.begin(), block.end(), 0xFF);
    EXPECT_EQ(stm32::trimmedSendLength(block.data(), 2048), 0);
    block[0] = 0;
    EXPECT_EQ(stm32::trimmedSendLength(block.data(), 2048), 8);
    block[7] = 0;
    EXPECT_EQ(stm32::trimmedSendLength(block.data(), 2048), 8);
    block[2047] = 0;
    EXPECT_EQ(stm32::trimmedSendLength(block.data(), 2048), 2048);
    // A block that is not a multiple of 8: the rounding stops at its end.
    std::vector<uint8_t> odd(13, 0xFF);
    odd[9] = 1;
    EXPECT_EQ(stm32::trimmedSendLength(odd.data(), 13), 13);
    odd[9] = 0xFF;
    odd[2] = 1;
    EXPECT_EQ(stm32::trimmedSendLength(odd.data(), 13), 8);
}

} // namespace
