// One command on one board among several (--all, --watch), in the calling
// thread: a context of its own pinned to the board's port path, the board's
// own log prefix, and what it did as a result line and a JSON object.
#ifndef STM32_CLI_BOARD_WORKER_H
#define STM32_CLI_BOARD_WORKER_H

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "json_output.h"
#include "options.h"
#include "stm32.h"
#include "targets.h"

namespace cli {

// Checks the upload's image once per flash geometry, before a board of that
// geometry is touched: a file that cannot be used stops everything at once,
// with one message.
class ImageCheck {
public:
    explicit ImageCheck(const CliOptions& options) : options_(options) {}
    // 0, or the exit status after the loader's lines on standard error.
    int check(const FlashInfo& flash);

private:
    const CliOptions& options_;
    std::vector<std::pair<uint32_t, int32_t>> good_; // start and size of geometries that passed
};

// Runs the command of options on the board (its serial is read when the list
// did not read it); log lines carry the prefix "[label] ".
BoardResult runOnBoard(const CliOptions& options, const std::string& programName, const BoardEntry& board);

// "Board 1-2.3 (serial 200364500000): OK, 3.2 s", or "...: failed, exit
// status 3 (Device Write Error), 1.0 s".
std::string resultLine(const BoardResult& result);

// The result line on the human log (unless quiet) and, with --json, the JSON object.
void reportResult(const CliOptions& options, const BoardResult& result);

// --json for the one board of a run without --all: the clock starts when it
// is made; finish() writes the JSON object (with --json) and passes the
// status on.
class ChosenBoardReport {
public:
    ChosenBoardReport(Stm32Context* context, const CliOptions& options, const BoardEntry& board);
    int finish(int status) const;

private:
    Stm32Context* context_;
    const CliOptions& options_;
    BoardResult result_;
    std::chrono::steady_clock::time_point started_;
};

// "Boards programmed: 3, failed: 1".
std::string summaryLine(int programmed, int failed);

} // namespace cli

#endif
