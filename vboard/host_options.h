// Command line of the stm32-vboard host program.
#ifndef STM32_VBOARD_HOST_OPTIONS_H
#define STM32_VBOARD_HOST_OPTIONS_H

#include "virtual_board.h"

#include <optional>
#include <string>
#include <vector>

namespace vboard {

enum class InitialFlash { Fill, Pattern, File };

// A board arriving on the bus or leaving it while the command runs.
struct PlugEvent {
    double seconds = 0; // after the command started
    bool plug = false;  // false: unplug
};

struct BoardRequest {
    BoardOptions options;
    InitialFlash initial = InitialFlash::Fill;
    uint32_t patternSeed = 0;
    std::string flashFile;
    std::string dumpFile;
    std::vector<PlugEvent> plugEvents; // in time order
    bool startsUnplugged = false;      // off the bus when the command starts
};

struct HostOptions {
    std::vector<BoardRequest> boards;
    bool foreignFirst = false;
    bool printCounts = false;
    std::string countsJsonFile;
    std::string controlFifo; // commands "plug N", "unplug N", "replug N" while the command runs
    std::vector<std::string> command;
    bool help = false;
    bool listProfiles = false;
};

// Parses argv; on a usage error returns nullopt and fills `error`.
std::optional<HostOptions> parseHostOptions(const std::vector<std::string>& args, std::string& error);
std::string hostUsage();

// One line of the control FIFO: "plug N", "unplug N" or "replug N" (N: the
// board's number in the order given, from 0). Surrounding blanks are ignored.
struct ControlCommand {
    enum class Action { Plug, Unplug, Replug } action = Action::Plug;
    size_t board = 0;
};
std::optional<ControlCommand> parseControlLine(const std::string& line, size_t boardCount, std::string& error);
// One line per profile: its name and what it models.
std::string profileListing();

} // namespace vboard

#endif
