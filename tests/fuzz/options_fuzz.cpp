// stm32cmd's option scan and number parsing.
//
// The input is split at NUL bytes into arguments. The scan must agree with
// the C library's getopt in strict POSIX order ("+" prefix), which is what
// the classic rules describe; the numbers must agree with a plain reference
// reading (decimal through strtoll, hexadecimal digit by digit).
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "options.h"

namespace {

using cli::NumberResult;

constexpr size_t kMaxArguments = 64;

NumberResult referenceDecimal(const char* text, int64_t* value) {
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(text, &end, 10);
    if (end == text) return NumberResult::NoDigits;
    if (errno == ERANGE || parsed < INT32_MIN || parsed > INT32_MAX) return NumberResult::OutOfRange;
    *value = parsed;
    return NumberResult::Parsed;
}

NumberResult referenceHex(const char* digits, uint64_t* value) {
    size_t run = std::strspn(digits, "0123456789abcdefABCDEF");
    if (run == 0) return NumberResult::NoDigits;
    size_t zeros = 0;
    while (zeros + 1 < run && digits[zeros] == '0') ++zeros;
    if (run - zeros > 8) return NumberResult::OutOfRange;
    *value = std::strtoull(std::string(digits + zeros, run - zeros).c_str(), nullptr, 16);
    return NumberResult::Parsed;
}

void checkNumber(const char* text) {
    uint32_t got = 0x5A5A5A5A;
    const NumberResult result = cli::parseNumber(text, &got);
    if (text[0] == '0' && text[1] == 'x') {
        uint64_t expected = 0;
        FUZZ_CHECK(result == referenceHex(text + 2, &expected));
        FUZZ_CHECK(got == (result == NumberResult::Parsed ? expected : 0x5A5A5A5A));
    } else {
        int64_t expected = 0;
        FUZZ_CHECK(result == referenceDecimal(text, &expected));
        FUZZ_CHECK(got == (result == NumberResult::Parsed ? static_cast<uint32_t>(expected) : 0x5A5A5A5A));
    }
    int32_t decimal = 0x5A5A5A5A;
    int64_t expected = 0;
    const NumberResult decimalResult = cli::parseDecimal(text, &decimal);
    FUZZ_CHECK(decimalResult == referenceDecimal(text, &expected));
    FUZZ_CHECK(decimal == (decimalResult == NumberResult::Parsed ? expected : 0x5A5A5A5A));
}

// The same settings, reached through the C library's getopt.
struct Reference {
    cli::ParseResult result = cli::ParseResult::Run;
    cli::CliOptions options;
    std::string error;
};

bool applyNumber(char letter, const char* value, Reference* ref) {
    if (letter == 'i') {
        int32_t number = 0;
        NumberResult r = cli::parseDecimal(value, &number);
        if (r == NumberResult::OutOfRange) return false;
        if (r == NumberResult::Parsed) ref->options.targetChoice = number;
        return true;
    }
    uint32_t number = 0;
    NumberResult r = cli::parseNumber(value, &number);
    if (r == NumberResult::OutOfRange) return false;
    if (r == NumberResult::Parsed) {
        if (letter == 'o') ref->options.offset = number;
        else ref->options.size = static_cast<int32_t>(number);
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
        const int c = getopt(argc, argv.data(), "+:ludeo:s:i:f:qh");
        if (c == -1) break;
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
        switch (c) {
        case 'l': ref.options.command = 3; break;
        case 'u': ref.options.command = 0; break;
        case 'd': ref.options.command = 1; break;
        case 'e': ref.options.command = 2; break;
        case 'q': ref.options.quiet = true; break;
        case 'f': ref.options.downloadFile = optarg; break;
        case 'o':
        case 's':
        case 'i':
            if (!applyNumber(static_cast<char>(c), optarg, &ref)) {
                ref.error = std::string("number out of range -- ") + optarg + "\n";
                ref.result = cli::ParseResult::Usage;
                return ref;
            }
            break;
        default: // 'h' and '?'
            ref.result = cli::ParseResult::Usage;
            return ref;
        }
    }
    for (int i = optind; i < argc; ++i) ref.options.operands.emplace_back(argv[static_cast<size_t>(i)]);
    return ref;
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
    FUZZ_CHECK(error == ref.error);
    if (result == cli::ParseResult::Run) {
        FUZZ_CHECK(options.command <= 3);
        FUZZ_CHECK(options.command == ref.options.command);
        FUZZ_CHECK(options.quiet == ref.options.quiet);
        FUZZ_CHECK(options.offset == ref.options.offset);
        FUZZ_CHECK(options.size == ref.options.size);
        FUZZ_CHECK(options.targetChoice == ref.options.targetChoice);
        FUZZ_CHECK(options.downloadFile == ref.options.downloadFile);
        FUZZ_CHECK(options.operands == ref.options.operands);
    }
    return 0;
}
