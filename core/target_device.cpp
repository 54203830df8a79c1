// Target selection, DFU descriptors and opening.
#include "target_device.h"

#include "port_path.h"
#include "stm32.h"

namespace {

constexpr uint8_t kDfuInterfaceClass = 0xFE;
constexpr uint8_t kDfuInterfaceSubClass = 0x01;
constexpr int kFunctionalLength = 7;

bool isDfuAltSetting(const libusb_interface_descriptor& alt) {
    return alt.bInterfaceClass == kDfuInterfaceClass && alt.bInterfaceSubClass == kDfuInterfaceSubClass &&
           alt.iInterface != 0;
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

bool isTargetDescriptor(const libusb_device_descriptor& descriptor) {
    return descriptor.idVendor == STM32_VENDOR_ID && descriptor.idProduct == STM32_PRODUCT_ID;
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

const char* pinnedPath(const Stm32Context* context) {
    return context != nullptr && context->targetPath[0] != '\0' ? context->targetPath : nullptr;
}

libusb_device* deviceFor(const DeviceList& list, int32_t targetIndex, const char* pinnedPath) {
    if (pinnedPath != nullptr) {
        for (size_t position = 0; position < list.size(); ++position) {
            if (portPathOf(list.at(position)) == pinnedPath) return list.at(position);
        }
        return nullptr;
    }
    if (targetIndex < 0 || static_cast<size_t>(targetIndex) >= list.size()) return nullptr;
    return list.at(static_cast<size_t>(targetIndex));
}

bool selectTargetDevice(const DeviceList& list, int32_t targetIndex, const char* pinnedPath, libusb_device** device,
                        libusb_device_descriptor* descriptor) {
    if (pinnedPath != nullptr) {
        libusb_device* found = deviceFor(list, targetIndex, pinnedPath);
        libusb_device_descriptor candidate{};
        if (found == nullptr || libusb_get_device_descriptor(found, &candidate) != 0 || !isTargetDescriptor(candidate)) {
            return false;
        }
        *device = found;
        *descriptor = candidate;
        return true;
    }
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

// The descriptor comes from the configuration descriptor, never from a
// request of its own: some ROMs do not answer that.
void dfuGetFunctionalDescriptor(libusb_device* device, const libusb_device_descriptor* descriptor,
                                DfuFunctionalInfo* info) {
    if (device == nullptr || descriptor == nullptr || info == nullptr) return;
    stm32::walkDfuAltSettings(device, *descriptor, [info](uint8_t, const libusb_interface_descriptor& alt) {
        // The last qualifying setting wins: the walk goes on after a hit.
        if (alt.extra_length >= kFunctionalLength && alt.extra != nullptr) fillFunctionalInfo(alt.extra, info);
        return stm32::AltWalk::Next;
    });
}
