// The command engine: list, upload, download and erase on one target.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "dfu.h"
#include "engine_plan.h"
#include "flash_ops.h"
#include "layout.h"
#include "log.h"
#include "stm32.h"
#include "upload_plan.h"
#include "usb_holders.h"

namespace {

using stm32::logLine;
using stm32::Range;

constexpr uint32_t kNoJumpAddress = 0xFFFFFFFF;
constexpr uint8_t kFunctionalDescriptorType = 0x21;
constexpr int kDiffLinesPerBlock = 3;

uint32_t littleEndianWord(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

class Engine {
public:
    Engine(Stm32Context* context, uint32_t flashStart, uint32_t offset, int32_t size)
        : ctx_(context), flashStart_(flashStart), offset_(offset), size_(size) {}

    int32_t run(int32_t targetIndex, uint32_t command);

private:
    bool selectTarget(int32_t targetIndex);
    int32_t list();
    int32_t program();
    int32_t programSteps();
    bool imageFits() const;
    bool massEraseAllowed() const;
    bool definedBytes(stm32::RangeList* defined);
    stm32::UploadSettings uploadSettings() const;
    void copyDefinedBytes(const stm32::RangeList& defined);
    int readRuns(const stm32::RangeList& runs);
    int32_t eraseAndWrite(const stm32::WritePlan& plan);
    bool verify(const stm32::RangeList& defined, bool sparse, bool* differs);
    int32_t download();
    int32_t downloadSteps();
    int32_t erase();
    int32_t eraseSteps();
    int32_t eraseRange(Range range);

    bool openAndReadLayout();
    bool runIsWholePages(Range run) const;
    uint32_t readJumpAddress();
    int readRun(Range run, uint8_t* buffer);
    int readToBufferStart(uint64_t offset, uint64_t length);
    int writeRun(Stm32Context* progress, Range run, const uint8_t* buffer);
    bool reportDifferences(const uint8_t* flash, const stm32::RangeList& defined);
    void startProgram(uint32_t jumpAddress);

    uint64_t flashSize() const { return ctx_->flashBufferSize > 0 ? static_cast<uint64_t>(ctx_->flashBufferSize) : 0; }
    uint64_t usable() const { return flashSize() / block_ * block_; }
    uint32_t address(uint64_t offset) const { return static_cast<uint32_t>(flashStart_ + offset); }
    stm32::PageMap pageMap() const {
        return stm32::PageMap(flashStart_, block_, flashSize(), haveLayout_ ? &layout_ : nullptr);
    }

    Stm32Context* ctx_;
    uint32_t flashStart_;
    uint64_t offset_;
    int32_t size_;
    uint32_t block_ = 0;
    libusb_device* device_ = nullptr;
    libusb_device_descriptor descriptor_{};
    stm32::FlashLayout layout_;
    bool haveLayout_ = false;
    // Declared in this order so that the target closes first, then the list, then libusb.
    stm32::UsbContext usb_;
    stm32::DeviceList list_;
    stm32::DeviceHandle handle_;
};

int32_t Engine::run(int32_t targetIndex, uint32_t command) {
    if (usb_.init() != 0) {
        logLine(ctx_, "Problem with USB.");
        return STM32_RESULT_USB_INIT;
    }
    if (command > STM32_CMD_LIST) return STM32_RESULT_NO_TARGET;
    if (command == STM32_CMD_LIST) return list();
    if (!selectTarget(targetIndex)) {
        logLine(ctx_, "STM32 not connected or not in bootload mode.");
        return STM32_RESULT_NO_TARGET;
    }
    DfuFunctionalInfo info{};
    info.bDescriptorType = 0;
    dfuGetFunctionalDescriptor(device_, &descriptor_, &info);
    if (info.bDescriptorType != kFunctionalDescriptorType) return STM32_RESULT_NO_TARGET;
    if (info.wTransferSize <= 0 || info.wTransferSize > stm32::kMaxTransferSize) {
        logLine(ctx_, "Unsupported transfer size %d (1 to %d bytes).", info.wTransferSize, stm32::kMaxTransferSize);
        return STM32_RESULT_NO_TARGET;
    }
    block_ = static_cast<uint32_t>(info.wTransferSize);
    switch (command) {
    case STM32_CMD_UPLOAD: return program();
    case STM32_CMD_DOWNLOAD: return download();
    default: return erase();
    }
}

bool Engine::selectTarget(int32_t targetIndex) {
    if (list_.take(usb_.get()) <= 0) return false;
    for (size_t position = 0; position < list_.size(); ++position) {
        if (targetIndex != -1 && position != static_cast<size_t>(targetIndex)) continue;
        libusb_device_descriptor descriptor{};
        libusb_device* device = list_.at(position);
        if (libusb_get_device_descriptor(device, &descriptor) == 0 && stm32::isTargetDescriptor(descriptor)) {
            device_ = device;
            descriptor_ = descriptor;
            return true;
        }
        if (targetIndex != -1) return false;
    }
    return false;
}

int32_t Engine::list() {
    int32_t count = stm32GetDeviceCount();
    if (count <= 0) {
        logLine(ctx_, "STM32 not connected or not in bootload mode.");
        return STM32_RESULT_OK;
    }
    std::vector<int32_t> indices(static_cast<size_t>(count), -1);
    stm32GetDeviceIndices(ctx_, indices.data(), count);
    for (int32_t index : indices) {
        FlashInfo info{};
        // A layout that does not read (size still 0) is skipped like a missing one.
        if (stm32GetFlashInfo(ctx_, index, &info) == 0 || info.flashSize <= 0) continue;
        logLine(ctx_, "STM32 (ID:%d) Flash: %d%cB Flash Start: %08X", index,
                info.flashSize / stm32UnitMultiplier(info.unit), info.unit, info.startAddress);
    }
    return STM32_RESULT_OK;
}

bool Engine::openAndReadLayout() {
    if (stm32::openTarget(device_, handle_) != 0) return false;
    haveLayout_ = stm32::readFlashLayout(device_, &descriptor_, handle_.get(), &layout_);
    return true;
}

// Erasing a page that reaches outside the flash the caller lent us would
// wipe bytes nobody read back.
bool Engine::runIsWholePages(Range run) const {
    if (run.length() == 0) return true;
    stm32::PageMap map = pageMap();
    return map.pageInsideFlash(run.begin) && map.pageInsideFlash(run.end - 1);
}

int Engine::readRun(Range run, uint8_t* buffer) {
    return readPages(handle_.get(), static_cast<int32_t>(run.length() / block_), address(run.begin), block_, buffer);
}

int Engine::writeRun(Stm32Context* progress, Range run, const uint8_t* buffer) {
    return writePages(progress, handle_.get(), static_cast<int32_t>(run.length() / block_), address(run.begin),
                      static_cast<int32_t>(block_), buffer);
}

// Reads length bytes at offset into the flash buffer from its first byte.
int Engine::readToBufferStart(uint64_t offset, uint64_t length) {
    stm32::ReadPlan plan = stm32::planRead(offset, length, block_, usable());
    int rc = readPages(handle_.get(), static_cast<int32_t>(plan.blockCount), address(plan.readOffset), block_,
                       ctx_->flashBuffer);
    if (rc == 0 && plan.skip != 0) std::memmove(ctx_->flashBuffer, ctx_->flashBuffer + plan.skip, length);
    return rc;
}

uint32_t Engine::readJumpAddress() {
    std::vector<uint8_t> first(block_);
    // A failed read gives no jump address: its bytes are not the resident program.
    if (readPages(handle_.get(), 1, flashStart_, block_, first.data()) != 0) return kNoJumpAddress;
    return littleEndianWord(first.data() + 4);
}

int32_t Engine::program() {
    int32_t result = programSteps();
    handle_.reset();
    logLine(ctx_, result == STM32_RESULT_OK ? "OK." : "Error while flashing STM32.");
    return result;
}

bool Engine::imageFits() const {
    const int64_t imageLength = ctx_->imageLength;
    return ctx_->image != nullptr && ctx_->flashBuffer != nullptr && imageLength >= 0 &&
           offset_ + static_cast<uint64_t>(imageLength) <= usable() &&
           flashStart_ + offset_ + static_cast<uint64_t>(imageLength) <= 0x100000000ULL;
}

// Mass erase wipes the whole part: only when our buffer is the whole part.
bool Engine::massEraseAllowed() const {
    return !haveLayout_ ||
           (layout_.startAddress == flashStart_ && static_cast<uint64_t>(layout_.totalSize) <= usable());
}

// The image positions to program; logs why there are none.
bool Engine::definedBytes(stm32::RangeList* defined) {
    const uint64_t length = static_cast<uint64_t>(ctx_->imageLength);
    if (!stm32::definedImageRanges(ctx_->imageRanges, ctx_->imageRangeCount, length, defined)) {
        logLine(ctx_, "Image ranges lie outside the image.");
        return false;
    }
    if (defined->empty()) {
        logLine(ctx_, "Image is empty.");
        return false;
    }
    return true;
}

stm32::UploadSettings Engine::uploadSettings() const {
    stm32::UploadSettings settings;
    settings.flashSize = flashSize();
    settings.offset = offset_;
    settings.skipUnchanged = (ctx_->uploadFlags & STM32_UPLOAD_SKIP_UNCHANGED) != 0;
    settings.massEraseAllowed = massEraseAllowed();
    return settings;
}

void Engine::copyDefinedBytes(const stm32::RangeList& defined) {
    for (const Range& r : defined) std::memcpy(ctx_->flashBuffer + offset_ + r.begin, ctx_->image + r.begin, r.length());
}

int32_t Engine::programSteps() {
    if (!imageFits()) {
        logLine(ctx_, "Invalid offset.");
        return STM32_RESULT_INVALID_OFFSET;
    }
    stm32::RangeList defined;
    if (!definedBytes(&defined)) return STM32_RESULT_INVALID_OFFSET;
    // Ranges that cover the whole image make it a raw one.
    const bool sparse = !(defined.size() == 1 && defined[0] == Range{0, static_cast<uint64_t>(ctx_->imageLength)});
    if (!openAndReadLayout()) return STM32_RESULT_OPEN_ERROR;
    const stm32::UploadSettings settings = uploadSettings();
    stm32::PageMap map = pageMap();
    stm32::UploadPlanner planner(map, stm32::shifted(defined, offset_), settings);
    if (!planner.pagesInsideFlash()) {
        logLine(ctx_, "Invalid offset.");
        return STM32_RESULT_INVALID_OFFSET;
    }

    if (offset_ != 0) logLine(ctx_, "Address: 0x%08X", address(offset_));
    logLine(ctx_, "Reading flash.");
    uint32_t jumpAddress = kNoJumpAddress;
    // Without its own reset vector a sparse image keeps the resident one.
    if (offset_ >= 8 || (sparse && !stm32::covers(defined, {4, 8}))) jumpAddress = readJumpAddress();

    if (readRuns(planner.reads()) != 0) return STM32_RESULT_READ_ERROR;
    stm32::WritePlan plan = planner.decide(ctx_->flashBuffer, ctx_->image);
    if (settings.skipUnchanged) logLine(ctx_, "Skipped %u of %u pages (unchanged).", plan.skippedPages, plan.pages);
    if (readRuns(plan.moreReads) != 0) return STM32_RESULT_READ_ERROR;
    copyDefinedBytes(defined);

    int32_t result = eraseAndWrite(plan);
    if (result != STM32_RESULT_OK) return result;

    logLine(ctx_, "Verifying.");
    bool differs = false;
    if (!verify(defined, sparse, &differs)) {
        logLine(ctx_, "Error while reading flash memory.");
        return STM32_RESULT_READ_ERROR;
    }
    if (differs) return STM32_RESULT_VERIFY_ERROR;
    startProgram(jumpAddress != kNoJumpAddress ? jumpAddress : littleEndianWord(ctx_->image + 4));
    return STM32_RESULT_OK;
}

int Engine::readRuns(const stm32::RangeList& runs) {
    for (const Range& run : runs) {
        int rc = readRun(run, ctx_->flashBuffer + run.begin);
        if (rc != 0) return rc;
    }
    return 0;
}

int32_t Engine::eraseAndWrite(const stm32::WritePlan& plan) {
    stm32::logProgress(ctx_, "Erasing pages.");
    int rc = 0;
    if (plan.massErase) {
        rc = dfuMassErase(handle_.get());
    } else if (!plan.eraseAddresses.empty()) {
        rc = stm32::eraseAddresses(ctx_, handle_.get(), plan.eraseAddresses);
    }
    stm32::logEndProgress(ctx_);
    if (rc != 0) return STM32_RESULT_ERASE_ERROR;

    stm32::logProgress(ctx_, "Writing pages.");
    for (const Range& run : plan.writes) {
        rc = writeRun(ctx_, run, ctx_->flashBuffer + run.begin);
        if (rc != 0) break;
    }
    stm32::logEndProgress(ctx_);
    return rc == 0 ? STM32_RESULT_OK : STM32_RESULT_WRITE_ERROR;
}

// Reads back what the image defines and reports the differences. A raw image
// is read from its offset into the flash buffer's start; a sparse one only in
// the blocks holding its bytes, each at its own offset.
bool Engine::verify(const stm32::RangeList& defined, bool sparse, bool* differs) {
    if (!sparse) {
        if (readToBufferStart(offset_, defined[0].end) != 0) return false;
        *differs = reportDifferences(ctx_->flashBuffer, defined);
        return true;
    }
    if (readRuns(stm32::blocksHolding(stm32::shifted(defined, offset_), block_, usable())) != 0) return false;
    *differs = reportDifferences(ctx_->flashBuffer + offset_, defined);
    return true;
}

// Every difference counts; at most three lines per block are shown.
bool Engine::reportDifferences(const uint8_t* flash, const stm32::RangeList& defined) {
    const uint8_t* image = ctx_->image;
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
            int64_t page = static_cast<int64_t>((offset_ + i) / block_ + 1);
            if (page != previousPage) {
                previousPage = page;
                linesForPage = 0;
            }
            if (linesForPage < kDiffLinesPerBlock) {
                logLine(ctx_, "[%04d] %08X: %02X (%02X)", static_cast<int>(page), address(offset_ + i), image[i],
                        flash[i]);
                ++linesForPage;
            }
        }
    }
    return any;
}

