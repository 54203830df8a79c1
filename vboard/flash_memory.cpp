#include "flash_memory.h"

#include <algorithm>

namespace vboard {

FlashMemory::FlashMemory(uint32_t start, std::vector<Segment> segments)
    : start_(start), segments_(std::move(segments)) {
    uint64_t total = 0;
    for (const auto& segment : segments_) total += uint64_t(segment.count) * segment.size;
    bytes_.assign(size_t(total), 0xFF);
}

bool FlashMemory::contains(uint32_t address, uint32_t length) const {
    if (address < start_) return false;
    uint64_t offset = uint64_t(address) - start_;
    return offset + length <= bytes_.size() && (length > 0 || offset < bytes_.size());
}

Page FlashMemory::pageAt(uint32_t address) const {
    if (!contains(address, 1)) return {0, 0};
    uint64_t pageStart = start_;
    for (const auto& segment : segments_) {
        for (uint32_t i = 0; i < segment.count; ++i) {
            if (address < pageStart + segment.size) return {uint32_t(pageStart), segment.size};
            pageStart += segment.size;
        }
    }
    return {0, 0};
}

void FlashMemory::erasePage(uint32_t address) {
    Page page = pageAt(address);
    if (page.size == 0) return;
    auto first = bytes_.begin() + (page.start - start_);
    std::fill(first, first + page.size, 0xFF);
}

void FlashMemory::eraseAll() { fill(0xFF); }

bool FlashMemory::program(uint32_t address, const uint8_t* data, uint32_t length) {
    if (!contains(address, length)) return false;
    bool matches = true;
    uint8_t* target = bytes_.data() + (address - start_);
    for (uint32_t i = 0; i < length; ++i) {
        target[i] &= data[i];
        if (target[i] != data[i]) matches = false;
    }
    return matches;
}

std::vector<uint8_t> FlashMemory::read(uint32_t address, uint32_t length) const {
    if (!contains(address, length)) return {};
    auto first = bytes_.begin() + (address - start_);
    return std::vector<uint8_t>(first, first + length);
}

void FlashMemory::write(uint32_t address, const std::vector<uint8_t>& data) {
    if (!contains(address, uint32_t(data.size()))) return;
    std::copy(data.begin(), data.end(), bytes_.begin() + (address - start_));
}

void FlashMemory::fill(uint8_t value) { std::fill(bytes_.begin(), bytes_.end(), value); }

void FlashMemory::fillPattern(uint32_t seed) {
    // xorshift32: cheap, deterministic, and never stuck at zero.
    uint32_t x = seed ? seed : 0x9E3779B9u;
    for (auto& byte : bytes_) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        byte = uint8_t(x >> 24);
    }
}

} // namespace vboard
