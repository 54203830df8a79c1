// Board models. Descriptor strings are copied from public dumps of the real
// ROMs; where no dump exists the value is marked as an estimate. Timings
// are the parts' datasheet orders of magnitude unless marked otherwise.
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

Timing timing(uint32_t pollSetAddress, uint32_t pollErase, uint32_t pollMassErase, uint32_t pollWrite,
              uint64_t massEraseUs, double programUsPerByte, std::vector<std::pair<uint32_t, uint64_t>> erase) {
    Timing t;
    t.pollSetAddressMs = pollSetAddress;
    t.pollEraseMs = pollErase;
    t.pollMassEraseMs = pollMassErase;
    t.pollWriteMs = pollWrite;
    t.setAddressUs = 100;
    t.massEraseUs = massEraseUs;
    t.programUsPerByte = programUsPerByte;
    t.eraseUsBySize = std::move(erase);
    return t;
}

// F105/F107: 2 KB pages erase in 20-40 ms; a half-word programs in ~52 us.
// No ROM poll value has been published: 1/40/20 ms are estimates.
Timing f1Timing() { return timing(1, 40, 40, 20, 40000, 26.0, {{2 * KB, 30000}}); }

// F0: same flash as F1 (20-40 ms pages, 40-60 us half-words); poll values estimated.
Timing f0Timing() { return timing(1, 40, 40, 20, 30000, 25.0, {{2 * KB, 30000}}); }

// F2/F4/F7 ROMs report ~100 ms for every command, whatever it takes
// (F405 mass erase announced 100 ms, up to 32 s real; F745 writes 104 ms).
// F405 x32 erase: 16 KB 0.5 s, 64 KB 1.1 s, 128 KB 2.6 s, 1 MB 16 s.
Timing f4Timing() {
    return timing(100, 100, 100, 100, 16000000, 4.0, {{16 * KB, 500000}, {64 * KB, 1100000}, {128 * KB, 2600000}});
}

// 512 KB F4 class: same sectors, half the mass erase (estimate).
Timing f411Timing() {
    return timing(100, 100, 100, 100, 8000000, 4.0, {{16 * KB, 500000}, {64 * KB, 1100000}, {128 * KB, 2600000}});
}

// F745: a 32 KB sector erase took ~350 ms behind a 100 ms announcement, a
// 2 KB write was announced 104 ms; larger sectors and mass erase estimated.
Timing f7Timing() {
    return timing(100, 100, 100, 104, 8000000, 4.0, {{32 * KB, 350000}, {128 * KB, 1100000}, {256 * KB, 2000000}});
}

// G4 and L4: 2 KB pages in ~22 ms, 64-bit words in ~82 us. The ROM's poll
// values are not published; L4's are "too short" (estimates here are shorter
// than the work, as reported).
Timing g4Timing() { return timing(1, 25, 25, 15, 22000, 10.3, {{2 * KB, 22000}}); }
Timing l4Timing() { return timing(1, 10, 10, 5, 22000, 10.3, {{2 * KB, 22000}}); }

// H743 rev V bank 1: a 128 KB sector erase is announced as 1000 ms and takes
// about 0.9 s (timestamps of the ROM vendor's programmer and dfu-util -v -v
// logs). Set Address and write poll values were never published (100 ms
// assumed, as on the other USB OTG ROMs); 256-bit words program in ~0.5 us a
// byte and mass erase takes ~35 s by the datasheet (estimates).
Timing h7Timing() { return timing(100, 1000, 100, 100, 35000000, 0.5, {{128 * KB, 900000}}); }

// L0: 128-byte pages in 3.2 ms, half pages of 64 bytes in 3.2 ms; the ROM's
// mass erase walks the pages (estimate).
Timing l0Timing() { return timing(1, 5, 5000, 10, 1536 * 3200, 50.0, {{128, 3200}}); }

// U5: 8 KB pages, 128-bit words in ~118 us (datasheet order; poll values estimated).
Timing u5Timing() { return timing(1, 5, 30, 10, 30000, 7.4, {{8 * KB, 2000}}); }

// C5: no published figures; a G4-like small flash is assumed.
Timing c5Timing() { return timing(1, 25, 25, 15, 22000, 10.3, {{2 * KB, 22000}}); }

MemoryDescription memory(std::string name, uint32_t start, std::vector<Segment> segments) {
    return MemoryDescription{std::move(name), start, std::move(segments)};
}