void Engine::startProgram(uint32_t jumpAddress) {
    // The board may leave the bus at any point here: results are not checked.
    // After a good Set Address the board sits in dfuDNLOAD-IDLE, the one state
    // in which DFU 1.1 takes the zero-length download as "leave"; clearing it
    // to dfuIDLE first would make a strict board refuse the leave.
    if (dfuSetAddress(handle_.get(), jumpAddress) != 0) dfuEnsureIdle(handle_.get());
    dfuLeave(handle_.get());
}

int32_t Engine::download() {
    int32_t result = downloadSteps();
    handle_.reset();
    logLine(ctx_, result == STM32_RESULT_OK ? "OK." : "Error while reading STM32 flash.");
    return result;
}

int32_t Engine::downloadSteps() {
    if (offset_ != 0 || static_cast<int64_t>(size_) < static_cast<int64_t>(ctx_->flashBufferSize)) {
        logLine(ctx_, "Address: 0x%08X", address(offset_));
        logLine(ctx_, "Size: %d", size_);
    }
    if (size_ < 0) {
        logLine(ctx_, "Invalid size.");
        return STM32_RESULT_INVALID_OFFSET;
    }
    if (ctx_->flashBuffer == nullptr || offset_ >= usable() || flashStart_ + offset_ > 0xFFFFFFFFULL) {
        logLine(ctx_, "Invalid offset.");
        return STM32_RESULT_INVALID_OFFSET;
    }
    // Size 0 means up to the end of flash; never past it.
    uint64_t rest = usable() - offset_;
    uint64_t length = size_ == 0 ? rest : std::min<uint64_t>(static_cast<uint64_t>(size_), rest);
    if (!openAndReadLayout()) return STM32_RESULT_OPEN_ERROR;
    logLine(ctx_, "Reading flash.");
    return readToBufferStart(offset_, length) == 0 ? STM32_RESULT_OK : STM32_RESULT_READ_ERROR;
}

