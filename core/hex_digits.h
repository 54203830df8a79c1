// Hexadecimal digits, as every text format of the tree reads them (Intel HEX,
// S-records, layout names, numbers typed by the user).
#ifndef STM32_CORE_HEX_DIGITS_H
#define STM32_CORE_HEX_DIGITS_H

#include <cstdint>

namespace stm32 {

// The digit's value, or -1 when the character is not a hexadecimal digit.
constexpr int hexDigitValue(int c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Two digits as one byte; false unless both are digits. Stops at the first
// non-digit, so it never reads past a terminating NUL.
inline bool readHexPair(const char* at, uint8_t* value)
{
    const int high = hexDigitValue(static_cast<unsigned char>(at[0]));
    if (high < 0) return false;
    const int low = hexDigitValue(static_cast<unsigned char>(at[1]));
    if (low < 0) return false;
    *value = static_cast<uint8_t>(high * 16 + low);
    return true;
}

} // namespace stm32

#endif
