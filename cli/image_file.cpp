#include "image_file.h"

#include "stm32.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#ifndef O_BINARY
#define O_BINARY 0
#endif

namespace cli {

namespace {

#ifdef _WIN32
std::wstring widen(const std::string& utf8)
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &wide[0], length);
    wide.resize(static_cast<size_t>(length - 1));
    return wide;
}

int openForWriting(const std::string& path)
{
    return _wopen(widen(path).c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_BINARY, _S_IREAD | _S_IWRITE);
}
using WriteCount = unsigned int;
int writeSome(int fd, const uint8_t* bytes, uint32_t length) { return _write(fd, bytes, WriteCount{length}); }
int closeFile(int fd) { return _close(fd); }
#else
int openForWriting(const std::string& path) { return open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_BINARY, 0666); }
long writeSome(int fd, const uint8_t* bytes, uint32_t length) { return static_cast<long>(write(fd, bytes, length)); }
int closeFile(int fd) { return close(fd); }
#endif

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

struct FreeDeleter {
    void operator()(char* text) const { std::free(text); }
};

// The file's length, or -1 with errno set.
long fileLength(std::FILE* file)
{
    if (std::fseek(file, 0, SEEK_END) != 0) return -1;
    return std::ftell(file);
}

// Reads min(file length, space) bytes from the start; false with errno set.
bool readStart(std::FILE* file, uint8_t* destination, uint64_t space, uint32_t* readCount)
{
    const long length = fileLength(file);
    if (length < 0) return false;
    const uint64_t count = static_cast<uint64_t>(length) < space ? static_cast<uint64_t>(length) : space;
    if (std::fseek(file, 0, SEEK_SET) != 0) return false;
    errno = 0;
    if (std::fread(destination, 1, static_cast<size_t>(count), file) != count) {
        if (errno == 0) errno = EIO;
        return false;
    }
    *readCount = static_cast<uint32_t>(count);
    return true;
}

bool decodeText(char* text, uint8_t* image, uint32_t capacity, uint32_t flashStart, uint32_t* loadedLength,
                std::FILE* errorStream)
{
    std::memset(image, 0xFF, capacity);
    uint32_t length = 0;
    decodeIntelHex(text, flashStart, image, capacity, &length);
    if (length == 0) {
        std::fputs("Error decoding Intel-Hex format\n", errorStream);
        errno = EIO;
        return false;
    }
    if (length > capacity) {
        std::fputs("File too big\n", errorStream);
        errno = EIO;
        return false;
    }
    *loadedLength = length;
    return true;
}

bool loadIntelHex(std::FILE* file, uint8_t* image, uint32_t capacity, uint32_t flashStart, uint32_t* loadedLength,
                  std::FILE* errorStream)
{
    const uint64_t textSpace = uint64_t{capacity} * 3;
    // Room for the terminating NUL as well. Reading HEX text as a raw image
    // when this fails would flash ASCII, so it is an error instead.
    std::unique_ptr<char, FreeDeleter> text(static_cast<char*>(std::malloc(static_cast<size_t>(textSpace + 1))));
    if (!text) {
        errno = ENOMEM;
        return false;
    }
    uint32_t textLength = 0;
    if (!readStart(file, reinterpret_cast<uint8_t*>(text.get()), textSpace, &textLength)) return false;
    text.get()[textLength] = '\0';
    return decodeText(text.get(), image, capacity, flashStart, loadedLength, errorStream);
}

} // namespace

std::FILE* openFileForReading(const std::string& path)
{
#ifdef _WIN32
    return _wfopen(widen(path).c_str(), L"rb");
#else
    return std::fopen(path.c_str(), "rb");
#endif
}

bool isIntelHexName(const std::string& path)
{
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos) return false;
    const std::string extension = path.substr(dot);
    return extension == ".hex" || extension == ".HEX";
}

bool loadImageFile(const std::string& path, uint8_t* image, uint32_t capacity, uint32_t flashStart,
                   uint32_t* loadedLength, std::FILE* errorStream)
{
    FileHandle file(openFileForReading(path));
    if (!file) return false;
    const bool loaded = isIntelHexName(path)
                            ? loadIntelHex(file.get(), image, capacity, flashStart, loadedLength, errorStream)
                            // A binary longer than the flash is cut to the flash size.
                            : readStart(file.get(), image, capacity, loadedLength);
    // The caller reports errno; closing must not change it.
    const int savedError = errno;
    file.reset();
    errno = savedError;
    return loaded;
}

bool writeDownloadFile(const std::string& path, const uint8_t* bytes, uint32_t length)
{
    const int fd = openForWriting(path);
    if (fd < 0) return false;
    uint32_t written = 0;
    while (written < length) {
        const auto count = writeSome(fd, bytes + written, length - written);
        if (count < 0) {
            if (errno == EINTR) continue;
            const int savedError = errno;
            closeFile(fd);
            errno = savedError;
            return false;
        }
        if (count == 0) {
            closeFile(fd);
            errno = EIO;
            return false;
        }
        written += static_cast<uint32_t>(count);
    }
    // A failing close can be the first report of a write that did not land.
    return closeFile(fd) == 0;
}

} // namespace cli
