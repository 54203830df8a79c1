// stm32cmd's option scan and its numbers.
//
// The input is split at NUL bytes into arguments. The scan must agree with
// the C library's getopt_long in strict POSIX order ("+" prefix), which is
// what the classic rules describe; the numbers must agree with a plain
// reference reading (decimal through strtoll, hexadecimal digit by digit),
// where the whole text has to be the number.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "number_entry.h"
#include "options.h"

namespace {

constexpr size_t kMaxArguments = 64;

Stm32NumberStatus referenceDecimal(const char* text, int64_t* value) {
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(text, &end, 10);
    if (end == text) return STM32_NUMBER_NO_DIGITS;
    if (*end != '\0') return STM32_NUMBER_TRAILING_TEXT;
    if (errno == ERANGE || parsed < INT32_MIN || parsed > INT32_MAX) return STM32_NUMBER_OUT_OF_RANGE;
    *value = parsed;
    return STM32_NUMBER_OK;
}

Stm32NumberStatus referenceHex(const char* digits, uint64_t* value) {
    size_t run = std::strspn(digits, "0123456789abcdefABCDEF");
    if (run == 0) return STM32_NUMBER_NO_DIGITS;
    if (digits[run] != '\0') return STM32_NUMBER_TRAILING_TEXT;
    size_t zeros = 0;
    while (zeros + 1 < run && digits[zeros] == '0') ++zeros;
    if (run - zeros > 8) return STM32_NUMBER_OUT_OF_RANGE;
    *value = std::strtoull(std::string(digits + zeros, run - zeros).c_str(), nullptr, 16);
    return STM32_NUMBER_OK;
}

Stm32NumberStatus referenceNumber(const char* text, uint32_t* value) {
    if (text[0] == '0' && text[1] == 'x') {
        uint64_t hex = 0;
        const Stm32NumberStatus status = referenceHex(text + 2, &hex);
        if (status == STM32_NUMBER_OK) *value = static_cast<uint32_t>(hex);
        return status;
    }
    int64_t decimal = 0;
    const Stm32NumberStatus status = referenceDecimal(text, &decimal);
    if (status == STM32_NUMBER_OK) *value = static_cast<uint32_t>(decimal);
    return status;
}

void checkNumber(const char* text) {
    uint32_t got = 0x5A5A5A5A;
    uint32_t expected = 0x5A5A5A5A;
    FUZZ_CHECK(stm32ParseOptionNumber(text, &got) == referenceNumber(text, &expected));
    FUZZ_CHECK(got == expected);
    int32_t decimal = 0x5A5A5A5A;
    int64_t expectedDecimal = 0x5A5A5A5A;
    FUZZ_CHECK(stm32ParseOptionDecimal(text, &decimal) == referenceDecimal(text, &expectedDecimal));
    FUZZ_CHECK(decimal == expectedDecimal);
}

// The same settings, reached through the C library's getopt_long.
struct Reference {
    cli::ParseResult result = cli::ParseResult::Run;
    cli::CliOptions options;
    std::string error;
};

enum : int { kAll = 1, kNoStart, kHelp, kJson, kWatch };

const struct option kLongOptions[] = {
    {"help", no_argument, nullptr, kHelp},           {"list", no_argument, nullptr, 'l'},
    {"verbose", no_argument, nullptr, 'v'},          {"serial", required_argument, nullptr, 'S'},
    {"all", no_argument, nullptr, kAll},             {"skip-unchanged", no_argument, nullptr, 'k'},
    {"no-start", no_argument, nullptr, kNoStart},    {"trace", no_argument, nullptr, 'T'},
    {"unprotect", no_argument, nullptr, 'U'},        {"force", no_argument, nullptr, 'F'},
    {"path", required_argument, nullptr, 'p'},       {"json", no_argument, nullptr, kJson},
    {"wait", optional_argument, nullptr, 'w'},       {"watch", no_argument, nullptr, kWatch},
    {nullptr, 0, nullptr, 0},
};

bool fail(Reference* ref, cli::ParseResult result, const std::string& error) {
    ref->result = result;
    ref->error = error;
    return false;
}

bool applyNumber(char letter, const char* value, Reference* ref) {
    Stm32NumberStatus status = STM32_NUMBER_OK;
    if (letter == 'i') {
        int64_t number = 0;
        status = referenceDecimal(value, &number);
        if (status == STM32_NUMBER_OK) {
            ref->options.targetChoice = static_cast<int32_t>(number);
            ref->options.targetChoiceGiven = true;
        }
    } else {
        uint32_t number = 0;
        status = referenceNumber(value, &number);
        if (status == STM32_NUMBER_OK) {
            if (letter == 'o') ref->options.offset = number;
            else ref->options.size = static_cast<int32_t>(number);
        }
    }
    if (status == STM32_NUMBER_OUT_OF_RANGE) {
        return fail(ref, cli::ParseResult::Usage, std::string("number out of range -- ") + value + "\n");
    }
    if (status != STM32_NUMBER_OK) {
        const char* form = letter == 'i' ? "a decimal number" : "decimal, or hexadecimal after a lower-case \"0x\"";
        return fail(ref, cli::ParseResult::Error,
                    std::string("-") + letter + ": not a number: \"" + value + "\" (" + form + ")\n");
    }
    return true;
}

// --wait's seconds: digits, an optional '.' and digits, nothing else; 0 < s <= 86400.
bool referenceSeconds(const char* text, double* seconds) {
    std::string digits;
    bool point = false;
    for (const char* at = text; *at != '\0'; ++at) {
        if (*at == '.' && !point) {
            point = true;
        } else if (*at >= '0' && *at <= '9') {
            digits += *at;
        } else {
            return false;
        }
    }
    if (digits.empty()) return false;
    *seconds = std::strtod(text, nullptr);
    return *seconds > 0 && *seconds <= 86400;
}

// One option as getopt_long returned it; false when the scan ends with an error.
bool applyReference(int c, Reference* ref) {
    cli::CliOptions& o = ref->options;
    switch (c) {
    case 'l': o.command = 3; o.commandLetter = 'l'; break;
    case 'u': o.command = 0; o.commandLetter = 'u'; break;
    case 'd': o.command = 1; o.commandLetter = 'd'; break;
    case 'e': o.command = 2; o.commandLetter = 'e'; break;
    case 'q': o.quiet = true; break;
    case 'v': o.verbose = true; break;
    case 'k': o.skipUnchanged = true; break;
    case kAll: o.allBoards = true; break;
    case kNoStart: o.noStart = true; break;
    case 'T': o.trace = true; break;
    case 'U': o.unprotect = true; break;
    case 'F': o.force = true; break;
    case kJson: o.json = true; break;
    case kWatch: o.watch = true; break;
    case 'p':
        if (*optarg == '\0') return fail(ref, cli::ParseResult::Error, "-p: the port path is empty\n");
        o.portPath = optarg;
        o.portPathGiven = true;
        break;
    case 'w':
        o.waitSeconds = 10;
        if (optarg != nullptr && !referenceSeconds(optarg, &o.waitSeconds)) {
            return fail(ref, cli::ParseResult::Error,
                        std::string("--wait: not a number of seconds above 0 (at most 86400): \"") + optarg + "\"\n");
        }
        break;
    case 'f': o.downloadFile = optarg; o.downloadFileGiven = true; break;
    case 'S':
        if (*optarg == '\0') return fail(ref, cli::ParseResult::Error, "-S: the serial number is empty\n");
        o.serial = optarg;
        o.serialGiven = true;
        break;
    case 'o':
    case 's':
    case 'i': return applyNumber(static_cast<char>(c), optarg, ref);
    default: return fail(ref, cli::ParseResult::Usage, ""); // 'h' and '?'
    }
    return true;
}

Reference referenceScan(std::vector<std::string> arguments) {
    std::vector<char*> argv;
    for (std::string& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(argv.size() - 1);

    Reference ref;
    optind = 0; // full re-initialisation of glibc's scanner
    opterr = 0;
    for (;;) {
        // glibc leaves optopt stale for a valid '?', so '?' is left out of the
        // string: "-?" then comes back as an unknown option with optopt '?'.
        const int c = getopt_long(argc, argv.data(), "+:ludeo:s:i:f:qhS:vkp:w", kLongOptions, nullptr);
        if (c == -1) break;
        if (c == kHelp) {
            ref.result = cli::ParseResult::Help;
            return ref;
        }
        if (c == ':') {
            ref.error = std::string("option requires an argument -- ") + static_cast<char>(optopt) + "\n";
            ref.result = cli::ParseResult::Usage;
            return ref;
        }
        if (c == '?' && optopt != '?') {
            ref.error = std::string("illegal option -- ") + static_cast<char>(optopt) + "\n";
            ref.result = cli::ParseResult::Usage;
            return ref;
        }
        if (!applyReference(c, &ref)) return ref;
    }
    for (int i = optind; i < argc; ++i) ref.options.operands.emplace_back(argv[static_cast<size_t>(i)]);
    return ref;
}

// Long option messages are worded apart from glibc's; only their outcome is compared.
bool hasLongOption(const std::vector<std::string>& arguments) {
    for (size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i].size() > 2 && arguments[i].compare(0, 2, "--") == 0) return true;
    }
    return false;
}

