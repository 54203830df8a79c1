#include "options.h"

#include <cstring>

#include "stm32.h"

namespace cli {

namespace {

bool isDecimalDigit(char c) { return c >= '0' && c <= '9'; }

int hexDigitValue(char c)
{
    if (isDecimalDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Like the C library's number scan: leading white space is skipped.
const char* skipSpace(const char* text)
{
    while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r' || *text == '\f' || *text == '\v') ++text;
    return text;
}

NumberResult parseHex(const char* text, uint32_t* value)
{
    uint64_t accumulated = 0;
    int digits = 0;
    for (int digit; (digit = hexDigitValue(*text)) >= 0; ++text, ++digits) {
        accumulated = accumulated * 16 + static_cast<uint64_t>(digit);
        if (accumulated > 0xFFFFFFFFull) return NumberResult::OutOfRange;
    }
    if (digits == 0) return NumberResult::NoDigits;
    *value = static_cast<uint32_t>(accumulated);
    return NumberResult::Parsed;
}

std::string optionMessage(const char* words, char letter)
{
    return std::string(words) + " -- " + letter + "\n";
}

// Where the option letter sits in kOptionString, or nullptr. ':' is never a letter.
const char* findOption(char letter)
{
    if (letter == ':' || letter == '\0') return nullptr;
    return std::strchr(kOptionString, letter);
}

bool takesValue(const char* spec) { return spec[1] == ':'; }

// Applies one option; returns false with errorText set when its value is bad.
bool applyOption(char letter, const char* value, CliOptions* options, std::string* errorText)
{
    switch (letter) {
    case 'l': options->command = 3; break;
    case 'u': options->command = 0; break;
    case 'd': options->command = 1; break;
    case 'e': options->command = 2; break;
    case 'q': options->quiet = true; break;
    case 'f': options->downloadFile = value; break;
    case 'o':
    case 's': {
        uint32_t number = 0;
        const NumberResult result = parseNumber(value, &number);
        if (result == NumberResult::OutOfRange) {
            *errorText = std::string("number out of range -- ") + value + "\n";
            return false;
        }
        if (result == NumberResult::Parsed) {
            if (letter == 'o') options->offset = number;
            else options->size = static_cast<int32_t>(number);
        }
        break;
    }
    case 'i': {
        int32_t number = 0;
        const NumberResult result = parseDecimal(value, &number);
        if (result == NumberResult::OutOfRange) {
            *errorText = std::string("number out of range -- ") + value + "\n";
            return false;
        }
        if (result == NumberResult::Parsed) options->targetChoice = number;
        break;
    }
    default: break; // 'h' and '?' are handled by the caller
    }
    return true;
}

} // namespace

NumberResult parseDecimal(const char* text, int32_t* value)
{
    text = skipSpace(text);
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    int64_t accumulated = 0;
    int digits = 0;
    for (; isDecimalDigit(*text); ++text, ++digits) {
        accumulated = accumulated * 10 + (*text - '0');
        if (accumulated > int64_t{1} << 31) return NumberResult::OutOfRange;
    }
    if (digits == 0) return NumberResult::NoDigits;
    if (negative) accumulated = -accumulated;
    if (accumulated > INT32_MAX) return NumberResult::OutOfRange;
    *value = static_cast<int32_t>(accumulated);
    return NumberResult::Parsed;
}

NumberResult parseNumber(const char* text, uint32_t* value)
{
    // Only a lower-case "0x" at the very start selects hexadecimal.
    if (text[0] == '0' && text[1] == 'x') return parseHex(text + 2, value);
    int32_t decimal = 0;
    const NumberResult result = parseDecimal(text, &decimal);
    if (result == NumberResult::Parsed) *value = static_cast<uint32_t>(decimal);
    return result;
}

ParseResult parseOptions(int argc, const char* const* argv, CliOptions* options, std::string* errorText)
{
    errorText->clear();
    int index = 1;
    for (; index < argc; ++index) {
        const char* argument = argv[index];
        if (argument[0] != '-' || argument[1] == '\0') break; // an operand, or "-" which stays one
        if (std::strcmp(argument, "--") == 0) {
            ++index;
            break;
        }
        for (const char* at = argument + 1; *at != '\0'; ++at) {
            const char letter = *at;
            const char* spec = findOption(letter);
            if (spec == nullptr) {
                *errorText = optionMessage("illegal option", letter);
                return ParseResult::Usage;
            }
            if (letter == 'h' || letter == '?') return ParseResult::Usage;
            if (!takesValue(spec)) {
                applyOption(letter, nullptr, options, errorText);
                continue;
            }
            const char* value = nullptr;
            if (at[1] != '\0') {
                value = at + 1;
            } else if (index + 1 < argc) {
                value = argv[++index];
            } else {
                *errorText = optionMessage("option requires an argument", letter);
                return ParseResult::Usage;
            }
            if (!applyOption(letter, value, options, errorText)) return ParseResult::Usage;
            break; // the value used up the rest of this argument
        }
    }
    for (; index < argc; ++index) options->operands.emplace_back(argv[index]);
    return ParseResult::Run;
}

std::string usageText(const std::string& programName)
{
    const std::string& name = programName;
    std::string text;
    text += name + ": <file>\n";
    text += "Version " + std::to_string(STM32_VERSION_MAJOR) + "." + std::to_string(STM32_VERSION_MINOR) + "." +
            std::to_string(STM32_VERSION_PATCH) + "\n";
    text += "Options:\n";
    text += "-l list connected STM32 USB-targets\n";
    text += "-u upload image to target device\n";
    text += "-d download image from target device\n";
    text += "-e erase flash chip or pages (via offset/length)\n";
    text += "-o offset of target flash address for download/upload (optional)\n";
    text += "-s size of target flash operation for download/upload/erase\n";
    text += "-i index for multiple targets (default: 0)\n";
    text += "-f image file (default: image.bin)\n";
    text += "-q no text output (quiet)\n";
    text += "Example:\n";
    text += "To flash the device with the file \"myprog.bin\":\n";
    text += name + " myprog.bin\n";
    text += "To flash the device with the file \"myprog.bin\" at (hex)address 8000400:\n";
    text += name + " -o 0x400 myprog.bin\n";
    text += "Exit codes:\n";
    text += " 0: Success\n";
    text += " 1: No Device\n";
    text += " 2: Device Read Error\n";
    text += " 3: Device Write Error\n";
    text += " 4: Device Erase Error\n";
    text += " 5: Firmware Verify Error\n";
    text += " 6: USB Error\n";
    text += " 7: Parameter Error (command line arguments)\n";
    text += " 8: Unix Error (out of memory etc)\n";
    text += " 9: Offset Alignment Error\n";
    text += "10: Invalid Start Address\n";
    text += "11: Read File Error\n";
    text += "12: Write File Error\n";
    text += "13: Firmware Too Big\n";
    return text;
}

} // namespace cli
