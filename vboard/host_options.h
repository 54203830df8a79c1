// Command line of the stm32-vboard host program.
#ifndef STM32_VBOARD_HOST_OPTIONS_H
#define STM32_VBOARD_HOST_OPTIONS_H

#include "virtual_board.h"

#include <optional>
#include <string>
#include <vector>

namespace vboard {

enum class InitialFlash { Fill, Pattern, File };

struct BoardRequest {
    BoardOptions options;
    InitialFlash initial = InitialFlash::Fill;
    uint32_t patternSeed = 0;
    std::string flashFile;
    std::string dumpFile;
};

struct HostOptions {
    std::vector<BoardRequest> boards;
    bool foreignFirst = false;
    bool printCounts = false;
    std::string countsJsonFile;
    std::vector<std::string> command;
    bool help = false;
    bool listProfiles = false;
};

// Parses argv; on a usage error returns nullopt and fills `error`.
std::optional<HostOptions> parseHostOptions(const std::vector<std::string>& args, std::string& error);
std::string hostUsage();
// One line per profile: its name and what it models.
std::string profileListing();

} // namespace vboard

#endif
