// One command's hold on its board: libusb, the device list and the open
// target, its block size, layout and ROM row, the transport session, the
// progress line and the wording of a failure. The jobs (upload, download,
// erase) run on one; it closes everything it opened when it goes.
#ifndef STM32_CORE_TARGET_SESSION_H
#define STM32_CORE_TARGET_SESSION_H

#include <libusb.h>

#include <cstdint>
#include <vector>

#include "engine_plan.h"
#include "layout.h"
#include "progress.h"
#include "session.h"
#include "stm32.h"
#include "target_device.h"
#include "usb_holders.h"
#include "vector_table.h"

namespace stm32 {

// Opens, claims interface 0 and selects alternate setting 0, and gives the
// session the handle. 0 on success, else the libusb error of the step that failed.
int openTarget(Session& session, libusb_device* device, DeviceHandle& handle);

class TargetSession {
public:
    TargetSession(Stm32Context* context, uint32_t flashStart);
    TargetSession(const TargetSession&) = delete;
    TargetSession& operator=(const TargetSession&) = delete;

    // Finding and opening the target, in this order.
    bool startUsb();
    bool select(int32_t targetIndex);
    DfuFunctionalInfo functionalDescriptor() const;
    void setBlockSize(uint32_t blockSize);
    // Opens, claims and selects alternate setting 0, then reads the layout and
    // finds the ROM's row; logs what the user can change when it fails.
    bool open();
    // The same without the layout, for a command that needs none.
    bool openWithoutLayout();
    // Closes the target, logs "OK." or the command's failure line, and passes
    // the result on.
    int32_t finish(int32_t result, const char* failureLine);

    Stm32Context* context() const { return ctx_; }
    Session& session() { return session_; }
    uint32_t flashStart() const { return flashStart_; }
    uint32_t blockSize() const { return block_; }
    // The flash as the caller lent it, and its whole blocks.
    uint64_t flashSize() const { return ctx_->flashBufferSize > 0 ? static_cast<uint64_t>(ctx_->flashBufferSize) : 0; }
    uint64_t usable() const { return flashSize() / block_ * block_; }
    uint32_t address(uint64_t offset) const { return static_cast<uint32_t>(flashStart_ + offset); }
    // Null when the board's layout did not read.
    const FlashLayout* layout() const { return haveLayout_ ? &layout_ : nullptr; }
    PageMap pageMap() const { return PageMap(flashStart_, block_, flashSize(), layout()); }
    // Erasing a run whose pages reach outside the lent flash would wipe bytes
    // nobody read back.
    bool runIsWholePages(Range run) const;

    // Whole blocks; each returns 0 or the transport's failure.
    int readRun(Range run, uint8_t* buffer);
    // Each run into the flash buffer at its own offset.
    int readRuns(const RangeList& runs);
    // length bytes at offset into the flash buffer from its first byte.
    int readToBufferStart(uint64_t offset, uint64_t length);
    enum class Dots { Shown, Hidden };
    int writeRun(Range run, const uint8_t* buffer, Dots dots);
    // One Erase command per page start, with progress dots.
    int erasePages(const std::vector<uint32_t>& addresses);
    int massErase();
    // The vector table at flash start; not read when the read fails.
    VectorTable readResidentVectorTable();
    // Set Address to base, then the leave request; false when the board
    // refused the address (the leave is then not sent).
    bool startAt(uint32_t base);

    void beginProgress(const char* heading) { progress_.begin(heading); }
    // Closes an open progress line (if any) and logs what the transport noted.
    void endProgress();
    // Ends the progress line, says what the failure was when the bare closing
    // line would mislead, and maps read protection to its own result.
    int32_t failed(int32_t result);

private:
    void learnRom();

    Stm32Context* ctx_;
    uint32_t flashStart_;
    uint32_t block_ = 0;
    libusb_device* device_ = nullptr;
    libusb_device_descriptor descriptor_{};
    FlashLayout layout_;
    bool haveLayout_ = false;
    Session session_;
    ProgressLine progress_;
    // Declared in this order so that the target closes first, then the list, then libusb.
    UsbContext usb_;
    DeviceList list_;
    DeviceHandle handle_;
};

} // namespace stm32

#endif
