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
#include "rom_quirks.h"
#include "session.h"
#include "stm32.h"
#include "trace.h"
#include "usb_holders.h"
#include "vector_table.h"

namespace stm32 {

namespace {

uint64_t alignDown(uint64_t value, uint64_t block) { return value / block * block; }
uint64_t alignUp(uint64_t value, uint64_t block) { return (value + block - 1) / block * block; }

} // namespace

PageMap::PageMap(uint32_t flashStart, uint32_t blockSize, uint64_t flashBytes, const FlashLayout* layout)
    : flashStart_(flashStart), blockSize_(blockSize == 0 ? 1 : blockSize),
      usable_(flashBytes / (blockSize == 0 ? 1 : blockSize) * (blockSize == 0 ? 1 : blockSize)) {
    if (layout != nullptr) {
        layoutStart_ = layout->startAddress;
        segments_ = layout->segments;
    }
}

bool PageMap::layoutPageAt(uint64_t absolute, Page* page) const {
    uint64_t segmentStart = layoutStart_;
    for (const FlashSegment& segment : segments_) {
        uint64_t segmentEnd = segmentStart + static_cast<uint64_t>(segment.pageCount) * segment.pageSize;
        if (absolute >= segmentStart && absolute < segmentEnd) {
            uint64_t pageStart = segmentStart + (absolute - segmentStart) / segment.pageSize * segment.pageSize;
            // A page that begins before flash start is clamped to it.
            page->beforeFlash = pageStart < flashStart_;
            page->begin = page->beforeFlash ? 0 : pageStart - flashStart_;
            page->end = pageStart + segment.pageSize - flashStart_;
            return true;
        }
        segmentStart = segmentEnd;
    }
    return false;
}

Range PageMap::pageAt(uint64_t offset) const {
    Page page{};
    if (layoutPageAt(static_cast<uint64_t>(flashStart_) + offset, &page)) return {page.begin, page.end};
    uint64_t begin = alignDown(offset, blockSize_);
    return {begin, begin + blockSize_};
}

Range PageMap::widen(Range r) const {
    if (r.length() == 0) return {r.begin, r.begin};
    uint64_t begin = alignDown(r.begin, blockSize_);
    uint64_t end = std::min(alignUp(r.end, blockSize_), usable_);
    if (begin >= end) return {begin, begin}; // nothing of it lies in the usable flash
    for (;;) {
        uint64_t newBegin = alignDown(pageAt(begin).begin, blockSize_);
        uint64_t newEnd = std::min(alignUp(pageAt(end - 1).end, blockSize_), usable_);
        newBegin = std::min(newBegin, begin);
        newEnd = std::max(newEnd, end);
        if (newBegin == begin && newEnd == end) break;
        begin = newBegin;
        end = newEnd;
    }
    return {begin, end};
}

std::vector<uint32_t> PageMap::pageAddresses(Range r) const {
    std::vector<uint32_t> addresses;
    uint64_t offset = r.begin;
    while (offset < r.end) {
        Range page = pageAt(offset);
        addresses.push_back(static_cast<uint32_t>(flashStart_ + page.begin));
        offset = page.end > offset ? page.end : offset + blockSize_;
    }
    return addresses;
}

bool PageMap::pageInsideFlash(uint64_t offset) const {
    Page page{};
    // Past the end of a known layout there is no flash, whatever was lent.
    if (!layoutPageAt(static_cast<uint64_t>(flashStart_) + offset, &page)) return segments_.empty() && offset < usable_;
    return !page.beforeFlash && page.end <= usable_;
}

ReadPlan planRead(uint64_t offset, uint64_t length, uint32_t blockSize, uint64_t usableBytes) {
    uint64_t blocks = alignUp(length, blockSize) / blockSize;
    if (offset + blocks * blockSize <= usableBytes) return {offset, static_cast<uint32_t>(blocks), 0};
    // The direct read would pass the end of flash: start at the block boundary instead.
    uint64_t aligned = alignDown(offset, blockSize);
    uint64_t skip = offset - aligned;
    blocks = alignUp(skip + length, blockSize) / blockSize;
    return {aligned, static_cast<uint32_t>(blocks), skip};
}

bool useWholeFlashMode(uint64_t offset, uint64_t imageLength, uint64_t flashSize) {
    return offset == 0 && imageLength * 2 >= flashSize;
}

} // namespace stm32

