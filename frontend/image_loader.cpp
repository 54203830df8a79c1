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

#ifdef _WIN32
#include <windows.h>
#endif

#include "image_chunks.h"

namespace {

using frontend::format;

// Text and object files far larger than any flash are refused unread
// rather than held in memory (ELF files carry debug information).
constexpr uint64_t kMaxFileBytes = 256ull << 20;

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

int32_t loadRaw(const char* name, const uint8_t* bytes, size_t length, uint8_t* image, uint32_t capacity,
                Stm32LoadedImage* loaded)
{
    if (length > capacity) {
        return fail(loaded, STM32_LOAD_TOO_BIG, name, format("%zu bytes do not fit the flash (%u bytes)", length, capacity),
                    length > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(length));
    }
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
    return loadRaw(name, bytes, length, image, capacity, loaded);
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

std::FILE* openForReading(const char* path)
{
#ifdef _WIN32
    const int units = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
    if (units <= 0) return nullptr;
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path, -1, &wide[0], units);
    return _wfopen(wide.c_str(), L"rb");
#else
    return std::fopen(path, "rb");
#endif
}

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
    FileHandle file(openForReading(path));
    if (!file) return readFailure(loaded, path, errno);
    const int64_t length = fileLength(file.get());
    if (length < 0) return readFailure(loaded, path, errno);
    try {
        // A raw binary too long for the flash is refused unread; the head
        // tells whether the name's format holds (ELF, DfuSe magic).
        std::vector<uint8_t> bytes;
        const size_t head = static_cast<size_t>(length < 8 ? length : 8);
        if (!readAll(file.get(), &bytes, head)) return readFailure(loaded, path, errno);
        const Stm32ImageFormat kind = stm32DetectImageFormat(path, bytes.data(), bytes.size());
        if (kind == STM32_IMAGE_RAW && static_cast<uint64_t>(length) > capacity) {
            loaded->format = kind;
            return fail(loaded, STM32_LOAD_TOO_BIG, path,
                        format("%lld bytes do not fit the flash (%u bytes)", static_cast<long long>(length), capacity),
                        length > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(length));
        }
        if (static_cast<uint64_t>(length) > kMaxFileBytes) return readFailure(loaded, path, EFBIG);
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
