/*
 * Numbers typed by the user: "0x" (lower-case x only) followed by hexadecimal
 * digits, otherwise an optionally signed decimal number. The console program
 * takes a value only when the whole text is the number; the GUI fields read
 * as far as the digits go, as they always have.
 */
#ifndef STM32_FRONTEND_NUMBER_ENTRY_H
#define STM32_FRONTEND_NUMBER_ENTRY_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum Stm32NumberStatus {
    STM32_NUMBER_OK = 0,
    STM32_NUMBER_NO_DIGITS = 1,     /* nothing that reads as a number (also "0x" alone) */
    STM32_NUMBER_TRAILING_TEXT = 2, /* digits followed by other characters: "0X8000", "0x8OOO", "32K" */
    STM32_NUMBER_OUT_OF_RANGE = 3   /* hexadecimal above 0xFFFFFFFF, decimal outside signed 32-bit */
} Stm32NumberStatus;

/* What a scan of the text found. */
typedef struct Stm32NumberScan {
    int64_t value;      /* the number read so far, with its sign; meaningful when digits > 0 */
    int32_t digits;     /* digits read */
    int32_t hex;        /* 1: the text began with "0x" */
    int32_t overflow;   /* 1: the digits exceed the range above (value is then saturated) */
    int32_t trailing;   /* 1: characters follow the digits */
} Stm32NumberScan;

/*
 * Scans text (NUL-terminated UTF-8; null reads as empty). Decimal numbers may
 * have leading blanks and a sign; hexadecimal ones have neither.
 */
Stm32NumberScan stm32ScanNumber(const char *text, int32_t allowHex);

/*
 * stm32cmd's -o and -s: hexadecimal or decimal, and nothing may follow the
 * digits. A negative decimal is kept in two's complement (-s -1 is the whole
 * flash). *value changes only with STM32_NUMBER_OK.
 */
Stm32NumberStatus stm32ParseOptionNumber(const char *text, uint32_t *value);

/* stm32cmd's -i: decimal only, nothing after the digits. */
Stm32NumberStatus stm32ParseOptionDecimal(const char *text, int32_t *value);

/*
 * GUI offset and size fields: reads as far as the digits go ("0X1000" reads
 * the single digit 0). A negative number gives 0, one above INT32_MAX gives
 * INT32_MAX. Returns 1 and sets *value when any digit was read; otherwise
 * returns 0 and leaves *value alone, so each front end applies its own rule
 * (the Windows fields keep the old value, the macOS fields take 0).
 */
int32_t stm32ReadFieldNumber(const char *text, int32_t *value);

#ifdef __cplusplus
}
#endif

#endif /* STM32_FRONTEND_NUMBER_ENTRY_H */
