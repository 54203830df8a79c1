// The board of one command, from libusb's start to the closing line.
#include "target_session.h"

#include <cstring>

#include "dfu.h"
#include "flash_ops.h"
#include "log.h"
#include "port_path.h"
#include "rom_knowledge.h"

namespace stm32 {

namespace {

uint32_t littleEndianWord(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

} // namespace

int openTarget(Session& session, libusb_device* device, DeviceHandle& handle) {
    int rc = handle.open(device);
    if (rc == 0) rc = libusb_claim_interface(handle.get(), 0);
    if (rc == 0) rc = libusb_set_interface_alt_setting(handle.get(), 0, 0);
    if (rc != 0) {
        handle.reset();
        session.trace("fail", "open/claim/alternate setting: %s", libusb_error_name(rc));
    }
    session.attach(handle.get());
    return rc;
}

TargetSession::TargetSession(Stm32Context* context, uint32_t flashStart)
    : ctx_(context), flashStart_(flashStart), progress_(context) {}

bool TargetSession::startUsb() { return usb_.init() == 0; }

bool TargetSession::select(int32_t targetIndex) {
    if (list_.take(usb_.get()) <= 0) return false;
    if (!selectTargetDevice(list_, targetIndex, pinnedPath(ctx_), &device_, &descriptor_)) return false;
    // Trace lines name the board: several may be at work at once.
    session_.nameBoard(portPathOf(device_));
    return true;
}

DfuFunctionalInfo TargetSession::functionalDescriptor() const {
    DfuFunctionalInfo info{};
    info.bDescriptorType = 0;
    dfuGetFunctionalDescriptor(device_, &descriptor_, &info);
    return info;
}

void TargetSession::setBlockSize(uint32_t blockSize) {
    block_ = blockSize;
    session_.blockSize = blockSize;
}

bool TargetSession::openWithoutLayout() {
    int rc = openTarget(session_, device_, handle_);
    if (rc != 0) logOpenHint(ctx_, rc);
    return rc == 0;
}

bool TargetSession::open() {
    if (!openWithoutLayout()) return false;
    haveLayout_ = readFlashLayout(device_, &descriptor_, handle_.get(), &layout_);
    learnRom();
    return true;
}

void TargetSession::learnRom() {
    RomIdentity rom;
    rom.bcdDevice = descriptor_.bcdDevice;
    rom.transferSize = static_cast<int32_t>(block_);
    rom.layout = layout();
    const RomKnowledge known = knownRom(rom);
    session_.knowRom(known);
    session_.trace("decide", "ROM bcdDevice=0x%04X transfer=%u: %s%s; row %s", descriptor_.bcdDevice, block_,
                   known.family != nullptr ? known.family : "no known quirks",
                   known.holdsRequestsWhileBusy ? ", holds status requests: polling without waiting" : "",
                   describeRom(known).c_str());
}

int32_t TargetSession::finish(int32_t result, const char* failureLine) {
    handle_.reset();
    session_.attach(nullptr);
    logLine(ctx_, "%s", result == STM32_RESULT_OK ? "OK." : failureLine);
    return result;
}

bool TargetSession::runIsWholePages(Range run) const {
    if (run.length() == 0) return true;
    PageMap map = pageMap();
    return map.pageInsideFlash(run.begin) && map.pageInsideFlash(run.end - 1);
}

int TargetSession::readRun(Range run, uint8_t* buffer) {
    return readBlocks(session_, static_cast<int32_t>(run.length() / block_), address(run.begin), block_, buffer);
}

int TargetSession::readRuns(const RangeList& runs) {
    for (const Range& run : runs) {
        int rc = readRun(run, ctx_->flashBuffer + run.begin);
        if (rc != 0) return rc;
    }
    return 0;
}

int TargetSession::readToBufferStart(uint64_t offset, uint64_t length) {
    ReadPlan plan = planRead(offset, length, block_, usable());
    int rc = readBlocks(session_, static_cast<int32_t>(plan.blockCount), address(plan.readOffset), block_,
                        ctx_->flashBuffer);
    if (rc == 0 && plan.skip != 0) std::memmove(ctx_->flashBuffer, ctx_->flashBuffer + plan.skip, length);
    return rc;
}

int TargetSession::writeRun(Range run, const uint8_t* buffer, Dots dots) {
    const int32_t blocks = static_cast<int32_t>(run.length() / block_);
    return writeBlocks(session_, blocks, address(run.begin), static_cast<int32_t>(block_), buffer,
                       dots == Dots::Shown ? &progress_ : nullptr);
}

int TargetSession::erasePages(const std::vector<uint32_t>& addresses) {
    return eraseAddresses(session_, addresses, &progress_);
}

int TargetSession::massErase() { return stm32::massErase(session_); }

VectorTable TargetSession::readResidentVectorTable() {
    std::vector<uint8_t> first(block_);
    // A failed read gives no table: its bytes are not the resident program.
    if (readBlocks(session_, 1, flashStart_, block_, first.data()) != 0) {
        session_.clearFailure();
        return VectorTable{};
    }
    return VectorTable{littleEndianWord(first.data()), littleEndianWord(first.data() + 4), true};
}

// After a good Set Address the board sits in dfuDNLOAD-IDLE, the state in
// which the zero-length download means "leave". The board may leave the bus
// at any point from here: the leave's own results are not checked.
bool TargetSession::startAt(uint32_t base) {
    if (setAddress(session_, base) != 0) {
        session_.clearFailure();
        ensureIdle(session_);
        return false;
    }
    leave(session_);
    return true;
}

void TargetSession::endProgress() {
    progress_.end();
    for (const std::string& note : session_.takeNotes()) logLine(ctx_, "%s", note.c_str());
}

// Read protection and an address the board refuses get a line that says so,
// since the bare closing line would mislead.
int32_t TargetSession::failed(int32_t result) {
    endProgress();
    if (session_.readProtected) {
        logLine(ctx_, "The board's flash is read-protected: it cannot be read, erased or written. "
                      "Removing the protection erases the whole flash: stm32cmd --unprotect --force");
        return STM32_RESULT_READ_PROTECTED;
    }
    const FailureCause& cause = session_.failure();
    bool refused = cause.hasStatus && cause.status == kDfuStatusErrTarget && cause.hasAddress;
    uint64_t announcedEnd = haveLayout_ ? static_cast<uint64_t>(layout_.startAddress) + layout_.totalSize
                                        : static_cast<uint64_t>(flashStart_) + flashSize();
    if (refused && session_.rom().realFlashSmaller && cause.address >= flashStart_ && cause.address < announcedEnd) {
        logLine(ctx_, "The board refused address 0x%08X: its real flash may be smaller than its layout says.",
                cause.address);
    } else if (!cause.empty()) {
        logLine(ctx_, "Cause: %s.", cause.describe().c_str());
    }
    return result;
}

} // namespace stm32
