/*
 * The chosen board's flash as the front ends use and show it, from the
 * core's FlashInfo: sizes in bytes, and the size in the layout's own unit
 * for the status lines.
 */
#ifndef STM32_FRONTEND_FLASH_GEOMETRY_H
#define STM32_FRONTEND_FLASH_GEOMETRY_H

#include <stddef.h>
#include <stdint.h>

#include "stm32.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct Stm32FlashGeometry {
    uint32_t startAddress;
    int32_t flashSize; /* bytes, all segments together */
    int32_t pageSize;  /* bytes, of the first segment's pages */
} Stm32FlashGeometry;

/*
 * Non-zero when info describes a flash an operation can use: a size, and
 * pages no larger than it. Otherwise *geometry is all 0.
 */
int32_t stm32FlashGeometryFrom(const FlashInfo *info, Stm32FlashGeometry *geometry);

/*
 * The flash size as the status lines show it, in the layout's unit: "256 KB",
 * "2 MB", or "4096 B" for a layout counted in bytes. Written into buffer
 * (NUL-terminated, cut to fit); answers the length of the text.
 */
int32_t stm32FormatFlashSize(const FlashInfo *info, char *buffer, size_t capacity);

#ifdef __cplusplus
}
#endif

#endif /* STM32_FRONTEND_FLASH_GEOMETRY_H */
