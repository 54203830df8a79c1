// Offset and size of the option area, kept inside the flash.
#include "option_area.h"

#include <gtest/gtest.h>

namespace {

constexpr int32_t kFlash = 512 * 1024;
constexpr int32_t kPage = 2048;

TEST(OptionArea, NotInUseMeansTheWholeFlash)
{
    const Stm32FlashArea upload = stm32UploadArea(0, 0x4000, kFlash, kPage);
    EXPECT_EQ(upload.offset, 0u);
    const Stm32FlashArea download = stm32DownloadArea(0, 0x4000, 4096, kFlash, kPage);
    EXPECT_EQ(download.offset, 0u);
    EXPECT_EQ(download.size, kFlash);
}

TEST(OptionArea, OffsetBeyondTheLastPageBecomesTheLastPage)
{
    EXPECT_EQ(stm32UploadArea(1, kFlash + 100, kFlash, kPage).offset, static_cast<uint32_t>(kFlash - kPage));
    EXPECT_EQ(stm32UploadArea(1, kFlash - kPage, kFlash, kPage).offset, static_cast<uint32_t>(kFlash - kPage));
    EXPECT_EQ(stm32UploadArea(1, kFlash - kPage + 1, kFlash, kPage).offset, static_cast<uint32_t>(kFlash - kPage));
    EXPECT_EQ(stm32UploadArea(1, 0x1000, kFlash, kPage).offset, 0x1000u);
    EXPECT_EQ(stm32UploadArea(1, -5, kFlash, kPage).offset, 0u);
    const Stm32FlashArea download = stm32DownloadArea(1, kFlash * 2, 4096, kFlash, kPage);
    EXPECT_EQ(download.offset, static_cast<uint32_t>(kFlash - kPage));
    EXPECT_EQ(download.size, kPage);
}

TEST(OptionArea, DownloadSizeIsCutAtTheEndOfFlash)
{
    const Stm32FlashArea cut = stm32DownloadArea(1, 0x1000, kFlash, kFlash, kPage);
    EXPECT_EQ(cut.offset, 0x1000u);
    EXPECT_EQ(cut.size, kFlash - 0x1000);
    const Stm32FlashArea fits = stm32DownloadArea(1, 0x1000, 4096, kFlash, kPage);
    EXPECT_EQ(fits.size, 4096);
    const Stm32FlashArea exact = stm32DownloadArea(1, 0x1000, kFlash - 0x1000, kFlash, kPage);
    EXPECT_EQ(exact.size, kFlash - 0x1000);
}

TEST(OptionArea, SizeClampEdges)
{
    EXPECT_EQ(stm32ClampOptionSize(kFlash, 100, kFlash), 0);
    EXPECT_EQ(stm32ClampOptionSize(kFlash + 1, 100, kFlash), 0);
    EXPECT_EQ(stm32ClampOptionSize(0, -1, kFlash), 0);
    EXPECT_EQ(stm32ClampOptionSize(0, INT32_MAX, kFlash), kFlash);
    EXPECT_EQ(stm32ClampOptionSize(kFlash - 1, INT32_MAX, kFlash), 1);
}

TEST(OptionArea, LastPageOffsetWithoutAPageOrFlash)
{
    EXPECT_EQ(stm32LastPageOffset(kFlash, kPage), kFlash - kPage);
    EXPECT_EQ(stm32LastPageOffset(kFlash, 0), kFlash);
    EXPECT_EQ(stm32LastPageOffset(0, kPage), 0);
    EXPECT_EQ(stm32LastPageOffset(kPage, kPage * 2), 0);
}

TEST(OptionArea, StoredSizeZeroOrNegativeMeansTheWholeFlash)
{
    EXPECT_EQ(stm32EffectiveOptionSize(0, kFlash), kFlash);
    EXPECT_EQ(stm32EffectiveOptionSize(-4096, kFlash), kFlash);
    EXPECT_EQ(stm32EffectiveOptionSize(4096, kFlash), 4096);
    EXPECT_EQ(stm32EffectiveOptionSize(kFlash * 2, kFlash), kFlash * 2) << "cut by the operations, not here";
    // No target: nothing.
    EXPECT_EQ(stm32EffectiveOptionSize(0, 0), 0);
    EXPECT_EQ(stm32EffectiveOptionSize(0, -1), 0);
}

TEST(OptionArea, ImageLongerThanTheAreaIsRefusedOnlyWhileInUse)
{
    EXPECT_EQ(stm32ImageExceedsOptionArea(1, 4097, 4096), 1);
    EXPECT_EQ(stm32ImageExceedsOptionArea(1, 4096, 4096), 0);
    EXPECT_EQ(stm32ImageExceedsOptionArea(0, 4097, 4096), 0);
}

} // namespace
