// Memory layout discovery from the DfuSe alternate-setting names.
#include "layout.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "target_device.h"
#include "hex_digits.h"
#include "usb_holders.h"

namespace {

constexpr uint64_t kMaxFlashBytes = 0x7FFFFFFF; // FlashInfo.flashSize is signed 32-bit
constexpr uint64_t kAddressSpace = 0x100000000ULL;

// A tiny cursor with scanf-like conversions, bounded so that hostile device
// text cannot overflow anything.
class Scanner {
public:
    explicit Scanner(const char* text) : p_(text) {}

    bool literal(char c) {
        if (*p_ != c) return false;
        ++p_;
        return true;
    }
    // %x: optional whitespace, optional sign, optional 0x, hex digits.
    bool hex(uint32_t* value) {
        skipSpace();
        bool negative = sign();
        if (p_[0] == '0' && (p_[1] == 'x' || p_[1] == 'X') && hexDigit(p_[2]) >= 0) p_ += 2;
        if (hexDigit(*p_) < 0) return false;
        uint64_t v = 0;
        for (int digit; (digit = hexDigit(*p_)) >= 0; ++p_) {
            v = v * 16 + static_cast<uint64_t>(digit);
            if (v >= kAddressSpace) return false;
        }
        if (negative && v != 0) return false;
        *value = static_cast<uint32_t>(v);
        return true;
    }
    // %d restricted to what a layout can mean: 0 .. INT32_MAX.
    bool decimal(uint32_t* value) {
        skipSpace();
        bool negative = sign();
        if (!std::isdigit(static_cast<unsigned char>(*p_))) return false;
        uint64_t v = 0;
        while (std::isdigit(static_cast<unsigned char>(*p_))) {
            v = v * 10 + static_cast<uint64_t>(*p_++ - '0');
            if (v > kMaxFlashBytes) return false;
        }
        if (negative && v != 0) return false;
        *value = static_cast<uint32_t>(v);
        return true;
    }
    // %c: any one character, no whitespace skipped.
    bool character(char* c) {
        if (*p_ == '\0') return false;
        *c = *p_++;
        return true;
    }
    // Moves past the type letters of a segment; true if a ',' follows.
    bool nextSegment() {
        while (*p_ != '\0' && *p_ != ',' && *p_ != '/') ++p_;
        return literal(',');
    }

private:
    void skipSpace() {
        while (std::isspace(static_cast<unsigned char>(*p_))) ++p_;
    }
    bool sign() {
        if (*p_ == '+') {
            ++p_;
            return false;
        }
        if (*p_ == '-') {
            ++p_;
            return true;
        }
        return false;
    }
    static int hexDigit(char c) { return stm32::hexDigitValue(static_cast<unsigned char>(c)); }

    const char* p_;
};

struct SegmentText {
    uint32_t count = 0;
    uint32_t size = 0;
    char unit = 0;
};

bool readSegment(Scanner& scan, SegmentText* segment) {
    return scan.decimal(&segment->count) && scan.literal('*') && scan.decimal(&segment->size) &&
           scan.character(&segment->unit);
}

} // namespace

