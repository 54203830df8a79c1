#include "board_worker.h"

#include <chrono>
#include <cstdio>
#include <memory>

#include "exit_status.h"
#include "image_file.h"
#include "line_output.h"
#include "run_command.h"

namespace cli {

namespace {

struct ContextDeleter {
    void operator()(Stm32Context* context) const { stm32Exit(context); }
};
using ContextHandle = std::unique_ptr<Stm32Context, ContextDeleter>;

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int ImageCheck::check(const FlashInfo& flash)
{
    if (options_.command != STM32_CMD_UPLOAD || flash.flashSize <= 0) return 0;
    for (const auto& geometry : good_) {
        if (geometry.first == flash.startAddress && geometry.second == flash.flashSize) return 0;
    }
    std::vector<uint8_t> image(static_cast<size_t>(flash.flashSize));
    LoadedImage loaded;
    const int status = loadUploadImage(options_.operands.front(), options_.offset, flash, image.data(), &loaded, stderr);
    if (status == 0) good_.emplace_back(flash.startAddress, flash.flashSize);
    return status;
}

BoardResult runOnBoard(const CliOptions& options, const std::string& programName, const BoardEntry& board)
{
    const auto started = std::chrono::steady_clock::now();
    BoardResult result;
    result.path = board.path;
    result.command = options.command;
    BoardLog log("[" + boardLabel(board) + "] ");
    ContextHandle context(stm32Init());
    if (!context) {
        result.status = kExitSystemError;
        return result;
    }
    if (!options.quiet) stm32RegisterLogCallback(context.get(), &log, BoardLog::callback);
    // Other boards leave the bus while this one works: its list position moves, its port path does not.
    stm32SetTargetPath(context.get(), board.path.c_str());

    Target target;
    target.board = board;
    BoardEntry& entry = target.board;
    if (!entry.detailsRead) entry.detailsRead = stm32GetDeviceDetails(context.get(), entry.listId, &entry.details) != 0;
    if (entry.detailsRead && entry.details.openResult == 0) result.serial = entry.details.serial;

    if (stm32GetFlashInfo(context.get(), entry.listId, &target.flash) == 0 || target.flash.flashSize <= 0) {
        log.error(unreadableLayoutMessage(entry));
        result.status = kExitSystemError;
    } else {
        result.status = runCommand(context.get(), options, programName, target);
    }
    stm32GetCommandReport(context.get(), &result.report);
    result.seconds = secondsSince(started);
    return result;
}

std::string resultLine(const BoardResult& result)
{
    std::string line = "Board " + (result.path.empty() ? std::string("(path unknown)") : result.path);
    if (!result.serial.empty()) line += " (serial " + result.serial + ")";
    char time[32];
    std::snprintf(time, sizeof time, ", %.1f s", result.seconds);
    if (result.status == kExitSuccess) return line + ": OK" + time;
    const std::string words = exitStatusWords(result.status);
    return line + ": failed, exit status " + std::to_string(result.status) + (words.empty() ? "" : " (" + words + ")") +
           time;
}

void reportResult(const CliOptions& options, const BoardResult& result)
{
    if (!options.quiet) writeHumanLine(resultLine(result));
    if (options.json) writeJsonLine(resultObject(result));
}

ChosenBoardReport::ChosenBoardReport(Stm32Context* context, const CliOptions& options, const BoardEntry& board)
    : context_(context), options_(options), started_(std::chrono::steady_clock::now())
{
    if (!options.json) return;
    result_.path = board.path;
    result_.command = options.command;
    Stm32DeviceDetails details = board.details;
    const bool read = board.detailsRead || stm32GetDeviceDetails(context, board.listId, &details) != 0;
    if (read && details.openResult == 0) result_.serial = details.serial;
}

int ChosenBoardReport::finish(int status) const
{
    if (!options_.json || options_.command == STM32_CMD_LIST) return status;
    BoardResult result = result_;
    result.status = status;
    stm32GetCommandReport(context_, &result.report);
    result.seconds = secondsSince(started_);
    writeJsonLine(resultObject(result));
    return status;
}

std::string summaryLine(int programmed, int failed)
{
    return "Boards programmed: " + std::to_string(programmed) + ", failed: " + std::to_string(failed);
}

} // namespace cli
