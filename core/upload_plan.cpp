// Upload planning: the pages that hold defined bytes, and which of them are
// read, erased and written.
#include "upload_plan.h"

#include <algorithm>
#include <cstring>

namespace stm32 {

namespace {

bool allErased(const uint8_t* bytes, uint64_t length) {
    for (uint64_t i = 0; i < length; ++i) {
        if (bytes[i] != 0xFF) return false;
    }
    return true;
}

// Calls visit(begin, end, defined) for the pieces of unit, split where the
// defined ranges begin and end.
template <typename Visit>
void walkPieces(Range unit, const RangeList& defined, Visit visit) {
    auto it = std::upper_bound(defined.begin(), defined.end(), unit.begin,
                               [](uint64_t at, const Range& r) { return at < r.end; });
    uint64_t at = unit.begin;
    for (; it != defined.end() && it->begin < unit.end && at < unit.end; ++it) {
        uint64_t begin = std::max(it->begin, at);
        if (begin > at) visit(at, begin, false);
        uint64_t end = std::min(it->end, unit.end);
        visit(begin, end, true);
        at = end;
    }
    if (at < unit.end) visit(at, unit.end, false);
}

} // namespace

bool definedImageRanges(const Stm32ByteRange* ranges, int32_t count, uint64_t imageLength, RangeList* out) {
    out->clear();
    if (ranges == nullptr || count <= 0) {
        if (imageLength > 0) out->push_back({0, imageLength});
        return true;
    }
    RangeList given;
    for (int32_t i = 0; i < count; ++i) {
        if (ranges[i].begin > ranges[i].end || ranges[i].end > imageLength) return false;
        if (ranges[i].begin < ranges[i].end) given.push_back({ranges[i].begin, ranges[i].end});
    }
    *out = merged(std::move(given));
    return true;
}

uint64_t totalLength(const RangeList& ranges) {
    uint64_t total = 0;
    for (const Range& r : ranges) total += r.length();
    return total;
}

bool covers(const RangeList& ranges, Range r) {
    return std::any_of(ranges.begin(), ranges.end(),
                       [&](const Range& d) { return d.begin <= r.begin && r.end <= d.end; });
}

RangeList shifted(const RangeList& ranges, uint64_t by) {
    RangeList out;
    out.reserve(ranges.size());
    for (const Range& r : ranges) out.push_back({r.begin + by, r.end + by});
    return out;
}

RangeList merged(RangeList ranges) {
    std::sort(ranges.begin(), ranges.end(), [](const Range& a, const Range& b) { return a.begin < b.begin; });
    RangeList out;
    for (const Range& r : ranges) {
        if (r.length() == 0) continue;
        if (!out.empty() && r.begin <= out.back().end) {
            out.back().end = std::max(out.back().end, r.end);
        } else {
            out.push_back(r);
        }
    }
    return out;
}

RangeList without(const RangeList& a, const RangeList& b) {
    RangeList out;
    auto cut = b.begin();
    for (Range r : a) {
        while (cut != b.end() && cut->end <= r.begin) ++cut;
        for (auto c = cut; c != b.end() && c->begin < r.end; ++c) {
            if (c->begin > r.begin) out.push_back({r.begin, c->begin});
            r.begin = std::max(r.begin, c->end);
        }
        if (r.begin < r.end) out.push_back(r);
    }
    return out;
}

RangeList blocksHolding(const RangeList& ranges, uint32_t blockSize, uint64_t limit) {
    RangeList blocks;
    for (const Range& r : ranges) {
        Range block{alignDown(r.begin, blockSize), std::min(alignUp(r.end, blockSize), limit)};
        if (block.length() != 0) blocks.push_back(block);
    }
    return merged(std::move(blocks));
}

UploadPlanner::UploadPlanner(const PageMap& map, RangeList defined, const UploadSettings& settings)
    : map_(map), defined_(std::move(defined)), settings_(settings) {
    for (const Range& r : defined_) {
        uint64_t at = r.begin;
        while (at < r.end) {
            if (!units_.empty() && at < units_.back().end) {
                at = units_.back().end;
                continue;
            }
            Range unit = map_.widen({at, at + 1});
            if (unit.length() == 0) break; // past the usable flash
            units_.push_back(unit);
            at = unit.end;
        }
    }
    // From the defined bytes, not from the span: a small file high in flash
    // must not wipe everything below it.
    wholeFlash_ = settings_.massEraseAllowed &&
                  useWholeFlashMode(settings_.offset, totalLength(defined_), settings_.flashSize);
    // Comparing needs every page that holds defined bytes, whole.
    reads_ = wholeFlash_ && !settings_.skipUnchanged ? wholeFlashReads() : merged(units_);
}

bool UploadPlanner::pagesInsideFlash() const {
    RangeList runs = merged(units_);
    if (wholeFlash_) runs.push_back({0, map_.usableBytes()});
    return std::all_of(runs.begin(), runs.end(), [&](const Range& run) {
        return run.length() == 0 || (map_.pageInsideFlash(run.begin) && map_.pageInsideFlash(run.end - 1));
    });
}

// Every block holding a byte the file does not define is carried over the
// mass erase. The tail after the last defined byte is read as the classic
// upload always read it: one block more when the image ends on a block
// boundary.
RangeList UploadPlanner::wholeFlashReads() const {
    const uint64_t usable = map_.usableBytes();
    const uint32_t block = map_.blockSize();
    RangeList reads = blocksHolding(without({{0, usable}}, defined_), block, usable);
    uint64_t lastEnd = defined_.empty() ? 0 : defined_.back().end;
    uint64_t flashBlocks = usable / block;
    uint64_t rest = settings_.flashSize > lastEnd ? settings_.flashSize - lastEnd : 0;
    uint64_t tailBlocks = std::min(rest / block + 1, flashBlocks);
    reads.push_back({usable - tailBlocks * block, usable});
    return merged(std::move(reads));
}

uint32_t UploadPlanner::pageCount(Range unit) const {
    return static_cast<uint32_t>(map_.pageAddresses(unit).size());
}

UploadPlanner::UnitState UploadPlanner::examine(Range unit, const uint8_t* readBack, const uint8_t* image) const {
    UnitState state{false, allErased(readBack + unit.begin, unit.length()), false};
    walkPieces(unit, defined_, [&](uint64_t begin, uint64_t end, bool defined) {
        const uint8_t* flash = readBack + begin;
        if (!defined) {
            state.holdsData = state.holdsData || !allErased(flash, end - begin);
            return;
        }
        const uint8_t* wanted = image + (begin - settings_.offset);
        state.changed = state.changed || std::memcmp(flash, wanted, end - begin) != 0;
        state.holdsData = state.holdsData || !allErased(wanted, end - begin);
    });
    return state;
}

WritePlan UploadPlanner::massErasePlan() const {
    WritePlan plan;
    plan.massErase = true;
    plan.writes = {{0, map_.usableBytes()}};
    for (const Range& unit : units_) plan.pages += pageCount(unit);
    return plan;
}

WritePlan UploadPlanner::decide(const uint8_t* readBack, const uint8_t* image) const {
    if (wholeFlash_ && !settings_.skipUnchanged) return massErasePlan();
    WritePlan plan;
    uint32_t pagesToErase = 0;
    uint32_t pagesWithData = 0;
    RangeList writes;
    for (const Range& unit : units_) {
        uint32_t pages = pageCount(unit);
        plan.pages += pages;
        UnitState state{true, false, true};
        if (settings_.skipUnchanged) state = examine(unit, readBack, image);
        if (state.holdsData) pagesWithData += pages;
        if (!state.changed) {
            plan.skippedPages += pages;
            continue;
        }
        writes.push_back(unit);
        // Only a blank page takes new bytes without an erase: parts with
        // ECC flash refuse to program a word twice even to clear bits.
        if (state.erased) continue;
        pagesToErase += pages;
        std::vector<uint32_t> addresses = map_.pageAddresses(unit);
        plan.eraseAddresses.insert(plan.eraseAddresses.end(), addresses.begin(), addresses.end());
    }
    plan.writes = merged(std::move(writes));
    // A mass erase makes every page that holds data be written again, while
    // page erases touch only the changed ones. On parts whose page erase
    // costs about as much as writing the page (F1-class) page erases win
    // while at most half of those pages need one; on sector parts they win
    // by more. Pages with data outside the file are not known before the
    // mass-erase reads, so the count leans towards page erases.
    if (wholeFlash_ && 2 * static_cast<uint64_t>(pagesToErase) > pagesWithData) {
        WritePlan mass = massErasePlan();
        mass.moreReads = without(wholeFlashReads(), reads_);
        return mass;
    }
    return plan;
}

} // namespace stm32
