// Memory layout of a DfuSe alternate setting ("@Name /0xADDR/NN*SSSu...").
#ifndef STM32_CORE_LAYOUT_H
#define STM32_CORE_LAYOUT_H

#include <libusb.h>

#include <cstdint>
#include <string>
#include <vector>

#include "stm32.h"

namespace stm32 {

constexpr int kLayoutNameSize = 100;
constexpr int kStringDescriptorSize = 256;

// A run of equal physical pages; sizes in bytes.
struct FlashSegment {
    uint32_t pageCount;
    uint32_t pageSize;
};

struct FlashLayout {
    uint32_t startAddress = 0;
    int32_t pageCount = 0; // first segment, as written
    int32_t pageSize = 0;  // first segment, in units
    char unit = 0;         // first segment's unit letter
    int32_t totalSize = 0; // all segments, bytes
    std::vector<FlashSegment> segments;
};

// Pure parser of the first address block of a layout name. No libusb here:
// it takes untrusted device text. False (and *out untouched) when the name
// has no '/' or the first segment does not read, or the total does not fit.
bool parseFlashLayout(const char* name, FlashLayout* out);

// Walks the DFU alt settings for a name starting with prefix (see
// dfuGetInfoForName). Uses `open` for the string reads if given, else opens
// the device once per examined setting.
int findAltSettingName(const char* prefix, libusb_device* device, const libusb_device_descriptor* descriptor,
                       char name[kLayoutNameSize], libusb_device_handle* open, std::string* fullName = nullptr);

// The internal-flash layout of a device; false if missing or unreadable.
bool readFlashLayout(libusb_device* device, const libusb_device_descriptor* descriptor,
                     libusb_device_handle* open, FlashLayout* out);

} // namespace stm32

int dfuGetInfoForName(const char* prefix, libusb_device* device, const libusb_device_descriptor* descriptor,
                      char name[stm32::kLayoutNameSize]);

#endif
