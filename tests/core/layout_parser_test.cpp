// The layout-name parser takes untrusted device text: geometry and bounds.
#include <gtest/gtest.h>

#include <string>

#include "layout.h"

namespace {

using stm32::FlashLayout;
using stm32::parseFlashLayout;

TEST(LayoutParser, SingleSegmentF1) {
    FlashLayout layout;
    ASSERT_TRUE(parseFlashLayout("@Internal Flash  /0x08000000/128*002Kg", &layout));
    EXPECT_EQ(layout.startAddress, 0x08000000u);
    EXPECT_EQ(layout.pageCount, 128);
    EXPECT_EQ(layout.pageSize, 2);
    EXPECT_EQ(layout.unit, 'K');
    EXPECT_EQ(layout.totalSize, 262144);
    ASSERT_EQ(layout.segments.size(), 1u);
    EXPECT_EQ(layout.segments[0].pageCount, 128u);
    EXPECT_EQ(layout.segments[0].pageSize, 2048u);
}

TEST(LayoutParser, MultiSegmentF4AddsAllSegments) {
    FlashLayout layout;
    ASSERT_TRUE(parseFlashLayout("@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg", &layout));
    EXPECT_EQ(layout.pageCount, 4);
    EXPECT_EQ(layout.pageSize, 16);
    EXPECT_EQ(layout.unit, 'K');
    EXPECT_EQ(layout.totalSize, 1048576);
    ASSERT_EQ(layout.segments.size(), 3u);
    EXPECT_EQ(layout.segments[1].pageSize, 65536u);
    EXPECT_EQ(layout.segments[2].pageCount, 7u);
    EXPECT_EQ(layout.segments[2].pageSize, 131072u);
}

TEST(LayoutParser, OnlyTheFirstAddressBlockCounts) {
    FlashLayout layout;
    ASSERT_TRUE(parseFlashLayout("@Internal Flash /0x08000000/02*016Ka/0x08100000/02*016Kg", &layout));
    EXPECT_EQ(layout.totalSize, 32768);
    EXPECT_EQ(layout.segments.size(), 1u);
}

TEST(LayoutParser, UnitLettersAreCaseSensitive) {
    FlashLayout layout;
    ASSERT_TRUE(parseFlashLayout("@Internal Flash/08000000/1*2Mg", &layout));
    EXPECT_EQ(layout.totalSize, 2097152);
    ASSERT_TRUE(parseFlashLayout("@Internal Flash/0x1FFF0000/3*100 g", &layout));
    EXPECT_EQ(layout.totalSize, 300);
    EXPECT_EQ(layout.unit, ' ');
    ASSERT_TRUE(parseFlashLayout("@Internal Flash/0x0/3*100B", &layout));
    EXPECT_EQ(layout.totalSize, 300);
    ASSERT_TRUE(parseFlashLayout("@Internal Flash/0x0/3*100kg", &layout));
    EXPECT_EQ(layout.totalSize, 300);
}

TEST(LayoutParser, UnreadableLaterSegmentEndsTheList) {
    FlashLayout layout;
    ASSERT_TRUE(parseFlashLayout("@Internal Flash/0x08000000/04*016Kg,junk,07*128Kg", &layout));
    EXPECT_EQ(layout.totalSize, 65536);
    EXPECT_EQ(layout.segments.size(), 1u);
    ASSERT_TRUE(parseFlashLayout("@Internal Flash/0x08000000/04*016Kg,01*064", &layout));
    EXPECT_EQ(layout.totalSize, 65536) << "a segment without its unit character does not read";
}

TEST(LayoutParser, NoReadableLayoutLeavesTheRecordUntouched) {
    const char* bad[] = {
        "@Internal Flash",                        // no '/'
        "@Internal Flash /",                      // nothing after it
        "@Internal Flash /0x08000000",            // no geometry
        "@Internal Flash /zz/04*016Kg",           // no address
        "@Internal Flash /0x08000000/04*016",     // no unit
        "@Internal Flash /0x08000000/-4*016Kg",   // negative count
        "@Internal Flash /0x108000000/04*016Kg",  // address beyond 32 bits
        "@Internal Flash /0x08000000/2048*1Mg",   // 2 GB does not fit a signed size
        "@Internal Flash /0x08000000/99999999999*1Kg",
        "@Internal Flash /0x00000000/2047*1Mg,2*1Mg", // the sum passes 2 GB
        "@Internal Flash /0xFFFF0000/1*1Mg",      // runs past the end of the address space
    };
    for (const char* name : bad) {
        FlashLayout layout;
        layout.startAddress = 0x1234;
        layout.totalSize = 77;
        EXPECT_FALSE(parseFlashLayout(name, &layout)) << name;
        EXPECT_EQ(layout.startAddress, 0x1234u) << name;
        EXPECT_EQ(layout.totalSize, 77) << name;
    }
    EXPECT_FALSE(parseFlashLayout(nullptr, nullptr));
}

TEST(LayoutParser, ZeroPagesGiveZeroSizeAndNoSegment) {
    FlashLayout layout;
    ASSERT_TRUE(parseFlashLayout("@Internal Flash/0x08000000/00*016Kg", &layout));
    EXPECT_EQ(layout.totalSize, 0);
    EXPECT_TRUE(layout.segments.empty());
}

TEST(LayoutParser, LongNamesAndAllSegmentsParse) {
    std::string name = "@Internal Flash   /0x08000000/";
    for (int i = 0; i < 40; ++i) name += "01*002Kg,";
    name += "01*002Kg";
    FlashLayout layout;
    ASSERT_TRUE(parseFlashLayout(name.c_str(), &layout));
    EXPECT_EQ(layout.totalSize, 41 * 2048);
    EXPECT_EQ(layout.segments.size(), 41u);
}

} // namespace
