// DFU class requests, status handling and the DfuSe command pattern.
#include "dfu.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

#include "failure.h"
#include "session.h"
#include "trace.h"

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

std::atomic<long long> g_busyWaitLimitMs{120000}; // far above the slowest real mass erase (~35 s)
std::atomic<unsigned> g_controlTimeoutMs{9000};
// The slowest real sector erase we know of is a few seconds (a 256 KB F7 or
// 128 KB H7 sector, about 4 s at most by the parts' data, not measured here);
// 15 s is far beyond it and far below the 120 s bound, so only a board that
// really stays busy (H743/H753 rev V after a bank-2 sector) reaches it.
std::atomic<long long> g_stuckBusyMs{15000};

// A status request that a board may hold until its operation is over waits
// this long: the slowest real operation is a 2 MB F4 mass erase of up to 32 s
// (dfu-util sleeps 35 s for it). A request that still times out reads as
// "still busy" until the busy bound.
std::atomic<long long> g_heldStatusMs{40000};

constexpr uint8_t kDfuInterfaceClass = 0xFE;
constexpr uint8_t kDfuInterfaceSubClass = 0x01;
constexpr int kFunctionalLength = 7;
constexpr int kStatusLength = 6;
// dfu-util counts up to three stalled polls as "still busy": some ROMs (L4)
// stall a poll at random even after the announced wait.
constexpr int kStallsTakenAsBusy = 3;
constexpr int kRecoveryRounds = 2;

void decodeStatus(const unsigned char* reply, DfuStatus* status) {
    status->bStatus = reply[0];
    status->bwPollTimeout = static_cast<uint32_t>(reply[1]) | (static_cast<uint32_t>(reply[2]) << 8) |
                            (static_cast<uint32_t>(reply[3]) << 16);
    status->bState = reply[4];
    status->iString = reply[5];
}

void fillFunctionalInfo(const unsigned char* extra, DfuFunctionalInfo* info) {
    info->bLength = extra[0];
    info->bDescriptorType = extra[1];
    info->bmAttributes = extra[2];
    info->wDetachTimeOut = extra[3] | (extra[4] << 8);
    info->wTransferSize = extra[5] | (extra[6] << 8);
}

const char* requestName(uint8_t request) {
    switch (request) {
    case stm32::kDfuDnload: return "DNLOAD";
    case stm32::kDfuUpload: return "UPLOAD";
    case stm32::kDfuGetStatus: return "GETSTATUS";
    case stm32::kDfuClrStatus: return "CLRSTATUS";
    case stm32::kDfuAbort: return "ABORT";
    default: return "REQUEST";
    }
}

void traceRequest(uint8_t request, uint16_t value, const unsigned char* data, uint16_t length, int result) {
    if (!stm32::traceEnabled()) return;
    char bytes[40] = "";
    if (request == stm32::kDfuDnload && value == 0 && data != nullptr) {
        int used = 0;
        for (uint16_t i = 0; i < length && i < stm32::kDfuSeAddressCommandLength; ++i) {
            used += std::snprintf(bytes + used, sizeof bytes - used, "%s%02X", i == 0 ? " [" : " ", data[i]);
        }
        std::snprintf(bytes + used, sizeof bytes - used, "]");
    }
    stm32::trace("req", "%s wValue=%u len=%u%s rc=%d%s%s", requestName(request), value, length, bytes, result,
                 result < 0 ? " " : "", result < 0 ? libusb_error_name(result) : "");
}

} // namespace

