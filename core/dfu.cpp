// DFU class requests, status handling and the DfuSe command pattern.
#include "dfu.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "trace.h"
#include "wait_bounds.h"

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

// dfu-util counts up to three stalled polls as "still busy": a ROM that
// stalls early polls may also stall one after the announced wait.
constexpr int kStallsTakenAsBusy = 3;
constexpr int kRecoveryRounds = 2;

void decodeStatus(const unsigned char* reply, DfuStatus* status) {
    status->bStatus = reply[0];
    status->bwPollTimeout = static_cast<uint32_t>(reply[1]) | (static_cast<uint32_t>(reply[2]) << 8) |
                            (static_cast<uint32_t>(reply[3]) << 16);
    status->bState = reply[4];
    status->iString = reply[5];
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

void traceRequest(const stm32::Session& session, uint8_t request, uint16_t value, const unsigned char* data,
                  uint16_t length, int result) {
    if (!stm32::traceEnabled()) return;
    char bytes[40] = "";
    if (request == stm32::kDfuDnload && value == 0 && data != nullptr) {
        int used = 0;
        for (uint16_t i = 0; i < length && i < stm32::kDfuSeAddressCommandLength; ++i) {
            used += std::snprintf(bytes + used, sizeof bytes - used, "%s%02X", i == 0 ? " [" : " ", data[i]);
        }
        std::snprintf(bytes + used, sizeof bytes - used, "]");
    }
    session.trace("req", "%s wValue=%u len=%u%s rc=%d%s%s", requestName(request), value, length, bytes, result,
                  result < 0 ? " " : "", result < 0 ? libusb_error_name(result) : "");
}

// The wait for the board's verdict on one operation. Bounded by the busy
// limit as a whole; every status request in it may be held by the board
// until the work is over, so each gets the time left of the bound.
class BusyWait {
public:
    BusyWait(stm32::Session& session, const stm32::DfuOperation& op)
        : session_(session), op_(op), begun_(Clock::now()), deadline_(begun_ + stm32::busyWaitLimit()) {}

    // firstMustBeBusy: the first reply is the board's answer to a command just sent.
    int run(DfuStatus* status, bool firstMustBeBusy) {
        bool first = firstMustBeBusy;
        for (;;) {
            int got = stm32::requestStatus(session_, status, heldTimeout());
            if (got == stm32::kDfuStatusLength) {
                if (first) {
                    first = false;
                    if (status->bState != stm32::kDfuStateDnBusy || status->bStatus != stm32::kDfuStatusOk) {
                        return judgeFirstReply(*status);
                    }
                } else {
                    if (status->bStatus != stm32::kDfuStatusOk) return failWithStatus(*status, nullptr);
                    if (status->bState != stm32::kDfuStateDnBusy) return 0;
                }
                const bool stuck = Clock::now() - begun_ >= stm32::stuckBusyThreshold();
                if (op_.sectorErase && rom().stuckBusyErase && stuck) {
                    return recoverStuckBusy(status);
                }
                lastPoll_ = Milliseconds(status->bwPollTimeout);
                // A stall says the ROM does not hold requests after all: from then on every poll waits.
                const bool pollAtOnce = rom().holdsRequestsWhileBusy && !session_.statusStalled;
                sleepBeforeNextPoll(pollAtOnce ? Milliseconds(0) : lastPoll_);
            } else if (got == LIBUSB_ERROR_PIPE) {
                session_.statusStalled = true;
                if (!rom().stallsEarlyStatus) return failWithError(got, "status request stalled");
                if (++stalls_ > kStallsTakenAsBusy) return failWithError(got, "status request stalled repeatedly");
                first = false; // the command may already be running: judge the next reply as a poll
                session_.trace("decide", "stalled status request %d of %d: still busy, waiting %lld ms", stalls_,
                               kStallsTakenAsBusy, static_cast<long long>(lastPoll_.count()));
                sleepBeforeNextPoll(lastPoll_);
            } else if (got == LIBUSB_ERROR_TIMEOUT) {
                first = false;
                session_.trace("decide", "held request timed out: still busy");
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
            session_.trace("decide", "busy: waiting %lld ms", static_cast<long long>(wait.count()));
            std::this_thread::sleep_for(wait);
        } else {
            session_.trace("decide", "busy: polling again at once");
        }
    }

    int judgeFirstReply(const DfuStatus& status) {
        const bool doneAtOnce = status.bState == stm32::kDfuStateDnloadIdle && status.bStatus == stm32::kDfuStatusOk;
        if (op_.dfuseCommand && rom().setAddressWithoutBusy && doneAtOnce) {
            session_.trace("decide", "%s done without a busy phase", op_.request.name);
            return 0;
        }
        return failWithStatus(status, "no busy phase");
    }

    // The erase is over but the ROM keeps answering dfuDNBUSY; clearing the
    // status twice brings it back, as its maker's tool does.
    int recoverStuckBusy(DfuStatus* status) {
        session_.trace("decide", "stuck busy: clearing status");
        for (int round = 0; round < kRecoveryRounds; ++round) {
            stm32::dfuControlOut(session_, stm32::kDfuClrStatus, 0, nullptr, 0);
            int got = stm32::requestStatus(session_, status, stm32::controlTimeout());
            if (got == stm32::kDfuStatusLength && status->bStatus == stm32::kDfuStatusOk &&
                status->bState == stm32::kDfuStateIdle) {
                long long seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - begun_).count();
                char note[160];
                std::snprintf(note, sizeof note,
                              "The board stayed busy %lld s after erasing 0x%08X; its status was cleared and the "
                              "erase counted as done.",
                              seconds, op_.request.address);
                session_.addNote(note);
                session_.trace("decide", "stuck busy: recovered after %d clear(s)", round + 1);
                return 0;
            }
        }
        return failWithStatus(*status, "stuck busy and not recovered by clearing the status");
    }

    int failWithStatus(const DfuStatus& status, const char* detail) {
        session_.recordFailure(stm32::FailureCause::answered(op_.request, status.bState, status.bStatus, detail));
        return -1;
    }

    int failWithError(int libusbError, const char* detail) {
        session_.recordFailure(stm32::FailureCause::failed(op_.request, libusbError, detail));
        return -1;
    }

    const stm32::RomKnowledge& rom() const { return session_.rom(); }

    stm32::Session& session_;
    const stm32::DfuOperation& op_;
    Clock::time_point begun_;
    Clock::time_point deadline_;
    Milliseconds lastPoll_{0};
    int stalls_ = 0;
};

} // namespace

