#include "usb_helpers.h"

#include <stdexcept>

namespace vboardtest {

namespace {
constexpr unsigned kTimeout = 2000;
}

Context openContext() {
    libusb_context* context = nullptr;
    if (libusb_init(&context) != 0) throw std::runtime_error("libusb_init failed");
    return Context(context);
}

std::vector<ListedDevice> listDevices(libusb_context* context) {
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(context, &list);
    std::vector<ListedDevice> devices;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) == 0)
            devices.push_back({descriptor.idVendor, descriptor.idProduct});
    }
    if (list) libusb_free_device_list(list, 1);
    return devices;
}

Handle openAt(libusb_context* context, int position, int alt) {
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(context, &list);
    libusb_device_handle* raw = nullptr;
    int result = position < count ? libusb_open(list[position], &raw) : LIBUSB_ERROR_NOT_FOUND;
    libusb_free_device_list(list, 1);
    if (result != 0) throw std::runtime_error(std::string("libusb_open: ") + libusb_error_name(result));
    Handle handle(raw);
    if ((result = libusb_claim_interface(raw, 0)) != 0)
        throw std::runtime_error(std::string("claim: ") + libusb_error_name(result));
    if ((result = libusb_set_interface_alt_setting(raw, 0, alt)) != 0)
        throw std::runtime_error(std::string("set alt: ") + libusb_error_name(result));
    return handle;
}

Status getStatus(libusb_device_handle* handle) { return statusWithin(handle, kTimeout); }

Status statusWithin(libusb_device_handle* handle, unsigned timeoutMs) {
    uint8_t reply[6] = {};
    Status status;
    status.transferred = libusb_control_transfer(handle, 0xA1, 3, 0, 0, reply, 6, timeoutMs);
    if (status.transferred == 6) {
        status.status = reply[0];
        status.pollTimeout = uint32_t(reply[1]) | uint32_t(reply[2]) << 8 | uint32_t(reply[3]) << 16;
        status.state = reply[4];
    }
    return status;
}

int dnload(libusb_device_handle* handle, uint16_t block, const std::vector<uint8_t>& data) {
    return libusb_control_transfer(handle, 0x21, 1, block, 0, const_cast<uint8_t*>(data.data()),
                                   uint16_t(data.size()), kTimeout);
}

int upload(libusb_device_handle* handle, uint16_t block, std::vector<uint8_t>& data) {
    return libusb_control_transfer(handle, 0xA1, 2, block, 0, data.data(), uint16_t(data.size()), kTimeout);
}

int clearStatus(libusb_device_handle* handle) {
    return libusb_control_transfer(handle, 0x21, 4, 0, 0, nullptr, 0, kTimeout);
}

int abortRequest(libusb_device_handle* handle) {
    return libusb_control_transfer(handle, 0x21, 6, 0, 0, nullptr, 0, kTimeout);
}

static Status pollWhileBusy(libusb_device_handle* handle) {
    Status status = getStatus(handle);
    for (int round = 0; round < 100000 && status.transferred == 6 && status.state == 4; ++round)
        status = getStatus(handle);
    return status;
}

Status command(libusb_device_handle* handle, const std::vector<uint8_t>& bytes) {
    if (dnload(handle, 0, bytes) != int(bytes.size())) return Status{};
    return pollWhileBusy(handle);
}

static std::vector<uint8_t> addressCommand(uint8_t code, uint32_t address) {
    return {code, uint8_t(address), uint8_t(address >> 8), uint8_t(address >> 16), uint8_t(address >> 24)};
}

std::vector<uint8_t> setAddressCommand(uint32_t address) { return addressCommand(0x21, address); }
std::vector<uint8_t> erasePageCommand(uint32_t address) { return addressCommand(0x41, address); }

Status downloadBlock(libusb_device_handle* handle, uint16_t block, const std::vector<uint8_t>& data) {
    if (dnload(handle, block, data) != int(data.size())) return Status{};
    return pollWhileBusy(handle);
}

void toIdle(libusb_device_handle* handle) {
    Status status = getStatus(handle);
    if (status.state == 10) clearStatus(handle);
    else if (status.state != 2) abortRequest(handle);
}

std::vector<uint8_t> pattern(size_t length, uint8_t seed) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = uint8_t(seed + i * 7 + (i >> 8));
    return bytes;
}

} // namespace vboardtest