std::vector<std::string> splitArguments(const uint8_t* data, size_t size) {
    std::vector<std::string> arguments{"stm32cmd"};
    std::string current;
    for (size_t i = 0; i < size && arguments.size() < kMaxArguments; ++i) {
        if (data[i] == 0) {
            arguments.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    if (arguments.size() < kMaxArguments) arguments.push_back(current);
    return arguments;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> arguments = splitArguments(data, size);
    for (size_t i = 1; i < arguments.size(); ++i) checkNumber(arguments[i].c_str());

    std::vector<const char*> argv;
    for (const std::string& a : arguments) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    cli::CliOptions options;
    std::string error = "stale";
    const cli::ParseResult result =
        cli::parseOptions(static_cast<int>(argv.size() - 1), argv.data(), &options, &error);

    const Reference ref = referenceScan(arguments);
    FUZZ_CHECK(result == ref.result);
    if (!hasLongOption(arguments)) FUZZ_CHECK(error == ref.error);
    if (result == cli::ParseResult::Run) {
        const cli::CliOptions& r = ref.options;
        FUZZ_CHECK(options.command <= 3);
        FUZZ_CHECK(options.command == r.command && options.commandLetter == r.commandLetter);
        FUZZ_CHECK(options.quiet == r.quiet && options.verbose == r.verbose);
        FUZZ_CHECK(options.offset == r.offset && options.size == r.size);
        FUZZ_CHECK(options.targetChoice == r.targetChoice && options.targetChoiceGiven == r.targetChoiceGiven);
        FUZZ_CHECK(options.downloadFile == r.downloadFile && options.downloadFileGiven == r.downloadFileGiven);
        FUZZ_CHECK(options.serial == r.serial && options.serialGiven == r.serialGiven);
        FUZZ_CHECK(options.skipUnchanged == r.skipUnchanged && options.noStart == r.noStart);
        FUZZ_CHECK(options.allBoards == r.allBoards && options.trace == r.trace);
        FUZZ_CHECK(options.unprotect == r.unprotect && options.force == r.force);
        FUZZ_CHECK(options.portPath == r.portPath && options.portPathGiven == r.portPathGiven);
        FUZZ_CHECK(options.json == r.json && options.watch == r.watch && options.waitSeconds == r.waitSeconds);
        FUZZ_CHECK(options.operands == r.operands);
        // The combination check decides on any settings without failing to answer.
        std::string refusal;
        FUZZ_CHECK(cli::checkCombinations(options, &refusal) == refusal.empty());
    }
    return 0;
}
