// Target enumeration: targets are named by their position in libusb's list.
#include <libusb.h>

#include "dfu.h"
#include "stm32.h"
#include "usb_holders.h"

namespace {

bool isTargetDevice(libusb_device* device) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != 0) return false;
    return stm32::isTargetDescriptor(descriptor);
}

} // namespace

extern "C" int32_t stm32GetDeviceCount(void) {
    stm32::UsbContext usb;
    if (usb.init() != 0) return 0;
    stm32::DeviceList list;
    if (list.take(usb.get()) < 0) return 0;
    int32_t count = 0;
    for (size_t i = 0; i < list.size(); ++i) {
        if (isTargetDevice(list.at(i))) ++count;
    }
    return count;
}

extern "C" void stm32GetDeviceIndices(Stm32Context* /*context*/, int32_t* indices, int32_t capacity) {
    if (indices == nullptr || capacity <= 0) return;
    for (int32_t i = 0; i < capacity; ++i) indices[i] = -1;
    stm32::UsbContext usb;
    if (usb.init() != 0) return;
    stm32::DeviceList list;
    if (list.take(usb.get()) < 0) return;
    int32_t stored = 0;
    for (size_t position = 0; position < list.size() && stored < capacity; ++position) {
        if (isTargetDevice(list.at(position))) indices[stored++] = static_cast<int32_t>(position);
    }
}
