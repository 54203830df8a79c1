#include "download_file.h"

#include <cerrno>
#include <fcntl.h>
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

} // namespace

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
