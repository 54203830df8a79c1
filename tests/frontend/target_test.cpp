// The chosen board's geometry and the shown flash size, from the layouts
// real ROMs name.
#include "flash_geometry.h"
#include "target_choice.h"

#include <gtest/gtest.h>

#include <string>

namespace {

FlashInfo layout(int32_t flashSize, int32_t pageCount, int32_t pageSize, char unit)
{
    return FlashInfo{0x08000000, flashSize, pageCount, pageSize, unit};
}

std::string shownSize(const FlashInfo& info)
{
    char text[32];
    const int32_t length = stm32FormatFlashSize(&info, text, sizeof text);
    return std::string(text, static_cast<size_t>(length));
}

TEST(FlashGeometry, PagesInBytesAndTheSizeInTheLayoutsUnit)
{
    const FlashInfo f1 = layout(256 * 1024, 128, 2, 'K');
    Stm32FlashGeometry geometry;
    ASSERT_NE(stm32FlashGeometryFrom(&f1, &geometry), 0);
    EXPECT_EQ(geometry.pageSize, 2048);
    EXPECT_EQ(geometry.flashSize, 256 * 1024);
    EXPECT_EQ(geometry.startAddress, 0x08000000u);
    EXPECT_EQ(shownSize(f1), "256 KB");

    // Sectors of several sizes: the first segment's pages, the size of all.
    const FlashInfo f4 = layout(1024 * 1024, 4, 16, 'K');
    ASSERT_NE(stm32FlashGeometryFrom(&f4, &geometry), 0);
    EXPECT_EQ(geometry.pageSize, 16 * 1024);
    EXPECT_EQ(shownSize(f4), "1024 KB");

    EXPECT_EQ(shownSize(layout(2 * 1024 * 1024, 2, 1, 'M')), "2 MB");
    // A layout counted in bytes has a blank or another letter as its unit.
    const FlashInfo bytes = layout(4096, 32, 128, ' ');
    ASSERT_NE(stm32FlashGeometryFrom(&bytes, &geometry), 0);
    EXPECT_EQ(geometry.pageSize, 128);
    EXPECT_EQ(shownSize(bytes), "4096 B");
    // Cut to fit, still terminated.
    char small[4];
    EXPECT_EQ(stm32FormatFlashSize(&f1, small, sizeof small), 3);
    EXPECT_EQ(std::string(small), "256");
}

TEST(FlashGeometry, AFlashNoOperationCanUseIsNone)
{
    Stm32FlashGeometry geometry;
    for (const FlashInfo& info : {layout(0, 0, 2, 'K'), layout(2048, 1, 4, 'K'), layout(2048, 1, 0, 'K')}) {
        EXPECT_EQ(stm32FlashGeometryFrom(&info, &geometry), 0);
        EXPECT_EQ(geometry.flashSize, 0);
        EXPECT_EQ(geometry.pageSize, 0);
        EXPECT_EQ(geometry.startAddress, 0u);
    }
}

TEST(TargetChoice, AChoicePastTheListFallsBackToTheFirst)
{
    EXPECT_EQ(stm32KeepChosenPosition(1, 2), 1);
    EXPECT_EQ(stm32KeepChosenPosition(2, 2), 0);
    EXPECT_EQ(stm32KeepChosenPosition(-1, 2), 0);
    EXPECT_EQ(stm32KeepChosenPosition(0, 0), 0);
    const int32_t indices[] = {3, 5};
    EXPECT_EQ(stm32TargetAt(indices, 2, 1), 5);
    EXPECT_EQ(stm32TargetAt(indices, 2, 2), -1);
    EXPECT_EQ(stm32TargetAt(nullptr, 0, 0), -1);
}

} // namespace
