#include "board_device.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <stdexcept>

namespace vboard {

namespace {

constexpr uint8_t kTypeClass = 0x20;
constexpr uint8_t kTypeMask = 0x60;

// DFU class requests.
constexpr uint8_t DFU_DETACH = 0;
constexpr uint8_t DFU_DNLOAD = 1;
constexpr uint8_t DFU_UPLOAD = 2;
constexpr uint8_t DFU_GETSTATUS = 3;
constexpr uint8_t DFU_CLRSTATUS = 4;
constexpr uint8_t DFU_GETSTATE = 5;
constexpr uint8_t DFU_ABORT = 6;

// DfuSe command bytes.
constexpr uint8_t CMD_GET_COMMANDS = 0x00;
constexpr uint8_t CMD_SET_ADDRESS = 0x21;
constexpr uint8_t CMD_ERASE = 0x41;
constexpr uint8_t CMD_READ_UNPROTECT = 0x92;

// Standard requests.
constexpr uint8_t GET_STATUS = 0;
constexpr uint8_t GET_DESCRIPTOR = 6;
constexpr uint8_t GET_CONFIGURATION = 8;
constexpr uint8_t GET_INTERFACE = 10;

constexpr uint8_t DT_DEVICE = 1;
constexpr uint8_t DT_CONFIG = 2;
constexpr uint8_t DT_STRING = 3;
constexpr uint8_t DT_DFU_FUNCTIONAL = 0x21;

constexpr uint8_t kManufacturerString = 1;
constexpr uint8_t kProductString = 2;
constexpr uint8_t kSerialString = 3;
constexpr uint8_t kFirstAltString = 4;

uint32_t littleEndian32(const uint8_t* bytes) {
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

void put16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(uint8_t(value & 0xFF));
    out.push_back(uint8_t(value >> 8));
}

ControlResult done(std::vector<uint8_t> data, uint16_t maxLength) {
    ControlResult result;
    if (data.size() > maxLength) data.resize(maxLength);
    result.actualLength = uint32_t(data.size());
    result.data = std::move(data);
    return result;
}

ControlResult doneOut(uint32_t length) {
    ControlResult result;
    result.actualLength = length;
    return result;
}

bool isCommandKind(Request kind) {
    switch (kind) {
    case Request::SetAddress:
    case Request::ErasePage:
    case Request::MassErase:
    case Request::GetCommands:
    case Request::ReadUnprotect:
    case Request::DataBlock:
        return true;
    default:
        return false;
    }
}

} // namespace

uint64_t steadyMicroseconds() {
    using namespace std::chrono;
    return uint64_t(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

BoardDevice::BoardDevice(const BoardOptions& options, std::string serial, Clock clock)
    : description_(describe(options.profile)), options_(options), serial_(std::move(serial)),
      clock_(clock ? std::move(clock) : Clock(steadyMicroseconds)) {
    for (const auto& alt : description_.alternates) memories_.emplace_back(alt.start, alt.segments);
    for (size_t i = 0; i < description_.alternates.size(); ++i) {
        if (description_.alternates[i].start == 0x08000000) {
            flashIndex_ = i;
            break;
        }
    }
    for (auto& memory : memories_) memory.fill(0xFF);
    memories_[flashIndex_].fill(options.fillByte);
    readProtected_ = options.readProtected;
    addressPointer_ = memories_[flashIndex_].start();
    usbAccess_ = options.usbAccess;
}

// ---------------------------------------------------------------- descriptors

std::vector<uint8_t> BoardDevice::configurationDescriptor() const {
    std::vector<uint8_t> body;
    for (size_t alt = 0; alt < description_.alternates.size(); ++alt) {
        const uint8_t iface[] = {9, 4, 0, uint8_t(alt), 0, 0xFE, 0x01, 0x02, uint8_t(kFirstAltString + alt)};
        body.insert(body.end(), iface, iface + sizeof iface);
    }
    // As on the ROMs, one functional descriptor after the last alternate setting.
    if (description_.hasFunctionalDescriptor) {
        auto functional = functionalDescriptor(description_.transferSize);
        body.insert(body.end(), functional.begin(), functional.end());
    }
    std::vector<uint8_t> config = {9, 2};
    put16(config, uint16_t(9 + body.size()));
    const uint8_t rest[] = {1, 1, 0, 0xC0, 0x32};
    config.insert(config.end(), rest, rest + sizeof rest);
    config.insert(config.end(), body.begin(), body.end());
    return config;
}

std::vector<uint8_t> BoardDevice::sysfsDescriptors() const {
    std::vector<uint8_t> out = {18, DT_DEVICE};
    put16(out, 0x0200); // bcdUSB
    out.insert(out.end(), {0x00, 0x00, 0x00, 64});
    put16(out, 0x0483);
    put16(out, 0xDF11);
    put16(out, description_.bcdDevice);
    out.insert(out.end(), {kManufacturerString, kProductString, kSerialString, 1});
    auto config = configurationDescriptor();
    out.insert(out.end(), config.begin(), config.end());
    return out;
}

ControlResult BoardDevice::stringDescriptor(uint8_t index, uint16_t length) const {
    std::string text;
    if (index == 0) return done({4, DT_STRING, 0x09, 0x04}, length);
    if (index == kManufacturerString) text = "STMicroelectronics";
    else if (index == kProductString) text = description_.product;
    else if (index == kSerialString) text = serial_;
    else if (index >= kFirstAltString && size_t(index - kFirstAltString) < description_.alternates.size())
        text = description_.alternates[index - kFirstAltString].name;
    else {
        ControlResult stalled;
        stalled.completion = Completion::Stall;
        return stalled;
    }
    text.resize(std::min<size_t>(text.size(), 126));
    std::vector<uint8_t> out = {uint8_t(2 + 2 * text.size()), DT_STRING};
    for (char c : text) put16(out, uint8_t(c));
    return done(std::move(out), length);
}

ControlResult BoardDevice::getDescriptor(const ControlSetup& setup) {
    uint8_t type = uint8_t(setup.value >> 8);
    uint8_t index = uint8_t(setup.value & 0xFF);
    if (type == DT_DEVICE) {
        auto all = sysfsDescriptors();
        return done(std::vector<uint8_t>(all.begin(), all.begin() + 18), setup.length);
    }
    if (type == DT_CONFIG && index == 0) return done(configurationDescriptor(), setup.length);
    if (type == DT_STRING) return stringDescriptor(index, setup.length);
    if (type == DT_DFU_FUNCTIONAL && description_.rom.ignoresFunctionalDescriptorRequest) {
        ControlResult never;
        never.completion = Completion::Hang;
        return never;
    }
    if (type == DT_DFU_FUNCTIONAL && description_.hasFunctionalDescriptor)
        return done(functionalDescriptor(description_.transferSize), setup.length);
    ControlResult stalled;
    stalled.completion = Completion::Stall;
    return stalled;
}

ControlResult BoardDevice::standardRequest(const ControlSetup& setup) {
    // A stalled standard request leaves the DFU state alone.
    ControlResult stalled;
    stalled.completion = Completion::Stall;
    if (setup.isIn()) {
        switch (setup.request) {
        case GET_DESCRIPTOR: return getDescriptor(setup);
        case GET_STATUS: return done({0, 0}, setup.length);
        case GET_CONFIGURATION: return done({1}, setup.length);
        case GET_INTERFACE: return done({0}, setup.length);
        default: return stalled;
        }
    }
    return doneOut(0); // SET_CONFIGURATION, SET_INTERFACE, features: accepted
}

// ---------------------------------------------------------------- requests

Request BoardDevice::classify(const ControlSetup& setup, const uint8_t* outData) const {
    if ((setup.requestType & kTypeMask) != kTypeClass) return Request::Standard;
    switch (setup.request) {
    case DFU_DETACH: return Request::Detach;
    case DFU_GETSTATUS: return Request::GetStatus;
    case DFU_CLRSTATUS: return Request::ClrStatus;
    case DFU_GETSTATE: return Request::GetState;
    case DFU_ABORT: return Request::Abort;
    case DFU_UPLOAD: return setup.value == 0 ? Request::UploadCommands : Request::Upload;
    case DFU_DNLOAD:
        if (setup.length == 0) return Request::Leave;
        if (setup.value >= 2) return Request::DataBlock;
        if (setup.value == 1) return Request::OtherCommand;
        if (outData[0] == CMD_SET_ADDRESS && setup.length == 5) return Request::SetAddress;
        if (outData[0] == CMD_ERASE && setup.length == 5) return Request::ErasePage;
        if (outData[0] == CMD_ERASE && setup.length == 1) return Request::MassErase;
        if (outData[0] == CMD_GET_COMMANDS && setup.length == 1) return Request::GetCommands;
        if (outData[0] == CMD_READ_UNPROTECT && setup.length == 1) return Request::ReadUnprotect;
        return Request::OtherCommand;
    default: return Request::OtherCommand;
    }
}

std::optional<Fault> BoardDevice::takeFault(Request kind) {
    if (faults_.empty()) return std::nullopt;
    Fault& head = faults_.front();
    bool matches = head.on == kind || (head.on == Request::Any && kind != Request::Standard);
    if (!matches) return std::nullopt;
    if (head.skip > 0) {
        --head.skip;
        return std::nullopt;
    }
    Fault fired = head;
    faults_.pop_front();
    return fired;
}

ControlResult BoardDevice::control(const ControlSetup& setup, const uint8_t* outData, int alt) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!plugged_) {
        ControlResult gone;
        gone.completion = Completion::NoDevice;
        return gone;
    }
    if (alt < 0 || alt >= alternateCount()) alt = 0;
    now_ = clock_();
    // The control pipe of a ROM that holds is busy until the operation ends:
    // the request is handled then, and its completion waits for that time.
    uint64_t releaseAt = 0;
    if (description_.rom.holdsRequestsWhileBusy && now_ < holdUntil_) {
        releaseAt = holdUntil_;
        counters_.heldRequests++;
        counters_.heldMicroseconds += holdUntil_ - now_;
        now_ = holdUntil_;
    }
    ControlResult result = handle(setup, outData, alt);
    result.releaseAtUs = releaseAt;
    return result;
}

ControlResult BoardDevice::handle(const ControlSetup& setup, const uint8_t* outData, int alt) {
    Request kind = classify(setup, outData);
    counters_.requests[kind]++;
    if (kind != Request::Standard) applyBlankStart();
    if (kind == Request::ErasePage) counters_.erasesByAddress[littleEndian32(outData + 1)]++;

    std::optional<Fault> fault = takeFault(kind);
    if (fault) {
        switch (fault->type) {
        case FaultType::Stall:
            return stall();
        case FaultType::Timeout: {
            ControlResult hang;
            hang.completion = Completion::Hang;
            return hang;
        }
        case FaultType::Unplug: {
            plugged_ = false;
            ControlResult gone;
            gone.completion = Completion::NoDevice;
            gone.leaveBus = true;
            return gone;
        }
        case FaultType::ShortReply: {
            if (!setup.isIn()) return doneOut(setup.length / 2); // swallowed, not processed
            ControlResult result = dispatch(setup, outData, alt, kind);
            if (result.completion == Completion::Done) {
                result.data.resize(result.data.size() / 2);
                result.actualLength = uint32_t(result.data.size());
            }
            return result;
        }
        case FaultType::StayBusy:
            stayBusy_ = true;
            break;
        case FaultType::ErrorStatus:
            if (isCommandKind(kind)) {
                ControlResult result = dispatch(setup, outData, alt, kind);
                if (pending_) pending_->forcedStatus = fault->status;
                return result;
            }
            if (kind == Request::GetStatus) {
                state_ = dfuERROR;
                status_ = fault->status;
                pending_.reset();
                return statusReply(status_, 0, state_);
            }
            errorAfterRequest_ = fault->status;
            break;
        }
    }
    ControlResult result = dispatch(setup, outData, alt, kind);
    if (errorAfterRequest_ && kind != Request::GetStatus) {
        state_ = dfuERROR;
        status_ = *errorAfterRequest_;
        errorAfterRequest_.reset();
    }
    return result;
}

ControlResult BoardDevice::dispatch(const ControlSetup& setup, const uint8_t* outData, int alt, Request kind) {
    if (kind == Request::Standard) return standardRequest(setup);
    if (setup.index != 0) return stall();
    settleFinishedOperation();
    if (state_ == dfuDNBUSY && kind != Request::GetStatus && kind != Request::GetState) return busyRequest(kind);
    switch (kind) {
    case Request::GetStatus: return getStatus();
    case Request::ClrStatus: return clearStatus();
    case Request::GetState: return done({state_}, setup.length);
    case Request::Abort: return abort();
    case Request::Upload:
    case Request::UploadCommands: return upload(setup, alt, kind);
    case Request::Detach: return stall(); // only meaningful in application mode
    default: return download(setup, outData, alt, kind);
    }
}

// While the ROM is busy it answers nothing but status polls; a ROM stuck
// busy after a bank-2 erase takes DFU_CLRSTATUS as the way out.
ControlResult BoardDevice::busyRequest(Request kind) {
    if (stuckBusy_ && kind == Request::ClrStatus) {
        stuckBusy_ = false;
        state_ = dfuERROR;
        status_ = errUNKNOWN;
        return doneOut(0);
    }
    return stall();
}

// A ROM that holds requests finishes its operation before it handles the
// next one, whether or not a status request saw the end.
void BoardDevice::settleFinishedOperation() {
    if (!description_.rom.holdsRequestsWhileBusy || state_ != dfuDNBUSY || stuckBusy_ || stayBusy_) return;
    if (now_ < busyUntil_) return;
    status_ = verdict_;
    state_ = verdict_ == OK ? dfuDNLOAD_IDLE : dfuERROR;
}

ControlResult BoardDevice::stallKeepingState() {
    ControlResult stalled;
    stalled.completion = Completion::Stall;
    return stalled;
}

ControlResult BoardDevice::stall(uint8_t statusCode) {
    state_ = dfuERROR;
    status_ = statusCode;
    pending_.reset();
    ControlResult stalled;
    stalled.completion = Completion::Stall;
    return stalled;
}

ControlResult BoardDevice::statusReply(uint8_t statusCode, uint32_t pollMs, uint8_t stateCode) {
    pollMs = std::min<uint32_t>(pollMs, 0xFFFFFF);
    counters_.pollTimeoutMilliseconds += pollMs;
    return done({statusCode, uint8_t(pollMs & 0xFF), uint8_t((pollMs >> 8) & 0xFF), uint8_t(pollMs >> 16),
                 stateCode, 0},
                6);
}

uint32_t BoardDevice::scaledMs(uint64_t microseconds) const {
    return uint32_t(std::ceil(double(microseconds) * options_.timeScale / 1000.0));
}

uint32_t BoardDevice::romPollMs(Request kind) const {
    const Timing& t = description_.timing;
    double ms = 0;
    switch (kind) {
    case Request::SetAddress: ms = t.pollSetAddressMs; break;
    case Request::ErasePage: ms = t.pollEraseMs; break;
    case Request::MassErase: ms = t.pollMassEraseMs; break;
    default: ms = t.pollWriteMs; break;
    }
    return uint32_t(std::lround(ms * options_.timeScale));
}

ControlResult BoardDevice::getStatus() {
    if (stayBusy_ || stuckBusy_) {
        state_ = dfuDNBUSY;
        return statusReply(OK, romPollMs(stuckBusy_ ? Request::ErasePage : Request::DataBlock), dfuDNBUSY);
    }
    if (state_ == dfuDNLOAD_SYNC && pending_) return startPendingCommand();
    if (state_ == dfuDNBUSY) {
        if (description_.rom.stallsEarlyStatus && now_ < earliestStatusUs_) {
            counters_.earlyStatusStalls++;
            return stallKeepingState();
        }
        if (now_ < busyUntil_) return busyReply(uint32_t((busyUntil_ - now_ + 999) / 1000));
        status_ = verdict_;
        state_ = verdict_ == OK ? dfuDNLOAD_IDLE : dfuERROR;
        return statusReply(status_, 0, state_);
    }
    if (state_ == dfuMANIFEST_SYNC) return leave();
    return statusReply(status_, 0, state_);
}

// The first status request after a command carries it out.
ControlResult BoardDevice::startPendingCommand() {
    PendingCommand command = std::move(*pending_);
    pending_.reset();
    execute(command);
    if (command.kind == Request::ReadUnprotect) {
        // The ROM answers busy, then erases, drops the protection and resets.
        eraseEveryMemoryAndUnprotect();
        ControlResult reply = statusReply(OK, romPollMs(Request::MassErase), dfuDNBUSY);
        reply.resetAfter = true;
        resets_++;
        return reply;
    }
    if (command.kind == Request::DataBlock && verdict_ == OK && isOptionBytes(command.alt)) {
        // New option bytes take effect through a system reset [doc: AN2662].
        ControlResult reply = statusReply(OK, romPollMs(Request::DataBlock), dfuDNBUSY);
        reply.resetAfter = true;
        resets_++;
        return reply;
    }
    if (command.kind == Request::SetAddress && description_.rom.setAddressWithoutBusy) {
        status_ = verdict_;
        state_ = verdict_ == OK ? dfuDNLOAD_IDLE : dfuERROR;
        return statusReply(status_, 0, state_);
    }
    state_ = dfuDNBUSY;
    return busyReply(romPollMs(command.kind));
}

bool BoardDevice::isOptionBytes(int alt) const {
    return description_.alternates[size_t(alt)].name.rfind("@Option Bytes", 0) == 0;
}

ControlResult BoardDevice::busyReply(uint32_t pollMs) {
    earliestStatusUs_ = now_ + uint64_t(pollMs) * 1000;
    return statusReply(OK, pollMs, dfuDNBUSY);
}

// The ROM takes the address pointer as a vector table: stack pointer first,
// reset handler next (as its USART Go does; not proven for DFU on hardware).
void BoardDevice::startProgram() {
    left_ = true;
    leaveAddress_ = addressPointer_;
    const FlashMemory& flash = flashMemory();
    startFaulted_ = true;
    startedStackPointer_ = startedResetHandler_ = 0xFFFFFFFF;
    if (!reachable(flash, addressPointer_, 8)) return;
    std::vector<uint8_t> table = flash.read(addressPointer_, 8);
    startedStackPointer_ = littleEndian32(table.data());
    startedResetHandler_ = littleEndian32(table.data() + 4);
    bool stackInSram = startedStackPointer_ >= 0x10000000 && startedStackPointer_ < 0x40000000 &&
                       startedStackPointer_ % 4 == 0;
    bool handlerInFlash = (startedResetHandler_ & 1) != 0 && reachable(flash, startedResetHandler_ & ~1u, 2);
    startFaulted_ = !(stackInSram && handlerInFlash);
}

ControlResult BoardDevice::leave() {
    startProgram();
    state_ = dfuMANIFEST;
    plugged_ = false;
    ControlResult reply;
    if (description_.rom.leaveStatusFails) reply.completion = Completion::NoDevice;
    else reply = statusReply(OK, 0, dfuMANIFEST);
    reply.leaveBus = true;
    return reply;
}

ControlResult BoardDevice::clearStatus() {
    if (state_ != dfuERROR) return description_.rom.clearStatusStallKeepsState ? stallKeepingState() : stall();
    state_ = dfuIDLE;
    status_ = OK;
    return doneOut(0);
}

ControlResult BoardDevice::abort() {
    if (state_ == dfuERROR) return stall();
    state_ = dfuIDLE;
    pending_.reset();
    return doneOut(0);
}

ControlResult BoardDevice::download(const ControlSetup& setup, const uint8_t* outData, int alt, Request kind) {
    if (kind == Request::Leave) {
        if (state_ != dfuDNLOAD_IDLE && state_ != dfuIDLE) return stall();
        state_ = dfuMANIFEST_SYNC;
        return doneOut(0);
    }
    if (state_ != dfuIDLE && state_ != dfuDNLOAD_IDLE) return stall();
    if (kind == Request::OtherCommand) return stall();
    uint16_t blockLimit = description_.transferSize ? description_.transferSize : 0xFFFF;
    if (kind == Request::DataBlock && setup.length > blockLimit) return stall();

    PendingCommand command;
    command.kind = kind;
    command.alt = alt;
    if (kind == Request::SetAddress || kind == Request::ErasePage) command.address = littleEndian32(outData + 1);
    if (kind == Request::DataBlock) {
        command.address = addressPointer_ + uint32_t(setup.value - 2) * description_.transferSize;
        command.data.assign(outData, outData + setup.length);
        counters_.bytesDownloaded += setup.length;
    }
    if (kind == Request::ReadUnprotect) command.alt = int(flashIndex_);
    pending_ = std::move(command);
    state_ = dfuDNLOAD_SYNC;
    return doneOut(setup.length);
}

void BoardDevice::execute(const PendingCommand& command) {
    const Timing& t = description_.timing;
    FlashMemory& memory = memoryOf(command.alt);
    uint64_t busyUs = 0;
    uint8_t result = OK;
    if (command.forcedStatus) {
        result = *command.forcedStatus;
    } else if (readProtected_ && command.kind != Request::ReadUnprotect) {
        result = executeProtected(command);
    } else {
        switch (command.kind) {
        case Request::SetAddress:
            busyUs = t.setAddressUs;
            if (reachable(memory, command.address, 1)) addressPointer_ = command.address;
            else result = errTARGET;
            break;
        case Request::ErasePage: {
            Page page = memory.pageAt(command.address);
            if (page.size == 0 || !reachable(memory, command.address, 1)) {
                result = errTARGET;
                break;
            }
            busyUs = t.eraseUs(page.size);
            memory.erasePage(command.address);
            uint32_t stuckFrom = description_.rom.stuckBusyEraseFrom;
            if (stuckFrom && &memory == &memories_[flashIndex_] && command.address >= stuckFrom) stuckBusy_ = true;
            break;
        }
        case Request::MassErase:
        case Request::ReadUnprotect:
            busyUs = &memory == &memories_[flashIndex_] ? t.massEraseUs : t.eraseUs(memory.size());
            if (command.kind == Request::MassErase) memory.eraseAll();
            break;
        case Request::DataBlock:
            if (!reachable(memory, command.address, uint32_t(command.data.size()))) {
                result = errTARGET;
                break;
            }
            busyUs = uint64_t(t.programUsPerByte * double(command.data.size()));
            if (!memory.program(command.address, command.data.data(), uint32_t(command.data.size())))
                result = errVERIFY;
            break;
        default:
            break;
        }
    }
    counters_.busyMicroseconds += busyUs;
    verdict_ = result;
    busyUntil_ = now_ + uint64_t(double(busyUs) * options_.timeScale);
    if (description_.rom.holdsRequestsWhileBusy) holdUntil_ = busyUntil_;
}

// Read protection level 1: nothing that reads, erases or writes the flash
// gets through (an erase is ignored), and only the oldest ROM still takes a
// new address pointer.
uint8_t BoardDevice::executeProtected(const PendingCommand& command) {
    if (command.kind == Request::SetAddress && !description_.rom.protectedSetAddressRefused) {
        if (!reachable(memoryOf(command.alt), command.address, 1)) return errTARGET;
        addressPointer_ = command.address;
        return OK;
    }
    if (command.kind == Request::GetCommands) return OK;
    return errVENDOR;
}

void BoardDevice::eraseEveryMemoryAndUnprotect() {
    memories_[flashIndex_].eraseAll();
    readProtected_ = false;
}

// A layout can announce more flash than the part has; past the real end the
// ROM's address check refuses the access (inferred, not seen on hardware).
bool BoardDevice::reachable(const FlashMemory& memory, uint32_t address, uint32_t length) const {
    if (!memory.contains(address, length)) return false;
    uint32_t real = description_.rom.realFlashSize;
    if (!real || &memory != &memories_[flashIndex_]) return true;
    return uint64_t(address) + length <= uint64_t(memory.start()) + real;
}

void BoardDevice::applyBlankStart() {
    if (!freshFromPowerUp_) return;
    freshFromPowerUp_ = false;
    if (!options_.blankStartsInError || state_ != dfuIDLE) return;
    const FlashMemory& flash = flashMemory();
    if (flash.read(flash.start() + 4, 4) != std::vector<uint8_t>(4, 0xFF)) return;
    state_ = dfuERROR;
    status_ = errFIRMWARE;
}

ControlResult BoardDevice::upload(const ControlSetup& setup, int alt, Request kind) {
    if (state_ != dfuIDLE && state_ != dfuUPLOAD_IDLE) return stall();
    if (kind == Request::UploadCommands) {
        state_ = dfuUPLOAD_IDLE;
        auto reply = done({CMD_GET_COMMANDS, CMD_SET_ADDRESS, CMD_ERASE, CMD_READ_UNPROTECT}, setup.length);
        counters_.bytesUploaded += reply.actualLength;
        return reply;
    }
    if (setup.value == 1) return stall();
    if (readProtected_) return stall(errVENDOR);
    uint16_t blockLimit = description_.transferSize ? description_.transferSize : 0xFFFF;
    if (setup.length > blockLimit) return stall();
    const FlashMemory& memory = memoryOf(alt);
    uint32_t address = addressPointer_ + uint32_t(setup.value - 2) * description_.transferSize;
    if (!reachable(memory, address, 1)) return stall(errTARGET);
    uint32_t end = memory.start() + memory.size();
    if (description_.rom.realFlashSize && &memory == &memories_[flashIndex_])
        end = memory.start() + description_.rom.realFlashSize;
    uint64_t available = uint64_t(end) - address;
    uint32_t length = uint32_t(std::min<uint64_t>(setup.length, available));
    // A short block ends the upload, as DFU says.
    state_ = length < setup.length ? dfuIDLE : dfuUPLOAD_IDLE;
    counters_.bytesUploaded += length;
    return done(memory.read(address, length), setup.length);
}

// ---------------------------------------------------------------- memories

FlashMemory& BoardDevice::memoryOf(int alt) { return memories_[size_t(alt)]; }

const FlashMemory* BoardDevice::memoryHolding(uint32_t address, uint32_t length) const {
    for (const auto& memory : memories_)
        if (memory.contains(address, length)) return &memory;
    return nullptr;
}

FlashMemory* BoardDevice::memoryHolding(uint32_t address, uint32_t length) {
    for (auto& memory : memories_)
        if (memory.contains(address, length)) return &memory;
    return nullptr;
}

const FlashMemory& BoardDevice::flashMemory() const { return memories_[flashIndex_]; }

std::vector<uint8_t> BoardDevice::read(uint32_t address, uint32_t length) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const FlashMemory* memory = memoryHolding(address, length);
    if (!memory) throw std::out_of_range("no board memory holds that range");
    return memory->read(address, length);
}

