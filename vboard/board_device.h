// One virtual board: descriptors, the DFU/DfuSe state machine and its memories.
// Independent of umockdev so that the transport can stay thin.
#ifndef STM32_VBOARD_BOARD_DEVICE_H
#define STM32_VBOARD_BOARD_DEVICE_H

#include "flash_memory.h"
#include "profiles.h"
#include "virtual_board.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vboard {

struct ControlSetup {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
    bool isIn() const { return (requestType & 0x80) != 0; }
};

enum class Completion {
    Done,     // completed with `data` (IN) and `actualLength`
    Stall,    // completed with a stall (-EPIPE)
    Hang,     // never completes on its own
    NoDevice, // the device is gone (ENODEV)
};

struct ControlResult {
    Completion completion = Completion::Done;
    std::vector<uint8_t> data; // IN data stage
    uint32_t actualLength = 0; // bytes moved in the data stage
    bool leaveBus = false;     // the device drops off the bus after this request
    bool resetAfter = false;   // the device resets: drops off the bus and comes back in DFU mode
    // Clock time before which the completion must not reach the host (0: at once).
    uint64_t releaseAtUs = 0;
};

// Monotonic time in microseconds; replaceable so that tests control time.
using Clock = std::function<uint64_t()>;
uint64_t steadyMicroseconds();

class BoardDevice : public Board {
public:
    BoardDevice(const BoardOptions& options, std::string serial, Clock clock = steadyMicroseconds);

    // One control transfer on the default pipe, `alt` being the alternate
    // setting the sending client selected.
    ControlResult control(const ControlSetup& setup, const uint8_t* outData, int alt);

    // Device descriptor followed by the full configuration descriptor (sysfs).
    std::vector<uint8_t> sysfsDescriptors() const;
    int alternateCount() const { return int(memories_.size()); }
    const std::string& serial() const { return serial_; }
    uint16_t bcdDevice() const { return description_.bcdDevice; }
    UsbAccess usbAccess() const;
    void setUsbAccess(UsbAccess access);

    // Power-up after a (re)plug: DFU idle, no leave recorded.
    void powerUp();
    void setPlugged(bool plugged);
    void setListPosition(int position);
    void setPortPath(const std::string& path);

    // Board interface.
    int listPosition() const override;
    std::string portPath() const override;
    Profile profile() const override;
    std::vector<uint8_t> read(uint32_t address, uint32_t length) const override;
    void write(uint32_t address, const std::vector<uint8_t>& bytes) override;
    std::vector<uint8_t> flash() const override;
    void fillFlash(uint8_t value) override;
    void fillFlashPattern(uint32_t seed) override;
    uint32_t flashStart() const override;
    uint32_t flashSize() const override;
    uint16_t transferSize() const override;
    std::vector<Segment> flashSegments() const override;
    Counters counters() const override;
    uint64_t count(Request kind) const override;
    void resetCounters() override;
    uint8_t state() const override;
    uint8_t status() const override;
    bool hasLeft() const override;
    uint32_t leaveAddress() const override;
    bool plugged() const override;
    uint32_t addressPointer() const override;
    uint32_t startedStackPointer() const override;
    uint32_t startedResetHandler() const override;
    bool startFaulted() const override;
    bool readProtected() const override;
    uint32_t physicalFlashSize() const override;
    uint64_t resets() const override;
    void injectFault(const Fault& fault) override;
    void clearFaults() override;

private:
    struct PendingCommand {
        Request kind = Request::DataBlock;
        uint32_t address = 0;
        std::vector<uint8_t> data;
        int alt = 0;
        std::optional<uint8_t> forcedStatus;
    };

    Request classify(const ControlSetup& setup, const uint8_t* outData) const;
    std::optional<Fault> takeFault(Request kind);
    ControlResult handle(const ControlSetup& setup, const uint8_t* outData, int alt);
    ControlResult dispatch(const ControlSetup& setup, const uint8_t* outData, int alt, Request kind);
    ControlResult standardRequest(const ControlSetup& setup);
    ControlResult getDescriptor(const ControlSetup& setup);
    ControlResult stringDescriptor(uint8_t index, uint16_t length) const;
    ControlResult download(const ControlSetup& setup, const uint8_t* outData, int alt, Request kind);
    ControlResult upload(const ControlSetup& setup, int alt, Request kind);
    ControlResult getStatus();
    ControlResult clearStatus();
    ControlResult abort();
    ControlResult stall(uint8_t statusCode = errSTALLEDPKT);
    static ControlResult stallKeepingState();
    ControlResult busyRequest(Request kind);
    ControlResult startPendingCommand();
    ControlResult busyReply(uint32_t pollMs);
    bool isOptionBytes(int alt) const;
    ControlResult leave();
    void settleFinishedOperation();
    void applyBlankStart();
    void startProgram();
    bool reachable(const FlashMemory& memory, uint32_t address, uint32_t length) const;
    uint8_t executeProtected(const PendingCommand& command);
    void eraseEveryMemoryAndUnprotect();
    ControlResult statusReply(uint8_t statusCode, uint32_t pollMs, uint8_t stateCode);
    void execute(const PendingCommand& command);
    uint32_t romPollMs(Request kind) const;
    uint32_t scaledMs(uint64_t microseconds) const;
    FlashMemory& memoryOf(int alt);
    const FlashMemory* memoryHolding(uint32_t address, uint32_t length) const;
    FlashMemory* memoryHolding(uint32_t address, uint32_t length);
    const FlashMemory& flashMemory() const;
    std::vector<uint8_t> configurationDescriptor() const;

    const ProfileDescription& description_;
    BoardOptions options_;
    std::string serial_;
    Clock clock_;
    std::vector<FlashMemory> memories_; // one per alternate setting
    size_t flashIndex_ = 0;

    mutable std::mutex mutex_;
    int listPosition_ = 0;
    std::string portPath_;
    bool plugged_ = false;
    uint8_t state_ = dfuIDLE;
    uint8_t status_ = OK;
    uint32_t addressPointer_ = 0;
    bool left_ = false;
    uint32_t leaveAddress_ = 0;
    uint32_t startedStackPointer_ = 0;
    uint32_t startedResetHandler_ = 0;
    bool startFaulted_ = false;
    bool readProtected_ = false;
    bool freshFromPowerUp_ = true;
    bool stuckBusy_ = false;        // a ROM that never leaves dfuDNBUSY by itself
    uint64_t resets_ = 0;
    uint64_t now_ = 0;              // clock time the current request is handled at
    uint64_t holdUntil_ = 0;        // requests before this time are held (ROMs that hold)
    uint64_t earliestStatusUs_ = 0; // announced bwPollTimeout ends here
    UsbAccess usbAccess_ = UsbAccess::Normal;
    std::optional<PendingCommand> pending_;
    uint8_t verdict_ = OK;       // status once the busy time is over
    uint64_t busyUntil_ = 0;     // clock time the current operation ends
    bool stayBusy_ = false;
    std::optional<uint8_t> errorAfterRequest_; // ErrorStatus on a non-command request
    std::deque<Fault> faults_;
    Counters counters_;
};

} // namespace vboard

#endif
