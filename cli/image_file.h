// Image files of stm32cmd: loading raw binary or Intel HEX, writing downloads.
#ifndef STM32_CLI_IMAGE_FILE_H
#define STM32_CLI_IMAGE_FILE_H

#include <cstdint>
#include <cstdio>
#include <string>

namespace cli {

// True when the text from the last "." of the name is exactly ".hex" or ".HEX".
bool isIntelHexName(const std::string& path);

// Loads the image into image[0..capacity). On failure returns false with
// errno set and, for a decoding failure, the specific line written to
// errorStream. *loadedLength is the number of image bytes.
bool loadImageFile(const std::string& path, uint8_t* image, uint32_t capacity, uint32_t flashStart,
                   uint32_t* loadedLength, std::FILE* errorStream);

// Creates or truncates the file and writes all length bytes; false with errno set on failure.
bool writeDownloadFile(const std::string& path, const uint8_t* bytes, uint32_t length);

// Opens a file by UTF-8 name (wide names on Windows).
std::FILE* openFileForReading(const std::string& path);

} // namespace cli

#endif
