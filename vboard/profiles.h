// Static description of each board model: descriptors, memories, timing.
#ifndef STM32_VBOARD_PROFILES_H
#define STM32_VBOARD_PROFILES_H

#include "virtual_board.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vboard {

// One alternate setting: its DfuSe name and the memory behind it.
struct MemoryDescription {
    std::string name;              // iInterface text
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

struct ProfileDescription {
    Profile profile;
    const char* shortName;          // "f1", "f4", ...
    uint16_t bcdDevice;
    std::vector<MemoryDescription> alternates; // alt 0 first
    bool hasFunctionalDescriptor = true;
    uint16_t transferSize = 2048;
    Timing timing;
};

const ProfileDescription& describe(Profile profile);
const std::vector<Profile>& allProfiles();
// Looks a profile up by its short name; false when there is none.
bool profileFromName(const std::string& name, Profile& out);

// Bytes of the DFU functional descriptor for a transfer size.
std::vector<uint8_t> functionalDescriptor(uint16_t transferSize);

} // namespace vboard

#endif