namespace stm32 {

void setBusyWaitLimit(Milliseconds limit) { g_busyWaitLimitMs = limit.count(); }
Milliseconds busyWaitLimit() { return Milliseconds(g_busyWaitLimitMs.load()); }
void setControlTimeout(unsigned milliseconds) { g_controlTimeoutMs = milliseconds; }
unsigned controlTimeout() { return g_controlTimeoutMs.load(); }
void setStuckBusyThreshold(Milliseconds limit) { g_stuckBusyMs = limit.count(); }
Milliseconds stuckBusyThreshold() { return Milliseconds(g_stuckBusyMs.load()); }
void setHeldStatusTimeout(Milliseconds limit) { g_heldStatusMs = limit.count(); }
Milliseconds heldStatusTimeout() { return Milliseconds(g_heldStatusMs.load()); }

void packDfuSeCommand(uint8_t command, uint32_t address, unsigned char out[kDfuSeAddressCommandLength]) {
    out[0] = command;
    for (int i = 0; i < 4; ++i) out[1 + i] = static_cast<unsigned char>(address >> (8 * i));
}

bool isTargetDescriptor(const libusb_device_descriptor& descriptor) {
    return descriptor.idVendor == STM32_VENDOR_ID && descriptor.idProduct == STM32_PRODUCT_ID;
}

bool isDfuAltSetting(const libusb_interface_descriptor& alt) {
    return alt.bInterfaceClass == kDfuInterfaceClass && alt.bInterfaceSubClass == kDfuInterfaceSubClass &&
           alt.iInterface != 0;
}

void walkDfuAltSettings(libusb_device* device, const libusb_device_descriptor& descriptor, const AltVisitor& visit) {
    for (uint8_t c = 0; c < descriptor.bNumConfigurations; ++c) {
        ConfigDescriptor config;
        if (config.read(device, c) != 0) continue;
        for (int i = 0; i < config->bNumInterfaces; ++i) {
            const libusb_interface& interface = config->interface[i];
            for (int a = 0; a < interface.num_altsetting; ++a) {
                const libusb_interface_descriptor& alt = interface.altsetting[a];
                if (!isDfuAltSetting(alt)) continue;
                AltWalk next = visit(c, alt);
                if (next == AltWalk::Stop) return;
                if (next == AltWalk::NextInterface) break;
            }
        }
    }
}

int dfuControlOut(libusb_device_handle* handle, uint8_t request, uint16_t value, unsigned char* data,
                  uint16_t length) {
    int result = libusb_control_transfer(handle, kRequestOut, request, value, 0, data, length, controlTimeout());
    traceRequest(request, value, data, length, result);
    return result;
}

int dfuControlIn(libusb_device_handle* handle, uint8_t request, uint16_t value, unsigned char* data,
                 uint16_t length) {
    int result = libusb_control_transfer(handle, kRequestIn, request, value, 0, data, length, controlTimeout());
    if (request != kDfuGetStatus) traceRequest(request, value, nullptr, length, result);
    return result;
}

int requestStatus(libusb_device_handle* handle, DfuStatus* status, unsigned timeoutMs) {
    unsigned char reply[kStatusLength] = {};
    int got = libusb_control_transfer(handle, kRequestIn, kDfuGetStatus, 0, 0, reply, kStatusLength, timeoutMs);
    if (got == kStatusLength) {
        decodeStatus(reply, status);
        if (status->bStatus == kDfuStatusErrVendor) Session::current().readProtected = true;
        trace("reply", "GETSTATUS state=%s(%u) status=%s(%u) poll=%u", dfuStateName(status->bState), status->bState,
              dfuStatusName(status->bStatus), status->bStatus, status->bwPollTimeout);
        return got;
    }
    // A transport failure reads as an error status in the error state.
    status->bStatus = kDfuStatusErrUnknown;
    status->bState = kDfuStateError;
    trace("reply", "GETSTATUS failed rc=%d %s (timeout %u ms)", got, got < 0 ? libusb_error_name(got) : "short",
          timeoutMs);
    return got < 0 ? got : LIBUSB_ERROR_IO;
}

} // namespace stm32

namespace {

// The wait for the board's verdict on one operation. Bounded by the busy
// limit as a whole; every status request in it may be held by the board
// until the work is over, so each gets the time left of the bound.
class BusyWait {
public:
    BusyWait(libusb_device_handle* handle, const stm32::DfuOperation& op)
        : handle_(handle), op_(op), session_(stm32::Session::current()), begun_(Clock::now()),
          deadline_(begun_ + stm32::busyWaitLimit()) {}

    // firstMustBeBusy: the first reply is the board's answer to a command just sent.
    int run(DfuStatus* status, bool firstMustBeBusy) {
        bool first = firstMustBeBusy;
        for (;;) {
            int got = stm32::requestStatus(handle_, status, heldTimeout());
            if (got == kStatusLength) {
                if (first) {
                    first = false;
                    if (status->bState != stm32::kDfuStateDnBusy || status->bStatus != stm32::kDfuStatusOk) {
                        return judgeFirstReply(*status);
                    }
                } else {
                    if (status->bStatus != stm32::kDfuStatusOk) return failWithStatus(*status, nullptr);
                    if (status->bState != stm32::kDfuStateDnBusy) return 0;
                }
                if (op_.sectorErase && Clock::now() - begun_ >= stm32::stuckBusyThreshold()) {
                    return recoverStuckBusy(status);
                }
                lastPoll_ = Milliseconds(status->bwPollTimeout);
                sleepBeforeNextPoll(session_.romHoldsStatus && !session_.statusStalled ? Milliseconds(0) : lastPoll_);
            } else if (got == LIBUSB_ERROR_PIPE) {
                session_.statusStalled = true;
                if (++stalls_ > kStallsTakenAsBusy) return failWithError(got, "status request stalled repeatedly");
                first = false; // the command may already be running: judge the next reply as a poll
                stm32::trace("decide", "stalled status request %d of %d: still busy, waiting %lld ms", stalls_,
                             kStallsTakenAsBusy, static_cast<long long>(lastPoll_.count()));
                sleepBeforeNextPoll(lastPoll_);
            } else if (got == LIBUSB_ERROR_TIMEOUT) {
                first = false;
                stm32::trace("decide", "held request timed out: still busy");
            } else {
                return failWithError(got, nullptr);
            }
            if (Clock::now() >= deadline_) return failWithError(0, "still busy at the bound of the wait");
        }
    }

private:
    // Long enough for the slowest real operation, never past the bound, never
    // shorter than any other request's timeout.
    unsigned heldTimeout() const {
        long long left = std::chrono::duration_cast<Milliseconds>(deadline_ - Clock::now()).count();
        long long held = std::min(left, static_cast<long long>(stm32::heldStatusTimeout().count()));
        return static_cast<unsigned>(std::max<long long>(held, stm32::controlTimeout()));
    }

