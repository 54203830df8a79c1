#include "options.h"

#include <cstdlib>
#include <cstring>

#include "number_entry.h"
#include "stm32.h"

namespace cli {

namespace {

// Codes of the options that have no letter; below any printable letter.
enum : char {
    kOptAll = 1,
    kOptNoStart,
    kOptTrace,
    kOptUnprotect,
    kOptForce,
    kOptHelp,
    kOptJson,
    kOptWatch,
};

struct LongOption {
    const char* name;
    char code;
    bool takesValue;
    bool optionalValue = false; // only as --name=value
};

// Long names as dfu-util users know them (--list, --verbose, --serial,
// --help). No --upload/--download: dfu-util gives them the opposite meaning.
constexpr LongOption kLongOptions[] = {
    {"help", kOptHelp, false},
    {"list", 'l', false},
    {"verbose", 'v', false},
    {"serial", 'S', true},
    {"all", kOptAll, false},
    {"skip-unchanged", 'k', false},
    {"no-start", kOptNoStart, false},
    {"trace", kOptTrace, false},
    {"unprotect", kOptUnprotect, false},
    {"force", kOptForce, false},
    {"path", 'p', true},
    {"json", kOptJson, false},
    {"wait", 'w', false, true},
    {"watch", kOptWatch, false},
};

std::string optionMessage(const char* words, char letter)
{
    return std::string(words) + " -- " + letter + "\n";
}

// A number that is not one would silently become another offset: a typo
// must not overwrite the bootloader.
std::string badNumberMessage(char letter, const char* text)
{
    const char* form = letter == 'i' ? "a decimal number" : "decimal, or hexadecimal after a lower-case \"0x\"";
    return std::string("-") + letter + ": not a number: \"" + text + "\" (" + form + ")\n";
}

// Where the option letter sits in kOptionString, or nullptr. ':' is never a letter.
const char* findOption(char letter)
{
    if (letter == ':' || letter == '\0') return nullptr;
    return std::strchr(kOptionString, letter);
}

bool takesValue(const char* spec) { return spec[1] == ':'; }

// Seconds of --wait: digits with an optional fraction ("30", "2.5"), above
// 0, at most a day. No sign, exponent or other form that strtod would take.
bool parseSeconds(const char* text, double* seconds)
{
    const size_t whole = std::strspn(text, "0123456789");
    const char* rest = text + whole;
    const size_t fraction = *rest == '.' ? std::strspn(rest + 1, "0123456789") : 0;
    if (whole + fraction == 0 || rest[*rest == '.' ? 1 + fraction : 0] != '\0') return false;
    const double value = std::strtod(text, nullptr);
    if (value <= 0 || value > 86400) return false;
    *seconds = value;
    return true;
}

ParseResult numberError(Stm32NumberStatus result, char letter, const char* value, std::string* errorText)
{
    if (result == STM32_NUMBER_OUT_OF_RANGE) {
        *errorText = std::string("number out of range -- ") + value + "\n";
        return ParseResult::Usage;
    }
    *errorText = badNumberMessage(letter, value);
    return ParseResult::Error;
}

void setCommand(CliOptions* options, char letter, uint32_t command)
{
    options->command = command;
    options->commandLetter = letter;
}

// Applies one option; returns Run, or the outcome of a bad value with errorText set.
ParseResult applyOption(char code, const char* value, CliOptions* options, std::string* errorText)
{
    switch (code) {
    case 'l': setCommand(options, code, STM32_CMD_LIST); break;
    case 'u': setCommand(options, code, STM32_CMD_UPLOAD); break;
    case 'd': setCommand(options, code, STM32_CMD_DOWNLOAD); break;
    case 'e': setCommand(options, code, STM32_CMD_ERASE); break;
    case 'q': options->quiet = true; break;
    case 'v': options->verbose = true; break;
    case 'k': options->skipUnchanged = true; break;
    case kOptAll: options->allBoards = true; break;
    case kOptNoStart: options->noStart = true; break;
    case kOptTrace: options->trace = true; break;
    case kOptUnprotect: options->unprotect = true; break;
    case kOptForce: options->force = true; break;
    case kOptJson: options->json = true; break;
    case kOptWatch: options->watch = true; break;
    case 'p':
        if (*value == '\0') {
            *errorText = "-p: the port path is empty\n";
            return ParseResult::Error;
        }
        options->portPath = value;
        options->portPathGiven = true;
        break;
    case 'w':
        options->waitSeconds = kDefaultWaitSeconds;
        if (value != nullptr && !parseSeconds(value, &options->waitSeconds)) {
            *errorText = std::string("--wait: not a number of seconds above 0 (at most 86400): \"") + value + "\"\n";
            return ParseResult::Error;
        }
        break;
    case 'f':
        options->downloadFile = value;
        options->downloadFileGiven = true;
        break;
    case 'S':
        if (*value == '\0') {
            *errorText = "-S: the serial number is empty\n";
            return ParseResult::Error;
        }
        options->serial = value;
        options->serialGiven = true;
        break;
    case 'o':
    case 's': {
        uint32_t number = 0;
        const Stm32NumberStatus result = stm32ParseOptionNumber(value, &number);
        if (result != STM32_NUMBER_OK) return numberError(result, code, value, errorText);
        if (code == 'o') options->offset = number;
        else options->size = static_cast<int32_t>(number);
        break;
    }
    case 'i': {
        int32_t number = 0;
        const Stm32NumberStatus result = stm32ParseOptionDecimal(value, &number);
        if (result != STM32_NUMBER_OK) return numberError(result, code, value, errorText);
        options->targetChoice = number;
        options->targetChoiceGiven = true;
        break;
    }
    default: break; // the help options are handled by the callers
    }
    return ParseResult::Run;
}

// The option of that name, or of which the name is the only abbreviation
// (as getopt_long takes them: "--skip" for --skip-unchanged). *ambiguous
// tells a prefix of several from no match.
const LongOption* findLongOption(const std::string& name, bool* ambiguous)
{
    *ambiguous = false;
    const LongOption* found = nullptr;
    for (const LongOption& option : kLongOptions) {
        const std::string full = option.name;
        if (name == full) return &option;
        if (name.empty() || full.compare(0, name.size(), name) != 0) continue;
        if (found != nullptr) *ambiguous = true;
        found = &option;
    }
    return *ambiguous ? nullptr : found;
}

// One "--name" or "--name=value" argument; *index moves past a separate value.
ParseResult parseLongOption(int argc, const char* const* argv, int* index, CliOptions* options,
                            std::string* errorText)
{
    const std::string argument = argv[*index];
    const size_t equals = argument.find('=');
    const std::string name = argument.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
    bool ambiguous = false;
    const LongOption* option = findLongOption(name, &ambiguous);
    if (option == nullptr) {
        *errorText = "option '--" + name + (ambiguous ? "' is ambiguous\n" : "' is not known\n");
        return ParseResult::Usage;
    }
    const std::string fullName = option->name;
    if (option->code == kOptHelp && equals == std::string::npos) return ParseResult::Help;
    if (option->optionalValue) {
        return applyOption(option->code, equals != std::string::npos ? argv[*index] + equals + 1 : nullptr, options,
                           errorText);
    }
    if (!option->takesValue) {
        if (equals != std::string::npos) {
            *errorText = "option '--" + fullName + "' doesn't allow an argument\n";
            return ParseResult::Usage;
        }
        return applyOption(option->code, nullptr, options, errorText);
    }
    const char* value = nullptr;
    if (equals != std::string::npos) {
        value = argv[*index] + equals + 1;
    } else if (*index + 1 < argc) {
        value = argv[++*index];
    } else {
        *errorText = "option '--" + fullName + "' requires an argument\n";
        return ParseResult::Usage;
    }
    return applyOption(option->code, value, options, errorText);
}

// One argument of short options ("-qd", "-o0x400", "-o" with the next argument).
ParseResult parseShortOptions(int argc, const char* const* argv, int* index, CliOptions* options,
                              std::string* errorText)
{
    const char* argument = argv[*index];
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
        } else if (*index + 1 < argc) {
            value = argv[++*index];
        } else {
            *errorText = optionMessage("option requires an argument", letter);
            return ParseResult::Usage;
        }
        return applyOption(letter, value, options, errorText); // the value used up the rest of this argument
    }
    return ParseResult::Run;
}

