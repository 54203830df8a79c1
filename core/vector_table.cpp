// Plausibility of a vector table before the leave request starts it.
#include "vector_table.h"

#include <cstdio>

namespace stm32 {

namespace {
constexpr uint32_t kRamLow = 0x10000000;
constexpr uint32_t kRamHigh = 0x3FFFFFFF;
} // namespace

VectorTable vectorTableAt(const uint8_t* bytes, uint64_t length) {
    uint32_t words[2] = {kErasedWord, kErasedWord};
    for (uint64_t i = 0; i < 8 && i < length && bytes != nullptr; ++i) {
        uint32_t& word = words[i / 4];
        uint32_t shift = static_cast<uint32_t>(8 * (i % 4));
        word = (word & ~(0xFFu << shift)) | (static_cast<uint32_t>(bytes[i]) << shift);
    }
    return VectorTable{words[0], words[1], true};
}

std::string whyNotStartable(const VectorTable& table, uint32_t base, uint32_t flashStart, uint64_t flashEnd) {
    char why[160];
    const uint32_t sp = table.stackPointer;
    const uint32_t pc = table.resetHandler;
    if (!table.read) {
        std::snprintf(why, sizeof why, "the vector table at 0x%08X could not be read", base);
    } else if (sp < kRamLow || sp > kRamHigh || sp % 4 != 0) {
        std::snprintf(why, sizeof why, "the stack pointer 0x%08X at 0x%08X is not a 4-aligned RAM address", sp, base);
    } else if (pc % 2 == 0 || pc < flashStart || pc >= flashEnd) {
        std::snprintf(why, sizeof why, "the reset handler 0x%08X at 0x%08X is not an odd flash address", pc,
                      base + 4);
    } else {
        return std::string();
    }
    return why;
}

} // namespace stm32
