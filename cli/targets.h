// The connected boards as stm32cmd shows and chooses them: by the index that
// -i takes, or by serial number.
#ifndef STM32_CLI_TARGETS_H
#define STM32_CLI_TARGETS_H

#include "stm32.h"

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

struct BoardEntry {
    int32_t choice = 0;  // the number -i takes
    int32_t listId = -1; // position in the USB device list, "ID:" of -l
    std::string path;    // USB port path ("1-2.3"), empty when unknown; read without opening the board
    bool detailsRead = false;
    Stm32DeviceDetails details{};
};

// Every connected target in list order (a board that left between counting
// and listing is left out). Details open each board, so only when asked.
// Throws std::bad_alloc when memory is short.
std::vector<BoardEntry> listBoards(Stm32Context* context, bool withDetails);

// Position in boards of the one with this serial number, or -1.
int findBySerial(const std::vector<BoardEntry>& boards, const std::string& serial);

// Positions in boards of every one with this serial number (several real ROMs share one).
std::vector<size_t> allWithSerial(const std::vector<BoardEntry>& boards, const std::string& serial);

// Position in boards of the one at this USB port path, or -1.
int findByPath(const std::vector<BoardEntry>& boards, const std::string& path);

// What names the board to a user who has to act on it: its port path, else
// its serial, else its list ID.
std::string boardLabel(const BoardEntry& board);

// "-i 0  ID:3  path 1-2  serial ...": one line of -l -v, without its line break.
std::string detailsLine(const BoardEntry& board);

// Why the flash layout of a board cannot be used, with its line breaks (and a
// hint line when the user can do something about it).
std::string unreadableLayoutMessage(const BoardEntry& board);

} // namespace cli

#endif
