// Commands over every connected board: -l -v, -l --json and --all.
#ifndef STM32_CLI_ALL_BOARDS_H
#define STM32_CLI_ALL_BOARDS_H

#include <string>

#include "options.h"
#include "stm32.h"

namespace cli {

// -l -v: every board with what tells them apart; returns the exit status.
int listDetails(Stm32Context* context, const CliOptions& options);

// -l --json: the boards as one JSON document on standard output (an empty
// list, then status 8, when there is none).
int listJson(Stm32Context* context, const CliOptions& options);

// --all: the same image on every board, all at once, one thread per board;
// one result line per board as it finishes, then a summary line. Returns 0
// only if all succeeded, else the status of the first failed board in list order.
int uploadToAll(Stm32Context* context, const CliOptions& options, const std::string& programName);

} // namespace cli

#endif
