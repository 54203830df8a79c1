// Choosing the board of a run (-i or -S) and reading its flash layout.
#ifndef STM32_CLI_BOARD_CHOICE_H
#define STM32_CLI_BOARD_CHOICE_H

#include <vector>

#include "options.h"
#include "stm32.h"
#include "targets.h"

namespace cli {

// What a run needs to know about the chosen board.
struct Target {
    BoardEntry board;
    FlashInfo flash{};
};

// Every connected board, with its details when asked (they open each board);
// returns 0, or status 8 after "no device connected".
int listConnectedBoards(Stm32Context* context, bool withDetails, std::vector<BoardEntry>* boards);

// Picks the board of -S, -p or -i and pins the context to its port path;
// returns 0, or the exit status after its message (a serial that several
// boards share is refused: status 7).
int chooseBoard(Stm32Context* context, const CliOptions& options, BoardEntry* chosen);

// The flash layout of the board; returns 0, or status 8 after saying why it cannot be read.
int readFlashLayout(Stm32Context* context, Target* target);

} // namespace cli

#endif