std::string joined(const std::vector<std::string>& words)
{
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
    return text;
}

// Operands of a command that takes none: the user meant something else, and
// running anyway would overwrite ./image.bin or erase the whole flash.
std::string operandMessage(const CliOptions& options)
{
    const std::string operands = joined(options.operands);
    const std::string& first = options.operands.front();
    if (options.unprotect) return "--unprotect takes no operand: " + operands + "\n";
    switch (options.command) {
    case STM32_CMD_DOWNLOAD:
        return "-d takes no operand: " + operands + "\n" + "the file a download writes is named with -f: did you mean -f " +
               first + "?\n";
    case STM32_CMD_ERASE:
        return "-e takes no operand: " + operands + "\n" +
               "-e erases flash (all of it, or -s bytes from -o on); to program " + first +
               ", leave out -e (an upload erases what it writes)\n";
    default:
        return "-l takes no operand: " + operands + "\n";
    }
}

std::string commandOnlyMessage(const char* option, const char* command)
{
    return std::string(option) + " works with " + command + " only\n";
}

bool fail(std::string* errorText, const std::string& message)
{
    *errorText = message;
    return false;
}

bool checkUnprotect(const CliOptions& options, std::string* errorText)
{
    if (!options.unprotect) {
        if (options.force) return fail(errorText, "--force goes with --unprotect only\n");
        return true;
    }
    if (options.commandLetter != 0) {
        return fail(errorText, std::string("--unprotect is a command of its own: leave out -") + options.commandLetter +
                                   "\n");
    }
    if (options.allBoards || options.skipUnchanged || options.noStart) {
        return fail(errorText, "--unprotect cannot be combined with --all, -k or --no-start\n");
    }
    if (!options.force) {
        return fail(errorText,
                    "--unprotect removes the read protection of the board's flash: the board erases ALL of its flash\n"
                    "(program and data, nothing can be read back afterwards) and restarts.\n"
                    "Add --force to do this.\n");
    }
    return true;
}

