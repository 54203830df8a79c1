#include "physical_minimum.h"

#include <algorithm>
#include <stdexcept>

namespace bench {

namespace {

constexpr uint8_t kErased = 0xFF;

uint64_t countProgrammed(const std::vector<uint8_t>& bytes, uint64_t begin, uint64_t end) {
    return uint64_t(std::count_if(bytes.begin() + long(begin), bytes.begin() + long(end),
                                  [](uint8_t b) { return b != kErased; }));
}

// Programming only clears bits: a page can take the new bytes without an
// erase only where every new byte keeps a subset of the old byte's bits.
bool needsErase(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after, uint64_t begin,
                uint64_t end) {
    for (uint64_t i = begin; i < end; ++i)
        if ((before[i] & after[i]) != after[i]) return true;
    return false;
}

uint64_t countChanged(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after, uint64_t begin,
                      uint64_t end) {
    uint64_t changed = 0;
    for (uint64_t i = begin; i < end; ++i) changed += before[i] != after[i];
    return changed;
}

double totalUs(const Minimum& m) { return m.eraseUs + m.programUs + m.busSeconds() * 1e6; }

Minimum pageByPagePlan(const FlashGeometry& geometry, const std::vector<uint8_t>& before,
                       const std::vector<uint8_t>& after, uint64_t imageBegin, uint64_t imageEnd) {
    Minimum m;
    for (const PhysicalPage& page : geometry.pages) {
        uint64_t end = page.begin + page.size;
        if (end <= imageBegin || page.begin >= imageEnd) continue;
        if (needsErase(before, after, page.begin, end)) {
            uint64_t programmed = countProgrammed(after, page.begin, end);
            m.eraseUs += page.eraseUs;
            m.programUs += double(programmed) * geometry.programUsPerByte;
            m.bytesToBoard += programmed;
            // The host must learn the neighbours before the erase wipes them.
            m.bytesFromBoard += page.size - (std::min(end, imageEnd) - std::max(page.begin, imageBegin));
        } else {
            uint64_t changed = countChanged(before, after, page.begin, end);
            m.programUs += double(changed) * geometry.programUsPerByte;
            m.bytesToBoard += changed;
        }
    }
    return m;
}

Minimum massErasePlan(const FlashGeometry& geometry, const std::vector<uint8_t>& after, uint64_t imageLength) {
    Minimum m;
    m.massErase = true;
    uint64_t programmed = countProgrammed(after, 0, after.size());
    m.eraseUs = geometry.massEraseUs;
    m.programUs = double(programmed) * geometry.programUsPerByte;
    m.bytesToBoard = programmed;
    m.bytesFromBoard = after.size() - imageLength;
    return m;
}

} // namespace

Minimum uploadMinimum(const FlashGeometry& geometry, const std::vector<uint8_t>& before,
                      const std::vector<uint8_t>& image, uint64_t offset) {
    if (before.size() != geometry.size() || offset + image.size() > before.size())
        throw std::invalid_argument("image or flash does not match the geometry");
    std::vector<uint8_t> after = before;
    std::copy(image.begin(), image.end(), after.begin() + long(offset));
    uint64_t imageEnd = offset + image.size();

    Minimum byPage = pageByPagePlan(geometry, before, after, offset, imageEnd);
    Minimum mass = massErasePlan(geometry, after, image.size());
    Minimum best = totalUs(mass) < totalUs(byPage) ? mass : byPage;
    best.bytesFromBoard += image.size(); // the verify read
    return best;
}

Minimum downloadMinimum(uint64_t length) {
    Minimum m;
    m.bytesFromBoard = length;
    return m;
}

Minimum eraseAllMinimum(const FlashGeometry& geometry, const std::vector<uint8_t>& before) {
    if (before.size() != geometry.size()) throw std::invalid_argument("flash does not match the geometry");
    Minimum byPage;
    for (const PhysicalPage& page : geometry.pages)
        if (countProgrammed(before, page.begin, page.begin + page.size) != 0) byPage.eraseUs += page.eraseUs;
    if (geometry.massEraseUs < byPage.eraseUs) {
        Minimum mass;
        mass.massErase = true;
        mass.eraseUs = geometry.massEraseUs;
        return mass;
    }
    return byPage;
}

} // namespace bench