int32_t Engine::erase() {
    int32_t result = eraseSteps();
    handle_.reset();
    logLine(ctx_, result == STM32_RESULT_OK ? "OK." : "Error while erasing STM32 flash.");
    return result;
}

int32_t Engine::eraseSteps() {
    if (size_ < 0) {
        logLine(ctx_, "Invalid size.");
        return STM32_RESULT_INVALID_OFFSET;
    }
    const bool massErase = size_ == 0 && offset_ == 0;
    if (size_ > 0 && offset_ >= usable()) {
        logLine(ctx_, "Invalid offset.");
        return STM32_RESULT_INVALID_OFFSET;
    }
    Range range{offset_, std::min(offset_ + static_cast<uint64_t>(size_), std::max(usable(), offset_))};
    if (!openAndReadLayout()) return STM32_RESULT_OPEN_ERROR;
    if (!massErase && !runIsWholePages(pageMap().widen(range))) {
        logLine(ctx_, "Invalid offset.");
        return STM32_RESULT_INVALID_OFFSET;
    }
    stm32::logProgress(ctx_, "Erasing pages.");
    int32_t result = STM32_RESULT_OK;
    if (massErase) {
        if (dfuMassErase(handle_.get()) != 0) result = STM32_RESULT_ERASE_ERROR;
    } else {
        result = eraseRange(range);
    }
    stm32::logEndProgress(ctx_);
    return result;
}

