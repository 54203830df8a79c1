// Command-line options of stm32cmd: the classic getopt scan and number
// parsing, with no input or output so that every platform behaves alike.
#ifndef STM32_CLI_OPTIONS_H
#define STM32_CLI_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

constexpr const char* kOptionString = "ludeo:s:i:f:qh?";

// Size value meaning "the whole flash".
constexpr int32_t kWholeFlash = -1;

struct CliOptions {
    uint32_t command = 0; // STM32_CMD_UPLOAD
    bool quiet = false;
    uint32_t offset = 0;
    int32_t size = kWholeFlash;
    int32_t targetChoice = 0;
    std::string downloadFile = "image.bin";
    std::vector<std::string> operands;
};

enum class ParseResult {
    Run,   // options are complete; run the command
    Usage, // -h, -?, or an error described in errorText: show the usage text, status 7
};

// Parses argv[1..argc-1]. errorText receives the complete message of a bad
// option (with its line break), or stays empty.
ParseResult parseOptions(int argc, const char* const* argv, CliOptions* options, std::string* errorText);

enum class NumberResult { Parsed, NoDigits, OutOfRange };

// Reads "0x" followed by hexadecimal digits, or an optionally signed decimal
// number; scanning stops at the first character that does not fit. Values
// that do not fit 32 bits (hex up to 0xFFFFFFFF, decimal as signed 32-bit)
// are out of range. *value changes only when Parsed.
NumberResult parseNumber(const char* text, uint32_t* value);
// Decimal only, as -i reads it.
NumberResult parseDecimal(const char* text, int32_t* value);

// The usage text, line by line; programName stands where the program was started.
std::string usageText(const std::string& programName);

} // namespace cli

#endif
