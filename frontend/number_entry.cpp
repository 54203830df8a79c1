#include "number_entry.h"

#include "hex_digits.h"

namespace {

// Saturation point of the scan: beyond every range that a caller accepts, so
// that "too large" stays distinguishable without overflowing int64.
constexpr int64_t kScanLimit = int64_t{1} << 40;

int digitValue(char c, int base)
{
    const int value = stm32::hexDigitValue(static_cast<unsigned char>(c));
    return value < base ? value : -1;
}

// Like the C library's number scan: leading white space is skipped.
bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

const char* scanDigits(const char* at, int base, Stm32NumberScan* scan)
{
    for (int digit; (digit = digitValue(*at, base)) >= 0; ++at) {
        ++scan->digits;
        if (scan->value < kScanLimit) scan->value = scan->value * base + digit;
    }
    return at;
}

bool outsideOptionRange(const Stm32NumberScan& scan)
{
    if (scan.hex) return scan.value > 0xFFFFFFFFll;
    return scan.value > INT32_MAX || scan.value < INT32_MIN;
}

// The strict reading of stm32cmd: digits, in range, and nothing after them.
Stm32NumberStatus strictStatus(const Stm32NumberScan& scan)
{
    if (scan.digits == 0) return STM32_NUMBER_NO_DIGITS;
    if (scan.trailing) return STM32_NUMBER_TRAILING_TEXT;
    if (scan.overflow) return STM32_NUMBER_OUT_OF_RANGE;
    return STM32_NUMBER_OK;
}

} // namespace

Stm32NumberScan stm32ScanNumber(const char* text, int32_t allowHex)
{
    Stm32NumberScan scan{};
    if (text == nullptr) return scan;
    const char* at = text;
    // Only a lower-case "0x" at the very start selects hexadecimal.
    if (allowHex && at[0] == '0' && at[1] == 'x') {
        scan.hex = 1;
        at = scanDigits(at + 2, 16, &scan);
    } else {
        while (isBlank(*at)) ++at;
        bool negative = false;
        if (*at == '+' || *at == '-') negative = *at++ == '-';
        at = scanDigits(at, 10, &scan);
        if (negative) scan.value = -scan.value;
    }
    scan.overflow = outsideOptionRange(scan) ? 1 : 0;
    scan.trailing = (scan.digits > 0 && *at != '\0') ? 1 : 0;
    return scan;
}

Stm32NumberStatus stm32ParseOptionNumber(const char* text, uint32_t* value)
{
    const Stm32NumberScan scan = stm32ScanNumber(text, 1);
    const Stm32NumberStatus status = strictStatus(scan);
    if (status == STM32_NUMBER_OK) *value = static_cast<uint32_t>(scan.value);
    return status;
}

Stm32NumberStatus stm32ParseOptionDecimal(const char* text, int32_t* value)
{
    const Stm32NumberScan scan = stm32ScanNumber(text, 0);
    const Stm32NumberStatus status = strictStatus(scan);
    if (status == STM32_NUMBER_OK) *value = static_cast<int32_t>(scan.value);
    return status;
}

int32_t stm32ReadFieldNumber(const char* text, int32_t* value)
{
    const Stm32NumberScan scan = stm32ScanNumber(text, 1);
    if (scan.digits == 0) return 0;
    if (scan.value < 0) *value = 0;
    else if (scan.value > INT32_MAX) *value = INT32_MAX;
    else *value = static_cast<int32_t>(scan.value);
    return 1;
}
