/*
 * One image loader for every front end. Reads a raw binary, Intel HEX,
 * Motorola S-record, ELF32 (little-endian ARM) or DfuSe (.dfu) file into a
 * flash-sized image buffer whose position 0 is flash start, and reports
 * which byte ranges the file defines, so that an upload can keep every
 * other byte of flash (stm32SetImageRanges).
 *
 * The format comes from the name's extension; an ELF or DfuSe file is also
 * known by its first bytes whatever its name. Addresses in a file are taken
 * relative to flash start; the front ends add their offset as for a raw
 * binary (the engine places the image at flash start + offset).
 *
 * Plain C, usable from C++, Objective-C++ and Win32 code. Nothing throws;
 * nothing is printed: the loader words what is wrong in the result's
 * message and each front end decides how to show it.
 */
#ifndef STM32_FRONTEND_IMAGE_LOADER_H
#define STM32_FRONTEND_IMAGE_LOADER_H

#include <stddef.h>
#include <stdint.h>

#include "stm32.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum Stm32ImageFormat {
    STM32_IMAGE_RAW = 0,       /* any other extension, or none: bytes from position 0 on */
    STM32_IMAGE_INTEL_HEX = 1, /* ".hex" or ".HEX" only (other spellings such as ".Hex" stay raw) */
    STM32_IMAGE_SREC = 2,      /* ".srec", ".s19", ".s28", ".s37", ".mot", ".mhx", ".sx", any case */
    STM32_IMAGE_ELF = 3,       /* ".elf", ".axf", any case, or the bytes 7F 'E' 'L' 'F' at the start */
    STM32_IMAGE_DFUSE = 4      /* ".dfu", any case, or "DfuSe" at the start */
} Stm32ImageFormat;

typedef enum Stm32LoadStatus {
    STM32_LOAD_OK = 0,
    STM32_LOAD_READ_ERROR = 1,     /* the file cannot be opened or read; systemError holds errno */
    STM32_LOAD_OUT_OF_MEMORY = 2,
    STM32_LOAD_DECODE_ERROR = 3,   /* not a valid file of its format: record, checksum, CRC, truncation,
                                      overlapping data with different bytes */
    STM32_LOAD_OUTSIDE_FLASH = 4,  /* data placed below flash start */
    STM32_LOAD_TOO_BIG = 5,        /* data reaches past the capacity, or the file is longer than its format
                                      allows (stm32LargestImageFile); length tells how far */
    STM32_LOAD_EMPTY = 6           /* the file defines no byte (an Intel HEX front end calls it a decoding error) */
} Stm32LoadStatus;

#define STM32_LOAD_MESSAGE_SIZE 1024

/* The outcome of one load. Release it with stm32ReleaseLoadedImage. */
typedef struct Stm32LoadedImage {
    int32_t status;            /* Stm32LoadStatus */
    int32_t format;            /* Stm32ImageFormat the contents were read as */
    uint32_t length;           /* highest defined position + 1; with STM32_LOAD_TOO_BIG how far the file reaches */
    Stm32ByteRange *ranges;    /* defined bytes, sorted and merged, inside length; owned by this record */
    int32_t rangeCount;
    int32_t systemError;       /* errno of a failed open or read, else 0 */
    char message[STM32_LOAD_MESSAGE_SIZE]; /* empty on success; else names the file, the line, record or
                                              segment, and what is wrong (one line, no line break) */
} Stm32LoadedImage;

/* The format that the name's extension selects (raw when none does). */
Stm32ImageFormat stm32ImageFormatFromName(const char *name);

/* The format of contents: ELF or DfuSe by their first bytes, else by name. */
Stm32ImageFormat stm32DetectImageFormat(const char *name, const uint8_t *bytes, size_t length);

/* "raw binary", "Intel HEX", "S-record", "ELF", "DfuSe". */
const char *stm32ImageFormatName(Stm32ImageFormat format);

/*
 * Extensions (without the dot, lower case) that the open dialogs offer, in
 * the order bin, hex, srec..., elf..., dfu. Answers the count; the list is
 * static.
 */
int32_t stm32ImageFileExtensions(const char *const **extensions);

/*
 * The longest file of a format worth reading for a flash of capacity bytes;
 * a longer one is refused as STM32_LOAD_TOO_BIG before it is decoded. A raw
 * binary is the flash bytes themselves, record text takes about three
 * characters a byte, an ELF or DfuSe file carries headers, symbols and
 * debug sections beside its bytes.
 */
uint64_t stm32LargestImageFile(Stm32ImageFormat format, uint32_t capacity);

/* The longest over every format: how much of a file whose contents are not known yet is worth reading. */
uint64_t stm32LargestImageFileOfAnyFormat(uint32_t capacity);

/*
 * Reads the file at path (UTF-8; wide names on Windows) into image. The whole
 * image[0..capacity) is filled with 0xFF first (erased flash), then every
 * defined byte is placed at its address - flashStart. Answers loaded->status.
 * Every failure leaves loaded->length 0 except STM32_LOAD_TOO_BIG, and
 * leaves no ranges.
 */
int32_t stm32LoadImageFile(const char *path, uint8_t *image, uint32_t capacity, uint32_t flashStart,
                           Stm32LoadedImage *loaded);

/* The same for contents already in memory; name gives the format and names the file in messages. */
int32_t stm32LoadImageBytes(const char *name, const uint8_t *bytes, size_t length, uint8_t *image,
                            uint32_t capacity, uint32_t flashStart, Stm32LoadedImage *loaded);

/* Frees the ranges; the record can be loaded into again. Null is fine. */
void stm32ReleaseLoadedImage(Stm32LoadedImage *loaded);

#ifdef __cplusplus
}
#endif

#endif /* STM32_FRONTEND_IMAGE_LOADER_H */
