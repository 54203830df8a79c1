#include "option_area.h"

int32_t stm32LastPageOffset(int32_t flashSize, int32_t pageSize)
{
    if (flashSize <= 0) return 0;
    if (pageSize <= 0) return flashSize;
    return flashSize > pageSize ? flashSize - pageSize : 0;
}

int32_t stm32ClampOptionOffset(int32_t optionOffset, int32_t flashSize, int32_t pageSize)
{
    if (optionOffset < 0) return 0;
    const int32_t limit = stm32LastPageOffset(flashSize, pageSize);
    return optionOffset > limit ? limit : optionOffset;
}

int32_t stm32ClampOptionSize(int32_t offset, int32_t size, int32_t flashSize)
{
    if (size <= 0 || offset < 0 || offset >= flashSize) return 0;
    const int32_t room = flashSize - offset;
    return size > room ? room : size;
}

Stm32FlashArea stm32UploadArea(int32_t inUse, int32_t optionOffset, int32_t flashSize, int32_t pageSize)
{
    Stm32FlashArea area{0, 0};
    if (inUse) area.offset = static_cast<uint32_t>(stm32ClampOptionOffset(optionOffset, flashSize, pageSize));
    return area;
}

Stm32FlashArea stm32DownloadArea(int32_t inUse, int32_t optionOffset, int32_t optionSize, int32_t flashSize,
                                 int32_t pageSize)
{
    Stm32FlashArea area{0, flashSize < 0 ? 0 : flashSize};
    if (!inUse) return area;
    const int32_t offset = stm32ClampOptionOffset(optionOffset, flashSize, pageSize);
    area.offset = static_cast<uint32_t>(offset);
    area.size = stm32ClampOptionSize(offset, optionSize, flashSize);
    return area;
}

int32_t stm32EffectiveOptionSize(int32_t optionSize, int32_t flashSize)
{
    if (optionSize > 0) return optionSize;
    return flashSize > 0 ? flashSize : 0;
}

int32_t stm32ImageExceedsOptionArea(int32_t inUse, int64_t imageLength, int32_t optionSize)
{
    return inUse && imageLength > optionSize ? 1 : 0;
}
