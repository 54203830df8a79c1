#include "host_options.h"

#include "profiles.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace vboard {

namespace {

bool parseNumber(const std::string& text, unsigned long long limit, unsigned long long& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    int base = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0 ? 16 : 10;
    unsigned long long value = std::strtoull(text.c_str(), &end, base);
    if (errno || *end || text[0] == '-' || value > limit) return false;
    out = value;
    return true;
}

bool parseScale(const std::string& text, double& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (*end || !(value >= 0) || value > 1000) return false;
    out = value;
    return true;
}

// Seconds after the command starts: 0 to a day, fractions allowed.
bool parseSeconds(const std::string& text, double& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (*end || !(value >= 0) || value > 86400) return false;
    out = value;
    return true;
}

// A board whose first event is a plug is not there at the start.
void settleEvents(BoardRequest& board) {
    std::stable_sort(board.plugEvents.begin(), board.plugEvents.end(),
                     [](const PlugEvent& a, const PlugEvent& b) { return a.seconds < b.seconds; });
    if (!board.plugEvents.empty() && board.plugEvents.front().plug) board.startsUnplugged = true;
}

} // namespace

std::optional<ControlCommand> parseControlLine(const std::string& line, size_t boardCount, std::string& error) {
    std::string action;
    std::string number;
    size_t at = 0;
    auto word = [&](std::string& out) {
        while (at < line.size() && std::isspace(static_cast<unsigned char>(line[at]))) ++at;
        const size_t start = at;
        while (at < line.size() && !std::isspace(static_cast<unsigned char>(line[at]))) ++at;
        out = line.substr(start, at - start);
    };
    std::string rest;
    word(action);
    word(number);
    word(rest);
    ControlCommand command;
    if (action == "plug") command.action = ControlCommand::Action::Plug;
    else if (action == "unplug") command.action = ControlCommand::Action::Unplug;
    else if (action == "replug") command.action = ControlCommand::Action::Replug;
    else {
        error = "unknown control command '" + line + "' (plug N, unplug N, replug N)";
        return std::nullopt;
    }
    unsigned long long board = 0;
    if (!rest.empty() || !parseNumber(number, boardCount ? boardCount - 1 : 0, board) || boardCount == 0) {
        error = "'" + line + "': no board " + number + " (boards 0 to " + std::to_string(boardCount - 1) + ")";
        return std::nullopt;
    }
    command.board = size_t(board);
    return command;
}

std::string hostUsage() {
    std::string text =
        "usage: stm32-vboard [--board PROFILE [--flash FILE|--pattern SEED|--fill BYTE] [--serial TEXT]\n"
        "                    [--port PATH] [--read-protected] [--blank-starts-in-error] [--deny-open|--claim-busy]\n"
        "                    [--dump FILE] [--unplugged] [--plug-after SECONDS]\n"
        "                    [--unplug-after SECONDS]]... [--foreign] [--time-scale X]\n"
        "                    [--control FIFO] [--counts] [--counts-json FILE] -- COMMAND [ARGS...]\n"
        "       stm32-vboard --list-profiles\n"
        "profiles:";
    for (Profile profile : allProfiles()) text += std::string(" ") + describe(profile).shortName;
    return text + "\n";
}

std::string profileListing() {
    std::string text;
    for (Profile profile : allProfiles()) {
        const ProfileDescription& d = describe(profile);
        std::string name = d.shortName;
        name.resize(std::max<size_t>(name.size(), 18), ' ');
        text += name + " " + d.summary + "\n";
    }
    return text;
}