void BoardDevice::write(uint32_t address, const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    FlashMemory* memory = memoryHolding(address, uint32_t(bytes.size()));
    if (!memory) throw std::out_of_range("no board memory holds that range");
    memory->write(address, bytes);
}

std::vector<uint8_t> BoardDevice::flash() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return flashMemory().bytes();
}

void BoardDevice::fillFlash(uint8_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    memories_[flashIndex_].fill(value);
}

void BoardDevice::fillFlashPattern(uint32_t seed) {
    std::lock_guard<std::mutex> lock(mutex_);
    memories_[flashIndex_].fillPattern(seed);
}

uint32_t BoardDevice::flashStart() const { return flashMemory().start(); }
uint32_t BoardDevice::flashSize() const { return flashMemory().size(); }
uint32_t BoardDevice::physicalFlashSize() const {
    uint32_t real = description_.rom.realFlashSize;
    return real ? std::min(real, flashMemory().size()) : flashMemory().size();
}
uint16_t BoardDevice::transferSize() const { return description_.transferSize; }
std::vector<Segment> BoardDevice::flashSegments() const { return flashMemory().segments(); }
Profile BoardDevice::profile() const { return description_.profile; }

// ---------------------------------------------------------------- inspection

Counters BoardDevice::counters() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return counters_;
}