MemoryDescription f1Flash() {
    return memory("@Internal Flash  /0x08000000/128*002Kg", 0x08000000, {{128, 2 * KB}});
}
MemoryDescription f1Options() {
    return memory("@Option Bytes  /0x1FFFF800/01*016 g", 0x1FFFF800, {{1, 16}});
}

// F405/F407 newer ROM and the 512 KB class: option bytes, OTP and device
// feature alternate settings with the 'e' type letter.
std::vector<MemoryDescription> f4Alternates(const char* flashName, std::vector<Segment> sectors) {
    return {memory(flashName, 0x08000000, std::move(sectors)),
            memory("@Option Bytes  /0x1FFFC000/01*016 e", 0x1FFFC000, {{1, 16}}),
            memory("@OTP Memory /0x1FFF7800/01*512 e,01*016 e", 0x1FFF7800, {{1, 512}, {1, 16}}),
            memory("@Device Feature/0xFFFF0000/01*004 e", 0xFFFF0000, {{1, 4}})};
}

std::vector<MemoryDescription> h7Alternates() {
    return {memory("@Internal Flash   /0x08000000/16*128Kg", 0x08000000, {{16, 128 * KB}}),
            memory("@Option Bytes   /0x5200201C/01*128 e", 0x5200201C, {{1, 128}})};
}

std::vector<MemoryDescription> l4Alternates() {
    return {memory("@Internal Flash  /0x08000000/512*0002Kg", 0x08000000, {{512, 2 * KB}}),
            memory("@Option Bytes  /0x1FFF7800/01*040 e", 0x1FFF7800, {{1, 40}}),
            memory("@OTP Memory /0x1FFF7000/01*0001Kg", 0x1FFF7000, {{1, 1 * KB}}),
            memory("@Device Feature/0xFFFF0000/01*004 e", 0xFFFF0000, {{1, 4}})};
}

ProfileDescription profile(Profile id, const char* name, uint16_t bcd, std::vector<MemoryDescription> alternates,
                           uint16_t transferSize, Timing t, const char* summary) {
    ProfileDescription d{id, name, bcd, std::move(alternates), true, transferSize, std::move(t), "STM32  BOOTLOADER",
                         nullptr, RomBehaviour{}, summary};
    return d;
}

// The serial unrelated H7 ROMs share.
constexpr const char* kH7Serial = "200364500000";

void addRomProfiles(std::vector<ProfileDescription>& all) {
    // Dump: bcdDevice 0x2000, this product string and serial on every unit.
    ProfileDescription f1 = profile(Profile::F1, "f1", 0x2000, {f1Flash(), f1Options()}, 2048, f1Timing(),
                                    "F105/F107, 128 x 2 KB pages");
    f1.product = "STM32 0x418 DFU Bootloader";
    f1.fixedSerial = "STM32";
    all.push_back(f1);

    ProfileDescription f4 =
        profile(Profile::F4, "f4", 0x2200,
                f4Alternates("@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg",
                             {{4, 16 * KB}, {1, 64 * KB}, {7, 128 * KB}}),
                2048, f4Timing(), "F405/F407 (newer ROM), 1 MB in 16/64/128 KB sectors; holds status while busy");
    f4.rom.holdsRequestsWhileBusy = true;
    all.push_back(f4);

    // The H7 ROM runs erase and write inside the USB interrupt (the ROM
    // vendor's device library), so its control pipe answers nothing until the
    // work is over: its maker's programmer polls at once and gets the verdict
    // right after a 0.9 s erase. Held for erase [log]; for write and Set
    // Address only by a host that never waits working on an H743 [inf].
    ProfileDescription h7 = profile(Profile::H7, "h7", 0x0200, h7Alternates(), 1024, h7Timing(),
                                    "H743/H753, 2 MB in 128 KB sectors; holds status while busy");
    h7.rom.holdsRequestsWhileBusy = true;
    // Unrelated H743 boards report this serial (two community logs; one tool
    // keys its H7 handling on it); some report 100364500000 [log].
    h7.fixedSerial = kH7Serial;
    all.push_back(h7);
}

