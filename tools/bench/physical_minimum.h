// The least time a board could possibly take for a job: the busy time of the
// pages that must be erased and of the bytes that must be programmed, plus
// the bus time of the bytes that must cross the pipe. Pure arithmetic over a
// flash geometry and the flash contents before the job, so that it can be
// tested on its own.
#ifndef STM32_BENCH_PHYSICAL_MINIMUM_H
#define STM32_BENCH_PHYSICAL_MINIMUM_H

#include <cstdint>
#include <vector>

namespace bench {

// A full-speed USB frame carries at most 13 control data packets of 64 bytes
// per millisecond.
constexpr double kControlBytesPerSecond = 832000.0;

struct PhysicalPage {
    uint64_t begin;   // offset from flash start
    uint64_t size;
    double eraseUs;   // true erase time of this page or sector
};

struct FlashGeometry {
    std::vector<PhysicalPage> pages; // ascending, covering the whole flash
    double massEraseUs = 0;
    double programUsPerByte = 0;
    uint64_t size() const { return pages.empty() ? 0 : pages.back().begin + pages.back().size; }
};

struct Minimum {
    double eraseUs = 0;
    double programUs = 0;
    uint64_t bytesToBoard = 0;   // data that must be sent
    uint64_t bytesFromBoard = 0; // data that must be read (kept neighbours, verify)
    bool massErase = false;      // the cheaper plan erases the whole flash at once

    double busSeconds() const { return double(bytesToBoard + bytesFromBoard) / kControlBytesPerSecond; }
    // Busy times scale with the board's time scale; the bus does not.
    double seconds(double timeScale) const { return timeScale * (eraseUs + programUs) / 1e6 + busSeconds(); }
};

// Upload of `image` at `offset` onto flash holding `before`, with the
// read-back of the neighbours that share an erased page and the verify read.
// The cheaper of two plans: erase only the pages that need it, or one mass
// erase and the whole flash programmed again.
Minimum uploadMinimum(const FlashGeometry& geometry, const std::vector<uint8_t>& before,
                      const std::vector<uint8_t>& image, uint64_t offset);

// Reading `length` bytes: nothing but the bus.
Minimum downloadMinimum(uint64_t length);

// Erasing the whole flash: the pages that are not blank, or one mass erase,
// whichever is quicker.
Minimum eraseAllMinimum(const FlashGeometry& geometry, const std::vector<uint8_t>& before);

} // namespace bench

#endif