    void sleepBeforeNextPoll(Milliseconds poll) {
        auto left = std::chrono::duration_cast<Milliseconds>(deadline_ - Clock::now());
        Milliseconds wait = std::min(poll, std::max(left, Milliseconds(0)));
        if (wait.count() > 0) {
            stm32::trace("decide", "busy: waiting %lld ms", static_cast<long long>(wait.count()));
            std::this_thread::sleep_for(wait);
        } else {
            stm32::trace("decide", "busy: polling again at once");
        }
    }

    int judgeFirstReply(const DfuStatus& status) {
        // The U5A9 ROM carries out Set Address at once and skips dfuDNBUSY.
        if (op_.dfuseCommand && status.bState == stm32::kDfuStateDnloadIdle && status.bStatus == stm32::kDfuStatusOk) {
            stm32::trace("decide", "%s done without a busy phase", op_.name);
            return 0;
        }
        return failWithStatus(status, "no busy phase");
    }

    // H743/H753 rev V: the erase is over but the ROM keeps answering
    // dfuDNBUSY; its maker's tool clears the status twice and goes on.
    int recoverStuckBusy(DfuStatus* status) {
        stm32::trace("decide", "stuck busy: clearing status");
        for (int round = 0; round < kRecoveryRounds; ++round) {
            stm32::dfuControlOut(handle_, stm32::kDfuClrStatus, 0, nullptr, 0);
            int got = stm32::requestStatus(handle_, status, stm32::controlTimeout());
            if (got == kStatusLength && status->bStatus == stm32::kDfuStatusOk &&
                status->bState == stm32::kDfuStateIdle) {
                long long seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - begun_).count();
                char note[160];
                std::snprintf(note, sizeof note,
                              "The board stayed busy %lld s after erasing 0x%08X; its status was cleared and the "
                              "erase counted as done.",
                              seconds, op_.address);
                session_.addNote(note);
                stm32::trace("decide", "stuck busy: recovered after %d clear(s)", round + 1);
                return 0;
            }
        }
        return failWithStatus(*status, "stuck busy and not recovered by clearing the status");
    }

    int failWithStatus(const DfuStatus& status, const char* detail) {
        stm32::FailureCause cause = causeBase(detail);
        cause.hasStatus = true;
        cause.state = status.bState;
        cause.status = status.bStatus;
        session_.recordFailure(cause);
        return -1;
    }

    int failWithError(int libusbError, const char* detail) {
        stm32::FailureCause cause = causeBase(detail);
        cause.libusbError = libusbError;
        session_.recordFailure(cause);
        return -1;
    }

    stm32::FailureCause causeBase(const char* detail) const {
        stm32::FailureCause cause;
        cause.request = op_.name;
        cause.hasAddress = op_.hasAddress;
        cause.address = op_.address;
        cause.detail = detail;
        return cause;
    }

    libusb_device_handle* handle_;
    const stm32::DfuOperation& op_;
    stm32::Session& session_;
    Clock::time_point begun_;
    Clock::time_point deadline_;
    Milliseconds lastPoll_{0};
    int stalls_ = 0;
};

} // namespace

