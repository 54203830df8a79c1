// Internal to the image loader: what a parser makes of a file (the byte runs
// it defines, each with its place and where in the file it came from), and
// the one step that places them into the image for every format.
#ifndef STM32_FRONTEND_IMAGE_CHUNKS_H
#define STM32_FRONTEND_IMAGE_CHUNKS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "stm32.h"

namespace frontend {

// A little-endian 32-bit field of a binary file (ELF, DfuSe).
inline uint32_t word(const uint8_t* at)
{
    return uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16 | uint32_t{at[3]} << 24;
}

// One run of defined bytes. Its data lies in the parser's pool (text
// formats, whose bytes are decoded) or in the file bytes (binary formats).
struct Chunk {
    int64_t position = 0; // relative to flash start; negative lies below it
    size_t dataOffset = 0;
    uint32_t size = 0;
    bool inPool = false;
    std::string origin; // "line 12", "segment 2", "target 0 element 1"
};

struct ParsedImage {
    const uint8_t* file = nullptr;
    std::vector<uint8_t> pool;
    std::vector<Chunk> chunks; // in file order

    const uint8_t* dataOf(const Chunk& chunk) const
    {
        return (chunk.inPool ? pool.data() : file) + chunk.dataOffset;
    }
};

// Each parser answers an empty text on success, else what is wrong and
// where ("line 4: checksum ..."). out->file is set by the parser.
std::string parseIntelHexRecords(const uint8_t* bytes, size_t length, uint32_t flashStart, ParsedImage* out);
std::string parseSrec(const uint8_t* bytes, size_t length, uint32_t flashStart, ParsedImage* out);
std::string parseElf(const uint8_t* bytes, size_t length, uint32_t flashStart, ParsedImage* out);
std::string parseDfuse(const uint8_t* bytes, size_t length, uint32_t flashStart, ParsedImage* out);

// The outcome of placing the chunks; status is a Stm32LoadStatus.
struct Placement {
    int32_t status = 0;
    uint32_t length = 0;
    std::vector<Stm32ByteRange> ranges;
    std::string message;
};

// Writes every chunk into image[0..capacity) (already erased by the caller)
// in file order, refusing data outside the flash and bytes that two chunks
// define differently. The ranges come out sorted and merged.
Placement placeChunks(const ParsedImage& parsed, uint8_t* image, uint32_t capacity, uint32_t flashStart);

// printf into a std::string, for messages. mingw's own printf checks would
// refuse %zu although its C++ runtime prints it.
#if defined(__MINGW32__) && defined(__MINGW_PRINTF_FORMAT)
#define STM32_MESSAGE_FORMAT __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)))
#elif defined(__GNUC__) || defined(__clang__)
#define STM32_MESSAGE_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define STM32_MESSAGE_FORMAT
#endif
std::string format(const char* pattern, ...) STM32_MESSAGE_FORMAT;

} // namespace frontend

#endif
