// Known behaviours of real STM32 ROM bootloaders, matched by what the board
// tells about itself. One table, so that a new finding is one new row.
#ifndef STM32_CORE_ROM_QUIRKS_H
#define STM32_CORE_ROM_QUIRKS_H

#include <cstdint>

#include "layout.h"

namespace stm32 {

struct RomIdentity {
    uint16_t bcdDevice = 0;
    int32_t transferSize = 0;
    const FlashLayout* layout = nullptr; // null: not read
};

struct RomBehaviour {
    const char* family = nullptr; // null: no row matched
    // The ROM holds a DFU_GETSTATUS until the flash operation is over, so
    // polling without waiting the announced bwPollTimeout costs nothing.
    bool holdsStatus = false;
};

RomBehaviour knownRomBehaviour(const RomIdentity& rom);

} // namespace stm32

#endif
