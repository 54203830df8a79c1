// stm32cmd: one command of the core library on one board (or an upload to
// every board), with an exit status for scripts. Library log lines go to
// standard output (standard error with --json, whose objects take standard
// output); the program's own errors and the usage text go to standard error.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "all_boards.h"
#include "board_choice.h"
#include "board_wait.h"
#include "board_worker.h"
#include "console.h"
#include "exit_status.h"
#include "options.h"
#include "run_command.h"
#include "station.h"
#include "stm32.h"

namespace {

struct ContextDeleter {
    void operator()(Stm32Context* context) const { stm32Exit(context); }
};
using ContextHandle = std::unique_ptr<Stm32Context, ContextDeleter>;

// False, with the exit status, when the options end the program before any
// board is looked at: the usage text, --help, a bad combination.
bool parseForRun(int argc, const char* const* argv, const std::string& programName, cli::CliOptions* options,
                 int* status)
{
    std::string errorText;
    switch (cli::parseOptions(argc, argv, options, &errorText)) {
    case cli::ParseResult::Usage:
        *status = cli::showUsage(programName, errorText);
        return false;
    case cli::ParseResult::Help:
        std::fputs(cli::usageText(programName).c_str(), stdout);
        *status = cli::kExitSuccess;
        return false;
    case cli::ParseResult::Error:
        std::fputs(errorText.c_str(), stderr);
        *status = cli::kExitParameterError;
        return false;
    case cli::ParseResult::Run: break;
    }
    if (!cli::checkCombinations(*options, &errorText)) {
        std::fputs(errorText.c_str(), stderr);
        *status = cli::kExitParameterError;
        return false;
    }
    return true;
}

// The chosen board: --unprotect, or the command once its layout is known.
int runOnChosenBoard(Stm32Context* context, const cli::CliOptions& options, const std::string& programName)
{
    cli::Target target;
    if (const int status = cli::chooseBoard(context, options, &target.board); status != 0) return status;
    // A read-protected board still names its layout, but removing the protection needs none of it.
    if (options.unprotect) return cli::exitStatusFor(stm32Unprotect(context, target.board.listId));
    const cli::ChosenBoardReport report(context, options, target.board);
    if (const int status = cli::readFlashLayout(context, &target); status != 0) return report.finish(status);
    if (cli::lacksImageOperand(options)) return cli::showUsage(programName, std::string());
    return report.finish(cli::runCommand(context, options, programName, target));
}

int run(int argc, const char* const* argv)
{
    const std::string programName = (argc > 0 && argv[0] != nullptr) ? argv[0] : "stm32cmd";
    cli::CliOptions options;
    int status = cli::kExitSuccess;
    if (!parseForRun(argc, argv, programName, &options, &status)) return status;

    ContextHandle context(stm32Init());
    if (!context) return cli::kExitSystemError;
    // Registered before the first call so that every line of the library shows.
    if (!options.quiet) stm32RegisterLogCallback(context.get(), nullptr, cli::consoleLog);
    if (options.trace) stm32SetTraceCallback(cli::traceToStandardError, nullptr);

    // Boards of a production line: the log beside JSON, waiting, the list as JSON, station mode.
    cli::sendHumanLogToStandardError(options.json);
    if (options.waitSeconds > 0) {
        if (const int waited = cli::waitForBoard(context.get(), options); waited != 0) return waited;
    }
    if (options.command == STM32_CMD_LIST && options.json) return cli::listJson(context.get(), options);
    if (options.allBoards && options.watch) return cli::watchAndProgram(context.get(), options, programName);

    if (options.command == STM32_CMD_LIST && options.verbose) return cli::listDetails(context.get(), options);
    if (options.allBoards) return cli::uploadToAll(context.get(), options, programName);
    return runOnChosenBoard(context.get(), options, programName);
}

// Lists of boards and texts are the only allocations that can throw.
int runGuarded(int argc, const char* const* argv)
{
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: %s\n", (argc > 0 && argv[0] != nullptr) ? argv[0] : "stm32cmd", std::strerror(ENOMEM));
        return cli::kExitSystemError;
    }
}

} // namespace

#ifdef _WIN32
namespace {
std::string narrow(const wchar_t* wide)
{
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return std::string();
    std::string utf8(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, &utf8[0], length, nullptr, nullptr);
    utf8.resize(static_cast<size_t>(length - 1));
    return utf8;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i) arguments.push_back(narrow(argv[i]));
    std::vector<const char*> pointers;
    for (const std::string& argument : arguments) pointers.push_back(argument.c_str());
    pointers.push_back(nullptr);
    return runGuarded(argc, pointers.data());
}
#else
int main(int argc, char** argv)
{
    return runGuarded(argc, argv);
}
#endif
