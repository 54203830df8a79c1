#include "flash_geometry.h"

#include <cstdio>

int32_t stm32FlashGeometryFrom(const FlashInfo* info, Stm32FlashGeometry* geometry)
{
    *geometry = Stm32FlashGeometry{0, 0, 0};
    const int64_t pageBytes = static_cast<int64_t>(info->pageSize) * stm32UnitMultiplier(info->unit);
    if (info->flashSize <= 0 || pageBytes <= 0 || pageBytes > info->flashSize) return 0;
    geometry->startAddress = info->startAddress;
    geometry->flashSize = info->flashSize;
    geometry->pageSize = static_cast<int32_t>(pageBytes);
    return 1;
}

int32_t stm32FormatFlashSize(const FlashInfo* info, char* buffer, size_t capacity)
{
    // The total of all segments, so that a board with sectors of several
    // sizes shows its real size, not the first segment's.
    const int32_t shown = info->flashSize / stm32UnitMultiplier(info->unit);
    const bool scaled = info->unit == 'K' || info->unit == 'M';
    const int written = scaled ? std::snprintf(buffer, capacity, "%d %cB", shown, info->unit)
                               : std::snprintf(buffer, capacity, "%d B", shown);
    if (written < 0) return 0;
    return static_cast<int32_t>(static_cast<size_t>(written) < capacity ? written : (capacity == 0 ? 0 : capacity - 1));
}
