// Image files of stm32cmd: loading raw binary or Intel HEX, writing downloads.
#ifndef STM32_CLI_IMAGE_FILE_H
#define STM32_CLI_IMAGE_FILE_H

#include <cstdint>
#include <cstdio>
#include <string>

namespace cli {

// True when the text from the last "." of the name is exactly ".hex" or ".HEX".
bool isIntelHexName(const std::string& path);

enum class LoadStatus {
    Loaded,
    TooBig, // a raw binary longer than the capacity
    Failed, // errno set; for a decoding failure the specific line went to errorStream
};

// Loads the image into image[0..capacity). *loadedLength is the number of image bytes.
LoadStatus loadImageFile(const std::string& path, uint8_t* image, uint32_t capacity, uint32_t flashStart,
                         uint32_t* loadedLength, std::FILE* errorStream);

// The file a download writes. Opened before the board is read, so that a
// name that cannot be created fails before a long read; an existing file
// keeps its contents until commit, and a file this run created is removed
// again when no commit was tried.
class DownloadFile {
public:
    DownloadFile() = default;
    ~DownloadFile();
    DownloadFile(const DownloadFile&) = delete;
    DownloadFile& operator=(const DownloadFile&) = delete;

    // False with errno set when the file cannot be opened or created for writing.
    bool open(const std::string& path);
    // Replaces the contents by all length bytes; false with errno set on failure.
    bool commit(const uint8_t* bytes, uint32_t length);

private:
    std::string path_;
    int fd_ = -1;
    bool created_ = false;
    bool commitTried_ = false;
};

// Opens a file by UTF-8 name (wide names on Windows).
std::FILE* openFileForReading(const std::string& path);

} // namespace cli

#endif
