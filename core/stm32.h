/*
 * stm32 core library: public interface.
 *
 * Lists STM32 boards that run the system bootloader in USB DFU mode
 * (0483:df11), reads their internal-flash layout, and runs one command at a
 * time on them (upload, download, erase, list). Plain C declarations so that
 * C, C++ and Objective-C++ front ends can all use it. Nothing here throws;
 * every result is a status code.
 */
#ifndef STM32_CORE_STM32_H
#define STM32_CORE_STM32_H

#include <stdint.h>

/* STM32_VERSION_MAJOR, _MINOR, _PATCH and _TEXT, written by the build. */
#include "stm32_version.h"

#ifdef __cplusplus
extern "C" {
#endif

#define STM32_VENDOR_ID 0x0483
#define STM32_PRODUCT_ID 0xDF11

#define STM32_LOG_LINE_SIZE 512

/* Command codes of stm32Command. */
enum {
    STM32_CMD_UPLOAD = 0,
    STM32_CMD_DOWNLOAD = 1,
    STM32_CMD_ERASE = 2,
    STM32_CMD_LIST = 3
};

/* Result codes of stm32Command. */
enum {
    STM32_RESULT_USB_INIT = -1,     /* "Problem with USB." */
    STM32_RESULT_OK = 0,
    STM32_RESULT_NO_TARGET = 1,     /* no target, no DFU descriptor, bad command */
    STM32_RESULT_READ_ERROR = 2,
    STM32_RESULT_WRITE_ERROR = 3,
    STM32_RESULT_ERASE_ERROR = 4,
    STM32_RESULT_VERIFY_ERROR = 5,
    STM32_RESULT_OPEN_ERROR = 6,    /* open, claim or alternate setting */
    STM32_RESULT_INVALID_OFFSET = 7, /* "Invalid offset.", also a negative size ("Invalid size.") */
    STM32_RESULT_READ_PROTECTED = 8, /* the board's flash is read-protected (RDP level 1) */
    /* Codes 9 to 14 are left free: stm32cmd gives its own exit statuses those numbers. */
    STM32_RESULT_EMPTY_IMAGE = 15,   /* an upload of zero bytes ("Image is empty.") */
    STM32_RESULT_OUT_OF_MEMORY = 16  /* the library could not allocate ("Out of memory.") */
};

/* Upload flags of stm32SetUploadFlags; 0 is the classic upload. */
enum {
    STM32_UPLOAD_SKIP_UNCHANGED = 1, /* leave physical pages that already hold the right bytes alone */
    STM32_UPLOAD_NO_START = 2        /* program and verify, then stay in DFU mode */
};

/* Byte range [begin, end) as positions in the image buffer. */
typedef struct Stm32ByteRange {
    uint32_t begin;
    uint32_t end;
} Stm32ByteRange;

/*
 * Log sink. continuation 1: a piece of a growing line (heading or dot);
 * continuation 0 with text: a complete line; continuation 0 with length 0:
 * end of the line that the pieces began. The result is ignored.
 */
typedef int (*Stm32LogCallback)(void *userData, const char *text, uint32_t length, int continuation);

/*
 * What the last stm32Command of a context did (stm32GetCommandReport), for
 * reports that scripts read. Pages are the physical pages or sectors of the
 * board's layout; a mass erase counts every page of the layout as erased.
 */
typedef struct Stm32CommandReport {
    uint32_t bytes;        /* upload: image bytes programmed and verified; download: bytes read; erase: bytes erased */
    int32_t pagesErased;
    int32_t pagesWritten;  /* pages that received at least one written block */
    int32_t pagesSkipped;  /* upload: pages left alone because they already held the image */
    int32_t massErase;     /* 1 when the command erased with one mass erase */
} Stm32CommandReport;

/* The library's context record. It never owns the two buffers. */
typedef struct Stm32Context {
    uint8_t *flashBuffer;
    int32_t flashBufferSize;
    uint8_t *image;
    int32_t imageLength;
    void *callbackUserData;
    Stm32LogCallback logCallback;
    int32_t logLineLength;
    char logLine[STM32_LOG_LINE_SIZE];
    uint32_t uploadFlags;               /* STM32_UPLOAD_ flags */
    const Stm32ByteRange *imageRanges;  /* bytes of the image the file defines; null: all of imageLength */
    int32_t imageRangeCount;
    char targetPath[32];                /* stm32SetTargetPath: the board's USB port path, or empty */
    Stm32CommandReport report;          /* filled by every stm32Command */
} Stm32Context;

/*
 * Internal-flash geometry of a target. startAddress, pageCount, pageSize and
 * unit describe the first segment of the layout; flashSize is the total of
 * all segments in bytes.
 */
typedef struct FlashInfo {
    uint32_t startAddress;
    int32_t flashSize;
    int32_t pageCount;
    int32_t pageSize;
    char unit;
} FlashInfo;

/* Context and log channel. */
Stm32Context *stm32Init(void);
void stm32Exit(Stm32Context *context);
void stm32SetBuffer(Stm32Context *context, uint8_t *flashBuffer, int32_t flashBufferSize, uint8_t *image,
                    int32_t imageLength);
void stm32RegisterLogCallback(Stm32Context *context, void *userData, Stm32LogCallback callback);

/* Upload flags (STM32_UPLOAD_*), kept until changed. */
void stm32SetUploadFlags(Stm32Context *context, uint32_t flags);

/*
 * Lends the ranges of the image that its file defines (sorted, not
 * overlapping, inside the image length). An upload then erases and writes
 * only the pages that hold defined bytes and keeps every other byte of flash.
 * Null or count 0: the whole image length is defined (a raw binary). The
 * caller keeps the array alive until the command returns; stm32SetBuffer
 * resets it to null.
 */
void stm32SetImageRanges(Stm32Context *context, const Stm32ByteRange *ranges, int32_t count);

/*
 * Debug trace: one line per DFU request and reply, with a time stamp, the
 * DFU state and status and what the engine decided (format: docs/trace.md).
 * Process-wide; the callback may run on any thread that runs a command, one
 * line at a time. A null callback turns it off, except that STM32_DEBUG=1 in
 * the environment sends the lines to standard error.
 */
typedef void (*Stm32TraceCallback)(void *userData, const char *line);
void stm32SetTraceCallback(Stm32TraceCallback callback, void *userData);

/* What -l -v shows of one target. Strings are NUL-terminated, cut to fit. */
typedef struct Stm32DeviceDetails {
    char serial[64];
    char product[128];
    char layout[256];     /* the "@Internal Flash" alternate-setting name, or empty */
    uint16_t bcdDevice;
    int32_t transferSize; /* wTransferSize of the DFU functional descriptor, 0 if none */
    int32_t openResult;   /* opening the target for its strings: 0, or the libusb error (strings then empty) */
    char portPath[32];    /* USB bus and port chain as lsusb -t and dfu-util -p write it ("1-2.3"), or empty */
} Stm32DeviceDetails;
/* Non-zero when targetIndex names a target in the device list (its strings may still be unreadable). */
int32_t stm32GetDeviceDetails(Stm32Context *context, int32_t targetIndex, Stm32DeviceDetails *details);

/*
 * Removes read protection with the DfuSe Read Unprotect command: the board
 * mass-erases its whole flash and resets. Returns STM32_RESULT_OK when the
 * board took the command, STM32_RESULT_NO_TARGET, STM32_RESULT_OPEN_ERROR,
 * STM32_RESULT_USB_INIT, or STM32_RESULT_ERASE_ERROR when the board refused
 * it. Logs what it does and closes with "OK." or "Error while removing read
 * protection.". Nothing else in the library sends this command.
 */
int32_t stm32Unprotect(Stm32Context *context, int32_t targetIndex);

/*
 * The USB port path of the device at targetIndex ("1-2.3": bus, then the port
 * chain), NUL-terminated and cut to capacity. Needs no open, so it names also
 * a board that cannot be opened. Returns the length written, 0 when there is
 * no device there or its ports are unknown.
 */
int32_t stm32GetPortPath(Stm32Context *context, int32_t targetIndex, char *path, int32_t capacity);

/*
 * Several boards at once. A program may run commands on several boards at
 * the same time, one thread per board, each with its own context:
 * - Each call that talks to a board (stm32Command, stm32Unprotect,
 *   stm32GetFlashInfo, stm32GetDeviceDetails, stm32GetPortPath and the
 *   enumeration) starts its own libusb context, device list and open handle
 *   and closes them before it returns; calls on different contexts may run
 *   concurrently on any threads.
 * - A context belongs to one thread at a time: its buffers, log line, upload
 *   flags, target path and report are not guarded. Its log callback runs on
 *   the thread that called into the library with it.
 * - The trace callback is process-wide: it is called from every thread that
 *   runs a command, one line at a time (under a lock), and each line names
 *   the board by its port path.
 * - Two commands on the same board at the same time are not supported (a
 *   second open or claim of a board normally fails: STM32_RESULT_OPEN_ERROR).
 * - Target indices are positions in a device list that moves when any board
 *   arrives or leaves (a board leaves after a successful upload). A command
 *   that must reach one board while others come and go names it by its port
 *   path with stm32SetTargetPath.
 */

/*
 * Pins the context's target to the board at this USB port path ("1-2.3", as
 * stm32GetPortPath and Stm32DeviceDetails.portPath give it). While a path is
 * pinned, stm32Command (but for the list command), stm32Unprotect,
 * stm32GetFlashInfo and stm32GetDeviceDetails find their board by the path in
 * their own device list and ignore targetIndex; no target at the path is "no
 * target". Null or "" unpins. Returns 1, or 0 when the path does not fit
 * (longer than 31 characters; the pin is then cleared).
 */
int32_t stm32SetTargetPath(Stm32Context *context, const char *path);

/* What the last stm32Command of the context did; zeros before the first. */
void stm32GetCommandReport(const Stm32Context *context, Stm32CommandReport *report);

/* Enumeration: target indices are positions in the libusb device list. */
int32_t stm32GetDeviceCount(void);
void stm32GetDeviceIndices(Stm32Context *context, int32_t *indices, int32_t capacity);

/* Layout: non-zero (the length of the "@Internal Flash" name) if found. */
int32_t stm32GetFlashInfo(Stm32Context *context, int32_t targetIndex, FlashInfo *info);

/* Unit multiplier of a FlashInfo unit letter: 'K' 1024, 'M' 1048576, else 1. */
int32_t stm32UnitMultiplier(char unit);

/* Runs one command; returns one of the STM32_RESULT_ codes. */
int32_t stm32Command(Stm32Context *context, int32_t targetIndex, uint32_t flashStart, uint32_t offset, int32_t size,
                     uint32_t command);

/*
 * Decodes Intel HEX text (NUL-terminated, changed while decoding and restored
 * line by line) into image, whose position 0 is flashStart. *imageLength is 0
 * on failure, else the highest position written + 1 (which may exceed
 * capacity: the caller reports the image as too big). Returns *imageLength.
 */
uint32_t decodeIntelHex(char *text, uint32_t flashStart, uint8_t *image, uint32_t capacity, uint32_t *imageLength);

#ifdef __cplusplus
}
#endif

#endif /* STM32_CORE_STM32_H */