namespace stm32 {

void packDfuSeCommand(uint8_t command, uint32_t address, unsigned char out[kDfuSeAddressCommandLength]) {
    out[0] = command;
    for (int i = 0; i < 4; ++i) out[1 + i] = static_cast<unsigned char>(address >> (8 * i));
}

int dfuControlOut(Session& session, uint8_t request, uint16_t value, unsigned char* data, uint16_t length) {
    int result = libusb_control_transfer(session.handle(), kRequestOut, request, value, 0, data, length,
                                         controlTimeout());
    traceRequest(session, request, value, data, length, result);
    return result;
}

int dfuControlIn(Session& session, uint8_t request, uint16_t value, unsigned char* data, uint16_t length) {
    int result = libusb_control_transfer(session.handle(), kRequestIn, request, value, 0, data, length,
                                         controlTimeout());
    if (request != kDfuGetStatus) traceRequest(session, request, value, nullptr, length, result);
    return result;
}

int requestStatus(Session& session, DfuStatus* status, unsigned timeoutMs) {
    unsigned char reply[kDfuStatusLength] = {};
    int got = libusb_control_transfer(session.handle(), kRequestIn, kDfuGetStatus, 0, 0, reply, kDfuStatusLength,
                                      timeoutMs);
    if (got == kDfuStatusLength) {
        decodeStatus(reply, status);
        if (status->bStatus == kDfuStatusErrVendor) session.readProtected = true;
        session.trace("reply", "GETSTATUS state=%s(%u) status=%s(%u) poll=%u", dfuStateName(status->bState),
                      status->bState, dfuStatusName(status->bStatus), status->bStatus, status->bwPollTimeout);
        return got;
    }
    // A transport failure reads as an error status in the error state.
    status->bStatus = kDfuStatusErrUnknown;
    status->bState = kDfuStateError;
    session.trace("reply", "GETSTATUS failed rc=%d %s (timeout %u ms)", got, got < 0 ? libusb_error_name(got) : "short",
                  timeoutMs);
    return got < 0 ? got : LIBUSB_ERROR_IO;
}

void getStatus(Session& session, DfuStatus* status) { requestStatus(session, status, controlTimeout()); }

int sendCommand(Session& session, unsigned char* bytes, uint16_t length, const DfuOperation& op) {
    int sent = dfuControlOut(session, kDfuDnload, 0, bytes, length);
    if (sent != length && sent != 0) {
        session.recordFailure(FailureCause::failed(op.request, sent < 0 ? sent : LIBUSB_ERROR_IO));
        return sent;
    }
    return awaitBusyVerdict(session, op);
}

int awaitBusyVerdict(Session& session, const DfuOperation& op) {
    DfuStatus status{};
    return BusyWait(session, op).run(&status, true);
}

// Every reply is judged by its bStatus: the first one is the board's verdict
// on the command just sent. Polls honour bwPollTimeout (some ROMs stall an
// early one); the whole wait is bounded, so a board stuck busy or a corrupt
// bwPollTimeout cannot hang the caller.
int waitWhileBusy(Session& session, DfuStatus* status) {
    DfuOperation wait{{"WAIT"}};
    return BusyWait(session, wait).run(status, false);
}

// DFU 1.1 leaves dfuDNLOAD-IDLE and dfuUPLOAD-IDLE with DFU_ABORT; DFU_CLRSTATUS
// belongs to dfuERROR, and some ROMs stall it anywhere else.
int ensureIdle(Session& session) {
    DfuStatus status{};
    getStatus(session, &status);
    if (status.bStatus == kDfuStatusOk && status.bState == kDfuStateIdle) return 0;
    for (int round = 0; round < kRecoveryRounds; ++round) {
        bool clearing = status.bState == kDfuStateError || !session.rom().clearStatusStallKeepsState;
        session.trace("decide", "%s to reach dfuIDLE", clearing ? "clearing the error" : "aborting");
        dfuControlOut(session, clearing ? kDfuClrStatus : kDfuAbort, 0, nullptr, 0);
        getStatus(session, &status);
        // After a clear, an OK status is enough whatever the state.
        if (status.bStatus == kDfuStatusOk && (clearing || status.bState == kDfuStateIdle)) return 0;
    }
    session.recordFailure(FailureCause::answered({"GETSTATUS"}, status.bState, status.bStatus,
                                                 "the board did not return to dfuIDLE"));
    return -1;
}

int setAddress(Session& session, uint32_t address) {
    if (ensureIdle(session) != 0) return -1;
    unsigned char command[kDfuSeAddressCommandLength];
    packDfuSeCommand(kDfuSeSetAddress, address, command);
    DfuOperation op{{"SET_ADDRESS", true, address}, true, false};
    if (sendCommand(session, command, sizeof command, op) != 0) return -1;
    session.addressPointer = address;
    return 0;
}

void leave(Session& session) {
    // The board may drop off the bus at once: nothing here is checked.
    dfuControlOut(session, kDfuDnload, 2, nullptr, 0);
    DfuStatus status{};
    getStatus(session, &status);
}

} // namespace stm32

void dfuGetStatus(libusb_device_handle* handle, DfuStatus* status) {
    stm32::Session session(handle);
    stm32::getStatus(session, status);
}

int waitWhileDeviceIsBusy(libusb_device_handle* handle, DfuStatus* status) {
    stm32::Session session(handle);
    return stm32::waitWhileBusy(session, status);
}

int dfuEnsureIdle(libusb_device_handle* handle) {
    stm32::Session session(handle);
    return stm32::ensureIdle(session);
}

int dfuSetAddress(libusb_device_handle* handle, uint32_t address) {
    stm32::Session session(handle);
    return stm32::setAddress(session, address);
}

void dfuLeave(libusb_device_handle* handle) {
    stm32::Session session(handle);
    stm32::leave(session);
}
