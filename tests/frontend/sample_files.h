// Helpers of the image loader tests: files on disk and one load into a
// flash-sized image.
#ifndef STM32_TESTS_FRONTEND_SAMPLE_FILES_H
#define STM32_TESTS_FRONTEND_SAMPLE_FILES_H

#include <cstdint>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "image_loader.h"

namespace frontendtest {

constexpr uint32_t kFlashStart = 0x08000000;
constexpr uint32_t kFlashSize = 64 * 1024;

inline std::vector<uint8_t> readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> bytesOf(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

inline std::string samplePath(const char* name) { return std::string(SAMPLE_IMAGES_DIR) + "/" + name; }

// One load; the image starts as a pattern so that the loader's erasing shows.
struct Load {
    Stm32LoadedImage result{};
    std::vector<uint8_t> image;

    Load() = default;
    Load(const Load&) = delete;
    Load& operator=(const Load&) = delete;
    ~Load() { stm32ReleaseLoadedImage(&result); }

    std::vector<Stm32ByteRange> ranges() const
    {
        return std::vector<Stm32ByteRange>(result.ranges, result.ranges + result.rangeCount);
    }
    std::string message() const { return result.message; }
};

inline void loadBytes(Load* load, const std::string& name, const std::vector<uint8_t>& bytes,
                      uint32_t capacity = kFlashSize, uint32_t flashStart = kFlashStart)
{
    load->image.assign(capacity, 0x5A);
    stm32LoadImageBytes(name.c_str(), bytes.data(), bytes.size(), load->image.data(), capacity, flashStart,
                        &load->result);
}

inline void loadFile(Load* load, const std::string& path, uint32_t capacity = kFlashSize,
                     uint32_t flashStart = kFlashStart)
{
    load->image.assign(capacity, 0x5A);
    stm32LoadImageFile(path.c_str(), load->image.data(), capacity, flashStart, &load->result);
}

} // namespace frontendtest

// Global, beside the C type, so that the standard algorithms find it.
inline bool operator==(const Stm32ByteRange& a, const Stm32ByteRange& b) { return a.begin == b.begin && a.end == b.end; }
inline std::ostream& operator<<(std::ostream& out, const Stm32ByteRange& r)
{
    return out << "[0x" << std::hex << r.begin << ", 0x" << r.end << std::dec << ")";
}

#endif
