#include "board_wait.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "console.h"
#include "exit_status.h"
#include "targets.h"

namespace cli {

namespace {

// Often enough that a script loses little time, rarely enough that opening
// boards for their serial numbers costs nothing worth noting.
constexpr std::chrono::milliseconds kPollInterval{200};

bool chosenBoardIsThere(Stm32Context* context, const CliOptions& options)
{
    if (options.serialGiven) return findBySerial(listBoards(context, true), options.serial) >= 0;
    const std::vector<BoardEntry> boards = listBoards(context, false);
    if (options.portPathGiven) return findByPath(boards, options.portPath) >= 0;
    if (options.targetChoiceGiven) return options.targetChoice >= 0 && boards.size() > size_t(options.targetChoice);
    return !boards.empty();
}

std::string whatIsAwaited(const CliOptions& options)
{
    if (options.serialGiven) return "the board with serial number \"" + options.serial + "\"";
    if (options.portPathGiven) return "the board at USB port path " + options.portPath;
    if (options.targetChoiceGiven) return "board -i " + std::to_string(options.targetChoice);
    return "a board";
}

std::string secondsText(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

} // namespace

int waitForBoard(Stm32Context* context, const CliOptions& options)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(options.waitSeconds);
    if (chosenBoardIsThere(context, options)) return kExitSuccess;
    say(options, "Waiting up to " + secondsText(options.waitSeconds) + " s for " + whatIsAwaited(options) + "...\n");
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(kPollInterval);
        if (chosenBoardIsThere(context, options)) return kExitSuccess;
    }
    std::fprintf(stderr, "%s did not appear within %s s\n", whatIsAwaited(options).c_str(),
                 secondsText(options.waitSeconds).c_str());
    return kExitNoDevice;
}

} // namespace cli
