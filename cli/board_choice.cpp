#include "board_choice.h"

#include <cstdio>
#include <string>
#include <vector>

#include "exit_status.h"

namespace cli {

namespace {

std::string connectedSerials(const std::vector<BoardEntry>& boards)
{
    std::string text;
    for (const BoardEntry& board : boards) {
        text += text.empty() ? "" : ", ";
        text += std::string("\"") + board.details.serial + "\" (-i " + std::to_string(board.choice) + ")";
    }
    return text;
}

int chooseBySerial(const std::vector<BoardEntry>& boards, const std::string& serial, BoardEntry* chosen)
{
    const int found = findBySerial(boards, serial);
    if (found < 0) {
        std::fprintf(stderr, "no board with serial number \"%s\"; connected: %s\n", serial.c_str(),
                     connectedSerials(boards).c_str());
        return kExitParameterError;
    }
    *chosen = boards[static_cast<size_t>(found)];
    return 0;
}

int chooseByIndex(const std::vector<BoardEntry>& boards, int32_t choice, BoardEntry* chosen)
{
    const int32_t count = static_cast<int32_t>(boards.size());
    if (choice < 0 || choice >= count) {
        std::fprintf(stderr, "index %d out of range: %d target(s) connected (index 0 to %d)\n",
                     static_cast<int>(choice), static_cast<int>(count), static_cast<int>(count - 1));
        return kExitParameterError;
    }
    *chosen = boards[static_cast<size_t>(choice)];
    return 0;
}

} // namespace

int listConnectedBoards(Stm32Context* context, bool withDetails, std::vector<BoardEntry>* boards)
{
    *boards = listBoards(context, withDetails);
    if (!boards->empty()) return 0;
    std::fputs("no device connected\n", stderr);
    return kExitSystemError;
}

int chooseBoard(Stm32Context* context, const CliOptions& options, BoardEntry* chosen)
{
    // Only a serial number needs the details.
    std::vector<BoardEntry> boards;
    if (const int status = listConnectedBoards(context, options.serialGiven, &boards); status != 0) return status;
    if (options.serialGiven) return chooseBySerial(boards, options.serial, chosen);
    return chooseByIndex(boards, options.targetChoice, chosen);
}

int readFlashLayout(Stm32Context* context, Target* target)
{
    if (stm32GetFlashInfo(context, target->board.listId, &target->flash) != 0 && target->flash.flashSize > 0) return 0;
    BoardEntry& board = target->board;
    if (!board.detailsRead) board.detailsRead = stm32GetDeviceDetails(context, board.listId, &board.details) != 0;
    std::fputs(unreadableLayoutMessage(board).c_str(), stderr);
    return kExitSystemError;
}

} // namespace cli
