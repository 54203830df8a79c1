// Plain libusb access to virtual boards, as any DFU client would do it.
#ifndef STM32_TESTS_VBOARD_USB_HELPERS_H
#define STM32_TESTS_VBOARD_USB_HELPERS_H

#include <libusb.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vboardtest {

struct ContextCloser {
    void operator()(libusb_context* context) const { libusb_exit(context); }
};
struct HandleCloser {
    void operator()(libusb_device_handle* handle) const { libusb_close(handle); }
};
using Context = std::unique_ptr<libusb_context, ContextCloser>;
using Handle = std::unique_ptr<libusb_device_handle, HandleCloser>;

Context openContext();

struct ListedDevice {
    uint16_t vendor;
    uint16_t product;
};
std::vector<ListedDevice> listDevices(libusb_context* context);

// Opens the device at a list position, claims interface 0 and selects `alt`.
Handle openAt(libusb_context* context, int position, int alt = 0);

struct Status {
    int transferred = -1;
    uint8_t status = 0xFF;
    uint32_t pollTimeout = 0;
    uint8_t state = 0xFF;
};
Status getStatus(libusb_device_handle* handle);
// The same with a timeout of its own, for requests the board may hold.
Status statusWithin(libusb_device_handle* handle, unsigned timeoutMs);

int dnload(libusb_device_handle* handle, uint16_t block, const std::vector<uint8_t>& data);
int upload(libusb_device_handle* handle, uint16_t block, std::vector<uint8_t>& data);
int clearStatus(libusb_device_handle* handle);
int abortRequest(libusb_device_handle* handle);

// A DfuSe command followed by status polls until the board is no longer
// busy; returns the final status.
Status command(libusb_device_handle* handle, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> setAddressCommand(uint32_t address);
std::vector<uint8_t> erasePageCommand(uint32_t address);
Status downloadBlock(libusb_device_handle* handle, uint16_t block, const std::vector<uint8_t>& data);

// Brings the board to dfuIDLE with ABORT / CLRSTATUS, as dfu-util does.
void toIdle(libusb_device_handle* handle);

std::vector<uint8_t> pattern(size_t length, uint8_t seed);

} // namespace vboardtest

#endif
