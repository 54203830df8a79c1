// The image of an upload, read through the front ends' shared loader, with
// stm32cmd's messages and exit statuses for files that cannot be used.
#ifndef STM32_CLI_IMAGE_FILE_H
#define STM32_CLI_IMAGE_FILE_H

#include "image_loader.h"
#include "stm32.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace cli {

// The loader's record, released on every path; the core reads its ranges
// until the command returns.
class LoadedImage {
public:
    LoadedImage() = default;
    ~LoadedImage() { stm32ReleaseLoadedImage(&record_); }
    LoadedImage(const LoadedImage&) = delete;
    LoadedImage& operator=(const LoadedImage&) = delete;

    Stm32LoadedImage* record() { return &record_; }
    uint32_t length() const { return record_.length; }
    const Stm32ByteRange* ranges() const { return record_.ranges; }
    int32_t rangeCount() const { return record_.rangeCount; }

private:
    Stm32LoadedImage record_{};
};

// Loads path into image[0..flash size) and checks that it fits at offset.
// Returns 0, or the exit status (11 or 13) after its lines on errorStream.
int loadUploadImage(const std::string& path, uint32_t offset, const FlashInfo& flash, uint8_t* image,
                    LoadedImage* loaded, std::FILE* errorStream);

} // namespace cli

#endif
