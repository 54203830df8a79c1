#include "run_command.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "console.h"
#include "download_file.h"
#include "exit_status.h"
#include "image_file.h"

namespace cli {

namespace {

struct BufferDeleter {
    void operator()(uint8_t* buffer) const { std::free(buffer); }
};
using Buffer = std::unique_ptr<uint8_t, BufferDeleter>;

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
int boundRange(const CliOptions& options, int32_t size, const FlashInfo& flash, FlashRange* range)
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

uint32_t uploadFlags(const CliOptions& options)
{
    uint32_t flags = 0;
    if (options.skipUnchanged) flags |= STM32_UPLOAD_SKIP_UNCHANGED;
    if (options.noStart) flags |= STM32_UPLOAD_NO_START;
    return flags;
}

} // namespace

int exitStatusFor(int32_t result)
{
    switch (result) {
    case STM32_RESULT_READ_PROTECTED: return kExitReadProtected;
    case STM32_RESULT_EMPTY_IMAGE: return kExitReadFileError;
    case STM32_RESULT_OUT_OF_MEMORY: return kExitSystemError;
    default: return result;
    }
}

bool lacksImageOperand(const CliOptions& options)
{
    return options.command == STM32_CMD_UPLOAD && !options.unprotect && options.operands.size() != 1;
}

int runCommand(Stm32Context* context, const CliOptions& options, const std::string& programName, const Target& target)
{
    const int32_t flashSize = target.flash.flashSize;
    const int32_t size = options.size == kWholeFlash ? flashSize : options.size;

    Buffer image = allocateBuffer(flashSize);
    Buffer flashBuffer = image ? allocateBuffer(flashSize) : Buffer();
    if (!image || !flashBuffer) {
        printSystemError(programName);
        return kExitSystemError;
    }

    LoadedImage loaded;
    FlashRange range;
    range.engineSize = size;
    DownloadFile downloadFile;
    if (options.command == STM32_CMD_UPLOAD) {
        const std::string& path = options.operands.front();
        const int status = loadUploadImage(path, options.offset, target.flash, image.get(), &loaded, stderr);
        if (status != 0) return status;
    } else if (options.command == STM32_CMD_DOWNLOAD || options.command == STM32_CMD_ERASE) {
        if (const int status = boundRange(options, size, target.flash, &range); status != 0) return status;
    }
    if (options.command == STM32_CMD_DOWNLOAD && !downloadFile.open(options.downloadFile)) {
        printSystemError(options.downloadFile);
        return kExitWriteFileError;
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
        return kExitWriteFileError;
    }
    return kExitSuccess;
}

} // namespace cli