void addOddProfiles(std::vector<ProfileDescription>& all) {
    all.push_back(profile(Profile::NoInternalFlash, "no-internal-flash", 0x2200,
                          {memory("@Option Bytes  /0x1FFFF800/01*016 g", 0x1FFFF800, {{1, 16}}),
                           memory("@Embedded Flash /0x08000000/128*002Kg", 0x08000000, {{128, 2 * KB}})},
                          2048, f1Timing(), "test: no alternate setting named @Internal Flash"));
    // The memory is still there; only its name lost the layout.
    all.push_back(profile(Profile::LayoutWithoutSlash, "no-slash", 0x2200,
                          {memory("@Internal Flash", 0x08000000, {{128, 2 * KB}}), f1Options()}, 2048, f1Timing(),
                          "test: alt 0 named just @Internal Flash"));
    all.push_back(profile(Profile::ZeroTransferSize, "zero-transfer", 0x2200, {f1Flash(), f1Options()}, 0,
                          f1Timing(), "test: wTransferSize 0"));
    all.push_back(profile(Profile::OversizeTransferSize, "oversize-transfer", 0x2200, {f1Flash(), f1Options()},
                          8192, f1Timing(), "test: wTransferSize 8192"));
    ProfileDescription noFunctional = profile(Profile::NoFunctionalDescriptor, "no-functional", 0x2200,
                                              {f1Flash(), f1Options()}, 2048, f1Timing(),
                                              "test: no DFU functional descriptor");
    noFunctional.hasFunctionalDescriptor = false;
    all.push_back(noFunctional);
    Timing smallPageTiming = f1Timing();
    smallPageTiming.eraseUsBySize = {{1 * KB, 20000}};
    all.push_back(profile(Profile::SmallPages, "small-pages", 0x2200,
                          {memory("@Internal Flash  /0x08000000/128*001Kg", 0x08000000, {{128, 1 * KB}}),
                           memory("@Option Bytes  /0x1FFFF800/01*016 g", 0x1FFFF800, {{1, 16}})},
                          2048, smallPageTiming, "test: 1 KB pages, 2 KB blocks"));
}

