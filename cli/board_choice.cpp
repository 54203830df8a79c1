#include "board_choice.h"

#include <cstdio>
#include <string>
#include <vector>

#include "exit_status.h"

namespace cli {

namespace {

std::string indexAndPath(const BoardEntry& board)
{
    return "-i " + std::to_string(board.choice) + (board.path.empty() ? "" : ", path " + board.path);
}

std::string connectedSerials(const std::vector<BoardEntry>& boards)
{
    std::string text;
    for (const BoardEntry& board : boards) {
        text += text.empty() ? "" : ", ";
        text += std::string("\"") + board.details.serial + "\" (" + indexAndPath(board) + ")";
    }
    return text;
}

std::string connectedPaths(const std::vector<BoardEntry>& boards)
{
    std::string text;
    for (const BoardEntry& board : boards) {
        text += text.empty() ? "" : ", ";
        text += (board.path.empty() ? "(path unknown)" : board.path) + " (-i " + std::to_string(board.choice) + ")";
    }
    return text;
}

// Real ROMs of a family often share one serial: taking the first of them
// would program a board nobody chose.
int refuseSharedSerial(const std::vector<BoardEntry>& boards, const std::vector<size_t>& matching,
                       const std::string& serial)
{
    std::string list;
    for (size_t position : matching) {
        list += list.empty() ? "" : ", ";
        list += (boards[position].path.empty() ? "path unknown" : boards[position].path) + " (-i " +
                std::to_string(boards[position].choice) + ")";
    }
    std::fprintf(stderr, "%zu boards share the serial number \"%s\": %s\nchoose one by its USB port path with -p\n",
                 matching.size(), serial.c_str(), list.c_str());
    return kExitParameterError;
}

int chooseBySerial(const std::vector<BoardEntry>& boards, const std::string& serial, BoardEntry* chosen)
{
    const std::vector<size_t> matching = allWithSerial(boards, serial);
    if (matching.empty()) {
        std::fprintf(stderr, "no board with serial number \"%s\"; connected: %s\n", serial.c_str(),
                     connectedSerials(boards).c_str());
        return kExitParameterError;
    }
    if (matching.size() > 1) return refuseSharedSerial(boards, matching, serial);
    *chosen = boards[matching.front()];
    return 0;
}

int chooseByPath(const std::vector<BoardEntry>& boards, const std::string& path, BoardEntry* chosen)
{
    const int found = findByPath(boards, path);
    if (found < 0) {
        std::fprintf(stderr, "no board at USB port path \"%s\"; connected: %s\n", path.c_str(),
                     connectedPaths(boards).c_str());
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
    int status = 0;
    if (options.serialGiven) status = chooseBySerial(boards, options.serial, chosen);
    else if (options.portPathGiven) status = chooseByPath(boards, options.portPath, chosen);
    else status = chooseByIndex(boards, options.targetChoice, chosen);
    // From here on the board is reached by where it sits: list positions
    // move when any board arrives or leaves.
    if (status == 0) stm32SetTargetPath(context, chosen->path.c_str());
    return status;
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
