// The erase command: the whole flash with one mass erase, or a range of it
// with every byte outside the range kept.
#include <algorithm>
#include <vector>

#include "jobs.h"
#include "log.h"
#include "target_session.h"

namespace stm32 {

namespace {

// Erases the pages that hold range; their bytes outside it are read back
// first and written again, so exactly the range ends up erased. The erase of
// a page and the rewrite of its kept bytes belong together: nothing may come
// between them.
int32_t eraseRange(TargetSession& target, Range range) {
    if (range.length() == 0) return STM32_RESULT_OK;
    const uint64_t block = target.blockSize();
    PageMap map = target.pageMap();
    Range run = map.widen(range);
    Range head{run.begin, std::min(run.end, (range.begin + block - 1) / block * block)};
    Range tail{std::max(run.begin, range.end / block * block), run.end};
    std::vector<uint8_t> keep(run.length(), 0xFF);
    if (head.length() != 0 && target.readRun(head, keep.data()) != 0) return STM32_RESULT_READ_ERROR;
    if (tail.length() != 0 && target.readRun(tail, keep.data() + (tail.begin - run.begin)) != 0) {
        return STM32_RESULT_READ_ERROR;
    }
    std::fill(keep.begin() + static_cast<std::ptrdiff_t>(range.begin - run.begin),
              keep.begin() + static_cast<std::ptrdiff_t>(range.end - run.begin), 0xFF);
    // The kept bytes are all in hand from here on.
    const std::vector<uint32_t> pages = map.pageAddresses(run);
    if (target.erasePages(pages) != 0) return STM32_RESULT_ERASE_ERROR;
    Stm32CommandReport& report = target.context()->report;
    report.pagesErased = static_cast<int32_t>(pages.size());
    // All-0xFF blocks cost no transfer, so the whole run is handed over.
    const bool keepsBytes = head.length() != 0 || tail.length() != 0;
    if (keepsBytes && target.writeRun(run, keep.data(), TargetSession::Dots::Hidden) != 0) {
        return STM32_RESULT_WRITE_ERROR;
    }
    report.pagesWritten = static_cast<int32_t>(pagesWritten(map, {run}, keep.data(), run.begin));
    report.bytes = static_cast<uint32_t>(range.length());
    return STM32_RESULT_OK;
}

int32_t eraseSteps(TargetSession& target, uint64_t offset, int32_t size) {
    Stm32Context* ctx = target.context();
    if (size < 0) {
        logLine(ctx, "Invalid size.");
        return STM32_RESULT_INVALID_OFFSET;
    }
    const bool wholeFlash = size == 0 && offset == 0;
    if (size > 0 && offset >= target.usable()) {
        logLine(ctx, "Invalid offset.");
        return STM32_RESULT_INVALID_OFFSET;
    }
    Range range{offset, std::min(offset + static_cast<uint64_t>(size), std::max(target.usable(), offset))};
    if (!target.open()) return STM32_RESULT_OPEN_ERROR;
    if (!wholeFlash && !target.runIsWholePages(target.pageMap().widen(range))) {
        logLine(ctx, "Invalid offset.");
        return STM32_RESULT_INVALID_OFFSET;
    }
    target.beginProgress("Erasing pages.");
    int32_t result = STM32_RESULT_OK;
    if (wholeFlash) {
        if (target.massErase() != 0) {
            result = STM32_RESULT_ERASE_ERROR;
        } else {
            const PageMap map = target.pageMap();
            ctx->report.massErase = 1;
            ctx->report.pagesErased = static_cast<int32_t>(map.pageAddresses({0, map.usableBytes()}).size());
            ctx->report.bytes = static_cast<uint32_t>(map.usableBytes());
        }
    } else {
        result = eraseRange(target, range);
    }
    if (result != STM32_RESULT_OK) return target.failed(result);
    target.endProgress();
    return result;
}

} // namespace

int32_t runErase(TargetSession& target, uint32_t offset, int32_t size) {
    return target.finish(eraseSteps(target, offset, size), "Error while erasing STM32 flash.");
}

} // namespace stm32
