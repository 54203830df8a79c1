// stm32cmd: one command of the core library on one board, with an exit
// status for scripts. Library log lines go to standard output; the
// program's own errors and the usage text go to standard error.
#include "download_file.h"
#include "exit_status.h"
#include "image_file.h"
#include "options.h"
#include "stm32.h"
#include "targets.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

// Core results pass through as exit statuses, except where a core code
// would collide with a status that already means something else.
int exitStatusFor(int32_t result)
{
    switch (result) {
    case STM32_RESULT_READ_PROTECTED: return cli::kExitReadProtected;
    case STM32_RESULT_EMPTY_IMAGE: return cli::kExitReadFileError;
    case STM32_RESULT_OUT_OF_MEMORY: return cli::kExitSystemError;
    default: return result;
    }
}

struct ContextDeleter {
    void operator()(Stm32Context* context) const { stm32Exit(context); }
};
using ContextHandle = std::unique_ptr<Stm32Context, ContextDeleter>;

struct BufferDeleter {
    void operator()(uint8_t* buffer) const { std::free(buffer); }
};
using Buffer = std::unique_ptr<uint8_t, BufferDeleter>;

int consoleLog(void* /*userData*/, const char* text, uint32_t length, int continuation)
{
    if (continuation != 0) {
        std::fwrite(text, 1, length, stdout);
    } else {
        if (length > 0) std::fwrite(text, 1, length, stdout);
        std::fputc('\n', stdout);
    }
    // Progress dots must show while they come, also through a pipe.
    std::fflush(stdout);
    return 0;
}

// --trace: the core's lines go where STM32_DEBUG=1 sends them, standard error.
void traceToStandardError(void* /*userData*/, const char* line)
{
    std::fprintf(stderr, "%s\n", line);
    std::fflush(stderr);
}

void printSystemError(const std::string& subject)
{
    std::fprintf(stderr, "%s: %s\n", subject.c_str(), std::strerror(errno));
}

int showUsage(const std::string& programName, const std::string& errorText)
{
    std::fputs(errorText.c_str(), stderr);
    std::fputs(cli::usageText(programName).c_str(), stderr);
    return cli::kExitParameterError;
}

// Text of the program's own, shown unless quiet (the library's log is silenced the same way).
void say(const cli::CliOptions& options, const std::string& line)
{
    if (options.quiet) return;
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
}

// What the run needs to know about the chosen target.
struct Target {
    cli::BoardEntry board;
    FlashInfo flash{};
};

std::string connectedSerials(const std::vector<cli::BoardEntry>& boards)
{
    std::string text;
    for (const cli::BoardEntry& board : boards) {
        text += text.empty() ? "" : ", ";
        text += std::string("\"") + board.details.serial + "\" (-i " + std::to_string(board.choice) + ")";
    }
    return text;
}

// Picks the board of -S or -i; returns 0, or the exit status after its message.
int chooseBoard(Stm32Context* context, const cli::CliOptions& options, cli::BoardEntry* chosen)
{
    // Details open every board; only a serial number needs them.
    const std::vector<cli::BoardEntry> boards = cli::listBoards(context, options.serialGiven);
    if (boards.empty()) {
        std::fputs("no device connected\n", stderr);
        return cli::kExitSystemError;
    }
    if (options.serialGiven) {
        const int found = cli::findBySerial(boards, options.serial);
        if (found < 0) {
            std::fprintf(stderr, "no board with serial number \"%s\"; connected: %s\n", options.serial.c_str(),
                         connectedSerials(boards).c_str());
            return cli::kExitParameterError;
        }
        *chosen = boards[static_cast<size_t>(found)];
        return 0;
    }
    const int32_t count = static_cast<int32_t>(boards.size());
    if (options.targetChoice < 0 || options.targetChoice >= count) {
        std::fprintf(stderr, "index %d out of range: %d target(s) connected (index 0 to %d)\n",
                     static_cast<int>(options.targetChoice), static_cast<int>(count), static_cast<int>(count - 1));
        return cli::kExitParameterError;
    }
    *chosen = boards[static_cast<size_t>(options.targetChoice)];
    return 0;
}

// The flash geometry of the board; returns 0, or status 8 after saying why it cannot be read.
int readFlashLayout(Stm32Context* context, Target* target)
{
    if (stm32GetFlashInfo(context, target->board.listId, &target->flash) != 0 && target->flash.flashSize > 0) return 0;
    cli::BoardEntry& board = target->board;
    if (!board.detailsRead) board.detailsRead = stm32GetDeviceDetails(context, board.listId, &board.details) != 0;
    std::fputs(cli::unreadableLayoutMessage(board).c_str(), stderr);
    return cli::kExitSystemError;
}

Buffer allocateBuffer(int32_t size)
{
    errno = 0;
    Buffer buffer(static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size))));
    if (!buffer && errno == 0) errno = ENOMEM;
    return buffer;
}

