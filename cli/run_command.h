// One command of the core on one board whose layout is known: buffers, the
// image or the range, stm32Command, the download file, the exit status.
#ifndef STM32_CLI_RUN_COMMAND_H
#define STM32_CLI_RUN_COMMAND_H

#include <cstdint>
#include <string>

#include "board_choice.h"
#include "options.h"
#include "stm32.h"

namespace cli {

// Returns the exit status.
int runCommand(Stm32Context* context, const CliOptions& options, const std::string& programName, const Target& target);

// The exit status for a core result: results pass through, except where a
// core code would collide with a status that already means something else.
int exitStatusFor(int32_t result);

// An upload takes exactly one image file. Checked once a board is known to be
// there, so that "no device connected" comes first whatever the command.
bool lacksImageOperand(const CliOptions& options);

} // namespace cli

#endif
