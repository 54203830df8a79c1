// Static description of each board model: descriptors, memories, timing and
// the ways its ROM departs from the textbook DFU conversation.
#ifndef STM32_VBOARD_PROFILES_H
#define STM32_VBOARD_PROFILES_H

#include "virtual_board.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vboard {

// One alternate setting: its DfuSe name and the memory behind it.
struct MemoryDescription {
    std::string name;              // iInterface text, spaces as the ROM sends them
    uint32_t start = 0;
    std::vector<Segment> segments; // empty: no addressable memory
};

struct Timing {
    // bwPollTimeout the ROM reports in the first status after a request (ms).
    uint32_t pollSetAddressMs = 0;
    uint32_t pollEraseMs = 0;
    uint32_t pollMassEraseMs = 0;
    uint32_t pollWriteMs = 0;
    // True busy times of the part (microseconds).
    uint64_t setAddressUs = 0;
    uint64_t massEraseUs = 0;
    double programUsPerByte = 0;
    // Erase time of one page or sector, by its size in bytes.
    uint64_t eraseUs(uint32_t pageSize) const;
    std::vector<std::pair<uint32_t, uint64_t>> eraseUsBySize; // ascending size
};

// How a ROM answers where ROMs differ. Every field defaults to the plain
// DFU 1.1 / DfuSe behaviour.
struct RomBehaviour {
    // A request that arrives while an erase or write runs is not answered
    // until the operation is over (the control pipe is busy).
    bool holdsRequestsWhileBusy = false;
    // A status request sent before the announced bwPollTimeout has passed is
    // stalled; the operation goes on and the state is kept.
    bool stallsEarlyStatus = false;
    // Set Address Pointer is carried out at once: its first status already
    // answers dfuDNLOAD-IDLE.
    bool setAddressWithoutBusy = false;
    // A sector erase at or above this address leaves the ROM in dfuDNBUSY
    // until two DFU_CLRSTATUS (0: never).
    uint32_t stuckBusyEraseFrom = 0;
    // DFU_CLRSTATUS outside dfuERROR is stalled and the state is kept;
    // otherwise it is stalled into dfuERROR / errSTALLEDPKT.
    bool clearStatusStallKeepsState = false;
    // With read protection on, Set Address Pointer answers errVENDOR too.
    bool protectedSetAddressRefused = true;
    // The first status after the leave request fails instead of answering
    // dfuMANIFEST (the ROM is already gone).
    bool leaveStatusFails = false;
    // A standalone GET_DESCRIPTOR for the functional descriptor is never answered.
    bool ignoresFunctionalDescriptorRequest = false;
    // Bytes of flash the part really has (0: as much as the layout says).
    uint32_t realFlashSize = 0;
};

struct ProfileDescription {
    Profile profile;
    const char* shortName;          // "f1", "f4", ...
    uint16_t bcdDevice;
    std::vector<MemoryDescription> alternates; // alt 0 first
    bool hasFunctionalDescriptor = true;
    uint16_t transferSize = 2048;
    Timing timing;
    const char* product = "STM32  BOOTLOADER";
    const char* fixedSerial = nullptr; // the serial every such ROM reports; null: 12 hex digits per board
    RomBehaviour rom;
    const char* summary = "";       // one line for listings
};

const ProfileDescription& describe(Profile profile);
const std::vector<Profile>& allProfiles();
// The profiles modelled on real ROMs (the others test odd descriptors).
std::vector<Profile> romProfiles();
// Looks a profile up by its short name; false when there is none.
bool profileFromName(const std::string& name, Profile& out);

// Bytes of the DFU functional descriptor for a transfer size.
std::vector<uint8_t> functionalDescriptor(uint16_t transferSize);

} // namespace vboard

#endif
