// DfuSe layout parsing of whatever a board may put after "@Internal Flash".
//
// A geometry that the parser accepts must be self-consistent and free of
// overflow: the total is the sum of the segments and fits a signed 32-bit
// size, the flash does not pass the end of the 32-bit address space, the
// first segment's fields describe the first segment, and the first segment
// reads as the classic "/%x/%d*%d%c" scan reads it.
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_input.h"
#include "layout.h"

namespace {

constexpr size_t kDescriptorText = 255; // a string descriptor read as ASCII holds at most this

void checkSegments(const stm32::FlashLayout& layout) {
    uint64_t sum = 0;
    for (const stm32::FlashSegment& segment : layout.segments) {
        FUZZ_CHECK(segment.pageCount > 0);
        FUZZ_CHECK(segment.pageSize > 0);
        sum += uint64_t{segment.pageCount} * segment.pageSize;
    }
    FUZZ_CHECK(layout.totalSize >= 0);
    FUZZ_CHECK(sum == static_cast<uint64_t>(layout.totalSize));
    FUZZ_CHECK(uint64_t{layout.startAddress} + sum <= 0x100000000ull);
}

void checkFirstSegment(const stm32::FlashLayout& layout) {
    FUZZ_CHECK(layout.pageCount >= 0);
    FUZZ_CHECK(layout.pageSize >= 0);
    const uint64_t pageBytes = uint64_t(layout.pageSize) * uint64_t(stm32UnitMultiplier(layout.unit));
    FUZZ_CHECK(pageBytes <= 0x7FFFFFFF);
    if (layout.pageCount > 0 && pageBytes > 0) {
        FUZZ_CHECK(!layout.segments.empty());
        FUZZ_CHECK(layout.segments.front().pageCount == static_cast<uint32_t>(layout.pageCount));
        FUZZ_CHECK(layout.segments.front().pageSize == pageBytes);
    }
}

void checkAgainstScan(const std::string& name, const stm32::FlashLayout& layout) {
    const char* slash = std::strchr(name.c_str(), '/');
    FUZZ_CHECK(slash != nullptr);
    unsigned start = 0;
    int count = 0;
    int size = 0;
    char unit = 0;
    FUZZ_CHECK(std::sscanf(slash, "/%x/%d*%d%c", &start, &count, &size, &unit) == 4);
    FUZZ_CHECK(start == layout.startAddress);
    FUZZ_CHECK(count == layout.pageCount);
    FUZZ_CHECK(size == layout.pageSize);
    FUZZ_CHECK(unit == layout.unit);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    std::string name = "@Internal Flash" + in.rest();
    name = name.substr(0, std::strlen(name.c_str())); // the device text ends at its first NUL
    if (name.size() > kDescriptorText) name.resize(kDescriptorText);

    stm32::FlashLayout layout;
    layout.startAddress = 0x12345678; // must stay as it is on failure
    const bool parsed = stm32::parseFlashLayout(name.c_str(), &layout);
    if (!parsed) {
        FUZZ_CHECK(layout.startAddress == 0x12345678);
        FUZZ_CHECK(layout.segments.empty());
        return 0;
    }
    checkSegments(layout);
    checkFirstSegment(layout);
    checkAgainstScan(name, layout);
    return 0;
}
