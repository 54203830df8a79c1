#include "controller_files.h"

#include <algorithm>
#include <memory>
#include <new>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <cstdio>
#include <sys/stat.h>
#endif

namespace controller {

namespace {

bool makeRoom(std::vector<uint8_t>* bytes, size_t length) {
    try {
        bytes->assign(length, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

} // namespace

#ifdef _WIN32
namespace {

class FileHolder {
public:
    explicit FileHolder(HANDLE handle) : handle_(handle) {}
    ~FileHolder() {
        if (valid()) CloseHandle(handle_);
    }
    FileHolder(const FileHolder&) = delete;
    FileHolder& operator=(const FileHolder&) = delete;
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

} // namespace

// Opened without sharing, as the image must not change while it is read.
ReadOutcome readWholeFile(const NativeString& path, uint64_t largest, std::vector<uint8_t>* bytes) {
    FileHolder file(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size;
    if (!file.valid() || !GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0) return ReadOutcome::ReadError;
    if (static_cast<unsigned long long>(size.QuadPart) > largest) return ReadOutcome::TooBig;
    const size_t wanted = static_cast<size_t>(size.QuadPart);
    if (!makeRoom(bytes, wanted)) return ReadOutcome::OutOfMemory;
    size_t done = 0;
    while (done < wanted) {
        DWORD got = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(wanted - done, 1u << 20));
        if (!ReadFile(file.get(), bytes->data() + done, chunk, &got, nullptr) || got == 0) return ReadOutcome::ReadError;
        done += got;
    }
    return ReadOutcome::Ok;
}

bool writeFileFrom(const NativeString& path, const uint8_t* data, size_t length) {
    size_t done = 0;
    {
        FileHolder file(
            CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid()) return false;
        while (done < length) {
            DWORD put = 0;
            const DWORD chunk = static_cast<DWORD>(std::min<size_t>(length - done, 1u << 20));
            if (!WriteFile(file.get(), data + done, chunk, &put, nullptr) || put == 0) break;
            done += put;
        }
    }
    if (done == length) return true;
    DeleteFileW(path.c_str());
    return false;
}
#else
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHolder = std::unique_ptr<std::FILE, FileCloser>;

} // namespace

ReadOutcome readWholeFile(const NativeString& path, uint64_t largest, std::vector<uint8_t>* bytes) {
    FileHolder file(std::fopen(path.c_str(), "rb"));
    struct stat info;
    if (!file || fstat(fileno(file.get()), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) {
        return ReadOutcome::ReadError;
    }
    if (static_cast<unsigned long long>(info.st_size) > largest) return ReadOutcome::TooBig;
    const size_t wanted = static_cast<size_t>(info.st_size);
    if (!makeRoom(bytes, wanted)) return ReadOutcome::OutOfMemory;
    if (std::fread(bytes->data(), 1, wanted, file.get()) != wanted) return ReadOutcome::ReadError;
    return ReadOutcome::Ok;
}

bool writeFileFrom(const NativeString& path, const uint8_t* data, size_t length) {
    FileHolder file(std::fopen(path.c_str(), "wb"));
    if (!file) return false;
    const bool allWritten = std::fwrite(data, 1, length, file.get()) == length;
    if (std::fclose(file.release()) == 0 && allWritten) return true;
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) std::remove(path.c_str());
    return false;
}
#endif

} // namespace controller
