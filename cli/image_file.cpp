#include "image_file.h"

#include "exit_status.h"

#include <cstring>

namespace cli {

namespace {

void printLine(std::FILE* stream, const std::string& line) { std::fprintf(stream, "%s\n", line.c_str()); }

// An Intel HEX file keeps the classic two lines (the specific one, then the
// file with the text of EIO); the loader's line naming the record goes between.
int refuseIntelHex(const std::string& path, const Stm32LoadedImage& record, std::FILE* errorStream)
{
    printLine(errorStream, record.status == STM32_LOAD_TOO_BIG ? "File too big" : "Error decoding Intel-Hex format");
    printLine(errorStream, record.message);
    printLine(errorStream, path + ": " + std::strerror(EIO));
    return kExitReadFileError;
}

int refuse(const std::string& path, const Stm32LoadedImage& record, std::FILE* errorStream)
{
    switch (record.status) {
    case STM32_LOAD_READ_ERROR:
        printLine(errorStream, path + ": " + std::strerror(record.systemError != 0 ? record.systemError : EIO));
        return kExitReadFileError;
    case STM32_LOAD_OUT_OF_MEMORY:
        printLine(errorStream, path + ": " + std::strerror(ENOMEM));
        return kExitReadFileError;
    default: break;
    }
    if (record.format == STM32_IMAGE_INTEL_HEX) return refuseIntelHex(path, record, errorStream);
    if (record.format == STM32_IMAGE_RAW) {
        // Half a program must never be flashed: a binary longer than the flash is refused, not cut.
        if (record.status == STM32_LOAD_TOO_BIG) {
            std::fputs("File too big for flash memory.\n", errorStream);
            return kExitFirmwareTooBig;
        }
        // Nothing to write; starting the "program" would jump into erased flash.
        if (record.status == STM32_LOAD_EMPTY) {
            printLine(errorStream, path + ": file is empty");
            return kExitReadFileError;
        }
    }
    printLine(errorStream, record.message);
    return kExitReadFileError;
}

} // namespace

int loadUploadImage(const std::string& path, uint32_t offset, const FlashInfo& flash, uint8_t* image,
                    LoadedImage* loaded, std::FILE* errorStream)
{
    const uint32_t capacity = static_cast<uint32_t>(flash.flashSize);
    Stm32LoadedImage& record = *loaded->record();
    if (stm32LoadImageFile(path.c_str(), image, capacity, flash.startAddress, &record) != STM32_LOAD_OK) {
        return refuse(path, record, errorStream);
    }
    // The offset moves every format, a HEX or ELF file's addresses included.
    const uint64_t end = uint64_t{offset} + record.length;
    if (offset >= capacity || end > capacity) {
        std::fputs("File too big for flash memory.\n", errorStream);
        return kExitFirmwareTooBig;
    }
    return 0;
}

} // namespace cli
