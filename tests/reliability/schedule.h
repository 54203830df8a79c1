// Randomized fault schedules against the virtual boards: one schedule is one
// upload, download or erase with at most one fault injected at a random
// point, followed by the checks that must hold whatever the fault did.
#ifndef STM32_TESTS_RELIABILITY_SCHEDULE_H
#define STM32_TESTS_RELIABILITY_SCHEDULE_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "virtual_board.h"

namespace reliability {

enum class Operation { Upload, Download, Erase };

struct Schedule {
    uint64_t seed = 0;
    vboard::Profile profile = vboard::Profile::F1;
    Operation operation = Operation::Upload;
    uint32_t offset = 0;
    uint32_t length = 0;      // image length (upload) or size (download, erase; 0 = whole flash)
    bool erasedFlash = false; // board starts erased instead of with a pattern
    // Other devices on the bus: a keyboard listed first, and a second F1
    // board before or after the target that no command may touch.
    bool foreignFirst = false;
    enum class Bystander { None, Before, After } bystander = Bystander::None;
    std::optional<vboard::Fault> fault;
    // Armed once the first has fired: a fault in the recovery that follows.
    std::optional<vboard::Fault> secondFault;
    // A flash byte of the image that turns bad while the engine logs
    // "Verifying." (a cell that did not take): the verify must catch it.
    std::optional<uint32_t> corruptAtVerify; // image position

    std::string describe() const;
};

// What a schedule needs to know of the board it runs on.
struct Geometry {
    uint32_t flashSize = 0;
    uint32_t blockSize = 0;
    std::vector<uint32_t> pageStarts; // offsets from flash start, ascending, first 0

    static Geometry of(const vboard::Board& board);
    static Geometry of(vboard::Profile profile); // from a board made once per profile
    // Offsets [begin, end) of the whole physical pages holding [offset, offset + length).
    std::pair<uint32_t, uint32_t> pagesHolding(uint32_t offset, uint32_t length) const;
};

// Draws the schedule of one seed. The same seed always gives the same
// schedule, so any failure can be replayed from its seed.
Schedule drawSchedule(uint64_t seed, vboard::Profile profile, const Geometry& geometry);

struct Outcome {
    int32_t result = 0;
    bool faultFired = false;
    std::chrono::milliseconds elapsed{0};
    std::vector<std::string> violations; // empty when every invariant held
};

// Bounds the core is run with; a command must never take longer than
// hangBound, whatever the board does.
struct Bounds {
    unsigned controlTimeoutMs = 250;
    std::chrono::milliseconds busyWaitLimit{300};
    std::chrono::milliseconds hangBound{20000};
};

// Draws and runs the schedule of one seed on a fresh bus in this process
// (which must run under the umockdev preload) and checks every invariant.
Outcome runSchedule(uint64_t seed, vboard::Profile profile, const Bounds& bounds = {});
// The same for a schedule given in full (regression cases).
Outcome runSchedule(const Schedule& schedule, const Bounds& bounds = {});

const char* profileName(vboard::Profile profile);
const char* faultTypeName(vboard::FaultType type);

} // namespace reliability

#endif