uint64_t BoardDevice::count(Request kind) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = counters_.requests.find(kind);
    return it == counters_.requests.end() ? 0 : it->second;
}

void BoardDevice::resetCounters() {
    std::lock_guard<std::mutex> lock(mutex_);
    counters_ = Counters{};
}

uint8_t BoardDevice::state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

uint8_t BoardDevice::status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

bool BoardDevice::hasLeft() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return left_;
}

uint32_t BoardDevice::leaveAddress() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return leaveAddress_;
}

uint32_t BoardDevice::startedStackPointer() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return startedStackPointer_;
}

uint32_t BoardDevice::startedResetHandler() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return startedResetHandler_;
}

bool BoardDevice::startFaulted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return startFaulted_;
}

bool BoardDevice::readProtected() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return readProtected_;
}

uint64_t BoardDevice::resets() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return resets_;
}

UsbAccess BoardDevice::usbAccess() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return usbAccess_;
}

void BoardDevice::setUsbAccess(UsbAccess access) {
    std::lock_guard<std::mutex> lock(mutex_);
    usbAccess_ = access;
}

uint32_t BoardDevice::addressPointer() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return addressPointer_;
}

bool BoardDevice::plugged() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return plugged_;
}

int BoardDevice::listPosition() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return listPosition_;
}

