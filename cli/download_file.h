// The file a download writes.
#ifndef STM32_CLI_DOWNLOAD_FILE_H
#define STM32_CLI_DOWNLOAD_FILE_H

#include <cstdint>
#include <string>

namespace cli {

// Opened before the board is read, so that a name that cannot be created
// fails before a long read. An existing file keeps its contents until
// commit; a file this run created is removed again when no commit was tried.
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

} // namespace cli

#endif