// Erases the pages that hold range; their bytes outside it are read back
// first and written again, so exactly the range ends up erased.
int32_t Engine::eraseRange(Range range) {
    if (range.length() == 0) return STM32_RESULT_OK;
    stm32::PageMap map = pageMap();
    Range run = map.widen(range);
    Range head{run.begin, std::min(run.end, (range.begin + block_ - 1) / block_ * block_)};
    Range tail{std::max(run.begin, range.end / block_ * block_), run.end};
    std::vector<uint8_t> keep(run.length(), 0xFF);
    if (head.length() != 0 && readRun(head, keep.data()) != 0) return STM32_RESULT_READ_ERROR;
    if (tail.length() != 0 && readRun(tail, keep.data() + (tail.begin - run.begin)) != 0) {
        return STM32_RESULT_READ_ERROR;
    }
    std::fill(keep.begin() + static_cast<std::ptrdiff_t>(range.begin - run.begin),
              keep.begin() + static_cast<std::ptrdiff_t>(range.end - run.begin), 0xFF);
    if (stm32::eraseAddresses(ctx_, handle_.get(), map.pageAddresses(run)) != 0) return STM32_RESULT_ERASE_ERROR;
    // All-0xFF blocks cost no transfer, so the whole run is handed over.
    if ((head.length() != 0 || tail.length() != 0) && writeRun(nullptr, run, keep.data()) != 0) {
        return STM32_RESULT_WRITE_ERROR;
    }
    return STM32_RESULT_OK;
}

} // namespace

extern "C" int32_t stm32Command(Stm32Context* context, int32_t targetIndex, uint32_t flashStart, uint32_t offset,
                                int32_t size, uint32_t command) {
    if (context == nullptr) return STM32_RESULT_NO_TARGET;
    try {
        Engine engine(context, flashStart, offset, size);
        return engine.run(targetIndex, command);
    } catch (const std::bad_alloc&) {
        context->logLineLength = 0;
        logLine(context, "Out of memory.");
        return STM32_RESULT_NO_TARGET;
    } catch (...) {
        context->logLineLength = 0;
        return STM32_RESULT_NO_TARGET;
    }
}
