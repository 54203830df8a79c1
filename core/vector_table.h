// The Cortex-M vector table the ROM reads when it starts a program: initial
// stack pointer at the base, reset handler at base + 4.
#ifndef STM32_CORE_VECTOR_TABLE_H
#define STM32_CORE_VECTOR_TABLE_H

#include <cstdint>
#include <string>

namespace stm32 {

constexpr uint32_t kErasedWord = 0xFFFFFFFF;

struct VectorTable {
    uint32_t stackPointer = kErasedWord;
    uint32_t resetHandler = kErasedWord;
    bool read = false; // false: the words are not known

    // Erased flash has no program; anything else is taken as one.
    bool holdsProgram() const { return read && resetHandler != kErasedWord; }
};

// The first eight bytes of a buffer as a table; bytes past `length` read as erased.
VectorTable vectorTableAt(const uint8_t* bytes, uint64_t length);

// Empty when a ROM could start the program from this table; otherwise why
// not. A plausible table has a 4-aligned stack pointer inside the SRAM
// regions (0x10000000-0x3FFFFFFF) and an odd (Thumb) reset handler inside
// flash [flashStart, flashEnd).
std::string whyNotStartable(const VectorTable& table, uint32_t base, uint32_t flashStart, uint64_t flashEnd);

} // namespace stm32

#endif
