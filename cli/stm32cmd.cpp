// stm32cmd: one command of the core library on one board, with an exit
// status for scripts. Library log lines go to standard output; the
// program's own errors and the usage text go to standard error.
#include "image_file.h"
#include "options.h"
#include "stm32.h"

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

enum ExitStatus {
    kExitSuccess = 0,
    kExitParameterError = 7,
    kExitSystemError = 8,
    kExitReadFileError = 11,
    kExitWriteFileError = 12,
    kExitFirmwareTooBig = 13,
};

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

void printSystemError(const std::string& subject)
{
    std::fprintf(stderr, "%s: %s\n", subject.c_str(), std::strerror(errno));
}

int showUsage(const std::string& programName, const std::string& errorText)
{
    std::fputs(errorText.c_str(), stderr);
    std::fputs(cli::usageText(programName).c_str(), stderr);
    return kExitParameterError;
}

// What the run needs to know about the chosen target.
struct Target {
    int32_t index = -1;
    FlashInfo flash{};
};

// Steps up to the flash layout; returns 0 and fills target, or the exit status.
int chooseTarget(Stm32Context* context, const cli::CliOptions& options, Target* target)
{
    const int32_t count = stm32GetDeviceCount();
    if (count <= 0) {
        std::fputs("no device connected\n", stderr);
        return kExitSystemError;
    }
    std::vector<int32_t> indices;
    try {
        indices.assign(static_cast<size_t>(count), -1);
    } catch (const std::bad_alloc&) {
        return kExitSystemError;
    }
    stm32GetDeviceIndices(context, indices.data(), count);
    if (options.targetChoice < 0 || options.targetChoice >= count) {
        std::fprintf(stderr, "index %d out of range: %d target(s) connected (index 0 to %d)\n",
                     static_cast<int>(options.targetChoice), static_cast<int>(count), static_cast<int>(count - 1));
        return kExitParameterError;
    }
    target->index = indices[static_cast<size_t>(options.targetChoice)];
    if (target->index < 0) { // unplugged between counting and listing
        std::fputs("no device connected\n", stderr);
        return kExitSystemError;
    }
    if (stm32GetFlashInfo(context, target->index, &target->flash) == 0 || target->flash.flashSize <= 0) {
        return kExitSystemError;
    }
    return 0;
}

Buffer allocateBuffer(int32_t size)
{
    errno = 0;
    Buffer buffer(static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size))));
    if (!buffer && errno == 0) errno = ENOMEM;
    return buffer;
}

// Loads the upload image; returns 0 and the length, or the exit status.
int loadUploadImage(const std::string& programName, const cli::CliOptions& options, const FlashInfo& flash,
                    uint8_t* image, uint32_t* loadedLength)
{
    if (options.operands.size() != 1) return showUsage(programName, std::string());
    const std::string& path = options.operands.front();
    const uint32_t capacity = static_cast<uint32_t>(flash.flashSize);
    if (!cli::loadImageFile(path, image, capacity, flash.startAddress, loadedLength, stderr)) {
        printSystemError(path);
        return kExitReadFileError;
    }
    if (*loadedLength == 0) {
        // Nothing to write; starting the "program" would jump into erased flash.
        std::fprintf(stderr, "%s: file is empty\n", path.c_str());
        return kExitReadFileError;
    }
    const uint64_t end = uint64_t{options.offset} + *loadedLength;
    if (options.offset >= capacity || end > capacity) {
        std::fputs("File too big for flash memory.\n", stderr);
        return kExitFirmwareTooBig;
    }
    return 0;
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
        return kExitParameterError;
    }
    if (size < 0) {
        std::fprintf(stderr, "Invalid size %d.\n", static_cast<int>(size));
        return kExitParameterError;
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

int run(int argc, const char* const* argv)
{
    const std::string programName = (argc > 0 && argv[0] != nullptr) ? argv[0] : "stm32cmd";
    cli::CliOptions options;
    std::string errorText;
    if (cli::parseOptions(argc, argv, &options, &errorText) == cli::ParseResult::Usage) {
        return showUsage(programName, errorText);
    }

    ContextHandle context(stm32Init());
    if (!context) return kExitSystemError;

    Target target;
    if (const int status = chooseTarget(context.get(), options, &target); status != 0) return status;
    const int32_t flashSize = target.flash.flashSize;
    const int32_t size = options.size == cli::kWholeFlash ? flashSize : options.size;

    Buffer image = allocateBuffer(flashSize);
    Buffer flashBuffer = image ? allocateBuffer(flashSize) : Buffer();
    if (!image || !flashBuffer) {
        printSystemError(programName);
        return kExitSystemError;
    }

    uint32_t loadedLength = 0;
    FlashRange range;
    range.engineSize = size;
    if (options.command == STM32_CMD_UPLOAD) {
        const int status = loadUploadImage(programName, options, target.flash, image.get(), &loadedLength);
        if (status != 0) return status;
    } else if (options.command == STM32_CMD_DOWNLOAD || options.command == STM32_CMD_ERASE) {
        if (const int status = boundRange(options, size, target.flash, &range); status != 0) return status;
    }

    stm32SetBuffer(context.get(), flashBuffer.get(), flashSize, image.get(), static_cast<int32_t>(loadedLength));
    if (!options.quiet) stm32RegisterLogCallback(context.get(), nullptr, consoleLog);

    const int32_t result = stm32Command(context.get(), target.index, target.flash.startAddress, options.offset,
                                        range.engineSize, options.command);
    if (result != 0 || options.command != STM32_CMD_DOWNLOAD) return result;

    if (!cli::writeDownloadFile(options.downloadFile, flashBuffer.get(), range.fileLength)) {
        printSystemError(options.downloadFile);
        return kExitWriteFileError;
    }
    return kExitSuccess;
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
    return run(argc, pointers.data());
}
#else
int main(int argc, char** argv)
{
    return run(argc, argv);
}
#endif
