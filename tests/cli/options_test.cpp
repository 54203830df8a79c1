// Option scan and number parsing of stm32cmd.
#include "options.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace {

using cli::CliOptions;
using cli::NumberResult;
using cli::ParseResult;

struct Parsed {
    ParseResult result;
    CliOptions options;
    std::string error;
};

Parsed parse(std::initializer_list<const char*> arguments)
{
    std::vector<const char*> argv{"stm32cmd"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    Parsed parsed{ParseResult::Run, CliOptions{}, "stale"};
    parsed.result = cli::parseOptions(static_cast<int>(argv.size()), argv.data(), &parsed.options, &parsed.error);
    return parsed;
}

TEST(CliOptions, DefaultsWithOneOperand)
{
    const Parsed p = parse({"myprog.bin"});
    EXPECT_EQ(p.result, ParseResult::Run);
    EXPECT_EQ(p.error, "");
    EXPECT_EQ(p.options.command, 0u);
    EXPECT_FALSE(p.options.quiet);
    EXPECT_EQ(p.options.offset, 0u);
    EXPECT_EQ(p.options.size, -1);
    EXPECT_EQ(p.options.targetChoice, 0);
    EXPECT_EQ(p.options.downloadFile, "image.bin");
    EXPECT_EQ(p.options.operands, std::vector<std::string>{"myprog.bin"});
}

TEST(CliOptions, LastCommandLetterWins)
{
    EXPECT_EQ(parse({"-l"}).options.command, 3u);
    EXPECT_EQ(parse({"-d"}).options.command, 1u);
    EXPECT_EQ(parse({"-e"}).options.command, 2u);
    EXPECT_EQ(parse({"-d", "-u"}).options.command, 0u);
    EXPECT_EQ(parse({"-ledu", "-e"}).options.command, 2u);
}

TEST(CliOptions, ValuesAttachedOrSeparate)
{
    EXPECT_EQ(parse({"-o", "0x400", "a.bin"}).options.offset, 0x400u);
    EXPECT_EQ(parse({"-o1024", "a.bin"}).options.offset, 1024u);
    EXPECT_EQ(parse({"-o0x400"}).options.offset, 0x400u);
    const Parsed grouped = parse({"-qdf", "out.bin", "-s4096", "-i", "2"});
    EXPECT_TRUE(grouped.options.quiet);
    EXPECT_EQ(grouped.options.command, 1u);
    EXPECT_EQ(grouped.options.downloadFile, "out.bin");
    EXPECT_EQ(grouped.options.size, 4096);
    EXPECT_EQ(grouped.options.targetChoice, 2);
    // The value takes the rest of the argument, letters included.
    const Parsed rest = parse({"-fdq"});
    EXPECT_EQ(rest.options.downloadFile, "dq");
    EXPECT_FALSE(rest.options.quiet);
    // A value that looks like an option is still the value.
    EXPECT_EQ(parse({"-f", "-d"}).options.downloadFile, "-d");
}

TEST(CliOptions, ScanStopsAtOperandDashAndDoubleDash)
{
    Parsed p = parse({"-d", "file.bin", "-e"});
    EXPECT_EQ(p.options.command, 1u);
    EXPECT_EQ(p.options.operands, (std::vector<std::string>{"file.bin", "-e"}));

    p = parse({"-", "-e"});
    EXPECT_EQ(p.options.command, 0u);
    EXPECT_EQ(p.options.operands, (std::vector<std::string>{"-", "-e"}));

    p = parse({"-q", "--", "-e"});
    EXPECT_TRUE(p.options.quiet);
    EXPECT_EQ(p.options.command, 0u);
    EXPECT_EQ(p.options.operands, std::vector<std::string>{"-e"});

    EXPECT_TRUE(parse({"--"}).options.operands.empty());
}

TEST(CliOptions, BadOptionsGiveTheirMessageAndUsage)
{
    Parsed p = parse({"-x"});
    EXPECT_EQ(p.result, ParseResult::Usage);
    EXPECT_EQ(p.error, "illegal option -- x\n");

    p = parse({"-qx"});
    EXPECT_EQ(p.error, "illegal option -- x\n");

    p = parse({"-:"});
    EXPECT_EQ(p.error, "illegal option -- :\n");

    p = parse({"--long"});
    EXPECT_EQ(p.error, "illegal option -- -\n");

    p = parse({"-o"});
    EXPECT_EQ(p.result, ParseResult::Usage);
    EXPECT_EQ(p.error, "option requires an argument -- o\n");

    p = parse({"-d", "-f"});
    EXPECT_EQ(p.error, "option requires an argument -- f\n");
}

TEST(CliOptions, HelpLettersAskForUsageWithoutError)
{
    for (const char* help : {"-h", "-?", "-qh"}) {
        const Parsed p = parse({help});
        EXPECT_EQ(p.result, ParseResult::Usage) << help;
        EXPECT_EQ(p.error, "") << help;
    }
}

TEST(CliOptions, ValuesWithoutDigitsKeepTheSetting)
{
    const Parsed p = parse({"-o", "abc", "-s", "0x", "-i", "two"});
    EXPECT_EQ(p.result, ParseResult::Run);
    EXPECT_EQ(p.options.offset, 0u);
    EXPECT_EQ(p.options.size, -1);
    EXPECT_EQ(p.options.targetChoice, 0);
    EXPECT_EQ(parse({"-o", "16", "-o", "zz"}).options.offset, 16u);
}

TEST(CliOptions, OutOfRangeNumbersAreParameterErrors)
{
    const Parsed p = parse({"-o", "0x100000000"});
    EXPECT_EQ(p.result, ParseResult::Usage);
    EXPECT_EQ(p.error, "number out of range -- 0x100000000\n");
    EXPECT_EQ(parse({"-s", "2147483648"}).result, ParseResult::Usage);
    EXPECT_EQ(parse({"-i", "99999999999"}).result, ParseResult::Usage);
}

TEST(CliNumbers, DecimalAndLowerCaseHex)
{
    uint32_t value = 77;
    EXPECT_EQ(cli::parseNumber("1024", &value), NumberResult::Parsed);
    EXPECT_EQ(value, 1024u);
    EXPECT_EQ(cli::parseNumber("0x400", &value), NumberResult::Parsed);
    EXPECT_EQ(value, 0x400u);
    EXPECT_EQ(cli::parseNumber("0xFFFFFFFF", &value), NumberResult::Parsed);
    EXPECT_EQ(value, 0xFFFFFFFFu);
    EXPECT_EQ(cli::parseNumber("0xaBc", &value), NumberResult::Parsed);
    EXPECT_EQ(value, 0xABCu);
    // Upper-case X is not a hex prefix: decimal 0, then the scan stops.
    EXPECT_EQ(cli::parseNumber("0X400", &value), NumberResult::Parsed);
    EXPECT_EQ(value, 0u);
    // Scanning stops at the first character that does not fit.
    EXPECT_EQ(cli::parseNumber("12k", &value), NumberResult::Parsed);
    EXPECT_EQ(value, 12u);
    EXPECT_EQ(cli::parseNumber("0x1g", &value), NumberResult::Parsed);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(cli::parseNumber("-1", &value), NumberResult::Parsed);
    EXPECT_EQ(value, 0xFFFFFFFFu);
    EXPECT_EQ(cli::parseNumber(" 8", &value), NumberResult::Parsed);
    EXPECT_EQ(value, 8u);
}

TEST(CliNumbers, NoDigitsLeavesValueAlone)
{
    uint32_t value = 77;
    for (const char* text : {"", "x10", "0x", "0xg", "-", "+", " "}) {
        EXPECT_EQ(cli::parseNumber(text, &value), NumberResult::NoDigits) << text;
        EXPECT_EQ(value, 77u) << text;
    }
    int32_t decimal = 5;
    EXPECT_EQ(cli::parseDecimal("0x10", &decimal), NumberResult::Parsed);
    EXPECT_EQ(decimal, 0); // -i is decimal only
}

TEST(CliNumbers, ThirtyTwoBitLimits)
{
    int32_t decimal = 0;
    EXPECT_EQ(cli::parseDecimal("2147483647", &decimal), NumberResult::Parsed);
    EXPECT_EQ(decimal, 2147483647);
    EXPECT_EQ(cli::parseDecimal("-2147483648", &decimal), NumberResult::Parsed);
    EXPECT_EQ(decimal, INT32_MIN);
    EXPECT_EQ(cli::parseDecimal("2147483648", &decimal), NumberResult::OutOfRange);
    EXPECT_EQ(cli::parseDecimal("-2147483649", &decimal), NumberResult::OutOfRange);
    uint32_t value = 0;
    EXPECT_EQ(cli::parseNumber("0x0000000012345678", &value), NumberResult::Parsed);
    EXPECT_EQ(value, 0x12345678u);
    EXPECT_EQ(cli::parseNumber("0x1FFFFFFFF", &value), NumberResult::OutOfRange);
}

TEST(CliUsage, TextLineByLine)
{
    const std::string text = cli::usageText("./stm32cmd");
    EXPECT_EQ(text.rfind("./stm32cmd: <file>\nVersion 1.1.1\nOptions:\n", 0), 0u);
    EXPECT_NE(text.find("\n./stm32cmd myprog.bin\n"), std::string::npos);
    EXPECT_NE(text.find("at (hex)address 8000400:\n./stm32cmd -o 0x400 myprog.bin\nExit codes:\n 0: Success\n"),
              std::string::npos);
    EXPECT_NE(text.find(" 9: Offset Alignment Error\n10: Invalid Start Address\n"), std::string::npos);
    const std::string tail = "13: Firmware Too Big\n";
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    size_t lines = 0;
    for (char c : text) lines += c == '\n';
    EXPECT_EQ(lines, 17u + 1u + 14u);
}

} // namespace
