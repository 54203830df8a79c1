#include "all_boards.h"

#include <cstdio>
#include <thread>
#include <vector>

#include "board_choice.h"
#include "board_worker.h"
#include "console.h"
#include "exit_status.h"
#include "json_output.h"
#include "line_output.h"
#include "run_command.h"
#include "targets.h"

namespace cli {

namespace {

// Boards are told apart by port path while they come and go; without one
// (a platform that cannot tell) only a board that is alone can be reached.
int checkPortPaths(const std::vector<BoardEntry>& boards)
{
    if (boards.size() < 2) return 0;
    for (const BoardEntry& board : boards) {
        if (board.path.empty()) {
            std::fprintf(stderr, "--all: the USB port path of board -i %d is unknown, so boards cannot be told apart\n",
                         static_cast<int>(board.choice));
            return kExitParameterError;
        }
    }
    return 0;
}

// Nothing reaches any board when the image does not suit one of them.
int checkImage(Stm32Context* context, const CliOptions& options, const std::vector<BoardEntry>& boards)
{
    ImageCheck check(options);
    for (const BoardEntry& board : boards) {
        FlashInfo flash{};
        // A layout that does not read fails that board alone, in its turn.
        if (stm32GetFlashInfo(context, board.listId, &flash) == 0) continue;
        if (const int status = check.check(flash); status != 0) return status;
    }
    return 0;
}

std::vector<BoardResult> runOnEveryBoard(const CliOptions& options, const std::string& programName,
                                         const std::vector<BoardEntry>& boards)
{
    std::vector<BoardResult> results(boards.size());
    std::vector<std::thread> workers;
    for (size_t i = 0; i < boards.size(); ++i) {
        workers.emplace_back([&, i] {
            results[i] = runOnBoard(options, programName, boards[i]);
            reportResult(options, results[i]);
        });
    }
    for (std::thread& worker : workers) worker.join();
    return results;
}

} // namespace

int listDetails(Stm32Context* context, const CliOptions& options)
{
    std::vector<BoardEntry> boards;
    if (const int status = listConnectedBoards(context, true, &boards); status != 0) return status;
    for (const BoardEntry& board : boards) say(options, detailsLine(board) + "\n");
    return kExitSuccess;
}

int listJson(Stm32Context* context, const CliOptions& /*options*/)
{
    std::vector<BoardEntry> boards = listBoards(context, true);
    std::vector<ListedBoard> listed;
    for (const BoardEntry& board : boards) {
        ListedBoard entry;
        entry.board = board;
        entry.flashRead = stm32GetFlashInfo(context, board.listId, &entry.flash) != 0 && entry.flash.flashSize > 0;
        listed.push_back(entry);
    }
    writeJsonLine(boardListDocument(listed));
    if (boards.empty()) {
        std::fputs("no device connected\n", stderr);
        return kExitSystemError;
    }
    return kExitSuccess;
}

int uploadToAll(Stm32Context* context, const CliOptions& options, const std::string& programName)
{
    std::vector<BoardEntry> boards;
    if (const int status = listConnectedBoards(context, true, &boards); status != 0) return status;
    if (lacksImageOperand(options)) return showUsage(programName, std::string());
    if (const int status = checkPortPaths(boards); status != 0) return status;
    if (const int status = checkImage(context, options, boards); status != 0) return status;

    const std::vector<BoardResult> results = runOnEveryBoard(options, programName, boards);
    int firstFailure = kExitSuccess;
    int failed = 0;
    for (const BoardResult& result : results) {
        if (result.status == kExitSuccess) continue;
        ++failed;
        if (firstFailure == kExitSuccess) firstFailure = result.status;
    }
    say(options, summaryLine(static_cast<int>(results.size()) - failed, failed) + "\n");
    return firstFailure;
}

} // namespace cli
