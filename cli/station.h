// Station mode (--all --watch): every DFU board that arrives is programmed,
// once per arrival, all at once, until Ctrl-C.
#ifndef STM32_CLI_STATION_H
#define STM32_CLI_STATION_H

#include <string>

#include "options.h"
#include "stm32.h"

namespace cli {

// Runs until Ctrl-C (SIGINT); boards being programmed then finish first. One
// result line (and JSON object) per board as it finishes, a summary line at
// the end. Returns 0 when no board failed, else the status of the first that
// failed; a file that does not suit a board that arrived ends it at once.
int watchAndProgram(Stm32Context* context, const CliOptions& options, const std::string& programName);

} // namespace cli

#endif