// -p, --json, --wait and --watch.
bool checkProductionLine(const CliOptions& options, std::string* errorText)
{
    if (options.portPathGiven && (options.serialGiven || options.targetChoiceGiven)) {
        return fail(errorText, "-p chooses the board by its USB port path: leave out -S and -i\n");
    }
    if (options.allBoards && options.portPathGiven) return fail(errorText, "--all uploads to every board: leave out -p\n");
    if (options.watch && !options.allBoards) {
        return fail(errorText, "--watch goes with --all: stm32cmd --all --watch FILE programs every board that arrives\n");
    }
    if (options.watch && options.waitSeconds > 0) {
        return fail(errorText, "--watch waits for boards itself: leave out --wait\n");
    }
    if (options.json && options.unprotect) return fail(errorText, "--json reports -l, -u, -d and -e only\n");
    return true;
}

// The usage text's exit-code lines, by status.
constexpr const char* kExitCodeLines[] = {
    " 0: Success\n",
    " 1: No Device\n",
    " 2: Device Read Error\n",
    " 3: Device Write Error\n",
    " 4: Device Erase Error\n",
    " 5: Firmware Verify Error\n",
    " 6: USB Error\n",
    " 7: Parameter Error (command line arguments)\n",
    " 8: Unix Error (out of memory etc)\n",
    " 9: Offset Alignment Error\n",
    "10: Invalid Start Address\n",
    "11: Read File Error\n",
    "12: Write File Error\n",
    "13: Firmware Too Big\n",
    "14: Read Protected\n",
};

} // namespace

std::string exitStatusWords(int status)
{
    constexpr int kCount = static_cast<int>(sizeof kExitCodeLines / sizeof kExitCodeLines[0]);
    if (status < 0 || status >= kCount) return std::string();
    const std::string line = kExitCodeLines[status];
    return line.substr(4, line.size() - 5); // after "NN: ", without the line break
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
        const ParseResult result = argument[1] == '-' ? parseLongOption(argc, argv, &index, options, errorText)
                                                      : parseShortOptions(argc, argv, &index, options, errorText);
        if (result != ParseResult::Run) return result;
    }
    for (; index < argc; ++index) options->operands.emplace_back(argv[index]);
    return ParseResult::Run;
}

bool checkCombinations(const CliOptions& options, std::string* errorText)
{
    errorText->clear();
    const bool upload = options.command == STM32_CMD_UPLOAD && !options.unprotect;
    if (!upload && !options.operands.empty()) return fail(errorText, operandMessage(options));
    if (!checkUnprotect(options, errorText)) return false;
    if (options.serialGiven && options.targetChoiceGiven) {
        return fail(errorText, "-S and -i both choose the board: give one of them\n");
    }
    if (options.allBoards && (options.serialGiven || options.targetChoiceGiven)) {
        return fail(errorText, "--all uploads to every board: leave out -S and -i\n");
    }
    if (!upload) {
        if (options.allBoards) return fail(errorText, commandOnlyMessage("--all", "an upload"));
        if (options.skipUnchanged) return fail(errorText, commandOnlyMessage("-k", "an upload"));
        if (options.noStart) return fail(errorText, commandOnlyMessage("--no-start", "an upload"));
    }
    if (options.verbose && options.command != STM32_CMD_LIST) return fail(errorText, commandOnlyMessage("-v", "-l"));
    return checkProductionLine(options, errorText);
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
    text += "-S serial number of the target (instead of -i)\n";
    text += "-v with -l: index, ID, serial, product, bcdDevice, flash layout and transfer size\n";
    text += "-k, --skip-unchanged leave pages alone that already hold the image\n";
    text += "--all upload the image to every connected target, all at once\n";
    text += "--no-start program and verify, then stay in DFU mode\n";
    text += "--trace every DFU request and reply on standard error (also STM32_DEBUG=1)\n";
    text += "--unprotect --force remove read protection: the target erases all its flash\n";
    text += "-p, --path PATH the target at this USB port path (as lsusb -t and dfu-util -p write it, 1-2.3)\n";
    text += "--all --watch program every target that arrives, once each, until Ctrl-C\n";
    text += "--json -l: the targets as JSON; -u, -d, -e: one JSON object per target (log on standard error)\n";
    text += "-w, --wait[=SECONDS] wait up to SECONDS (default 10) for the target to appear\n";
    text += "--help this text on standard output\n";
    text += "Example:\n";
    text += "To flash the device with the file \"myprog.bin\":\n";
    text += name + " myprog.bin\n";
    text += "To flash the device with the file \"myprog.bin\" at (hex)address 8000400:\n";
    text += name + " -o 0x400 myprog.bin\n";
    text += "Exit codes:\n";
    for (const char* line : kExitCodeLines) text += line;
    return text;
}

} // namespace cli
