// A memory that behaves like flash: erase by physical page, program clears bits.
#ifndef STM32_VBOARD_FLASH_MEMORY_H
#define STM32_VBOARD_FLASH_MEMORY_H

#include "virtual_board.h"

#include <cstdint>
#include <vector>

namespace vboard {

struct Page {
    uint32_t start;
    uint32_t size;
};

class FlashMemory {
public:
    FlashMemory(uint32_t start, std::vector<Segment> segments);

    uint32_t start() const { return start_; }
    uint32_t size() const { return uint32_t(bytes_.size()); }
    const std::vector<Segment>& segments() const { return segments_; }
    bool contains(uint32_t address, uint32_t length) const;

    // The physical page or sector holding the address; size 0 if none.
    Page pageAt(uint32_t address) const;

    void erasePage(uint32_t address);
    void eraseAll();
    // Programs bytes the way flash does (bits only go from 1 to 0); false if
    // the result differs from the data, i.e. the bytes were not erased.
    bool program(uint32_t address, const uint8_t* data, uint32_t length);

    std::vector<uint8_t> read(uint32_t address, uint32_t length) const;
    void write(uint32_t address, const std::vector<uint8_t>& data); // no flash rules
    const std::vector<uint8_t>& bytes() const { return bytes_; }
    void fill(uint8_t value);
    void fillPattern(uint32_t seed);

private:
    uint32_t start_;
    std::vector<Segment> segments_;
    std::vector<uint8_t> bytes_;
};

} // namespace vboard

#endif
