// What the host knows of the STM32 ROM bootloaders, as one table: a default
// row with the tolerances every ROM gets, then one row per family that is
// known to differ. Each field is the host's counterpart of the virtual
// board's behaviour of the same name (vboard/profiles.h); the evidence for
// each lies in one place, the profile table of vboard/README.md.
#ifndef STM32_CORE_ROM_KNOWLEDGE_H
#define STM32_CORE_ROM_KNOWLEDGE_H

#include <cstdint>
#include <string>

namespace stm32 {

struct FlashLayout;

// What the board tells about itself before a command.
struct RomIdentity {
    uint16_t bcdDevice = 0;
    int32_t transferSize = 0;
    const FlashLayout* layout = nullptr; // null: not read
};

// One row; the defaults are the default row.
struct RomKnowledge {
    const char* family = nullptr; // null: the default row
    // The ROM holds a status request until its operation is over, so it is
    // polled at once instead of after the announced bwPollTimeout.
    bool holdsRequestsWhileBusy = false;
    // A status request may be stalled while the ROM is busy: up to three
    // stalls read as "still busy", and every later poll waits.
    bool stallsEarlyStatus = true;
    // A DfuSe command may be carried out at once: a first status of
    // dfuDNLOAD-IDLE with OK instead of dfuDNBUSY is its success.
    bool setAddressWithoutBusy = true;
    // A sector erase may never be reported done: still busy at the stuck-busy
    // threshold, the status is cleared and the erase counted as done.
    bool stuckBusyErase = true;
    // DFU_CLRSTATUS may be stalled outside dfuERROR: it is sent only there,
    // and DFU_ABORT leaves the other states.
    bool clearStatusStallKeepsState = true;
    // The real flash may be smaller than the layout says: an address the
    // board refuses inside its layout is explained so.
    bool realFlashSmaller = true;
};

// The row of the family the board belongs to, else the default row.
RomKnowledge knownRom(const RomIdentity& rom);

// "F2/F4: holdsRequestsWhileBusy=1 stallsEarlyStatus=1 ..." ("default: ..."
// for the default row), for the trace.
std::string describeRom(const RomKnowledge& row);

} // namespace stm32

#endif
