#include "all_boards.h"

#include <cstdio>
#include <vector>

#include "board_choice.h"
#include "console.h"
#include "exit_status.h"
#include "run_command.h"
#include "targets.h"

namespace cli {

namespace {

std::string resultLine(const std::string& serial, int status)
{
    std::string line = "Board " + serial + ": ";
    if (status == 0) return line + "OK\n";
    const std::string words = exitStatusWords(status);
    return line + "failed, exit status " + std::to_string(status) + (words.empty() ? "" : " (" + words + ")") + "\n";
}

// Serial numbers name the boards of --all: each leaves the bus after its
// upload, so list positions move.
int collectSerials(const std::vector<BoardEntry>& boards, std::vector<std::string>* serials)
{
    for (const BoardEntry& board : boards) {
        const std::string serial = board.detailsRead ? board.details.serial : "";
        bool repeated = false;
        for (const std::string& seen : *serials) repeated = repeated || seen == serial;
        if (serial.empty() || repeated) {
            std::fprintf(stderr, "--all needs a distinct serial number on every board; %s\n",
                         serial.empty() ? ("board -i " + std::to_string(board.choice) + " has none").c_str()
                                        : ("\"" + serial + "\" appears twice").c_str());
            return kExitParameterError;
        }
        serials->push_back(serial);
    }
    return 0;
}

// One upload to the board with this serial number, wherever it is listed now.
int uploadToSerial(Stm32Context* context, const CliOptions& options, const std::string& programName,
                   const std::string& serial)
{
    const std::vector<BoardEntry> boards = listBoards(context, true);
    const int found = findBySerial(boards, serial);
    if (found < 0) return kExitNoDevice;
    Target target;
    target.board = boards[static_cast<size_t>(found)];
    if (const int status = readFlashLayout(context, &target); status != 0) return status;
    return runCommand(context, options, programName, target);
}

} // namespace

int listDetails(Stm32Context* context, const CliOptions& options)
{
    std::vector<BoardEntry> boards;
    if (const int status = listConnectedBoards(context, true, &boards); status != 0) return status;
    for (const BoardEntry& board : boards) say(options, detailsLine(board) + "\n");
    return kExitSuccess;
}

int uploadToAll(Stm32Context* context, const CliOptions& options, const std::string& programName)
{
    std::vector<BoardEntry> boards;
    if (const int status = listConnectedBoards(context, true, &boards); status != 0) return status;
    if (lacksImageOperand(options)) return showUsage(programName, std::string());
    std::vector<std::string> serials;
    if (const int status = collectSerials(boards, &serials); status != 0) return status;
    int firstFailure = kExitSuccess;
    for (const std::string& serial : serials) {
        const int status = uploadToSerial(context, options, programName, serial);
        say(options, resultLine(serial, status));
        if (firstFailure == kExitSuccess) firstFailure = status;
    }
    return firstFailure;
}

} // namespace cli
