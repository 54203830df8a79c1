// --wait: a board that is being reset into its bootloader is not there yet
// when the script runs; wait for it, bounded.
#ifndef STM32_CLI_BOARD_WAIT_H
#define STM32_CLI_BOARD_WAIT_H

#include "options.h"
#include "stm32.h"

namespace cli {

// Returns 0 as soon as the board the options choose is there: the one with
// the -S serial or at the -p path, board -i N, or else any board. Prints one
// line when it has to wait; after options.waitSeconds, status 1 with a message.
int waitForBoard(Stm32Context* context, const CliOptions& options);

} // namespace cli

#endif
