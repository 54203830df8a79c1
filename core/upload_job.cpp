// The upload command: read back what the image does not cover, erase, write,
// verify against the image, then start the program.
#include <cstring>
#include <string>

#include "jobs.h"
#include "log.h"
#include "target_session.h"
#include "upload_plan.h"
#include "vector_table.h"

namespace stm32 {

namespace {

constexpr int kDiffLinesPerBlock = 3; // enough to see the pattern of a bad block without flooding the log

class UploadJob {
public:
    UploadJob(TargetSession& target, uint64_t offset) : target_(target), ctx_(target.context()), offset_(offset) {}

    int32_t run();

private:
    bool imageFits() const;
    int32_t definedBytes(RangeList* defined);
    bool massEraseAllowed() const;
    UploadSettings uploadSettings() const;
    void copyDefinedBytes(const RangeList& defined);
    int32_t eraseAndWrite(const WritePlan& plan);
    bool verify(const RangeList& defined, bool sparse, bool* differs);
    bool reportDifferences(const uint8_t* flash, const RangeList& defined);
    void startProgram(const VectorTable& resident);

    TargetSession& target_;
    Stm32Context* ctx_;
    uint64_t offset_;
};

int32_t UploadJob::run() {
    if (!imageFits()) {
        logLine(ctx_, "Invalid offset.");
        return STM32_RESULT_INVALID_OFFSET;
    }
    RangeList defined;
    const int32_t undefined = definedBytes(&defined);
    if (undefined != STM32_RESULT_OK) return undefined;
    // Ranges that cover the whole image make it a raw one.
    const bool sparse = !(defined.size() == 1 && defined[0] == Range{0, static_cast<uint64_t>(ctx_->imageLength)});
    if (!target_.open()) return STM32_RESULT_OPEN_ERROR;
    const UploadSettings settings = uploadSettings();
    PageMap map = target_.pageMap();
    UploadPlanner planner(map, shifted(defined, offset_), settings);
    if (!planner.pagesInsideFlash()) {
        logLine(ctx_, "Invalid offset.");
        return STM32_RESULT_INVALID_OFFSET;
    }

    if (offset_ != 0) logLine(ctx_, "Address: 0x%08X", target_.address(offset_));
    logLine(ctx_, "Reading flash.");
    // Below offset 8 the image replaces the resident vector table, unless it
    // is a sparse one that leaves the table alone.
    VectorTable resident;
    if (offset_ >= 8 || (sparse && !covers(defined, {0, 8}))) resident = target_.readResidentVectorTable();

    if (target_.readRuns(planner.reads()) != 0) return target_.failed(STM32_RESULT_READ_ERROR);
    WritePlan plan = planner.decide(ctx_->flashBuffer, ctx_->image);
    if (settings.skipUnchanged) logLine(ctx_, "Skipped %u of %u pages (unchanged).", plan.skippedPages, plan.pages);
    ctx_->report.pagesSkipped = static_cast<int32_t>(plan.skippedPages);
    if (target_.readRuns(plan.moreReads) != 0) return target_.failed(STM32_RESULT_READ_ERROR);
    copyDefinedBytes(defined);

    // The flash buffer now holds everything the pages to erase must hold
    // again: the board is changed from here on.
    int32_t result = eraseAndWrite(plan);
    if (result != STM32_RESULT_OK) return result;

    logLine(ctx_, "Verifying.");
    bool differs = false;
    if (!verify(defined, sparse, &differs)) {
        result = target_.failed(STM32_RESULT_READ_ERROR);
        if (result == STM32_RESULT_READ_ERROR) logLine(ctx_, "Error while reading flash memory.");
        return result;
    }
    if (differs) return STM32_RESULT_VERIFY_ERROR;
    ctx_->report.bytes = static_cast<uint32_t>(totalLength(defined));
    startProgram(resident);
    return STM32_RESULT_OK;
}

bool UploadJob::imageFits() const {
    const int64_t imageLength = ctx_->imageLength;
    return ctx_->image != nullptr && ctx_->flashBuffer != nullptr && imageLength >= 0 &&
           offset_ + static_cast<uint64_t>(imageLength) <= target_.usable() &&
           target_.flashStart() + offset_ + static_cast<uint64_t>(imageLength) <= 0x100000000ULL;
}

// The image positions to program; logs why there are none.
int32_t UploadJob::definedBytes(RangeList* defined) {
    const uint64_t length = static_cast<uint64_t>(ctx_->imageLength);
    if (!definedImageRanges(ctx_->imageRanges, ctx_->imageRangeCount, length, defined)) {
        logLine(ctx_, "Image ranges lie outside the image.");
        return STM32_RESULT_INVALID_OFFSET;
    }
    if (defined->empty()) {
        logLine(ctx_, "Image is empty.");
        return STM32_RESULT_EMPTY_IMAGE;
    }
    return STM32_RESULT_OK;
}

// Mass erase wipes the whole part: only when our buffer is the whole part.
bool UploadJob::massEraseAllowed() const {
    const FlashLayout* layout = target_.layout();
    if (layout == nullptr) return true;
    return layout->startAddress == target_.flashStart() &&
           static_cast<uint64_t>(layout->totalSize) <= target_.usable();
}

UploadSettings UploadJob::uploadSettings() const {
    UploadSettings settings;
    settings.flashSize = target_.flashSize();
    settings.offset = offset_;
    settings.skipUnchanged = (ctx_->uploadFlags & STM32_UPLOAD_SKIP_UNCHANGED) != 0;
    settings.massEraseAllowed = massEraseAllowed();
    return settings;
}

void UploadJob::copyDefinedBytes(const RangeList& defined) {
    for (const Range& r : defined) {
        std::memcpy(ctx_->flashBuffer + offset_ + r.begin, ctx_->image + r.begin, r.length());
    }
}

int32_t UploadJob::eraseAndWrite(const WritePlan& plan) {
    target_.beginProgress("Erasing pages.");
    int rc = 0;
    if (plan.massErase) {
        rc = target_.massErase();
    } else if (!plan.eraseAddresses.empty()) {
        rc = target_.erasePages(plan.eraseAddresses);
    }
    if (rc != 0) return target_.failed(STM32_RESULT_ERASE_ERROR);
    target_.endProgress();
    const PageMap map = target_.pageMap();
    ctx_->report.massErase = plan.massErase ? 1 : 0;
    ctx_->report.pagesErased = static_cast<int32_t>(plan.massErase ? map.pageAddresses({0, map.usableBytes()}).size()
                                                                    : plan.eraseAddresses.size());

    target_.beginProgress("Writing pages.");
    for (const Range& run : plan.writes) {
        rc = target_.writeRun(run, ctx_->flashBuffer + run.begin, TargetSession::Dots::Shown);
        if (rc != 0) return target_.failed(STM32_RESULT_WRITE_ERROR);
    }
    target_.endProgress();
    ctx_->report.pagesWritten = static_cast<int32_t>(pagesWritten(map, plan.writes, ctx_->flashBuffer, 0));
    return STM32_RESULT_OK;
}

// Reads back what the image defines and reports the differences. A raw image
// is read from its offset into the flash buffer's start; a sparse one only in
// the blocks holding its bytes, each at its own offset.
bool UploadJob::verify(const RangeList& defined, bool sparse, bool* differs) {
    if (!sparse) {
        if (target_.readToBufferStart(offset_, defined[0].end) != 0) return false;
        *differs = reportDifferences(ctx_->flashBuffer, defined);
        return true;
    }
    if (target_.readRuns(blocksHolding(shifted(defined, offset_), target_.blockSize(), target_.usable())) != 0) {
        return false;
    }
    *differs = reportDifferences(ctx_->flashBuffer + offset_, defined);
    return true;
}

// Every difference counts; at most three lines per block are shown.
bool UploadJob::reportDifferences(const uint8_t* flash, const RangeList& defined) {
    const uint8_t* image = ctx_->image;
    const uint64_t block = target_.blockSize();
    bool any = false;
    int64_t previousPage = -1;
    int linesForPage = 0;
    for (const Range& r : defined) {
        for (uint64_t i = r.begin; i < r.end; ++i) {
            if (flash[i] == image[i]) continue;
            if (!any) {
                logLine(ctx_, "Error at");
                logLine(ctx_, "[page] Address firmware (flash)");
                any = true;
            }
            int64_t page = static_cast<int64_t>((offset_ + i) / block + 1);
            // "Page" here means transfer block, counted from 1 at flash start, as users know the report.
            if (page != previousPage) {
                previousPage = page;
                linesForPage = 0;
            }
            if (linesForPage < kDiffLinesPerBlock) {
                logLine(ctx_, "[%04d] %08X: %02X (%02X)", static_cast<int>(page), target_.address(offset_ + i),
                        image[i], flash[i]);
                ++linesForPage;
            }
        }
    }
    return any;
}

// The ROM takes the leave's address pointer as the base of a vector table
// (stack pointer, then reset handler), as its USART Go command does and as
// every public DFU host uses it: strong evidence, not yet proven on hardware.
// The program at flash start is started when there is one, else the image's.
void UploadJob::startProgram(const VectorTable& resident) {
    if ((ctx_->uploadFlags & STM32_UPLOAD_NO_START) != 0) {
        logLine(ctx_, "The program was not started, as asked: the board stays in DFU mode.");
        return;
    }
    const uint32_t flashStart = target_.flashStart();
    const bool useResident = resident.holdsProgram();
    const uint32_t base = useResident ? flashStart : target_.address(offset_);
    const VectorTable table =
        useResident ? resident : vectorTableAt(ctx_->image, static_cast<uint64_t>(ctx_->imageLength));
    const FlashLayout* layout = target_.layout();
    const uint64_t flashEnd = layout != nullptr && layout->startAddress == flashStart
                                  ? static_cast<uint64_t>(flashStart) + static_cast<uint64_t>(layout->totalSize)
                                  : static_cast<uint64_t>(flashStart) + target_.flashSize();
    std::string why = whyNotStartable(table, base, flashStart, flashEnd);
    if (!why.empty()) {
        logLine(ctx_, "The program was not started: %s; a reset starts whatever is in flash.", why.c_str());
        return;
    }
    if (!target_.startAt(base)) {
        logLine(ctx_, "The program was not started: the board refused the start address 0x%08X; a reset starts "
                      "whatever is in flash.", base);
    }
}

} // namespace

int32_t runUpload(TargetSession& target, uint32_t offset) {
    UploadJob job(target, offset);
    return target.finish(job.run(), "Error while flashing STM32.");
}

} // namespace stm32
