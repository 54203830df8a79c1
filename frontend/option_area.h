/*
 * The option area of the GUIs: an offset into flash and a size from the
 * preferences that redirect uploads and downloads. The core knows nothing of
 * it; these functions turn the stored values into the offset and size
 * arguments of stm32Command, kept inside the flash.
 */
#ifndef STM32_FRONTEND_OPTION_AREA_H
#define STM32_FRONTEND_OPTION_AREA_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Offset and size of one flash operation, relative to flash start. */
typedef struct Stm32FlashArea {
    uint32_t offset;
    int32_t size;
} Stm32FlashArea;

/*
 * The highest offset at which a whole page still fits: flashSize - pageSize,
 * never below 0. With pageSize 0 it is flashSize.
 */
int32_t stm32LastPageOffset(int32_t flashSize, int32_t pageSize);

/* optionOffset limited to 0 .. stm32LastPageOffset(flashSize, pageSize). */
int32_t stm32ClampOptionOffset(int32_t optionOffset, int32_t flashSize, int32_t pageSize);

/*
 * size reduced so that offset + size stays inside the flash; 0 when offset
 * is at or past its end; a negative size counts as 0.
 */
int32_t stm32ClampOptionSize(int32_t offset, int32_t size, int32_t flashSize);

/*
 * Where an upload writes: offset 0 when the area is not in use, else the
 * option offset clamped as above (size is the image's business: 0 here).
 */
Stm32FlashArea stm32UploadArea(int32_t inUse, int32_t optionOffset, int32_t flashSize, int32_t pageSize);

/*
 * What a download reads: the whole flash when the area is not in use, else
 * the clamped option offset and the option size cut at the end of flash.
 */
Stm32FlashArea stm32DownloadArea(int32_t inUse, int32_t optionOffset, int32_t optionSize, int32_t flashSize,
                                 int32_t pageSize);

/*
 * The option size as operations use it: a stored size of 0 means the whole
 * flash (and so does a nonsensical negative one).
 */
int32_t stm32EffectiveOptionSize(int32_t optionSize, int32_t flashSize);

/* Non-zero when an image of imageLength bytes is refused for the area in use. */
int32_t stm32ImageExceedsOptionArea(int32_t inUse, int64_t imageLength, int32_t optionSize);

#ifdef __cplusplus
}
#endif

#endif /* STM32_FRONTEND_OPTION_AREA_H */