// The range of a download or erase, kept inside the flash.
struct FlashRange {
    int32_t engineSize = 0;  // size argument of stm32Command
    uint32_t fileLength = 0; // bytes a download writes to its file
};

// Returns 0 and the range, or the exit status.
int boundRange(const cli::CliOptions& options, int32_t size, const FlashInfo& flash, FlashRange* range)
{
    const uint32_t flashSize = static_cast<uint32_t>(flash.flashSize);
    if (options.offset >= flashSize) {
        std::fprintf(stderr, "Offset %u is at or past the end of flash memory (%u bytes).\n",
                     static_cast<unsigned>(options.offset), static_cast<unsigned>(flashSize));
        return cli::kExitParameterError;
    }
    if (size < 0) {
        std::fprintf(stderr, "Invalid size %d.\n", static_cast<int>(size));
        return cli::kExitParameterError;
    }
    const uint32_t remaining = flashSize - options.offset;
    uint32_t bounded = static_cast<uint32_t>(size) > remaining ? remaining : static_cast<uint32_t>(size);
    range->engineSize = static_cast<int32_t>(bounded);
    // Size 0 reads everything from the offset on; the file gets all of it.
    if (bounded == 0 && options.command == STM32_CMD_DOWNLOAD && options.offset != 0) {
        range->engineSize = static_cast<int32_t>(remaining);
    }
    range->fileLength = bounded == 0 ? remaining : bounded;
    return 0;
}

// An upload takes exactly one image file. Checked once a board is known to be
// there, so that "no device connected" comes first whatever the command.
bool lacksImageOperand(const cli::CliOptions& options)
{
    return options.command == STM32_CMD_UPLOAD && !options.unprotect && options.operands.size() != 1;
}

uint32_t uploadFlags(const cli::CliOptions& options)
{
    uint32_t flags = 0;
    if (options.skipUnchanged) flags |= STM32_UPLOAD_SKIP_UNCHANGED;
    if (options.noStart) flags |= STM32_UPLOAD_NO_START;
    return flags;
}

// One command on one board whose layout is known; returns the exit status.
int runCommand(Stm32Context* context, const cli::CliOptions& options, const std::string& programName,
               const Target& target)
{
    const int32_t flashSize = target.flash.flashSize;
    const int32_t size = options.size == cli::kWholeFlash ? flashSize : options.size;

    Buffer image = allocateBuffer(flashSize);
    Buffer flashBuffer = image ? allocateBuffer(flashSize) : Buffer();
    if (!image || !flashBuffer) {
        printSystemError(programName);
        return cli::kExitSystemError;
    }

    cli::LoadedImage loaded;
    FlashRange range;
    range.engineSize = size;
    cli::DownloadFile downloadFile;
    if (options.command == STM32_CMD_UPLOAD) {
        const std::string& path = options.operands.front();
        const int status = cli::loadUploadImage(path, options.offset, target.flash, image.get(), &loaded, stderr);
        if (status != 0) return status;
    } else if (options.command == STM32_CMD_DOWNLOAD || options.command == STM32_CMD_ERASE) {
        if (const int status = boundRange(options, size, target.flash, &range); status != 0) return status;
    }
    if (options.command == STM32_CMD_DOWNLOAD && !downloadFile.open(options.downloadFile)) {
        printSystemError(options.downloadFile);
        return cli::kExitWriteFileError;
    }

    stm32SetBuffer(context, flashBuffer.get(), flashSize, image.get(), static_cast<int32_t>(loaded.length()));
    // Bytes the file leaves undefined keep what flash holds.
    stm32SetImageRanges(context, loaded.ranges(), loaded.rangeCount());
    stm32SetUploadFlags(context, uploadFlags(options));
    const int32_t result = stm32Command(context, target.board.listId, target.flash.startAddress, options.offset,
                                        range.engineSize, options.command);
    if (result != 0 || options.command != STM32_CMD_DOWNLOAD) return exitStatusFor(result);

    if (!downloadFile.commit(flashBuffer.get(), range.fileLength)) {
        printSystemError(options.downloadFile);
        return cli::kExitWriteFileError;
    }
    return cli::kExitSuccess;
}

// -l -v: every board with what tells them apart.
int listDetails(Stm32Context* context, const cli::CliOptions& options)
{
    const std::vector<cli::BoardEntry> boards = cli::listBoards(context, true);
    if (boards.empty()) {
        std::fputs("no device connected\n", stderr);
        return cli::kExitSystemError;
    }
    for (const cli::BoardEntry& board : boards) say(options, cli::detailsLine(board) + "\n");
    return cli::kExitSuccess;
}

std::string resultLine(const std::string& serial, int status)
{
    std::string line = "Board " + serial + ": ";
    if (status == 0) return line + "OK\n";
    const std::string words = cli::exitStatusWords(status);
    return line + "failed, exit status " + std::to_string(status) + (words.empty() ? "" : " (" + words + ")") + "\n";
}

