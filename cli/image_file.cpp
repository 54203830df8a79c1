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

int openForWriting(const std::string& path, int flags)
{
    return _wopen(widen(path).c_str(), flags | O_WRONLY | O_BINARY, _S_IREAD | _S_IWRITE);
}
using WriteCount = unsigned int;
int writeSome(int fd, const uint8_t* bytes, uint32_t length) { return _write(fd, bytes, WriteCount{length}); }
int closeFile(int fd) { return _close(fd); }
int truncateFile(int fd) { return _chsize_s(fd, 0) == 0 ? 0 : -1; }
int removeFile(const std::string& path) { return _wunlink(widen(path).c_str()); }
#else
int openForWriting(const std::string& path, int flags) { return open(path.c_str(), flags | O_WRONLY | O_BINARY, 0666); }
long writeSome(int fd, const uint8_t* bytes, uint32_t length) { return static_cast<long>(write(fd, bytes, length)); }
int closeFile(int fd) { return close(fd); }
int truncateFile(int fd) { return ftruncate(fd, 0); }
int removeFile(const std::string& path) { return unlink(path.c_str()); }
#endif

// Writes all bytes; false with errno set.
bool writeAll(int fd, const uint8_t* bytes, uint32_t length)
{
    uint32_t written = 0;
    while (written < length) {
        const auto count = writeSome(fd, bytes + written, length - written);
        if (count < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (count == 0) {
            errno = EIO;
            return false;
        }
        written += static_cast<uint32_t>(count);
    }
    return true;
}

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

LoadStatus loadImageFile(const std::string& path, uint8_t* image, uint32_t capacity, uint32_t flashStart,
                         uint32_t* loadedLength, std::FILE* errorStream)
{
    FileHandle file(openFileForReading(path));
    if (!file) return LoadStatus::Failed;
    bool loaded = false;
    if (isIntelHexName(path)) {
        loaded = loadIntelHex(file.get(), image, capacity, flashStart, loadedLength, errorStream);
    } else {
        loaded = readStart(file.get(), image, capacity, loadedLength);
        // A binary longer than the flash is refused, never cut: half a program must not be flashed.
        if (loaded && fileLength(file.get()) > static_cast<long>(capacity)) return LoadStatus::TooBig;
    }
    // The caller reports errno; closing must not change it.
    const int savedError = errno;
    file.reset();
    errno = savedError;
    return loaded ? LoadStatus::Loaded : LoadStatus::Failed;
}

DownloadFile::~DownloadFile()
{
    if (fd_ >= 0) closeFile(fd_);
    // Only an empty file of this run's making goes; a failed write keeps what it wrote.
    if (created_ && !commitTried_) removeFile(path_);
}

bool DownloadFile::open(const std::string& path)
{
    path_ = path;
    // O_EXCL tells whether this run creates the file; an existing one is opened as it is.
    fd_ = openForWriting(path, O_CREAT | O_EXCL);
    created_ = fd_ >= 0;
    if (fd_ < 0 && errno == EEXIST) fd_ = openForWriting(path, 0);
    return fd_ >= 0;
}

bool DownloadFile::commit(const uint8_t* bytes, uint32_t length)
{
    if (fd_ < 0) {
        errno = EBADF;
        return false;
    }
    commitTried_ = true;
    bool written = truncateFile(fd_) == 0 && writeAll(fd_, bytes, length);
    const int savedError = errno;
    // A failing close can be the first report of a write that did not land.
    const bool closed = closeFile(fd_) == 0;
    fd_ = -1;
    if (!written) errno = savedError;
    return written && closed;
}

} // namespace cli
