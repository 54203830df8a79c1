// The table of known ROM behaviours. Every row names its evidence; a board no
// row matches gets the conservative default (wait every announced poll time).
#include "rom_quirks.h"

namespace stm32 {

namespace {

constexpr uint32_t kMainFlash = 0x08000000;

struct QuirkRow {
    const char* family;
    uint16_t bcdDevice;       // 0: any
    int32_t transferSize;     // 0: any
    uint32_t firstPageCount;  // first layout segment: count x size
    uint32_t firstPageSize;
    bool holdsStatus;
};

const QuirkRow kRows[] = {
    // F2/F4 (04*016Kg,...): pydfu polls them twice without sleeping and with a
    // 20 s status timeout, which only works because the ROM holds the second
    // request; dfu-util's F405 mass-erase note shows a held 32 s erase.
    {"F2/F4", 0x2100, 2048, 4, 16 * 1024, true},
    {"F2/F4", 0x2200, 2048, 4, 16 * 1024, true},
    // F7 (04*032Kg,...): a public F745 trace shows the second status of a
    // sector erase returned late with the erase done (held), bwPollTimeout 100 ms.
    {"F7", 0, 2048, 4, 32 * 1024, true},
};

bool matches(const QuirkRow& row, const RomIdentity& rom) {
    if (rom.layout == nullptr || rom.layout->startAddress != kMainFlash || rom.layout->segments.empty()) return false;
    if (row.bcdDevice != 0 && row.bcdDevice != rom.bcdDevice) return false;
    if (row.transferSize != 0 && row.transferSize != rom.transferSize) return false;
    const FlashSegment& first = rom.layout->segments.front();
    return first.pageCount == row.firstPageCount && first.pageSize == row.firstPageSize;
}

} // namespace

RomBehaviour knownRomBehaviour(const RomIdentity& rom) {
    for (const QuirkRow& row : kRows) {
        if (matches(row, rom)) return {row.family, row.holdsStatus};
    }
    return {};
}

} // namespace stm32
