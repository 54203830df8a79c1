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
#include "progress.h"
#include "rom_quirks.h"
#include "session.h"
#include "target_device.h"
#include "stm32.h"
#include "upload_plan.h"
#include "usb_holders.h"
#include "vector_table.h"

namespace {

using stm32::logLine;
using stm32::Range;

constexpr int kDiffLinesPerBlock = 3; // enough to see the pattern of a bad block without flooding the log

uint32_t littleEndianWord(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

class Engine {
public:
    Engine(Stm32Context* context, uint32_t flashStart, uint32_t offset, int32_t size)
        : ctx_(context), flashStart_(flashStart), offset_(offset), size_(size), progress_(context) {}

    int32_t run(int32_t targetIndex, uint32_t command);

private:
    bool selectTarget(int32_t targetIndex);
    int32_t list();
    int32_t program();
    int32_t programSteps();
    bool imageFits() const;
    bool massEraseAllowed() const;
    int32_t definedBytes(stm32::RangeList* defined);
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
    void learnRomBehaviour();
    bool runIsWholePages(Range run) const;
    stm32::VectorTable readResidentVectorTable();
    int readRun(Range run, uint8_t* buffer);
    int readToBufferStart(uint64_t offset, uint64_t length);
    enum class Dots { Shown, Hidden };
    int writeRun(Range run, const uint8_t* buffer, Dots dots);
    bool reportDifferences(const uint8_t* flash, const stm32::RangeList& defined);
    void startProgram(const stm32::VectorTable& resident);
    int32_t failed(int32_t result);
    void beginProgress(const char* heading);
    void endProgress();
    void logNotes();

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
    stm32::Session session_;
    stm32::ProgressLine progress_;
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
    if (info.bDescriptorType != stm32::kFunctionalDescriptorType) return STM32_RESULT_NO_TARGET;
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
    return stm32::selectTargetDevice(list_, targetIndex, &device_, &descriptor_);
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
    int rc = stm32::openTarget(session_, device_, handle_);
    if (rc != 0) {
        stm32::logOpenHint(ctx_, rc);
        return false;
    }
    haveLayout_ = stm32::readFlashLayout(device_, &descriptor_, handle_.get(), &layout_);
    learnRomBehaviour();
    return true;
}

void Engine::learnRomBehaviour() {
    session_.blockSize = block_;
    stm32::RomIdentity rom;
    rom.bcdDevice = descriptor_.bcdDevice;
    rom.transferSize = static_cast<int32_t>(block_);
    rom.layout = haveLayout_ ? &layout_ : nullptr;
    stm32::RomBehaviour known = stm32::knownRomBehaviour(rom);
    session_.romHoldsStatus = known.holdsStatus;
    session_.trace("decide", "ROM bcdDevice=0x%04X transfer=%u: %s%s", descriptor_.bcdDevice, block_,
                 known.family != nullptr ? known.family : "no known quirks",
                 known.holdsStatus ? ", holds status requests: polling without waiting" : "");
}

// Maps a failed step to its result; read protection and an address the board
// refuses get a line that says so, since the bare closing line would mislead.
int32_t Engine::failed(int32_t result) {
    endProgress();
    if (session_.readProtected) {
        logLine(ctx_, "The board's flash is read-protected: it cannot be read, erased or written. "
                      "Removing the protection erases the whole flash: stm32cmd --unprotect --force");
        return STM32_RESULT_READ_PROTECTED;
    }
    const stm32::FailureCause& cause = session_.failure();
    bool refused = cause.hasStatus && cause.status == stm32::kDfuStatusErrTarget && cause.hasAddress;
    uint64_t announcedEnd = haveLayout_ ? static_cast<uint64_t>(layout_.startAddress) + layout_.totalSize
                                        : static_cast<uint64_t>(flashStart_) + flashSize();
    if (refused && cause.address >= flashStart_ && cause.address < announcedEnd) {
        logLine(ctx_, "The board refused address 0x%08X: its real flash may be smaller than its layout says.",
                cause.address);
    } else if (!cause.empty()) {
        logLine(ctx_, "Cause: %s.", cause.describe().c_str());
    }
    return result;
}

void Engine::beginProgress(const char* heading) { progress_.begin(heading); }

// Closes an open progress line (if any) and logs what the transport noted.
void Engine::endProgress() {
    progress_.end();
    logNotes();
}

void Engine::logNotes() {
    for (const std::string& note : session_.takeNotes()) logLine(ctx_, "%s", note.c_str());
}

// Erasing a page that reaches outside the flash the caller lent us would
// wipe bytes nobody read back.
bool Engine::runIsWholePages(Range run) const {
    if (run.length() == 0) return true;
    stm32::PageMap map = pageMap();
    return map.pageInsideFlash(run.begin) && map.pageInsideFlash(run.end - 1);
}

int Engine::readRun(Range run, uint8_t* buffer) {
    return stm32::readBlocks(session_, static_cast<int32_t>(run.length() / block_), address(run.begin), block_, buffer);
}

int Engine::writeRun(Range run, const uint8_t* buffer, Dots dots) {
    const int32_t blocks = static_cast<int32_t>(run.length() / block_);
    return stm32::writeBlocks(session_, blocks, address(run.begin), static_cast<int32_t>(block_), buffer,
                              dots == Dots::Shown ? &progress_ : nullptr);
}

// Reads length bytes at offset into the flash buffer from its first byte.
int Engine::readToBufferStart(uint64_t offset, uint64_t length) {
    stm32::ReadPlan plan = stm32::planRead(offset, length, block_, usable());
    int rc = stm32::readBlocks(session_, static_cast<int32_t>(plan.blockCount), address(plan.readOffset), block_,
                               ctx_->flashBuffer);
    if (rc == 0 && plan.skip != 0) std::memmove(ctx_->flashBuffer, ctx_->flashBuffer + plan.skip, length);
    return rc;
}

stm32::VectorTable Engine::readResidentVectorTable() {
    std::vector<uint8_t> first(block_);
    // A failed read gives no table: its bytes are not the resident program.
    if (stm32::readBlocks(session_, 1, flashStart_, block_, first.data()) != 0) {
        session_.clearFailure();
        return stm32::VectorTable{};
    }
    return stm32::VectorTable{littleEndianWord(first.data()), littleEndianWord(first.data() + 4), true};
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
int32_t Engine::definedBytes(stm32::RangeList* defined) {
    const uint64_t length = static_cast<uint64_t>(ctx_->imageLength);
    if (!stm32::definedImageRanges(ctx_->imageRanges, ctx_->imageRangeCount, length, defined)) {
        logLine(ctx_, "Image ranges lie outside the image.");
        return STM32_RESULT_INVALID_OFFSET;
    }
    if (defined->empty()) {
        logLine(ctx_, "Image is empty.");
        return STM32_RESULT_EMPTY_IMAGE;
    }
    return STM32_RESULT_OK;
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
    const int32_t undefined = definedBytes(&defined);
    if (undefined != STM32_RESULT_OK) return undefined;
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
    // Below offset 8 the image replaces the resident vector table, unless it
    // is a sparse one that leaves the table alone.
    stm32::VectorTable resident;
    if (offset_ >= 8 || (sparse && !stm32::covers(defined, {0, 8}))) resident = readResidentVectorTable();

    if (readRuns(planner.reads()) != 0) return failed(STM32_RESULT_READ_ERROR);
    stm32::WritePlan plan = planner.decide(ctx_->flashBuffer, ctx_->image);
    if (settings.skipUnchanged) logLine(ctx_, "Skipped %u of %u pages (unchanged).", plan.skippedPages, plan.pages);
    if (readRuns(plan.moreReads) != 0) return failed(STM32_RESULT_READ_ERROR);
    copyDefinedBytes(defined);

    int32_t result = eraseAndWrite(plan);
    if (result != STM32_RESULT_OK) return result;

    logLine(ctx_, "Verifying.");
    bool differs = false;
    if (!verify(defined, sparse, &differs)) {
        result = failed(STM32_RESULT_READ_ERROR);
        if (result == STM32_RESULT_READ_ERROR) logLine(ctx_, "Error while reading flash memory.");
        return result;
    }
    if (differs) return STM32_RESULT_VERIFY_ERROR;
    startProgram(resident);
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
    beginProgress("Erasing pages.");
    int rc = 0;
    if (plan.massErase) {
        rc = stm32::massErase(session_);
    } else if (!plan.eraseAddresses.empty()) {
        rc = stm32::eraseAddresses(session_, plan.eraseAddresses, &progress_);
    }
    if (rc != 0) return failed(STM32_RESULT_ERASE_ERROR);
    endProgress();

    beginProgress("Writing pages.");
    for (const Range& run : plan.writes) {
        rc = writeRun(run, ctx_->flashBuffer + run.begin, Dots::Shown);
        if (rc != 0) return failed(STM32_RESULT_WRITE_ERROR);
    }
    endProgress();
    return STM32_RESULT_OK;
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
            // "Page" here means transfer block, counted from 1 at flash start, as users know the report.
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

// The ROM takes the leave's address pointer as the base of a vector table
// (stack pointer, then reset handler), as its USART Go command does and as
// every public DFU host uses it: strong evidence, not yet proven on hardware.
// The program at flash start is started when there is one, else the image's.
void Engine::startProgram(const stm32::VectorTable& resident) {
    if ((ctx_->uploadFlags & STM32_UPLOAD_NO_START) != 0) {
        logLine(ctx_, "The program was not started, as asked: the board stays in DFU mode.");
        return;
    }
    const bool useResident = resident.holdsProgram();
    const uint32_t base = useResident ? flashStart_ : address(offset_);
    const stm32::VectorTable table =
        useResident ? resident : stm32::vectorTableAt(ctx_->image, static_cast<uint64_t>(ctx_->imageLength));
    const uint64_t flashEnd = haveLayout_ && layout_.startAddress == flashStart_
                                  ? static_cast<uint64_t>(flashStart_) + static_cast<uint64_t>(layout_.totalSize)
                                  : static_cast<uint64_t>(flashStart_) + flashSize();
    std::string why = stm32::whyNotStartable(table, base, flashStart_, flashEnd);
    if (!why.empty()) {
        logLine(ctx_, "The program was not started: %s; a reset starts whatever is in flash.", why.c_str());
        return;
    }
    // After a good Set Address the board sits in dfuDNLOAD-IDLE, the state in
    // which the zero-length download means "leave". The board may leave the
    // bus at any point from here: the leave's own results are not checked.
    if (stm32::setAddress(session_, base) != 0) {
        session_.clearFailure();
        stm32::ensureIdle(session_);
        logLine(ctx_, "The program was not started: the board refused the start address 0x%08X; a reset starts "
                      "whatever is in flash.", base);
        return;
    }
    stm32::leave(session_);
}

int32_t Engine::download() {
    int32_t result = downloadSteps();
    handle_.reset();
    logLine(ctx_, result == STM32_RESULT_OK ? "OK." : "Error while reading STM32 flash.");
    return result;
}

int32_t Engine::downloadSteps() {
    if (offset_ != 0 || static_cast<int64_t>(size_) < static_cast<int64_t>(ctx_->flashBufferSize)) {
        // Size 0 (the whole flash) is shown as given: the lines echo the request.
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
    return readToBufferStart(offset_, length) == 0 ? STM32_RESULT_OK : failed(STM32_RESULT_READ_ERROR);
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
    beginProgress("Erasing pages.");
    int32_t result = STM32_RESULT_OK;
    if (massErase) {
        if (stm32::massErase(session_) != 0) result = STM32_RESULT_ERASE_ERROR;
    } else {
        result = eraseRange(range);
    }
    if (result != STM32_RESULT_OK) return failed(result);
    endProgress();
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
    if (stm32::eraseAddresses(session_, map.pageAddresses(run), &progress_) != 0) return STM32_RESULT_ERASE_ERROR;
    // All-0xFF blocks cost no transfer, so the whole run is handed over.
    if ((head.length() != 0 || tail.length() != 0) && writeRun(run, keep.data(), Dots::Hidden) != 0) {
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
        return STM32_RESULT_OUT_OF_MEMORY;
    } catch (...) {
        context->logLineLength = 0;
        return STM32_RESULT_NO_TARGET;
    }
}