namespace {

using stm32::logLine;
using stm32::Range;

constexpr uint8_t kFunctionalDescriptorType = 0x21;
constexpr int kDiffLinesPerBlock = 3; // enough to see the pattern of a bad block without flooding the log

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
    int32_t upload();
    int32_t uploadSteps();
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
    bool reportDifferences(uint64_t length);
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
    bool progressOpen_ = false;
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
    case STM32_CMD_UPLOAD: return upload();
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
    int rc = stm32::openTarget(device_, handle_);
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
    stm32::trace("decide", "ROM bcdDevice=0x%04X transfer=%u: %s%s", descriptor_.bcdDevice, block_,
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

void Engine::beginProgress(const char* heading) {
    stm32::logProgress(ctx_, heading);
    progressOpen_ = true;
}

// Closes an open progress line (if any) and logs what the transport noted.
void Engine::endProgress() {
    if (progressOpen_) {
        stm32::logEndProgress(ctx_);
        progressOpen_ = false;
    }
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
    return readBlocks(handle_.get(), static_cast<int32_t>(run.length() / block_), address(run.begin), block_, buffer);
}

int Engine::writeRun(Range run, const uint8_t* buffer, Dots dots) {
    const int32_t blocks = static_cast<int32_t>(run.length() / block_);
    if (dots == Dots::Hidden) {
        return writeBlocks(handle_.get(), blocks, address(run.begin), static_cast<int32_t>(block_), buffer);
    }
    return writeBlocks(ctx_, handle_.get(), blocks, address(run.begin), static_cast<int32_t>(block_), buffer);
}

// Reads length bytes at offset into the flash buffer from its first byte.
int Engine::readToBufferStart(uint64_t offset, uint64_t length) {
    stm32::ReadPlan plan = stm32::planRead(offset, length, block_, usable());
    int rc = readBlocks(handle_.get(), static_cast<int32_t>(plan.blockCount), address(plan.readOffset), block_,
                       ctx_->flashBuffer);
    if (rc == 0 && plan.skip != 0) std::memmove(ctx_->flashBuffer, ctx_->flashBuffer + plan.skip, length);
    return rc;
}

stm32::VectorTable Engine::readResidentVectorTable() {
    std::vector<uint8_t> first(block_);
    // A failed read gives no table: its bytes are not the resident program.
    if (readBlocks(handle_.get(), 1, flashStart_, block_, first.data()) != 0) {
        session_.clearFailure();
        return stm32::VectorTable{};
    }
    return stm32::VectorTable{littleEndianWord(first.data()), littleEndianWord(first.data() + 4), true};
}

int32_t Engine::upload() {
    int32_t result = uploadSteps();
    handle_.reset();
    logLine(ctx_, result == STM32_RESULT_OK ? "OK." : "Error while flashing STM32.");
    return result;
}

int32_t Engine::uploadSteps() {
    const int64_t imageLength = ctx_->imageLength;
    if (ctx_->image == nullptr || ctx_->flashBuffer == nullptr || imageLength < 0 ||
        offset_ + static_cast<uint64_t>(imageLength) > usable() ||
        flashStart_ + offset_ + static_cast<uint64_t>(imageLength) > 0x100000000ULL) {
        logLine(ctx_, "Invalid offset.");
        return STM32_RESULT_INVALID_OFFSET;
    }
    if (imageLength == 0) {
        logLine(ctx_, "Image is empty.");
        return STM32_RESULT_EMPTY_IMAGE;
    }
    const uint64_t length = static_cast<uint64_t>(imageLength);
    if (!openAndReadLayout()) return STM32_RESULT_OPEN_ERROR;
    stm32::PageMap map = pageMap();
    // Mass erase wipes the whole part: only when our buffer is the whole part.
    bool wholeFlash = stm32::useWholeFlashMode(offset_, length, flashSize()) &&
                      (!haveLayout_ || (layout_.startAddress == flashStart_ &&
                                        static_cast<uint64_t>(layout_.totalSize) <= usable()));
    Range run = wholeFlash ? Range{0, usable()} : map.widen({offset_, offset_ + length});
    if (!runIsWholePages(run)) {
        logLine(ctx_, "Invalid offset.");
        return STM32_RESULT_INVALID_OFFSET;
    }

    if (offset_ != 0) logLine(ctx_, "Address: 0x%08X", address(offset_));
    logLine(ctx_, "Reading flash.");
    // Below offset 8 the image replaces the resident vector table.
    stm32::VectorTable resident;
    if (offset_ >= 8) resident = readResidentVectorTable();

    uint8_t* buffer = ctx_->flashBuffer;
    int rc = 0;
    if (wholeFlash) {
        uint64_t flashBlocks = usable() / block_;
        uint64_t tailBlocks = std::min((flashSize() - length) / block_ + 1, flashBlocks);
        uint64_t tailStart = (flashBlocks - tailBlocks) * block_;
        rc = readRun({tailStart, usable()}, buffer + tailStart);
    } else {
        rc = readRun(run, buffer + run.begin);
    }
    if (rc != 0) return failed(STM32_RESULT_READ_ERROR);
    std::memcpy(buffer + offset_, ctx_->image, length);

    beginProgress("Erasing pages.");
    rc = wholeFlash ? dfuMassErase(handle_.get()) : stm32::eraseAddresses(ctx_, handle_.get(), map.pageAddresses(run));
    if (rc != 0) return failed(STM32_RESULT_ERASE_ERROR);
    endProgress();

    beginProgress("Writing pages.");
    rc = writeRun(run, buffer + run.begin, Dots::Shown);
    if (rc != 0) return failed(STM32_RESULT_WRITE_ERROR);
    endProgress();

    logLine(ctx_, "Verifying.");
    if (readToBufferStart(offset_, length) != 0) {
        int32_t result = failed(STM32_RESULT_READ_ERROR);
        if (result == STM32_RESULT_READ_ERROR) logLine(ctx_, "Error while reading flash memory.");
        return result;
    }
    if (reportDifferences(length)) return STM32_RESULT_VERIFY_ERROR;
    startProgram(resident);
    return STM32_RESULT_OK;
}

// Every difference counts; at most three lines per block are shown.
bool Engine::reportDifferences(uint64_t length) {
    const uint8_t* flash = ctx_->flashBuffer;
    const uint8_t* image = ctx_->image;
    bool any = false;
    int64_t previousPage = -1;
    int linesForPage = 0;
    for (uint64_t i = 0; i < length; ++i) {
        if (flash[i] == image[i]) continue;
        if (!any) {
            logLine(ctx_, "Error at");
            logLine(ctx_, "[page] Address firmware (flash)");
            any = true;
        }
        // "Page" here means transfer block, counted from 1 at flash start, as users know the report.
        int64_t page = static_cast<int64_t>((offset_ + i) / block_ + 1);
        if (page != previousPage) {
            previousPage = page;
            linesForPage = 0;
        }
        if (linesForPage < kDiffLinesPerBlock) {
            logLine(ctx_, "[%04d] %08X: %02X (%02X)", static_cast<int>(page), address(offset_ + i), image[i], flash[i]);
            ++linesForPage;
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
    if (dfuSetAddress(handle_.get(), base) != 0) {
        session_.clearFailure();
        dfuEnsureIdle(handle_.get());
        logLine(ctx_, "The program was not started: the board refused the start address 0x%08X; a reset starts "
                      "whatever is in flash.", base);
        return;
    }
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
        if (dfuMassErase(handle_.get()) != 0) result = STM32_RESULT_ERASE_ERROR;
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
    if (stm32::eraseAddresses(ctx_, handle_.get(), map.pageAddresses(run)) != 0) return STM32_RESULT_ERASE_ERROR;
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
