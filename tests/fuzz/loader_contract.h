// What every load must honour whatever the file holds, checked by the
// image loader's fuzz targets: a capacity-exact image, sorted merged ranges
// inside the length, erased flash wherever the file defines nothing, a
// message exactly when it fails, and the same answer twice.
#ifndef STM32_TESTS_FUZZ_LOADER_CONTRACT_H
#define STM32_TESTS_FUZZ_LOADER_CONTRACT_H

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "image_loader.h"

namespace fuzz {

struct LoadOutcome {
    Stm32LoadedImage result{};
    std::vector<uint8_t> image;
    ~LoadOutcome() { stm32ReleaseLoadedImage(&result); }
};

// Loads into a heap block of exactly capacity bytes, so that a store past
// it is an AddressSanitizer report.
inline void loadExact(const char* name, const std::vector<uint8_t>& file, uint32_t capacity, uint32_t flashStart,
                      LoadOutcome* out)
{
    std::unique_ptr<uint8_t[]> image(new uint8_t[capacity == 0 ? 1 : capacity]);
    std::memset(image.get(), 0x5A, capacity);
    stm32LoadImageBytes(name, file.data(), file.size(), image.get(), capacity, flashStart, &out->result);
    out->image.assign(image.get(), image.get() + capacity);
}

inline void checkContract(const char* name, const std::vector<uint8_t>& file, uint32_t capacity, uint32_t flashStart,
                          LoadOutcome* first)
{
    loadExact(name, file, capacity, flashStart, first);
    const Stm32LoadedImage& r = first->result;
    FUZZ_CHECK(r.status >= STM32_LOAD_OK && r.status <= STM32_LOAD_EMPTY);
    FUZZ_CHECK(std::memchr(r.message, '\0', sizeof r.message) != nullptr);
    if (r.status == STM32_LOAD_OK) {
        FUZZ_CHECK(r.message[0] == '\0');
        FUZZ_CHECK(r.rangeCount > 0 && r.ranges != nullptr);
        FUZZ_CHECK(r.length <= capacity);
        uint32_t previousEnd = 0;
        for (int32_t i = 0; i < r.rangeCount; ++i) {
            const Stm32ByteRange range = r.ranges[i];
            FUZZ_CHECK(range.begin < range.end);
            FUZZ_CHECK(i == 0 || range.begin > previousEnd); // merged: no touching neighbours
            for (uint32_t at = previousEnd; at < range.begin; ++at) FUZZ_CHECK(first->image[at] == 0xFF);
            previousEnd = range.end;
        }
        FUZZ_CHECK(previousEnd == r.length);
        for (uint32_t at = r.length; at < capacity; ++at) FUZZ_CHECK(first->image[at] == 0xFF);
    } else {
        FUZZ_CHECK(r.rangeCount == 0 && r.ranges == nullptr);
        FUZZ_CHECK(std::strncmp(r.message, name, std::strlen(name)) == 0);
        FUZZ_CHECK(r.status == STM32_LOAD_TOO_BIG || r.status == STM32_LOAD_OUTSIDE_FLASH || r.length == 0);
    }
    LoadOutcome second;
    loadExact(name, file, capacity, flashStart, &second);
    FUZZ_CHECK(second.result.status == r.status && second.result.length == r.length);
    FUZZ_CHECK(std::strcmp(second.result.message, r.message) == 0);
    if (r.status == STM32_LOAD_OK) FUZZ_CHECK(second.image == first->image);
}

} // namespace fuzz

#endif