void addNewerRomProfiles(std::vector<ProfileDescription>& all) {
    // No full dump: layout from two independent sources, option bytes, bcdDevice
    // and wTransferSize assumed as on the F1 generation (estimate).
    ProfileDescription f0 = profile(Profile::F0, "f0", 0x2200,
                                    {memory("@Internal Flash  /0x08000000/064*0002Kg", 0x08000000, {{64, 2 * KB}}),
                                     memory("@Option Bytes  /0x1FFFF800/01*016 e", 0x1FFFF800, {{1, 16}})},
                                    2048, f0Timing(), "F070/F072, 64 x 2 KB pages; stalls early status polls");
    f0.rom.stallsEarlyStatus = true;
    // Every F072 ROM reports this serial, say users who program them in
    // numbers; no public dump seen (est.).
    f0.fixedSerial = "FFFFFFFEFFFF";
    all.push_back(f0);

    ProfileDescription f411 =
        profile(Profile::F411, "f411", 0x2200,
                f4Alternates("@Internal Flash  /0x08000000/04*016Kg,01*064Kg,03*128Kg",
                             {{4, 16 * KB}, {1, 64 * KB}, {3, 128 * KB}}),
                2048, f411Timing(), "F401/F411/F446 class, 512 KB; holds status while busy");
    f411.rom.holdsRequestsWhileBusy = true;
    all.push_back(f411);

    // Only the flash alternate setting is known for the F74x; bcdDevice estimated.
    ProfileDescription f7 =
        profile(Profile::F7, "f7", 0x2200,
                {memory("@Internal Flash  /0x08000000/04*032Kg,01*128Kg,03*256Kg", 0x08000000,
                        {{4, 32 * KB}, {1, 128 * KB}, {3, 256 * KB}})},
                2048, f7Timing(), "F74x/F75x, 1 MB in 32/128/256 KB sectors; holds status while busy");
    f7.rom.holdsRequestsWhileBusy = true;
    all.push_back(f7);

    // The option bytes list two address blocks; only the first is a memory here.
    all.push_back(profile(Profile::G4, "g4", 0x0200,
                          {memory("@Internal Flash   /0x08000000/256*02Kg", 0x08000000, {{256, 2 * KB}}),
                           memory("@Option Bytes   /0x1FFF7800/01*048 e/0x1FFFF800/01*048 e", 0x1FFF7800,
                                  {{1, 48}}),
                           memory("@OTP Memory   /0x1FFF7000/01*1024 e", 0x1FFF7000, {{1, 1024}})},
                          1024, g4Timing(), "G431/G474, 256 x 2 KB pages, 1 KB blocks (2 KB refused)"));

    ProfileDescription revV = profile(Profile::H7RevV, "h7-rev-v", 0x0200, h7Alternates(), 1024, h7Timing(),
                                      "H743/H753 rev V: a bank-2 sector erase stays busy until two CLRSTATUS");
    revV.rom.holdsRequestsWhileBusy = true;
    revV.rom.stuckBusyEraseFrom = 0x08100000;
    revV.fixedSerial = kH7Serial;
    all.push_back(revV);

    ProfileDescription h750 = profile(Profile::H750, "h750", 0x0200, h7Alternates(), 1024, h7Timing(),
                                      "H750: layout says 2 MB, 128 KB of real flash");
    h750.rom.holdsRequestsWhileBusy = true;
    h750.rom.realFlashSize = 128 * KB;
    // Both Daisy sources show it [log].
    h750.fixedSerial = kH7Serial;
    all.push_back(h750);

    // wTransferSize and bcdDevice not published (estimate).
    all.push_back(profile(Profile::L0, "l0", 0x2200,
                          {memory("@Internal Flash  /0x08000000/1536*128 g", 0x08000000, {{1536, 128}}),
                           memory("@Option Bytes  /0x1FF80000/01*032 e", 0x1FF80000, {{1, 32}})},
                          2048, l0Timing(), "L072, 1536 x 128-byte pages"));

    ProfileDescription l4 = profile(Profile::L4, "l4", 0x2200, l4Alternates(), 2048, l4Timing(),
                                    "L476 class, 512 x 2 KB pages (1 MB); stalls early status polls");
    l4.rom.stallsEarlyStatus = true;
    all.push_back(l4);

    ProfileDescription l452 = profile(Profile::L452, "l452", 0x2200, l4Alternates(), 2048, l4Timing(),
                                      "L452: the 1 MB L4 layout on 512 KB of real flash");
    l452.rom.stallsEarlyStatus = true;
    l452.rom.realFlashSize = 512 * KB;
    all.push_back(l452);

    // Descriptors of the U575/U585 dumps; the conversation of the U5A9, the
    // part whose Set Address skips dfuDNBUSY. wTransferSize estimated.
    ProfileDescription u5 =
        profile(Profile::U5, "u5", 0x0200,
                {memory("@Internal Flash   /0x08000000/256*08Kg", 0x08000000, {{256, 8 * KB}}),
                 memory("@Option Bytes   /0x40022040/01*64 e", 0x40022040, {{1, 64}}),
                 memory("@OTP Memory   /0x0BFA0000/01*512 e", 0x0BFA0000, {{1, 512}})},
                1024, u5Timing(), "U5, 256 x 8 KB pages; Set Address without busy state");
    u5.product = "DFU in FS Mode";
    u5.rom.setAddressWithoutBusy = true;
    u5.rom.leaveStatusFails = true;
    all.push_back(u5);

    // Only "@Internal Flash" is known to be listed, with 1 KB blocks; its
    // layout is an estimate.
    ProfileDescription c5 =
        profile(Profile::C5, "c5", 0x0200,
                {memory("@Internal Flash   /0x08000000/128*02Kg", 0x08000000, {{128, 2 * KB}})}, 1024,
                c5Timing(), "C562: strict DFU_CLRSTATUS, one alternate setting");
    c5.rom.clearStatusStallKeepsState = true;
    c5.rom.ignoresFunctionalDescriptorRequest = true;
    all.push_back(c5);
}

std::vector<ProfileDescription> buildProfiles() {
    std::vector<ProfileDescription> all;
    addRomProfiles(all);
    addOddProfiles(all);
    addNewerRomProfiles(all);
    // AN2662 allows Set Address under read protection on the F105/F107 ROM;
    // later ROMs refuse it with errVENDOR, as host tools found.
    for (auto& description : all)
        if (description.profile == Profile::F1) description.rom.protectedSetAddressRefused = false;
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

std::vector<Profile> romProfiles() {
    return {Profile::F0, Profile::F1, Profile::F4, Profile::F411, Profile::F7, Profile::G4, Profile::H7,
            Profile::H7RevV, Profile::H750, Profile::L0, Profile::L4, Profile::L452, Profile::U5, Profile::C5};
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
