// The image loader's public side: format choice, reading the file, and the
// result record. The formats' parsers and the placement live beside it.
#include "image_loader.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "file_open.h"
#include "image_chunks.h"

namespace {

using frontend::format;

// An ELF or DfuSe file carries headers, symbols and debug sections beside
// the flash bytes; this only bounds what is read (a judgement, not a
// documented limit of any tool).
constexpr uint64_t kLargestContainerOverhead = 64ull << 20;
constexpr uint64_t kRecordTextBytesPerByte = 20;
constexpr uint64_t kRecordTextExtra = 1ull << 20;

const char* const kExtensions[] = {"bin", "hex", "srec", "s19", "s28", "s37", "mot", "mhx", "sx", "elf", "axf", "dfu"};

std::string lowerCase(std::string text)
{
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// The text from the last '.' of the file name on ("" when none).
std::string extensionOf(const char* name)
{
    if (name == nullptr) return std::string();
    const std::string path(name);
    const size_t dot = path.rfind('.');
    const size_t separator = path.find_last_of("/\\");
    if (dot == std::string::npos || (separator != std::string::npos && dot < separator)) return std::string();
    return path.substr(dot);
}

bool hasMagic(const uint8_t* bytes, size_t length, const char* magic)
{
    const size_t size = std::strlen(magic);
    return bytes != nullptr && length >= size && std::memcmp(bytes, magic, size) == 0;
}

void clear(Stm32LoadedImage* loaded)
{
    std::free(loaded->ranges);
    std::memset(loaded, 0, sizeof *loaded);
}

void setMessage(Stm32LoadedImage* loaded, const char* name, const std::string& what)
{
    std::snprintf(loaded->message, sizeof loaded->message, "%s: %s", name != nullptr ? name : "(file)", what.c_str());
}

int32_t fail(Stm32LoadedImage* loaded, int32_t status, const char* name, const std::string& what, uint32_t length = 0)
{
    loaded->status = status;
    loaded->length = length;
    setMessage(loaded, name, what);
    return status;
}

// Hands the merged ranges to the C record (malloc, freed by stm32ReleaseLoadedImage).
bool storeRanges(const std::vector<Stm32ByteRange>& ranges, Stm32LoadedImage* loaded)
{
    const size_t bytes = ranges.size() * sizeof(Stm32ByteRange);
    loaded->ranges = static_cast<Stm32ByteRange*>(std::malloc(bytes == 0 ? 1 : bytes));
    if (loaded->ranges == nullptr) return false;
    if (bytes != 0) std::memcpy(loaded->ranges, ranges.data(), bytes);
    loaded->rangeCount = static_cast<int32_t>(ranges.size());
    return true;
}

int32_t finish(const frontend::Placement& placement, const char* name, Stm32LoadedImage* loaded)
{
    if (placement.status != STM32_LOAD_OK) return fail(loaded, placement.status, name, placement.message, placement.length);
    if (!storeRanges(placement.ranges, loaded)) return fail(loaded, STM32_LOAD_OUT_OF_MEMORY, name, "out of memory");
    loaded->status = STM32_LOAD_OK;
    loaded->length = placement.length;
    return STM32_LOAD_OK;
}

// A file longer than its format can need for this flash, refused unread.
int32_t refuseTooLong(Stm32LoadedImage* loaded, const char* name, Stm32ImageFormat kind, uint64_t length,
                      uint32_t capacity)
{
    loaded->format = kind;
    const unsigned long long bytes = length;
    const std::string what = kind == STM32_IMAGE_RAW
                                 ? format("%llu bytes do not fit the flash (%u bytes)", bytes, capacity)
                                 : format("%s file of %llu bytes: longer than a flash of %u bytes can need",
                                          stm32ImageFormatName(kind), bytes, capacity);
    return fail(loaded, STM32_LOAD_TOO_BIG, name, what, length > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(length));
}

int32_t loadRaw(const char* name, const uint8_t* bytes, size_t length, uint8_t* image, Stm32LoadedImage* loaded)
{
    if (length == 0) return fail(loaded, STM32_LOAD_EMPTY, name, "the file is empty");
    std::memcpy(image, bytes, length);
    // A raw binary defines every byte of its length.
    return finish(frontend::Placement{STM32_LOAD_OK, static_cast<uint32_t>(length),
                                      {Stm32ByteRange{0, static_cast<uint32_t>(length)}}, std::string()},
                  name, loaded);
}

using Parser = std::string (*)(const uint8_t*, size_t, uint32_t, frontend::ParsedImage*);

// Every addressed format: the parser's chunks, placed once.
int32_t loadAddressed(Parser parser, const char* name, const uint8_t* bytes, size_t length, uint8_t* image,
                      uint32_t capacity, uint32_t flashStart, Stm32LoadedImage* loaded)
{
    frontend::ParsedImage parsed;
    const std::string error = parser(bytes, length, flashStart, &parsed);
    if (!error.empty()) return fail(loaded, STM32_LOAD_DECODE_ERROR, name, error);
    return finish(frontend::placeChunks(parsed, image, capacity, flashStart), name, loaded);
}

int32_t loadContents(const char* name, const uint8_t* bytes, size_t length, uint8_t* image, uint32_t capacity,
                     uint32_t flashStart, Stm32LoadedImage* loaded)
{
    const Stm32ImageFormat kind = stm32DetectImageFormat(name, bytes, length);
    loaded->format = kind;
    if (capacity != 0) std::memset(image, 0xFF, capacity);
    if (length > stm32LargestImageFile(kind, capacity)) return refuseTooLong(loaded, name, kind, length, capacity);
    switch (kind) {
    case STM32_IMAGE_INTEL_HEX:
        return loadAddressed(frontend::parseIntelHexRecords, name, bytes, length, image, capacity, flashStart, loaded);
    case STM32_IMAGE_SREC:
        return loadAddressed(frontend::parseSrec, name, bytes, length, image, capacity, flashStart, loaded);
    case STM32_IMAGE_ELF:
        return loadAddressed(frontend::parseElf, name, bytes, length, image, capacity, flashStart, loaded);
    case STM32_IMAGE_DFUSE:
        return loadAddressed(frontend::parseDfuse, name, bytes, length, image, capacity, flashStart, loaded);
    case STM32_IMAGE_RAW: break;
    }
    return loadRaw(name, bytes, length, image, loaded);
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// The file's length, or -1 with errno set.
int64_t fileLength(std::FILE* file)
{
    if (std::fseek(file, 0, SEEK_END) != 0) return -1;
    const long length = std::ftell(file);
    if (length < 0 || std::fseek(file, 0, SEEK_SET) != 0) return -1;
    return length;
}

int32_t readFailure(Stm32LoadedImage* loaded, const char* path, int error)
{
    loaded->systemError = error != 0 ? error : EIO;
    return fail(loaded, STM32_LOAD_READ_ERROR, path, std::strerror(loaded->systemError));
}

// Reads count bytes from the start; false with errno set.
bool readAll(std::FILE* file, std::vector<uint8_t>* bytes, size_t count)
{
    bytes->resize(count);
    errno = 0;
    if (count != 0 && std::fread(bytes->data(), 1, count, file) != count) {
        if (errno == 0) errno = EIO;
        return false;
    }
    return true;
}

} // namespace

Stm32ImageFormat stm32ImageFormatFromName(const char* name)
{
    const std::string extension = extensionOf(name);
    // Only these two spellings mean Intel HEX: a ".Hex" file has always been
    // a raw binary, and a script may rely on that.
    if (extension == ".hex" || extension == ".HEX") return STM32_IMAGE_INTEL_HEX;
    const std::string lower = lowerCase(extension);
    if (lower == ".srec" || lower == ".s19" || lower == ".s28" || lower == ".s37" || lower == ".mot" ||
        lower == ".mhx" || lower == ".sx") {
        return STM32_IMAGE_SREC;
    }
    if (lower == ".elf" || lower == ".axf") return STM32_IMAGE_ELF;
    if (lower == ".dfu") return STM32_IMAGE_DFUSE;
    return STM32_IMAGE_RAW;
}

Stm32ImageFormat stm32DetectImageFormat(const char* name, const uint8_t* bytes, size_t length)
{
    if (hasMagic(bytes, length, "\x7f" "ELF")) return STM32_IMAGE_ELF;
    if (hasMagic(bytes, length, "DfuSe")) return STM32_IMAGE_DFUSE;
    return stm32ImageFormatFromName(name);
}

const char* stm32ImageFormatName(Stm32ImageFormat format)
{
    switch (format) {
    case STM32_IMAGE_INTEL_HEX: return "Intel HEX";
    case STM32_IMAGE_SREC: return "S-record";
    case STM32_IMAGE_ELF: return "ELF";
    case STM32_IMAGE_DFUSE: return "DfuSe";
    case STM32_IMAGE_RAW: break;
    }
    return "raw binary";
}

int32_t stm32ImageFileExtensions(const char* const** extensions)
{
    if (extensions != nullptr) *extensions = kExtensions;
    return static_cast<int32_t>(sizeof kExtensions / sizeof kExtensions[0]);
}

uint64_t stm32LargestImageFile(Stm32ImageFormat format, uint32_t capacity)
{
    switch (format) {
    case STM32_IMAGE_RAW: return capacity;
    // Record text takes 2.8 characters a byte in 16-byte HEX records, 3.0 in
    // objcopy's S3 records with CR LF, and up to 18 with one byte a record:
    // three times the flash refused valid full-flash files. Headers and
    // comments get a megabyte of their own.
    case STM32_IMAGE_INTEL_HEX:
    case STM32_IMAGE_SREC: return kRecordTextBytesPerByte * capacity + kRecordTextExtra;
    case STM32_IMAGE_ELF:
    case STM32_IMAGE_DFUSE: break;
    }
    return kLargestContainerOverhead + capacity;
}

uint64_t stm32LargestImageFileOfAnyFormat(uint32_t capacity)
{
    uint64_t largest = 0;
    for (Stm32ImageFormat format : {STM32_IMAGE_RAW, STM32_IMAGE_INTEL_HEX, STM32_IMAGE_SREC, STM32_IMAGE_ELF,
                                    STM32_IMAGE_DFUSE}) {
        const uint64_t limit = stm32LargestImageFile(format, capacity);
        if (limit > largest) largest = limit;
    }
    return largest;
}

int32_t stm32LoadImageBytes(const char* name, const uint8_t* bytes, size_t length, uint8_t* image, uint32_t capacity,
                            uint32_t flashStart, Stm32LoadedImage* loaded)
{
    if (loaded == nullptr) return STM32_LOAD_READ_ERROR;
    clear(loaded);
    if ((bytes == nullptr && length != 0) || (image == nullptr && capacity != 0)) {
        return fail(loaded, STM32_LOAD_READ_ERROR, name, "no contents");
    }
    try {
        return loadContents(name, bytes, length, image, capacity, flashStart, loaded);
    } catch (const std::bad_alloc&) {
        clear(loaded);
        return fail(loaded, STM32_LOAD_OUT_OF_MEMORY, name, "out of memory");
    }
}

int32_t stm32LoadImageFile(const char* path, uint8_t* image, uint32_t capacity, uint32_t flashStart,
                           Stm32LoadedImage* loaded)
{
    if (loaded == nullptr) return STM32_LOAD_READ_ERROR;
    clear(loaded);
    if (path == nullptr) return readFailure(loaded, "(no file)", ENOENT);
    FileHandle file(frontend::openFile(path, "rb"));
    if (!file) return readFailure(loaded, path, errno);
    const int64_t length = fileLength(file.get());
    if (length < 0) return readFailure(loaded, path, errno);
    try {
        // A file too long for its format is refused unread; the head tells
        // whether the name's format holds (ELF, DfuSe magic).
        std::vector<uint8_t> bytes;
        const size_t head = static_cast<size_t>(length < 8 ? length : 8);
        if (!readAll(file.get(), &bytes, head)) return readFailure(loaded, path, errno);
        const Stm32ImageFormat kind = stm32DetectImageFormat(path, bytes.data(), bytes.size());
        if (static_cast<uint64_t>(length) > stm32LargestImageFile(kind, capacity)) {
            return refuseTooLong(loaded, path, kind, static_cast<uint64_t>(length), capacity);
        }
        if (std::fseek(file.get(), 0, SEEK_SET) != 0) return readFailure(loaded, path, errno);
        if (!readAll(file.get(), &bytes, static_cast<size_t>(length))) return readFailure(loaded, path, errno);
        file.reset();
        return loadContents(path, bytes.data(), bytes.size(), image, capacity, flashStart, loaded);
    } catch (const std::bad_alloc&) {
        clear(loaded);
        return fail(loaded, STM32_LOAD_OUT_OF_MEMORY, path, "out of memory");
    }
}

void stm32ReleaseLoadedImage(Stm32LoadedImage* loaded)
{
    if (loaded == nullptr) return;
    std::free(loaded->ranges);
    loaded->ranges = nullptr;
    loaded->rangeCount = 0;
}
