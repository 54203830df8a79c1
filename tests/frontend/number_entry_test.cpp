// Number entry of the three front ends: the strict reading of stm32cmd and
// the lenient reading of the GUI fields.
#include "number_entry.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

struct Option {
    Stm32NumberStatus status;
    uint32_t value;
};

Option option(const char* text)
{
    uint32_t value = 0xA5A5A5A5u; // stays when the text is refused
    const Stm32NumberStatus status = stm32ParseOptionNumber(text, &value);
    return Option{status, value};
}

TEST(OptionNumber, HexadecimalOnlyAfterLowerCaseZeroX)
{
    EXPECT_EQ(option("0x400").value, 0x400u);
    EXPECT_EQ(option("0x400").status, STM32_NUMBER_OK);
    EXPECT_EQ(option("1024").value, 1024u);
    EXPECT_EQ(option("0xFFFFFFFF").value, 0xFFFFFFFFu);
    EXPECT_EQ(option("0xabcdef").value, 0xABCDEFu);
    // An upper-case X is decimal 0 followed by text, not a hex number.
    EXPECT_EQ(option("0X8000").status, STM32_NUMBER_TRAILING_TEXT);
}

TEST(OptionNumber, AnythingAfterTheDigitsIsRefusedAndLeavesTheValue)
{
    for (const char* text : {"0x8OOO", "32K", "0X8000", "12 ", "0x400,", "1e3", "0x10g"}) {
        const Option parsed = option(text);
        EXPECT_EQ(parsed.status, STM32_NUMBER_TRAILING_TEXT) << text;
        EXPECT_EQ(parsed.value, 0xA5A5A5A5u) << text;
    }
}

TEST(OptionNumber, TextWithoutDigits)
{
    for (const char* text : {"", "x", "0x", "K32", "-", "+", " ", "0x 10"}) {
        const Option parsed = option(text);
        EXPECT_EQ(parsed.status, STM32_NUMBER_NO_DIGITS) << '"' << text << '"';
        EXPECT_EQ(parsed.value, 0xA5A5A5A5u) << text;
    }
    uint32_t value = 7;
    EXPECT_EQ(stm32ParseOptionNumber(nullptr, &value), STM32_NUMBER_NO_DIGITS);
    EXPECT_EQ(value, 7u);
}

TEST(OptionNumber, RangeLimits)
{
    EXPECT_EQ(option("0x100000000").status, STM32_NUMBER_OUT_OF_RANGE);
    EXPECT_EQ(option("0x1000000000000000000000").status, STM32_NUMBER_OUT_OF_RANGE);
    EXPECT_EQ(option("2147483647").value, 2147483647u);
    EXPECT_EQ(option("2147483648").status, STM32_NUMBER_OUT_OF_RANGE);
    EXPECT_EQ(option("99999999999999999999999").status, STM32_NUMBER_OUT_OF_RANGE);
    // -s -1 has always meant the whole flash.
    EXPECT_EQ(option("-1").value, 0xFFFFFFFFu);
    EXPECT_EQ(option("-2147483648").value, 0x80000000u);
    EXPECT_EQ(option("-2147483649").status, STM32_NUMBER_OUT_OF_RANGE);
    // Leading blanks are skipped before a decimal number, as a C scan does.
    EXPECT_EQ(option("  +42").value, 42u);
}

TEST(OptionDecimal, TargetChoiceIsDecimalOnly)
{
    int32_t value = -7;
    EXPECT_EQ(stm32ParseOptionDecimal("2", &value), STM32_NUMBER_OK);
    EXPECT_EQ(value, 2);
    EXPECT_EQ(stm32ParseOptionDecimal("x", &value), STM32_NUMBER_NO_DIGITS);
    EXPECT_EQ(stm32ParseOptionDecimal("0x1", &value), STM32_NUMBER_TRAILING_TEXT);
    EXPECT_EQ(stm32ParseOptionDecimal("1st", &value), STM32_NUMBER_TRAILING_TEXT);
    EXPECT_EQ(stm32ParseOptionDecimal("3000000000", &value), STM32_NUMBER_OUT_OF_RANGE);
    EXPECT_EQ(value, 2);
}

TEST(FieldNumber, ReadsAsFarAsTheDigitsGo)
{
    int32_t value = -1;
    EXPECT_EQ(stm32ReadFieldNumber("0x1000", &value), 1);
    EXPECT_EQ(value, 4096);
    EXPECT_EQ(stm32ReadFieldNumber("4096 bytes", &value), 1);
    EXPECT_EQ(value, 4096);
    // "0X1000" is the digit 0 and then text: the fields read 0.
    EXPECT_EQ(stm32ReadFieldNumber("0X1000", &value), 1);
    EXPECT_EQ(value, 0);
}

TEST(FieldNumber, NoDigitsLeavesTheValueToTheCaller)
{
    for (const char* text : {"", "abc", "0x", "0xZZ", "-"}) {
        int32_t value = 1234;
        EXPECT_EQ(stm32ReadFieldNumber(text, &value), 0) << text;
        EXPECT_EQ(value, 1234) << text;
    }
}

TEST(FieldNumber, NegativeGivesZeroAndHugeSaturates)
{
    int32_t value = 5;
    EXPECT_EQ(stm32ReadFieldNumber("-4096", &value), 1);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(stm32ReadFieldNumber("99999999999", &value), 1);
    EXPECT_EQ(value, INT32_MAX);
    EXPECT_EQ(stm32ReadFieldNumber("0xFFFFFFFF", &value), 1);
    EXPECT_EQ(value, INT32_MAX);
    EXPECT_EQ(stm32ReadFieldNumber("0x7FFFFFFF", &value), 1);
    EXPECT_EQ(value, INT32_MAX);
}

TEST(NumberScan, ReportsWhatItSaw)
{
    const Stm32NumberScan hex = stm32ScanNumber("0x1Fz", 1);
    EXPECT_EQ(hex.hex, 1);
    EXPECT_EQ(hex.digits, 2);
    EXPECT_EQ(hex.value, 0x1F);
    EXPECT_EQ(hex.trailing, 1);
    // Without hexadecimal, "0x1F" is the decimal 0 followed by text.
    const Stm32NumberScan decimal = stm32ScanNumber("0x1F", 0);
    EXPECT_EQ(decimal.hex, 0);
    EXPECT_EQ(decimal.digits, 1);
    EXPECT_EQ(decimal.value, 0);
    EXPECT_EQ(decimal.trailing, 1);
}

} // namespace
