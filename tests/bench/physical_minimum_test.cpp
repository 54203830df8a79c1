// The least-time model: which pages must be erased, which bytes programmed
// and which cross the bus, and the choice between erasing pages and a mass
// erase.
#include "physical_minimum.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using bench::FlashGeometry;
using bench::Minimum;

// Eight 1 KB pages at 10 ms each, mass erase 50 ms, 1 us per byte.
FlashGeometry smallFlash(double massEraseUs = 50000) {
    FlashGeometry g;
    for (uint64_t i = 0; i < 8; ++i) g.pages.push_back({i * 1024, 1024, 10000});
    g.massEraseUs = massEraseUs;
    g.programUsPerByte = 1;
    return g;
}

std::vector<uint8_t> filled(size_t length, uint8_t value) { return std::vector<uint8_t>(length, value); }

TEST(UploadMinimum, BlankFlashNeedsNoEraseAndNoReadBack) {
    FlashGeometry g = smallFlash();
    std::vector<uint8_t> image = filled(1500, 0x12);
    image[100] = 0xFF; // an erased byte need not be programmed or sent
    Minimum m = bench::uploadMinimum(g, filled(8192, 0xFF), image, 512);
    EXPECT_FALSE(m.massErase);
    EXPECT_EQ(m.eraseUs, 0);
    EXPECT_EQ(m.programUs, 1499);
    EXPECT_EQ(m.bytesToBoard, 1499u);
    EXPECT_EQ(m.bytesFromBoard, 1500u); // the verify read only
}

TEST(UploadMinimum, UsedPagesAreErasedAndTheirNeighboursKept) {
    FlashGeometry g = smallFlash();
    // 1500 bytes at 512 touch pages 0 and 1; both hold data.
    Minimum m = bench::uploadMinimum(g, filled(8192, 0x00), filled(1500, 0x12), 512);
    EXPECT_FALSE(m.massErase);
    EXPECT_EQ(m.eraseUs, 20000);
    EXPECT_EQ(m.bytesToBoard, 2048u);              // neighbours are programmed again
    EXPECT_EQ(m.bytesFromBoard, 548u + 1500u);     // read before the erase, then verify
    EXPECT_EQ(m.programUs, 2048);
    EXPECT_NEAR(m.seconds(1.0), 0.022048 + (2048.0 + 2048.0) / bench::kControlBytesPerSecond, 1e-9);
}

TEST(UploadMinimum, OnlyPagesThatCannotTakeTheBitsAreErased) {
    FlashGeometry g = smallFlash();
    std::vector<uint8_t> before = filled(8192, 0xF0);
    // 0x30 only clears bits of 0xF0: page 0 is programmed in place.
    Minimum inPlace = bench::uploadMinimum(g, before, filled(1024, 0x30), 0);
    EXPECT_EQ(inPlace.eraseUs, 0);
    EXPECT_EQ(inPlace.bytesToBoard, 1024u);
    // 0x0F sets bits that 0xF0 has cleared: page 0 must be erased.
    Minimum erased = bench::uploadMinimum(g, before, filled(1024, 0x0F), 0);
    EXPECT_EQ(erased.eraseUs, 10000);
    // Unchanged bytes cost nothing.
    Minimum same = bench::uploadMinimum(g, before, filled(1024, 0xF0), 0);
    EXPECT_EQ(same.programUs, 0);
    EXPECT_EQ(same.bytesToBoard, 0u);
}

TEST(UploadMinimum, MassEraseWinsOnlyWhenCheaper) {
    std::vector<uint8_t> used = filled(8192, 0x00);
    // Whole flash: eight page erases (80 ms) against one mass erase (50 ms).
    Minimum whole = bench::uploadMinimum(smallFlash(), used, filled(8192, 0x12), 0);
    EXPECT_TRUE(whole.massErase);
    EXPECT_EQ(whole.eraseUs, 50000);
    EXPECT_EQ(whole.bytesFromBoard, 8192u);
    // One page: the mass erase would also reprogram the other seven.
    Minimum one = bench::uploadMinimum(smallFlash(), used, filled(1024, 0x12), 0);
    EXPECT_FALSE(one.massErase);
    EXPECT_EQ(one.eraseUs, 10000);
    // A slow mass erase loses even for the whole flash.
    Minimum slow = bench::uploadMinimum(smallFlash(500000), used, filled(8192, 0x12), 0);
    EXPECT_FALSE(slow.massErase);
    EXPECT_EQ(slow.eraseUs, 80000);
}

TEST(UploadMinimum, MismatchedInputIsRefused) {
    FlashGeometry g = smallFlash();
    EXPECT_THROW(bench::uploadMinimum(g, filled(8192, 0xFF), filled(1024, 0), 8192 - 1023), std::invalid_argument);
    EXPECT_THROW(bench::uploadMinimum(g, filled(4096, 0xFF), filled(16, 0), 0), std::invalid_argument);
}

TEST(OtherMinimums, DownloadIsBusOnlyAndEraseSkipsBlankPages) {
    Minimum download = bench::downloadMinimum(832000);
    EXPECT_EQ(download.seconds(1.0), 1.0);
    EXPECT_EQ(download.seconds(0.0), 1.0); // the bus does not scale

    FlashGeometry g = smallFlash();
    EXPECT_EQ(bench::eraseAllMinimum(g, filled(8192, 0xFF)).eraseUs, 0);
    std::vector<uint8_t> twoUsed = filled(8192, 0xFF);
    twoUsed[10] = 0;
    twoUsed[5000] = 0;
    Minimum two = bench::eraseAllMinimum(g, twoUsed);
    EXPECT_FALSE(two.massErase);
    EXPECT_EQ(two.eraseUs, 20000);
    Minimum all = bench::eraseAllMinimum(g, filled(8192, 0x00));
    EXPECT_TRUE(all.massErase);
    EXPECT_EQ(all.eraseUs, 50000);
    EXPECT_EQ(all.seconds(0.5), 0.025);
}

} // namespace