std::optional<HostOptions> parseHostOptions(const std::vector<std::string>& args, std::string& error) {
    HostOptions options;
    double timeScale = 0.0;
    bool boardGiven = false;
    auto current = [&]() -> BoardRequest& {
        if (options.boards.empty()) options.boards.emplace_back();
        return options.boards.back();
    };
    size_t i = 0;
    auto value = [&](const std::string& name, std::string& out) {
        if (i + 1 >= args.size()) {
            error = name + " needs a value";
            return false;
        }
        out = args[++i];
        return true;
    };
    for (; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::string text;
        unsigned long long number = 0;
        if (arg == "--") {
            options.command.assign(args.begin() + long(i) + 1, args.end());
            break;
        } else if (arg == "-h" || arg == "--help") {
            options.help = true;
            return options;
        } else if (arg == "--list-profiles") {
            options.listProfiles = true;
            return options;
        } else if (arg == "--read-protected") {
            current().options.readProtected = true;
        } else if (arg == "--blank-starts-in-error") {
            current().options.blankStartsInError = true;
        } else if (arg == "--deny-open") {
            current().options.usbAccess = UsbAccess::OpenDenied;
        } else if (arg == "--claim-busy") {
            current().options.usbAccess = UsbAccess::ClaimBusy;
        } else if (arg == "--board") {
            if (!value(arg, text)) return std::nullopt;
            Profile profile;
            if (!profileFromName(text, profile)) {
                error = "unknown board profile '" + text + "'";
                return std::nullopt;
            }
            // Options given before the first --board belong to it.
            if (!boardGiven && !options.boards.empty()) options.boards.back().options.profile = profile;
            else options.boards.emplace_back().options.profile = profile;
            boardGiven = true;
        } else if (arg == "--flash") {
            if (!value(arg, text)) return std::nullopt;
            current().initial = InitialFlash::File;
            current().flashFile = text;
        } else if (arg == "--pattern") {
            if (!value(arg, text) || !parseNumber(text, 0xFFFFFFFFull, number)) {
                error = "--pattern needs a 32-bit seed";
                return std::nullopt;
            }
            current().initial = InitialFlash::Pattern;
            current().patternSeed = uint32_t(number);
        } else if (arg == "--fill") {
            if (!value(arg, text) || !parseNumber(text, 0xFF, number)) {
                error = "--fill needs a byte value (0-255 or 0x00-0xFF)";
                return std::nullopt;
            }
            current().initial = InitialFlash::Fill;
            current().options.fillByte = uint8_t(number);
        } else if (arg == "--serial") {
            if (!value(arg, current().options.serial)) return std::nullopt;
        } else if (arg == "--port") {
            if (!value(arg, text)) return std::nullopt;
            if (std::string problem = portPathProblem(text); !problem.empty()) {
                error = problem;
                return std::nullopt;
            }
            current().options.portPath = text;
        } else if (arg == "--dump") {
            if (!value(arg, current().dumpFile)) return std::nullopt;
        } else if (arg == "--unplugged") {
            current().startsUnplugged = true;
        } else if (arg == "--plug-after" || arg == "--unplug-after") {
            double seconds = 0;
            if (!value(arg, text) || !parseSeconds(text, seconds)) {
                error = arg + " needs a number of seconds from 0 to 86400";
                return std::nullopt;
            }
            current().plugEvents.push_back(PlugEvent{seconds, arg == "--plug-after"});
        } else if (arg == "--control") {
            if (!value(arg, options.controlFifo)) return std::nullopt;
        } else if (arg == "--foreign") {
            options.foreignFirst = true;
        } else if (arg == "--time-scale") {
            if (!value(arg, text) || !parseScale(text, timeScale)) {
                error = "--time-scale needs a number from 0 to 1000";
                return std::nullopt;
            }
        } else if (arg == "--counts") {
            options.printCounts = true;
        } else if (arg == "--counts-json") {
            if (!value(arg, options.countsJsonFile)) return std::nullopt;
        } else {
            error = "unknown option '" + arg + "'";
            return std::nullopt;
        }
    }
    if (options.command.empty()) {
        error = "no command given after --";
        return std::nullopt;
    }
    if (options.boards.empty()) options.boards.emplace_back();
    for (auto& board : options.boards) {
        board.options.timeScale = timeScale;
        settleEvents(board);
    }
    return options;
}

} // namespace vboard
