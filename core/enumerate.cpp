// Target enumeration: targets are named by their position in libusb's list.
#include <libusb.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "target_device.h"
#include "layout.h"
#include "port_path.h"
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

namespace {

// Copies a string descriptor into a fixed field; an unreadable one stays empty.
template <size_t N>
void readStringDescriptor(libusb_device_handle* handle, uint8_t index, char (&field)[N]) {
    field[0] = '\0';
    if (index == 0) return;
    unsigned char text[N] = {};
    const int length = libusb_get_string_descriptor_ascii(handle, index, text, sizeof text - 1);
    if (length <= 0) return;
    std::memcpy(field, text, static_cast<size_t>(length));
    field[length] = '\0';
}

void copyCut(const std::string& text, char* field, size_t size) {
    const size_t copied = std::min(text.size(), size - 1);
    std::memcpy(field, text.data(), copied);
    field[copied] = '\0';
}

} // namespace

extern "C" int32_t stm32GetPortPath(Stm32Context* /*context*/, int32_t targetIndex, char* path, int32_t capacity) {
    if (path == nullptr || capacity <= 0) return 0;
    path[0] = '\0';
    if (targetIndex < 0) return 0;
    stm32::UsbContext usb;
    if (usb.init() != 0) return 0;
    stm32::DeviceList list;
    if (list.take(usb.get()) <= 0 || static_cast<size_t>(targetIndex) >= list.size()) return 0;
    const std::string text = stm32::portPathOf(list.at(static_cast<size_t>(targetIndex)));
    copyCut(text, path, static_cast<size_t>(capacity));
    return static_cast<int32_t>(std::strlen(path));
}

extern "C" int32_t stm32GetDeviceDetails(Stm32Context* context, int32_t targetIndex, Stm32DeviceDetails* details) {
    const char* pinned = stm32::pinnedPath(context);
    if (details == nullptr || (targetIndex < 0 && pinned == nullptr)) return 0;
    *details = Stm32DeviceDetails{};
    stm32::UsbContext usb;
    if (usb.init() != 0) return 0;
    stm32::DeviceList list;
    if (list.take(usb.get()) <= 0) return 0;
    libusb_device* device = stm32::deviceFor(list, targetIndex, pinned);
    if (device == nullptr) return 0;
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != 0 || !stm32::isTargetDescriptor(descriptor)) return 0;

    details->bcdDevice = descriptor.bcdDevice;
    copyCut(stm32::portPathOf(device), details->portPath, sizeof details->portPath);
    DfuFunctionalInfo functional{};
    dfuGetFunctionalDescriptor(device, &descriptor, &functional);
    details->transferSize = functional.wTransferSize;

    // Strings need an open handle; claiming is not needed to read them.
    stm32::DeviceHandle handle;
    details->openResult = handle.open(device);
    if (details->openResult != 0) return 1;
    readStringDescriptor(handle.get(), descriptor.iSerialNumber, details->serial);
    readStringDescriptor(handle.get(), descriptor.iProduct, details->product);
    char shortName[stm32::kLayoutNameSize] = {};
    std::string layout;
    if (stm32::findAltSettingName("@Internal Flash", device, &descriptor, shortName, handle.get(), &layout) != 0) {
        copyCut(layout, details->layout, sizeof details->layout);
    }
    return 1;
}
