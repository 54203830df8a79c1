// The upload planner over arbitrary geometries, defined ranges and flash
// contents, with and without skipping unchanged pages.
//
// The plan is carried out on a model of flash that erases by physical page
// and programs only erased bytes, from a buffer that holds only what the
// plan read: afterwards every defined byte holds the image and every other
// byte of flash what it held before. With skip-unchanged, a page whose
// defined bytes already match is neither erased nor written, and flash that
// already holds the image gets no erase and no write at all.
#include <algorithm>
#include <vector>

#include "engine_plan.h"
#include "fuzz_input.h"
#include "upload_plan.h"

namespace {

constexpr uint32_t kFlashStart = 0x08000000;
constexpr uint8_t kUnread = 0xA5; // buffer bytes the plan never read

stm32::FlashLayout drawLayout(fuzz::Input& in) {
    static const uint32_t sizes[] = {256, 1024, 2048, 16384, 65536, 131072};
    stm32::FlashLayout layout;
    layout.startAddress = kFlashStart;
    uint64_t total = 0;
    for (int i = 0, segments = 1 + in.byte() % 3; i < segments; ++i) {
        const stm32::FlashSegment segment{1u + in.byte() % 16, sizes[in.byte() % 6]};
        layout.segments.push_back(segment);
        total += uint64_t{segment.pageCount} * segment.pageSize;
    }
    layout.totalSize = static_cast<int32_t>(total);
    return layout;
}

// Old flash: pseudo-random, with some pages blank.
std::vector<uint8_t> drawFlash(fuzz::Input& in, const stm32::PageMap& map, uint64_t total) {
    std::vector<uint8_t> flash(total);
    uint32_t x = in.word(4) | 1;
    for (auto& b : flash) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    const uint8_t blankEvery = in.byte();
    uint64_t page = 0;
    for (int n = 0; page < total; ++n) {
        const stm32::Range r = map.pageAt(page);
        if (blankEvery != 0 && n % (1 + blankEvery % 4) == 0) {
            std::fill(flash.begin() + long(r.begin), flash.begin() + long(std::min(r.end, total)), 0xFF);
        }
        page = std::max(r.end, page + 1);
    }
    return flash;
}

// The image: over each defined range either what flash holds (unchanged),
// that with one byte changed, or new bytes.
std::vector<uint8_t> drawImage(fuzz::Input& in, const stm32::RangeList& defined, uint64_t offset,
                               const std::vector<uint8_t>& flash, uint64_t length) {
    std::vector<uint8_t> image(length, 0xFF);
    for (const stm32::Range& r : defined) {
        const uint8_t kind = in.byte() % 3;
        for (uint64_t i = r.begin; i < r.end; ++i) {
            image[i] = kind == 2 ? static_cast<uint8_t>(i * 31 + r.begin) : flash[offset + i];
        }
        if (kind == 1) image[r.begin + in.word(3) % r.length()] ^= 0x10;
    }
    return image;
}

void copyRuns(const stm32::RangeList& runs, const std::vector<uint8_t>& from, std::vector<uint8_t>& to) {
    for (const stm32::Range& run : runs) std::copy(from.begin() + long(run.begin), from.begin() + long(run.end), to.begin() + long(run.begin));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint32_t block = 1u << (6 + in.byte() % 6); // 64 to 2048 bytes
    const stm32::FlashLayout layout = drawLayout(in);
    const uint64_t total = static_cast<uint64_t>(layout.totalSize);
    const uint64_t flashBytes = in.byte() < 200 ? total : 1 + in.word(3) % total;
    const stm32::PageMap map(kFlashStart, block, flashBytes, &layout);
    const uint64_t usable = map.usableBytes();
    if (usable == 0) return 0;

    stm32::UploadSettings settings;
    settings.flashSize = flashBytes;
    settings.offset = in.byte() < 128 ? 0 : in.word(3) % usable;
    settings.skipUnchanged = in.byte() % 2 == 0;
    settings.massEraseAllowed = total <= usable; // the lent flash is the whole part
    const uint64_t length = 1 + in.word(3) % (usable - settings.offset);
    std::vector<Stm32ByteRange> given;
    for (int n = 1 + in.byte() % 4; n > 0; --n) {
        const uint32_t begin = in.word(3) % length;
        given.push_back({begin, static_cast<uint32_t>(begin + in.word(3) % (length - begin + 1))});
    }
    stm32::RangeList defined;
    FUZZ_CHECK(stm32::definedImageRanges(given.data(), int32_t(given.size()), length, &defined));
    if (defined.empty()) return 0;

    const std::vector<uint8_t> before = drawFlash(in, map, total);
    const std::vector<uint8_t> image = drawImage(in, defined, settings.offset, before, length);
    const stm32::UploadPlanner planner(map, stm32::shifted(defined, settings.offset), settings);
    if (!planner.pagesInsideFlash()) return 0; // the engine refuses these

    // What the engine does: read, decide, read more, copy the image in.
    std::vector<uint8_t> buffer(total, kUnread);
    copyRuns(planner.reads(), before, buffer);
    const stm32::WritePlan plan = planner.decide(buffer.data(), image.data());
    copyRuns(plan.moreReads, before, buffer);
    for (const stm32::Range& r : defined) {
        std::copy(image.begin() + long(r.begin), image.begin() + long(r.end), buffer.begin() + long(settings.offset + r.begin));
    }

    // Carried out on flash that erases by page and programs erased bytes only.
    std::vector<uint8_t> flash = before;
    if (plan.massErase) std::fill(flash.begin(), flash.end(), 0xFF);
    for (uint32_t address : plan.eraseAddresses) {
        const stm32::Range page = map.pageAt(address - kFlashStart);
        FUZZ_CHECK(uint64_t{address} - kFlashStart == page.begin && page.end <= usable);
        std::fill(flash.begin() + long(page.begin), flash.begin() + long(page.end), 0xFF);
    }
    for (const stm32::Range& run : plan.writes) {
        FUZZ_CHECK(run.begin % block == 0 && run.end % block == 0 && run.end <= usable);
        // Written pages were erased first or were blank.
        for (uint64_t i = run.begin; i < run.end; ++i) {
            FUZZ_CHECK(flash[i] == 0xFF);
            flash[i] = buffer[i];
        }
    }

    std::vector<uint8_t> expected = before;
    for (const stm32::Range& r : defined) {
        std::copy(image.begin() + long(r.begin), image.begin() + long(r.end), expected.begin() + long(settings.offset + r.begin));
    }
    FUZZ_CHECK(flash == expected);
    FUZZ_CHECK(plan.skippedPages <= plan.pages);
    if (settings.skipUnchanged && expected == before) {
        FUZZ_CHECK(!plan.massErase && plan.eraseAddresses.empty() && plan.writes.empty());
        FUZZ_CHECK(plan.skippedPages == plan.pages);
    }
    if (!settings.skipUnchanged) FUZZ_CHECK(plan.skippedPages == 0);
    return 0;
}