// Serial numbers name the boards of --all: each leaves the bus after its
// upload, so list positions move.
int collectSerials(const std::vector<cli::BoardEntry>& boards, std::vector<std::string>* serials)
{
    for (const cli::BoardEntry& board : boards) {
        const std::string serial = board.detailsRead ? board.details.serial : "";
        bool repeated = false;
        for (const std::string& seen : *serials) repeated = repeated || seen == serial;
        if (serial.empty() || repeated) {
            std::fprintf(stderr, "--all needs a distinct serial number on every board; %s\n",
                         serial.empty() ? ("board -i " + std::to_string(board.choice) + " has none").c_str()
                                        : ("\"" + serial + "\" appears twice").c_str());
            return cli::kExitParameterError;
        }
        serials->push_back(serial);
    }
    return 0;
}

// One upload to the board with this serial number, wherever it is listed now.
int uploadToSerial(Stm32Context* context, const cli::CliOptions& options, const std::string& programName,
                   const std::string& serial)
{
    const std::vector<cli::BoardEntry> boards = cli::listBoards(context, true);
    const int found = cli::findBySerial(boards, serial);
    if (found < 0) return cli::kExitNoDevice;
    Target target;
    target.board = boards[static_cast<size_t>(found)];
    if (const int status = readFlashLayout(context, &target); status != 0) return status;
    return runCommand(context, options, programName, target);
}

// --all: the same image on every board, one after the other; 0 only if all succeeded.
int uploadToAll(Stm32Context* context, const cli::CliOptions& options, const std::string& programName)
{
    const std::vector<cli::BoardEntry> boards = cli::listBoards(context, true);
    if (boards.empty()) {
        std::fputs("no device connected\n", stderr);
        return cli::kExitSystemError;
    }
    if (lacksImageOperand(options)) return showUsage(programName, std::string());
    std::vector<std::string> serials;
    if (const int status = collectSerials(boards, &serials); status != 0) return status;
    int firstFailure = cli::kExitSuccess;
    for (const std::string& serial : serials) {
        const int status = uploadToSerial(context, options, programName, serial);
        say(options, resultLine(serial, status));
        if (firstFailure == cli::kExitSuccess) firstFailure = status;
    }
    return firstFailure;
}

int run(int argc, const char* const* argv)
{
    const std::string programName = (argc > 0 && argv[0] != nullptr) ? argv[0] : "stm32cmd";
    cli::CliOptions options;
    std::string errorText;
    switch (cli::parseOptions(argc, argv, &options, &errorText)) {
    case cli::ParseResult::Usage: return showUsage(programName, errorText);
    case cli::ParseResult::Help:
        std::fputs(cli::usageText(programName).c_str(), stdout);
        return cli::kExitSuccess;
    case cli::ParseResult::Error:
        std::fputs(errorText.c_str(), stderr);
        return cli::kExitParameterError;
    case cli::ParseResult::Run: break;
    }
    if (!cli::checkCombinations(options, &errorText)) {
        std::fputs(errorText.c_str(), stderr);
        return cli::kExitParameterError;
    }

    ContextHandle context(stm32Init());
    if (!context) return cli::kExitSystemError;
    // Registered before the first call so that every line of the library shows.
    if (!options.quiet) stm32RegisterLogCallback(context.get(), nullptr, consoleLog);
    if (options.trace) stm32SetTraceCallback(traceToStandardError, nullptr);

    if (options.command == STM32_CMD_LIST && options.verbose) return listDetails(context.get(), options);
    if (options.allBoards) return uploadToAll(context.get(), options, programName);

    Target target;
    if (const int status = chooseBoard(context.get(), options, &target.board); status != 0) return status;
    // A read-protected board still names its layout, but removing the protection needs none of it.
    if (options.unprotect) return exitStatusFor(stm32Unprotect(context.get(), target.board.listId));
    if (const int status = readFlashLayout(context.get(), &target); status != 0) return status;
    if (lacksImageOperand(options)) return showUsage(programName, std::string());
    return runCommand(context.get(), options, programName, target);
}

// Lists of boards and texts are the only allocations that can throw.
int runGuarded(int argc, const char* const* argv)
{
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: %s\n", (argc > 0 && argv[0] != nullptr) ? argv[0] : "stm32cmd", std::strerror(ENOMEM));
        return cli::kExitSystemError;
    }
}

} // namespace

#ifdef _WIN32
namespace {
std::string narrow(const wchar_t* wide)
{
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return std::string();
    std::string utf8(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, &utf8[0], length, nullptr, nullptr);
    utf8.resize(static_cast<size_t>(length - 1));
    return utf8;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i) arguments.push_back(narrow(argv[i]));
    std::vector<const char*> pointers;
    for (const std::string& argument : arguments) pointers.push_back(argument.c_str());
    pointers.push_back(nullptr);
    return runGuarded(argc, pointers.data());
}
#else
int main(int argc, char** argv)
{
    return runGuarded(argc, argv);
}
#endif
