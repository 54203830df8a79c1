// DFU class requests, status handling and the DfuSe command pattern.
#include "dfu.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace {

std::atomic<long long> g_busyWaitLimitMs{120000}; // far above the slowest real mass erase (~35 s)
std::atomic<unsigned> g_controlTimeoutMs{9000};

constexpr uint8_t kDfuInterfaceClass = 0xFE;
constexpr uint8_t kDfuInterfaceSubClass = 0x01;
constexpr int kFunctionalLength = 7;

void decodeStatus(const unsigned char* reply, DfuStatus* status) {
    status->bStatus = reply[0];
    status->bwPollTimeout = static_cast<uint32_t>(reply[1]) | (static_cast<uint32_t>(reply[2]) << 8) |
                            (static_cast<uint32_t>(reply[3]) << 16);
    status->bState = reply[4];
    status->iString = reply[5];
}

void sendClearStatus(libusb_device_handle* handle) {
    stm32::dfuControlOut(handle, stm32::kDfuClrStatus, 0, nullptr, 0);
}

void fillFunctionalInfo(const unsigned char* extra, DfuFunctionalInfo* info) {
    info->bLength = extra[0];
    info->bDescriptorType = extra[1];
    info->bmAttributes = extra[2];
    info->wDetachTimeOut = extra[3] | (extra[4] << 8);
    info->wTransferSize = extra[5] | (extra[6] << 8);
}

} // namespace

namespace stm32 {

void setBusyWaitLimit(std::chrono::milliseconds limit) { g_busyWaitLimitMs = limit.count(); }
std::chrono::milliseconds busyWaitLimit() { return std::chrono::milliseconds(g_busyWaitLimitMs.load()); }
void setControlTimeout(unsigned milliseconds) { g_controlTimeoutMs = milliseconds; }
unsigned controlTimeout() { return g_controlTimeoutMs.load(); }

bool isTargetDescriptor(const libusb_device_descriptor& descriptor) {
    return descriptor.idVendor == STM32_VENDOR_ID && descriptor.idProduct == STM32_PRODUCT_ID;
}

bool isDfuAltSetting(const libusb_interface_descriptor& alt) {
    return alt.bInterfaceClass == kDfuInterfaceClass && alt.bInterfaceSubClass == kDfuInterfaceSubClass &&
           alt.iInterface != 0;
}

int dfuControlOut(libusb_device_handle* handle, uint8_t request, uint16_t value, unsigned char* data,
                  uint16_t length) {
    return libusb_control_transfer(handle, kRequestOut, request, value, 0, data, length, controlTimeout());
}

int dfuControlIn(libusb_device_handle* handle, uint8_t request, uint16_t value, unsigned char* data,
                 uint16_t length) {
    return libusb_control_transfer(handle, kRequestIn, request, value, 0, data, length, controlTimeout());
}

int dfuSendCommand(libusb_device_handle* handle, unsigned char* bytes, uint16_t length) {
    int sent = dfuControlOut(handle, kDfuDnload, 0, bytes, length);
    if (sent != length && sent != 0) return sent;
    return awaitBusyVerdict(handle);
}

int awaitBusyVerdict(libusb_device_handle* handle) {
    DfuStatus status{};
    dfuGetStatus(handle, &status);
    if (status.bState != kDfuStateDnBusy) return -1;
    return waitWhileDeviceIsBusy(handle, &status);
}

int openTarget(libusb_device* device, DeviceHandle& handle) {
    if (handle.open(device) != 0) return -1;
    if (libusb_claim_interface(handle.get(), 0) != 0 || libusb_set_interface_alt_setting(handle.get(), 0, 0) != 0) {
        handle.reset();
        return -1;
    }
    return 0;
}

} // namespace stm32

void dfuGetStatus(libusb_device_handle* handle, DfuStatus* status) {
    unsigned char reply[6] = {};
    int got = stm32::dfuControlIn(handle, stm32::kDfuGetStatus, 0, reply, sizeof reply);
    if (got == static_cast<int>(sizeof reply)) {
        decodeStatus(reply, status);
        return;
    }
    // A transport failure reads as an error status in the error state.
    status->bStatus = stm32::kDfuStatusErrUnknown;
    status->bState = stm32::kDfuStateError;
}

// Every reply is judged by its bStatus: the first one is the board's verdict
// on the command just sent. The whole wait is bounded, so a board stuck busy
// or a corrupt bwPollTimeout cannot hang the caller.
int waitWhileDeviceIsBusy(libusb_device_handle* handle, DfuStatus* status) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + stm32::busyWaitLimit();
    dfuGetStatus(handle, status);
    if (status->bStatus != stm32::kDfuStatusOk) return -1;
    while (status->bState == stm32::kDfuStateDnBusy) {
        auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (remaining.count() <= 0) return -1;
        auto poll = std::min(std::chrono::milliseconds(status->bwPollTimeout), remaining);
        std::this_thread::sleep_for(poll);
        dfuGetStatus(handle, status);
        if (status->bStatus != stm32::kDfuStatusOk) return -1;
    }
    return 0;
}

int dfuEnsureIdle(libusb_device_handle* handle) {
    DfuStatus status{};
    dfuGetStatus(handle, &status);
    if (status.bStatus == stm32::kDfuStatusOk && status.bState == stm32::kDfuStateIdle) return 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        sendClearStatus(handle);
        dfuGetStatus(handle, &status);
        if (status.bStatus == stm32::kDfuStatusOk) return 0;
    }
    return -1;
}

int dfuSetAddress(libusb_device_handle* handle, uint32_t address) {
    if (dfuEnsureIdle(handle) != 0) return -1;
    unsigned char command[5] = {0x21, static_cast<unsigned char>(address), static_cast<unsigned char>(address >> 8),
                                static_cast<unsigned char>(address >> 16), static_cast<unsigned char>(address >> 24)};
    return stm32::dfuSendCommand(handle, command, sizeof command) == 0 ? 0 : -1;
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
    for (uint8_t c = 0; c < descriptor->bNumConfigurations; ++c) {
        stm32::ConfigDescriptor config;
        if (config.read(device, c) != 0) continue;
        for (int i = 0; i < config->bNumInterfaces; ++i) {
            const libusb_interface& interface = config->interface[i];
            for (int a = 0; a < interface.num_altsetting; ++a) {
                const libusb_interface_descriptor& alt = interface.altsetting[a];
                // The last qualifying setting wins.
                if (stm32::isDfuAltSetting(alt) && alt.extra_length >= kFunctionalLength && alt.extra != nullptr) {
                    fillFunctionalInfo(alt.extra, info);
                }
            }
        }
    }
}