void BoardDevice::setListPosition(int position) {
    std::lock_guard<std::mutex> lock(mutex_);
    listPosition_ = position;
}

std::string BoardDevice::portPath() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return portPath_;
}

void BoardDevice::setPortPath(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    portPath_ = path;
}

void BoardDevice::setPlugged(bool plugged) {
    std::lock_guard<std::mutex> lock(mutex_);
    plugged_ = plugged;
}

void BoardDevice::powerUp() {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = dfuIDLE;
    status_ = OK;
    left_ = false;
    leaveAddress_ = 0;
    startedStackPointer_ = startedResetHandler_ = 0;
    startFaulted_ = false;
    addressPointer_ = flashMemory().start(); // the ROM's default pointer
    pending_.reset();
    stayBusy_ = false;
    stuckBusy_ = false;
    freshFromPowerUp_ = true;
    errorAfterRequest_.reset();
    busyUntil_ = 0;
    holdUntil_ = 0;
    earliestStatusUs_ = 0;
}

void BoardDevice::injectFault(const Fault& fault) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.push_back(fault);
}

void BoardDevice::clearFaults() {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.clear();
    stayBusy_ = false;
}

const char* requestName(Request kind) {
    switch (kind) {
    case Request::GetStatus: return "GetStatus";
    case Request::ClrStatus: return "ClrStatus";
    case Request::GetState: return "GetState";
    case Request::Abort: return "Abort";
    case Request::Detach: return "Detach";
    case Request::SetAddress: return "SetAddress";
    case Request::ErasePage: return "ErasePage";
    case Request::MassErase: return "MassErase";
    case Request::GetCommands: return "GetCommands";
    case Request::ReadUnprotect: return "ReadUnprotect";
    case Request::DataBlock: return "DataBlock";
    case Request::Leave: return "Leave";
    case Request::Upload: return "Upload";
    case Request::UploadCommands: return "UploadCommands";
    case Request::OtherCommand: return "OtherCommand";
    case Request::Standard: return "Standard";
    case Request::Any: return "Any";
    }
    return "Unknown";
}

} // namespace vboard
