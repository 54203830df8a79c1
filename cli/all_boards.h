// Commands over every connected board: -l -v and --all.
#ifndef STM32_CLI_ALL_BOARDS_H
#define STM32_CLI_ALL_BOARDS_H

#include <string>

#include "options.h"
#include "stm32.h"

namespace cli {

// -l -v: every board with what tells them apart; returns the exit status.
int listDetails(Stm32Context* context, const CliOptions& options);

// --all: the same image on every board, one after the other; 0 only if all succeeded.
int uploadToAll(Stm32Context* context, const CliOptions& options, const std::string& programName);

} // namespace cli

#endif
