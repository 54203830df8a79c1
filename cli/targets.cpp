#include "targets.h"

#include <cstdio>
#include <new>

#include "open_failure.h"
#include "target_choice.h"

namespace cli {

namespace {

std::string quoted(const char* text) { return std::string("\"") + text + "\""; }

std::string boardName(const BoardEntry& board)
{
    std::string name = "the board -i " + std::to_string(board.choice) + " (ID:" + std::to_string(board.listId);
    if (!board.path.empty()) name += ", path " + board.path;
    if (board.detailsRead && board.details.serial[0] != '\0') name += ", serial " + std::string(board.details.serial);
    return name + ")";
}

} // namespace

std::vector<BoardEntry> listBoards(Stm32Context* context, bool withDetails)
{
    Stm32ScopedTargetList targets;
    if (stm32ListTargets(context, &targets.list) < 0) throw std::bad_alloc();
    std::vector<BoardEntry> boards;
    for (int32_t i = 0; i < targets.list.count; ++i) {
        BoardEntry board;
        board.choice = i;
        board.listId = targets.list.indices[i];
        char path[sizeof(Stm32DeviceDetails::portPath)] = {};
        if (stm32GetPortPath(context, board.listId, path, sizeof path) > 0) board.path = path;
        if (withDetails) board.detailsRead = stm32GetDeviceDetails(context, board.listId, &board.details) != 0;
        boards.push_back(board);
    }
    return boards;
}

int findBySerial(const std::vector<BoardEntry>& boards, const std::string& serial)
{
    for (size_t i = 0; i < boards.size(); ++i) {
        if (boards[i].detailsRead && serial == boards[i].details.serial) return static_cast<int>(i);
    }
    return -1;
}

std::vector<size_t> allWithSerial(const std::vector<BoardEntry>& boards, const std::string& serial)
{
    std::vector<size_t> found;
    for (size_t i = 0; i < boards.size(); ++i) {
        if (boards[i].detailsRead && serial == boards[i].details.serial) found.push_back(i);
    }
    return found;
}

int findByPath(const std::vector<BoardEntry>& boards, const std::string& path)
{
    for (size_t i = 0; i < boards.size(); ++i) {
        if (!boards[i].path.empty() && boards[i].path == path) return static_cast<int>(i);
    }
    return -1;
}

std::string boardLabel(const BoardEntry& board)
{
    if (!board.path.empty()) return board.path;
    if (board.detailsRead && board.details.serial[0] != '\0') return board.details.serial;
    return "ID:" + std::to_string(board.listId);
}

std::string detailsLine(const BoardEntry& board)
{
    std::string line = "-i " + std::to_string(board.choice) + "  ID:" + std::to_string(board.listId);
    if (!board.path.empty()) line += "  path " + board.path;
    if (!board.detailsRead) return line + "  (gone before its details were read)";
    const Stm32DeviceDetails& details = board.details;
    char bcd[16];
    std::snprintf(bcd, sizeof bcd, "0x%04X", static_cast<unsigned>(details.bcdDevice));
    if (details.openResult != 0) {
        line += "  (cannot open: " + std::string(stm32OpenFailureWords(details.openResult)) + ")";
    } else {
        line += "  serial " + quoted(details.serial) + "  product " + quoted(details.product);
    }
    line += "  bcdDevice " + std::string(bcd) + "  transfer size " + std::to_string(details.transferSize);
    if (details.openResult == 0) line += "  layout " + quoted(details.layout);
    return line;
}

std::string unreadableLayoutMessage(const BoardEntry& board)
{
    const std::string name = boardName(board);
    if (!board.detailsRead) return "The flash layout of " + name + " cannot be read: the board is gone.\n";
    const Stm32DeviceDetails& details = board.details;
    if (details.openResult != 0) {
        const char* hint = stm32OpenFailureHint(details.openResult);
        return "The flash layout of " + name + " cannot be read: the board cannot be opened (" +
               stm32OpenFailureWords(details.openResult) + ").\n" + (hint != nullptr ? hint + std::string("\n") : "");
    }
    if (details.layout[0] == '\0') {
        return "The flash layout of " + name +
               " cannot be read: it names no \"@Internal Flash\" memory; is it an STM32 in its system bootloader?\n";
    }
    return "The flash layout of " + name + " cannot be read: " + quoted(details.layout) + "\n";
}

} // namespace cli
