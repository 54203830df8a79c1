// Command-line options of stm32cmd: the classic getopt scan with a few long
// options beside it and the checks of option combinations,
// with no input or output so that every platform behaves alike.
#ifndef STM32_CLI_OPTIONS_H
#define STM32_CLI_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

// The classic letters first; S, v and k were added beside them, then p and w.
constexpr const char* kOptionString = "ludeo:s:i:f:qh?S:vkp:w";

// --wait without a number, and -w: seconds.
constexpr double kDefaultWaitSeconds = 10;

// Size value meaning "the whole flash".
constexpr int32_t kWholeFlash = -1;

struct CliOptions {
    uint32_t command = 0;    // STM32_CMD_UPLOAD
    char commandLetter = 0;  // the last of -l, -u, -d, -e given, or 0
    bool quiet = false;
    uint32_t offset = 0;
    int32_t size = kWholeFlash;
    int32_t targetChoice = 0;
    bool targetChoiceGiven = false;
    std::string downloadFile = "image.bin";
    bool downloadFileGiven = false;
    std::string serial; // -S
    bool serialGiven = false;
    bool verbose = false;       // -v: -l shows the details of every board
    bool allBoards = false;     // --all
    bool skipUnchanged = false; // -k
    bool noStart = false;       // --no-start
    bool trace = false;         // --trace
    bool unprotect = false;     // --unprotect
    bool force = false;         // --force
    // Boards of a production line.
    std::string portPath; // -p, --path: the board at this USB port path
    bool portPathGiven = false;
    bool json = false;        // --json: results for scripts on standard output
    double waitSeconds = 0;   // -w, --wait[=SECONDS]: wait for the board first; 0: no wait
    bool watch = false;       // --watch (with --all): program every board that arrives
    std::vector<std::string> operands;
};

enum class ParseResult {
    Run,   // options are complete; run the command
    Usage, // -h, -?, or a bad option described in errorText: usage text on standard error, status 7
    Help,  // --help: usage text on standard output, status 0
    Error, // errorText alone on standard error, status 7
};

// Parses argv[1..argc-1]. errorText receives the complete message of a bad
// option (with its line break), or stays empty.
ParseResult parseOptions(int argc, const char* const* argv, CliOptions* options, std::string* errorText);

// Combinations that cannot run (operands of commands that take none, options
// that belong to another command). False with the message and its hints.
bool checkCombinations(const CliOptions& options, std::string* errorText);

// The words of an exit status as the usage text lists them (" 3: Device
// Write Error" gives "Device Write Error"); empty for a status it does not list.
std::string exitStatusWords(int status);

// The usage text, line by line; programName stands where the program was started.
std::string usageText(const std::string& programName);

} // namespace cli

#endif