namespace stm32 {

bool parseFlashLayout(const char* name, FlashLayout* out) {
    if (name == nullptr || out == nullptr) return false;
    const char* slash = std::strchr(name, '/');
    if (slash == nullptr) return false;
    Scanner scan(slash);
    uint32_t start = 0;
    SegmentText first;
    if (!scan.literal('/') || !scan.hex(&start) || !scan.literal('/') || !readSegment(scan, &first)) return false;

    FlashLayout layout;
    layout.startAddress = start;
    layout.pageCount = static_cast<int32_t>(first.count);
    layout.pageSize = static_cast<int32_t>(first.size);
    layout.unit = first.unit;
    uint64_t total = 0;
    SegmentText segment = first;
    for (;;) {
        uint64_t pageBytes = static_cast<uint64_t>(segment.size) * static_cast<uint64_t>(stm32UnitMultiplier(segment.unit));
        uint64_t bytes = pageBytes * segment.count;
        total += bytes;
        if (total > kMaxFlashBytes || pageBytes > kMaxFlashBytes) return false;
        if (segment.count > 0 && pageBytes > 0) {
            layout.segments.push_back({segment.count, static_cast<uint32_t>(pageBytes)});
        }
        // A later segment that does not read ends the list.
        if (!scan.nextSegment() || !readSegment(scan, &segment)) break;
    }
    if (start + total > kAddressSpace) return false;
    layout.totalSize = static_cast<int32_t>(total);
    *out = std::move(layout);
    return true;
}

// Reads the name of one alternate setting (the libusb result); *opened is
// false when the device could not even be opened for it.
static int readAltName(libusb_device* device, libusb_device_handle* open, uint8_t index,
                       unsigned char (&text)[kStringDescriptorSize], bool* opened) {
    *opened = true;
    if (open != nullptr) return libusb_get_string_descriptor_ascii(open, index, text, sizeof text);
    DeviceHandle handle;
    if (handle.open(device) != 0) {
        *opened = false;
        return -1;
    }
    return libusb_get_string_descriptor_ascii(handle.get(), index, text, sizeof text);
}

int findAltSettingName(const char* prefix, libusb_device* device, const libusb_device_descriptor* descriptor,
                       char name[kLayoutNameSize], libusb_device_handle* open, std::string* fullName) {
    if (prefix == nullptr || device == nullptr || descriptor == nullptr || name == nullptr) return 0;
    const size_t prefixLength = std::strlen(prefix);
    int result = 0;
    int resultConfig = -1;
    walkDfuAltSettings(device, *descriptor, [&](uint8_t configIndex, const libusb_interface_descriptor& alt) {
        // The first configuration that holds the name decides.
        if (result != 0 && configIndex != resultConfig) return AltWalk::Stop;
        unsigned char text[kStringDescriptorSize] = {};
        bool opened = true;
        int length = readAltName(device, open, alt.iInterface, text, &opened);
        if (!opened) return AltWalk::Next;
        bool match = length >= 0 && static_cast<size_t>(length) >= prefixLength &&
                     std::memcmp(text, prefix, prefixLength) == 0;
        if (!match) {
            // After a match, later interfaces get only their first qualifying setting examined.
            return result != 0 ? AltWalk::NextInterface : AltWalk::Next;
        }
        text[sizeof text - 1] = '\0';
        // Cut to the caller's 100 bytes; the result still reports the full length.
        size_t copied = std::min(std::strlen(reinterpret_cast<const char*>(text)),
                                 static_cast<size_t>(kLayoutNameSize - 1));
        std::memcpy(name, text, copied);
        name[copied] = '\0';
        if (fullName != nullptr) *fullName = reinterpret_cast<const char*>(text);
        result = length;
        resultConfig = configIndex;
        return AltWalk::NextInterface;
    });
    return result;
}

// The length of the "@Internal Flash" name (0 when there is none); *parsed
// tells whether its layout reads. The whole name is parsed: a long layout's
// later segments lie past the 99-character copy.
static int findFlashLayout(libusb_device* device, const libusb_device_descriptor* descriptor,
                           libusb_device_handle* open, FlashLayout* out, bool* parsed) {
    char name[kLayoutNameSize] = {};
    std::string full;
    int found = findAltSettingName("@Internal Flash", device, descriptor, name, open, &full);
    *parsed = found != 0 && parseFlashLayout(full.c_str(), out);
    return found;
}

bool readFlashLayout(libusb_device* device, const libusb_device_descriptor* descriptor, libusb_device_handle* open,
                     FlashLayout* out) {
    bool parsed = false;
    findFlashLayout(device, descriptor, open, out, &parsed);
    return parsed;
}

} // namespace stm32

int dfuGetInfoForName(const char* prefix, libusb_device* device, const libusb_device_descriptor* descriptor,
                      char name[stm32::kLayoutNameSize]) {
    return stm32::findAltSettingName(prefix, device, descriptor, name, nullptr);
}

extern "C" int32_t stm32GetFlashInfo(Stm32Context* context, int32_t targetIndex, FlashInfo* info) {
    const char* pinned = stm32::pinnedPath(context);
    if (targetIndex < 0 && pinned == nullptr) return 0;
    stm32::UsbContext usb;
    if (usb.init() != 0) return 0;
    stm32::DeviceList list;
    if (list.take(usb.get()) <= 0) return 0;
    libusb_device* device = stm32::deviceFor(list, targetIndex, pinned);
    if (device == nullptr) return 0;
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != 0 || !stm32::isTargetDescriptor(descriptor)) return 0;

    stm32::FlashLayout layout;
    bool parsed = false;
    int found = stm32::findFlashLayout(device, &descriptor, nullptr, &layout, &parsed);
    if (parsed && info != nullptr) {
        info->startAddress = layout.startAddress;
        info->flashSize = layout.totalSize;
        info->pageCount = layout.pageCount;
        info->pageSize = layout.pageSize;
        info->unit = layout.unit;
    }
    return found;
}
