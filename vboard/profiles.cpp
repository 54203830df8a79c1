#include "profiles.h"

#include <stdexcept>

namespace vboard {

uint64_t Timing::eraseUs(uint32_t pageSize) const {
    for (const auto& entry : eraseUsBySize)
        if (pageSize <= entry.first) return entry.second;
    return eraseUsBySize.empty() ? 0 : eraseUsBySize.back().second;
}

namespace {

constexpr uint32_t KB = 1024;

// F105/F107: 2 KB pages erase in 20-40 ms; a half-word programs in ~52 us.
Timing f1Timing() {
    Timing t;
    t.pollSetAddressMs = 1;
    t.pollEraseMs = 40;
    t.pollMassEraseMs = 40;
    t.pollWriteMs = 20;
    t.setAddressUs = 100;
    t.massEraseUs = 40000;
    t.programUsPerByte = 26.0;
    t.eraseUsBySize = {{2 * KB, 30000}};
    return t;
}

// F4: the ROM says ~100 ms for every command; sectors take far longer.
Timing f4Timing() {
    Timing t;
    t.pollSetAddressMs = 100;
    t.pollEraseMs = 100;
    t.pollMassEraseMs = 100;
    t.pollWriteMs = 100;
    t.setAddressUs = 100;
    t.massEraseUs = 16000000;
    t.programUsPerByte = 4.0;
    t.eraseUsBySize = {{16 * KB, 500000}, {64 * KB, 1100000}, {128 * KB, 2600000}};
    return t;
}

// H7: 256-bit flash words; 128 KB sectors erase in about 2 s.
Timing h7Timing() {
    Timing t;
    t.pollSetAddressMs = 100;
    t.pollEraseMs = 100;
    t.pollMassEraseMs = 100;
    t.pollWriteMs = 100;
    t.setAddressUs = 100;
    t.massEraseUs = 35000000;
    t.programUsPerByte = 0.5;
    t.eraseUsBySize = {{128 * KB, 2000000}};
    return t;
}

MemoryDescription memory(std::string name, uint32_t start, std::vector<Segment> segments) {
    return MemoryDescription{std::move(name), start, std::move(segments)};
}

MemoryDescription f1Flash() {
    return memory("@Internal Flash  /0x08000000/128*002Kg", 0x08000000, {{128, 2 * KB}});
}
MemoryDescription f1Options() {
    return memory("@Option Bytes  /0x1FFFF800/01*016 g", 0x1FFFF800, {{1, 16}});
}

std::vector<ProfileDescription> buildProfiles() {
    std::vector<ProfileDescription> all;

    all.push_back({Profile::F1, "f1", 0x2200, {f1Flash(), f1Options()}, true, 2048, f1Timing()});

    all.push_back({Profile::F4, "f4", 0x2200,
                   {memory("@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg", 0x08000000,
                           {{4, 16 * KB}, {1, 64 * KB}, {7, 128 * KB}}),
                    memory("@Option Bytes  /0x1FFFC000/01*016 g", 0x1FFFC000, {{1, 16}}),
                    memory("@OTP Memory /0x1FFF7800/01*512 g,01*016 g", 0x1FFF7800, {{1, 512}, {1, 16}}),
                    memory("@Device Feature/0xFFFF0000/01*004 g", 0xFFFF0000, {{1, 4}})},
                   true, 2048, f4Timing()});

    all.push_back({Profile::H7, "h7", 0x0200,
                   {memory("@Internal Flash   /0x08000000/16*128Kg", 0x08000000, {{16, 128 * KB}})},
                   true, 1024, h7Timing()});

    all.push_back({Profile::NoInternalFlash, "no-internal-flash", 0x2200,
                   {memory("@Option Bytes  /0x1FFFF800/01*016 g", 0x1FFFF800, {{1, 16}}),
                    memory("@Embedded Flash /0x08000000/128*002Kg", 0x08000000, {{128, 2 * KB}})},
                   true, 2048, f1Timing()});

    // The memory is still there; only its name lost the layout.
    all.push_back({Profile::LayoutWithoutSlash, "no-slash", 0x2200,
                   {memory("@Internal Flash", 0x08000000, {{128, 2 * KB}}), f1Options()},
                   true, 2048, f1Timing()});

    all.push_back({Profile::ZeroTransferSize, "zero-transfer", 0x2200, {f1Flash(), f1Options()}, true, 0,
                   f1Timing()});

    all.push_back({Profile::OversizeTransferSize, "oversize-transfer", 0x2200, {f1Flash(), f1Options()}, true,
                   8192, f1Timing()});

    all.push_back({Profile::NoFunctionalDescriptor, "no-functional", 0x2200, {f1Flash(), f1Options()}, false,
                   2048, f1Timing()});

    Timing smallPageTiming = f1Timing();
    smallPageTiming.eraseUsBySize = {{1 * KB, 20000}};
    all.push_back({Profile::SmallPages, "small-pages", 0x2200,
                   {memory("@Internal Flash  /0x08000000/128*001Kg", 0x08000000, {{128, 1 * KB}}),
                    memory("@Option Bytes  /0x1FFFF800/01*016 g", 0x1FFFF800, {{1, 16}})},
                   true, 2048, smallPageTiming});
    return all;
}

const std::vector<ProfileDescription>& profileTable() {
    static const std::vector<ProfileDescription> table = buildProfiles();
    return table;
}

} // namespace

const ProfileDescription& describe(Profile profile) {
    for (const auto& description : profileTable())
        if (description.profile == profile) return description;
    throw std::invalid_argument("unknown board profile");
}

const std::vector<Profile>& allProfiles() {
    static const std::vector<Profile> profiles = [] {
        std::vector<Profile> list;
        for (const auto& description : profileTable()) list.push_back(description.profile);
        return list;
    }();
    return profiles;
}

bool profileFromName(const std::string& name, Profile& out) {
    for (const auto& description : profileTable()) {
        if (name == description.shortName) {
            out = description.profile;
            return true;
        }
    }
    return false;
}

std::vector<uint8_t> functionalDescriptor(uint16_t transferSize) {
    // bmAttributes 0x0B: can download, can upload, will detach; bcdDFU 1.1a (DfuSe).
    return {0x09, 0x21, 0x0B, 0xFF, 0x00, uint8_t(transferSize & 0xFF), uint8_t(transferSize >> 8), 0x1A, 0x01};
}

} // namespace vboard