namespace stm32 {

int dfuSendCommand(libusb_device_handle* handle, unsigned char* bytes, uint16_t length, const DfuOperation& op) {
    int sent = dfuControlOut(handle, kDfuDnload, 0, bytes, length);
    if (sent != length && sent != 0) {
        FailureCause cause;
        cause.request = op.name;
        cause.hasAddress = op.hasAddress;
        cause.address = op.address;
        cause.libusbError = sent < 0 ? sent : LIBUSB_ERROR_IO;
        Session::current().recordFailure(cause);
        return sent;
    }
    return awaitBusyVerdict(handle, op);
}

int awaitBusyVerdict(libusb_device_handle* handle, const DfuOperation& op) {
    DfuStatus status{};
    return BusyWait(handle, op).run(&status, true);
}

int openTarget(libusb_device* device, DeviceHandle& handle) {
    int rc = handle.open(device);
    if (rc == 0) rc = libusb_claim_interface(handle.get(), 0);
    if (rc == 0) rc = libusb_set_interface_alt_setting(handle.get(), 0, 0);
    if (rc != 0) {
        handle.reset();
        trace("fail", "open/claim/alternate setting: %s", libusb_error_name(rc));
    }
    return rc;
}

bool selectTargetDevice(const DeviceList& list, int32_t targetIndex, libusb_device** device,
                        libusb_device_descriptor* descriptor) {
    for (size_t position = 0; position < list.size(); ++position) {
        if (targetIndex != -1 && position != static_cast<size_t>(targetIndex)) continue;
        libusb_device_descriptor candidate{};
        if (libusb_get_device_descriptor(list.at(position), &candidate) == 0 && isTargetDescriptor(candidate)) {
            *device = list.at(position);
            *descriptor = candidate;
            return true;
        }
        if (targetIndex != -1) return false;
    }
    return false;
}

} // namespace stm32

void dfuGetStatus(libusb_device_handle* handle, DfuStatus* status) {
    stm32::requestStatus(handle, status, stm32::controlTimeout());
}

// Every reply is judged by its bStatus: the first one is the board's verdict
// on the command just sent. Polls honour bwPollTimeout (some ROMs stall an
// early one); the whole wait is bounded, so a board stuck busy or a corrupt
// bwPollTimeout cannot hang the caller.
int waitWhileDeviceIsBusy(libusb_device_handle* handle, DfuStatus* status) {
    stm32::DfuOperation wait{"WAIT"};
    return BusyWait(handle, wait).run(status, false);
}

// DFU 1.1 leaves dfuDNLOAD-IDLE and dfuUPLOAD-IDLE with DFU_ABORT; DFU_CLRSTATUS
// belongs to dfuERROR only (the C5 ROM stalls it elsewhere and keeps its state).
int dfuEnsureIdle(libusb_device_handle* handle) {
    DfuStatus status{};
    dfuGetStatus(handle, &status);
    if (status.bStatus == stm32::kDfuStatusOk && status.bState == stm32::kDfuStateIdle) return 0;
    for (int round = 0; round < kRecoveryRounds; ++round) {
        bool clearing = status.bState == stm32::kDfuStateError;
        stm32::trace("decide", "%s to reach dfuIDLE", clearing ? "clearing the error" : "aborting");
        stm32::dfuControlOut(handle, clearing ? stm32::kDfuClrStatus : stm32::kDfuAbort, 0, nullptr, 0);
        dfuGetStatus(handle, &status);
        // After a clear, an OK status is enough whatever the state.
        if (status.bStatus == stm32::kDfuStatusOk && (clearing || status.bState == stm32::kDfuStateIdle)) return 0;
    }
    stm32::FailureCause cause;
    cause.request = "GETSTATUS";
    cause.hasStatus = true;
    cause.state = status.bState;
    cause.status = status.bStatus;
    cause.detail = "the board did not return to dfuIDLE";
    stm32::Session::current().recordFailure(cause);
    return -1;
}

int dfuSetAddress(libusb_device_handle* handle, uint32_t address) {
    if (dfuEnsureIdle(handle) != 0) return -1;
    unsigned char command[stm32::kDfuSeAddressCommandLength];
    stm32::packDfuSeCommand(stm32::kDfuSeSetAddress, address, command);
    stm32::DfuOperation op{"SET_ADDRESS", true, false, true, address};
    if (stm32::dfuSendCommand(handle, command, sizeof command, op) != 0) return -1;
    stm32::Session::current().addressPointer = address;
    return 0;
}

void dfuLeave(libusb_device_handle* handle) {
    // The board may drop off the bus at once: nothing here is checked.
    stm32::dfuControlOut(handle, stm32::kDfuDnload, 2, nullptr, 0);
    DfuStatus status{};
    dfuGetStatus(handle, &status);
}

void dfuGetFunctionalDescriptor(libusb_device* device, const libusb_device_descriptor* descriptor,
                                DfuFunctionalInfo* info) {
    if (device == nullptr || descriptor == nullptr || info == nullptr) return;
    stm32::walkDfuAltSettings(device, *descriptor, [info](uint8_t, const libusb_interface_descriptor& alt) {
        // The last qualifying setting wins: the walk goes on after a hit.
        if (alt.extra_length >= kFunctionalLength && alt.extra != nullptr) fillFunctionalInfo(alt.extra, info);
        return stm32::AltWalk::Next;
    });
}
