// The table of ROM knowledge. Families are told apart by what the board
// reports (bcdDevice, wTransferSize, the first segment of its flash layout);
// a board that no row matches gets the default row.
#include "rom_knowledge.h"

#include "layout.h"

namespace stm32 {

namespace {

constexpr uint32_t kMainFlash = 0x08000000;

struct Row {
    uint16_t bcdDevice;      // 0: any
    int32_t transferSize;    // 0: any
    uint32_t firstPageCount; // first layout segment: count x size
    uint32_t firstPageSize;
    RomKnowledge knowledge;
};

constexpr RomKnowledge holdingRequests(const char* family) {
    RomKnowledge row;
    row.family = family;
    row.holdsRequestsWhileBusy = true;
    return row;
}

const Row kRows[] = {
    // F2/F4 [log, src]: holds requests while busy (profiles f4, f411).
    {0x2100, 2048, 4, 16 * 1024, holdingRequests("F2/F4")},
    {0x2200, 2048, 4, 16 * 1024, holdingRequests("F2/F4")},
    // F7 [log]: holds requests while busy (profile f7).
    {0, 2048, 4, 32 * 1024, holdingRequests("F7")},
};

bool matches(const Row& row, const RomIdentity& rom) {
    if (rom.layout == nullptr || rom.layout->startAddress != kMainFlash || rom.layout->segments.empty()) return false;
    if (row.bcdDevice != 0 && row.bcdDevice != rom.bcdDevice) return false;
    if (row.transferSize != 0 && row.transferSize != rom.transferSize) return false;
    const FlashSegment& first = rom.layout->segments.front();
    return first.pageCount == row.firstPageCount && first.pageSize == row.firstPageSize;
}

} // namespace

RomKnowledge knownRom(const RomIdentity& rom) {
    for (const Row& row : kRows) {
        if (matches(row, rom)) return row.knowledge;
    }
    return RomKnowledge{};
}

std::string describeRom(const RomKnowledge& row) {
    std::string text = row.family != nullptr ? row.family : "default";
    auto field = [&text](const char* name, bool value) {
        text += ' ';
        text += name;
        text += value ? "=1" : "=0";
    };
    text += ':';
    field("holdsRequestsWhileBusy", row.holdsRequestsWhileBusy);
    field("stallsEarlyStatus", row.stallsEarlyStatus);
    field("setAddressWithoutBusy", row.setAddressWithoutBusy);
    field("stuckBusyErase", row.stuckBusyErase);
    field("clearStatusStallKeepsState", row.clearStatusStallKeepsState);
    field("realFlashSmaller", row.realFlashSmaller);
    return text;
}

} // namespace stm32
