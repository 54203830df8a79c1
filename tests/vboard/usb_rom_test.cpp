// The ways real ROMs answer, through the real libusb: held requests, stalled
// early polls, no busy state, stuck busy, strict CLRSTATUS, read protection,
// the leave read as a vector table, layouts larger than the flash, and the
// open and claim failures a user meets.
#include "usb_helpers.h"
#include "virtual_board.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace vboardtest;
using Clock = std::chrono::steady_clock;

namespace {

vboard::BoardOptions options(vboard::Profile profile, double timeScale = 0.0) {
    vboard::BoardOptions o;
    o.profile = profile;
    o.timeScale = timeScale;
    return o;
}

long msSince(Clock::time_point start) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

std::vector<uint8_t> vectorTable(uint32_t stack, uint32_t reset) {
    return {uint8_t(stack), uint8_t(stack >> 8), uint8_t(stack >> 16), uint8_t(stack >> 24),
            uint8_t(reset), uint8_t(reset >> 8), uint8_t(reset >> 16), uint8_t(reset >> 24)};
}

} // namespace

TEST(RomHeldStatus, TheSecondStatusReturnsWhenTheEraseIsOverInRealTime) {
    vboard::Bus bus;
    vboard::Board& board = bus.addBoard(options(vboard::Profile::F4, 1.0));
    board.fillFlash(0x00);
    auto context = openContext();
    auto handle = openAt(context.get(), 0);

    // A 16 KB sector: 0.5 s of work behind an announced 100 ms.
    auto start = Clock::now();
    ASSERT_EQ(dnload(handle.get(), 0, erasePageCommand(0x08000000)), 5);
    Status first = statusWithin(handle.get(), 2000);
    EXPECT_EQ(first.state, vboard::dfuDNBUSY);
    EXPECT_EQ(first.pollTimeout, 100u);
    EXPECT_LT(msSince(start), 200);
    Status held = statusWithin(handle.get(), 2000);
    EXPECT_EQ(held.state, vboard::dfuDNLOAD_IDLE);
    EXPECT_GE(msSince(start), 490);
    EXPECT_EQ(board.read(0x08000000, 16), std::vector<uint8_t>(16, 0xFF));

    // A host that gives up early loses that request; the next one waits for the rest.
    start = Clock::now();
    ASSERT_EQ(dnload(handle.get(), 0, erasePageCommand(0x08004000)), 5);
    ASSERT_EQ(statusWithin(handle.get(), 2000).state, vboard::dfuDNBUSY);
    EXPECT_EQ(statusWithin(handle.get(), 150).transferred, LIBUSB_ERROR_TIMEOUT);
    Status after = statusWithin(handle.get(), 2000);
    EXPECT_EQ(after.state, vboard::dfuDNLOAD_IDLE);
    EXPECT_GE(msSince(start), 490);
    EXPECT_EQ(board.counters().heldRequests, 3u);
}

TEST(RomEarlyPoll, AStatusBeforeThePollTimeoutIsStalledAndTheEraseGoesOn) {
    vboard::Bus bus;
    vboard::Board& board = bus.addBoard(options(vboard::Profile::F0, 1.0));
    board.fillFlash(0x00);
    auto context = openContext();
    auto handle = openAt(context.get(), 0);

    ASSERT_EQ(dnload(handle.get(), 0, erasePageCommand(0x08000800)), 5);
    Status first = getStatus(handle.get());
    ASSERT_EQ(first.state, vboard::dfuDNBUSY);
    ASSERT_EQ(first.pollTimeout, 40u);
    EXPECT_EQ(getStatus(handle.get()).transferred, LIBUSB_ERROR_PIPE);
    EXPECT_EQ(board.state(), vboard::dfuDNBUSY); // not dfuERROR
    std::this_thread::sleep_for(std::chrono::milliseconds(first.pollTimeout));
    Status done = getStatus(handle.get());
    EXPECT_EQ(done.state, vboard::dfuDNLOAD_IDLE);
    EXPECT_EQ(done.status, vboard::OK);
    EXPECT_EQ(board.read(0x08000800, 2048), std::vector<uint8_t>(2048, 0xFF));
    EXPECT_EQ(board.counters().earlyStatusStalls, 1u);
}

TEST(RomSetAddress, TheU5AnswersIdleAtOnceAndTheOthersBusy) {
    vboard::Bus bus;
    bus.addBoard(options(vboard::Profile::U5));
    bus.addBoard(options(vboard::Profile::H7));
    auto context = openContext();
    auto u5 = openAt(context.get(), 0);
    ASSERT_EQ(dnload(u5.get(), 0, setAddressCommand(0x08002000)), 5);
    Status first = getStatus(u5.get());
    EXPECT_EQ(first.state, vboard::dfuDNLOAD_IDLE);
    EXPECT_EQ(first.status, vboard::OK);
    // An address outside the flash still gives its error at once.
    ASSERT_EQ(abortRequest(u5.get()), 0);
    ASSERT_EQ(dnload(u5.get(), 0, setAddressCommand(0x09000000)), 5);
    EXPECT_EQ(getStatus(u5.get()).status, vboard::errTARGET);

    auto h7 = openAt(context.get(), 1);
    ASSERT_EQ(dnload(h7.get(), 0, setAddressCommand(0x08002000)), 5);
    EXPECT_EQ(getStatus(h7.get()).state, vboard::dfuDNBUSY);
}

TEST(RomStuckBusy, ABank2EraseOnRevVNeedsTwoClearStatus) {
    vboard::Bus bus;
    vboard::Board& board = bus.addBoard(options(vboard::Profile::H7RevV));
    board.fillFlash(0x00);
    auto context = openContext();
    auto handle = openAt(context.get(), 0);

    // Bank 1 erases as usual.
    EXPECT_EQ(command(handle.get(), erasePageCommand(0x08000000)).state, vboard::dfuDNLOAD_IDLE);
    ASSERT_EQ(dnload(handle.get(), 0, erasePageCommand(0x08100000)), 5);
    for (int i = 0; i < 20; ++i) ASSERT_EQ(getStatus(handle.get()).state, vboard::dfuDNBUSY);
    ASSERT_EQ(clearStatus(handle.get()), 0);
    Status error = getStatus(handle.get());
    EXPECT_EQ(error.state, vboard::dfuERROR);
    EXPECT_EQ(error.status, vboard::errUNKNOWN);
    ASSERT_EQ(clearStatus(handle.get()), 0);
    Status idle = getStatus(handle.get());
    EXPECT_EQ(idle.state, vboard::dfuIDLE);
    EXPECT_EQ(idle.status, vboard::OK);
    EXPECT_EQ(board.read(0x08100000, 128 * 1024), std::vector<uint8_t>(128 * 1024, 0xFF));
    EXPECT_EQ(board.read(0x08120000, 1), std::vector<uint8_t>(1, 0x00));

    // The plain H7 does not get stuck.
    vboard::Board& plain = bus.addBoard(options(vboard::Profile::H7));
    (void)plain;
    auto fresh = openContext();
    auto h7 = openAt(fresh.get(), 1);
    EXPECT_EQ(command(h7.get(), erasePageCommand(0x08100000)).state, vboard::dfuDNLOAD_IDLE);
}

TEST(RomClearStatus, TheC5StallsItOutsideErrorAndKeepsItsState) {
    vboard::Bus bus;
    bus.addBoard(options(vboard::Profile::C5));
    bus.addBoard(options(vboard::Profile::F1));
    auto context = openContext();
    auto c5 = openAt(context.get(), 0);
    ASSERT_EQ(command(c5.get(), setAddressCommand(0x08000000)).state, vboard::dfuDNLOAD_IDLE);
    EXPECT_EQ(clearStatus(c5.get()), LIBUSB_ERROR_PIPE);
    Status kept = getStatus(c5.get());
    EXPECT_EQ(kept.state, vboard::dfuDNLOAD_IDLE);
    EXPECT_EQ(kept.status, vboard::OK);
    std::vector<uint8_t> block(1024);
    EXPECT_EQ(upload(c5.get(), 2, block), LIBUSB_ERROR_PIPE); // still not in an upload state
    ASSERT_EQ(clearStatus(c5.get()), 0);                      // the stall above made it dfuERROR
    ASSERT_EQ(command(c5.get(), setAddressCommand(0x08000000)).state, vboard::dfuDNLOAD_IDLE);
    ASSERT_EQ(abortRequest(c5.get()), 0);
    EXPECT_EQ(upload(c5.get(), 2, block), 1024);

    // Older ROMs end in dfuERROR, from which a second CLRSTATUS recovers.
    auto f1 = openAt(context.get(), 1);
    ASSERT_EQ(command(f1.get(), setAddressCommand(0x08000000)).state, vboard::dfuDNLOAD_IDLE);
    EXPECT_EQ(clearStatus(f1.get()), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(getStatus(f1.get()).state, vboard::dfuERROR);
    ASSERT_EQ(clearStatus(f1.get()), 0);
    EXPECT_EQ(getStatus(f1.get()).state, vboard::dfuIDLE);
}

TEST(RomReadProtection, EverythingButUnprotectAnswersErrVendor) {
    vboard::Bus bus;
    auto protectedF4 = options(vboard::Profile::F4);
    protectedF4.readProtected = true;
    vboard::Board& f4 = bus.addBoard(protectedF4);
    auto protectedF1 = options(vboard::Profile::F1);
    protectedF1.readProtected = true;
    vboard::Board& f1 = bus.addBoard(protectedF1);
    f1.fillFlash(0x00);
    auto context = openContext();

    auto handle = openAt(context.get(), 0);
    std::vector<uint8_t> block(2048);
    EXPECT_EQ(upload(handle.get(), 2, block), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(getStatus(handle.get()).status, vboard::errVENDOR);
    ASSERT_EQ(clearStatus(handle.get()), 0);
    EXPECT_EQ(command(handle.get(), setAddressCommand(0x08000000)).status, vboard::errVENDOR);
    ASSERT_EQ(clearStatus(handle.get()), 0);
    auto options = openAt(context.get(), 0, 1);
    EXPECT_EQ(command(options.get(), setAddressCommand(0x1FFFC000)).status, vboard::errVENDOR);

    // The F105/F107 ROM still takes the address; erase and write are refused and ignored.
    auto old = openAt(context.get(), 1);
    ASSERT_EQ(command(old.get(), setAddressCommand(0x08000000)).state, vboard::dfuDNLOAD_IDLE);
    EXPECT_EQ(command(old.get(), erasePageCommand(0x08000000)).status, vboard::errVENDOR);
    ASSERT_EQ(clearStatus(old.get()), 0);
    EXPECT_EQ(command(old.get(), {0x41}).status, vboard::errVENDOR);
    ASSERT_EQ(clearStatus(old.get()), 0);
    ASSERT_EQ(command(old.get(), setAddressCommand(0x08000000)).state, vboard::dfuDNLOAD_IDLE);
    EXPECT_EQ(downloadBlock(old.get(), 2, std::vector<uint8_t>(2048, 0x00)).status, vboard::errVENDOR);
    EXPECT_EQ(f1.flash(), std::vector<uint8_t>(f1.flashSize(), 0x00));
    EXPECT_TRUE(f4.readProtected());
}

TEST(RomReadProtection, ReadUnprotectErasesResetsAndComesBackUnprotected) {
    vboard::Bus bus;
    auto protectedF4 = options(vboard::Profile::F4);
    protectedF4.readProtected = true;
    vboard::Board& board = bus.addBoard(protectedF4);
    board.fillFlashPattern(5);
    auto context = openContext();
    {
        auto handle = openAt(context.get(), 0);
        ASSERT_EQ(dnload(handle.get(), 0, {0x92}), 1);
        EXPECT_EQ(getStatus(handle.get()).state, vboard::dfuDNBUSY);
        EXPECT_LT(getStatus(handle.get()).transferred, 0); // the handle died with the reset
    }
    EXPECT_FALSE(board.readProtected());
    EXPECT_EQ(board.resets(), 1u);
    EXPECT_EQ(board.flash(), std::vector<uint8_t>(board.flashSize(), 0xFF));
    EXPECT_EQ(board.count(vboard::Request::ReadUnprotect), 1u);

    auto fresh = openContext();
    ASSERT_EQ(listDevices(fresh.get()).size(), 1u);
    auto handle = openAt(fresh.get(), 0);
    EXPECT_EQ(getStatus(handle.get()).state, vboard::dfuIDLE);
    EXPECT_EQ(command(handle.get(), setAddressCommand(0x08000000)).state, vboard::dfuDNLOAD_IDLE);
}

TEST(RomLeave, TheBoardStartsTheVectorTableAtTheAddressPointer) {
    vboard::Bus bus;
    vboard::Board& good = bus.addBoard(options(vboard::Profile::F1));
    good.write(0x08000000, vectorTable(0x20005000, 0x08000141));
    vboard::Board& erased = bus.addBoard(options(vboard::Profile::F4));
    vboard::Board& u5 = bus.addBoard(options(vboard::Profile::U5));
    u5.write(0x08000000, vectorTable(0x20030000, 0x080001C1));
    auto context = openContext();
    {
        // Leave straight from dfuIDLE: the pointer is the ROM's default, flash start.
        auto handle = openAt(context.get(), 0);
        ASSERT_EQ(dnload(handle.get(), 2, {}), 0);
        EXPECT_EQ(getStatus(handle.get()).state, vboard::dfuMANIFEST);
    }
    EXPECT_TRUE(good.hasLeft());
    EXPECT_FALSE(good.startFaulted());
    EXPECT_EQ(good.startedStackPointer(), 0x20005000u);
    EXPECT_EQ(good.startedResetHandler(), 0x08000141u);
    EXPECT_EQ(good.leaveAddress(), 0x08000000u);
    {
        // What the old jump address pointed at is no vector table.
        auto handle = openAt(context.get(), 0);
        ASSERT_EQ(command(handle.get(), setAddressCommand(0x08000141)).state, vboard::dfuDNLOAD_IDLE);
        ASSERT_EQ(dnload(handle.get(), 2, {}), 0);
        getStatus(handle.get());
    }
    EXPECT_TRUE(erased.hasLeft());
    EXPECT_TRUE(erased.startFaulted());
    EXPECT_EQ(erased.startedResetHandler(), 0xFFFFFFFFu);
    {
        // The U5 is gone before it answers.
        auto handle = openAt(context.get(), 0);
        ASSERT_EQ(command(handle.get(), setAddressCommand(0x08000000)).state, vboard::dfuDNLOAD_IDLE);
        ASSERT_EQ(dnload(handle.get(), 2, {}), 0);
        EXPECT_LT(getStatus(handle.get()).transferred, 0);
    }
    EXPECT_TRUE(u5.hasLeft());
    EXPECT_FALSE(u5.startFaulted());
    EXPECT_EQ(u5.startedResetHandler(), 0x080001C1u);
}

TEST(RomLayout, AddressesPastTheRealFlashAreRefused) {
    vboard::Bus bus;
    vboard::Board& h750 = bus.addBoard(options(vboard::Profile::H750));
    bus.addBoard(options(vboard::Profile::L452));
    EXPECT_EQ(h750.flashSize(), 2u * 1024 * 1024); // what the layout says
    EXPECT_EQ(h750.physicalFlashSize(), 128u * 1024);
    auto context = openContext();
    auto handle = openAt(context.get(), 0);
    EXPECT_EQ(command(handle.get(), setAddressCommand(0x08020000)).status, vboard::errTARGET);
    ASSERT_EQ(clearStatus(handle.get()), 0);
    EXPECT_EQ(command(handle.get(), erasePageCommand(0x08020000)).status, vboard::errTARGET);
    ASSERT_EQ(clearStatus(handle.get()), 0);
    // The last real 1 KB reads short: the upload ends at the real end.
    ASSERT_EQ(command(handle.get(), setAddressCommand(0x0801FC00)).state, vboard::dfuDNLOAD_IDLE);
    ASSERT_EQ(abortRequest(handle.get()), 0);
    std::vector<uint8_t> block(1024);
    EXPECT_EQ(upload(handle.get(), 2, block), 1024);
    EXPECT_EQ(upload(handle.get(), 3, block), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(getStatus(handle.get()).status, vboard::errTARGET);

    auto l452 = openAt(context.get(), 1);
    EXPECT_EQ(command(l452.get(), setAddressCommand(0x0807F800)).state, vboard::dfuDNLOAD_IDLE);
    EXPECT_EQ(downloadBlock(l452.get(), 2, std::vector<uint8_t>(2048, 0x11)).status, vboard::OK);
    ASSERT_EQ(abortRequest(l452.get()), 0);
    EXPECT_EQ(command(l452.get(), setAddressCommand(0x08080000)).status, vboard::errTARGET);
}

TEST(RomDescriptors, BlocksAboveTheTransferSizeAreStalledOnTheG4) {
    vboard::Bus bus;
    vboard::Board& g4 = bus.addBoard(options(vboard::Profile::G4));
    EXPECT_EQ(g4.transferSize(), 1024);
    auto context = openContext();
    auto handle = openAt(context.get(), 0);
    ASSERT_EQ(command(handle.get(), setAddressCommand(0x08000000)).state, vboard::dfuDNLOAD_IDLE);
    EXPECT_EQ(dnload(handle.get(), 2, std::vector<uint8_t>(2048, 0)), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(getStatus(handle.get()).status, vboard::errSTALLEDPKT);
    ASSERT_EQ(clearStatus(handle.get()), 0);
    ASSERT_EQ(command(handle.get(), setAddressCommand(0x08000000)).state, vboard::dfuDNLOAD_IDLE);
    EXPECT_EQ(downloadBlock(handle.get(), 2, std::vector<uint8_t>(1024, 0)).status, vboard::OK);
}

TEST(RomPowerUp, ABlankPartStartsInErrorFirmware) {
    vboard::Bus bus;
    auto blank = options(vboard::Profile::F4);
    blank.blankStartsInError = true;
    bus.addBoard(blank);
    vboard::Board& programmed = bus.addBoard(blank);
    programmed.write(0x08000000, vectorTable(0x20020000, 0x08000189));
    auto context = openContext();
    auto handle = openAt(context.get(), 0);
    Status first = getStatus(handle.get());
    EXPECT_EQ(first.state, vboard::dfuERROR);
    EXPECT_EQ(first.status, vboard::errFIRMWARE);
    ASSERT_EQ(clearStatus(handle.get()), 0);
    EXPECT_EQ(getStatus(handle.get()).state, vboard::dfuIDLE);
    auto other = openAt(context.get(), 1);
    EXPECT_EQ(getStatus(other.get()).state, vboard::dfuIDLE);
}

TEST(UsbAccessFailures, OpenDeniedAndClaimBusyReachLibusbAsAUserSeesThem) {
    vboard::Bus bus;
    auto denied = options(vboard::Profile::F1);
    denied.usbAccess = vboard::UsbAccess::OpenDenied;
    vboard::Board& board = bus.addBoard(denied);
    auto context = openContext();
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(context.get(), &list), 1);
    libusb_device_handle* raw = nullptr;
    EXPECT_EQ(libusb_open(list[0], &raw), LIBUSB_ERROR_ACCESS);

    bus.setUsbAccess(board, vboard::UsbAccess::ClaimBusy);
    ASSERT_EQ(libusb_open(list[0], &raw), 0);
    EXPECT_EQ(libusb_claim_interface(raw, 0), LIBUSB_ERROR_BUSY);
    libusb_close(raw);

    bus.setUsbAccess(board, vboard::UsbAccess::Normal);
    ASSERT_EQ(libusb_open(list[0], &raw), 0);
    EXPECT_EQ(libusb_claim_interface(raw, 0), 0);
    libusb_close(raw);
    libusb_free_device_list(list, 1);
}

TEST(RomDescriptors, StringsAsTheDumpsShowAndTheC5NeverAnswersAStandaloneFunctionalDescriptor) {
    vboard::Bus bus;
    bus.addBoard(options(vboard::Profile::U5));
    bus.addBoard(options(vboard::Profile::C5));
    bus.addBoard(options(vboard::Profile::H7));
    auto context = openContext();
    auto u5 = openAt(context.get(), 0);
    unsigned char text[128] = {};
    ASSERT_GT(libusb_get_string_descriptor_ascii(u5.get(), 2, text, sizeof text), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(text), "DFU in FS Mode");
    ASSERT_GT(libusb_get_string_descriptor_ascii(u5.get(), 4, text, sizeof text), 0);
    EXPECT_STREQ(reinterpret_cast<char*>(text), "@Internal Flash   /0x08000000/256*08Kg");

    unsigned char functional[9] = {};
    auto c5 = openAt(context.get(), 1);
    EXPECT_EQ(libusb_control_transfer(c5.get(), 0x80, 6, 0x2100, 0, functional, 9, 200), LIBUSB_ERROR_TIMEOUT);
    auto h7 = openAt(context.get(), 2);
    ASSERT_EQ(libusb_control_transfer(h7.get(), 0x80, 6, 0x2100, 0, functional, 9, 200), 9);
    EXPECT_EQ(functional[5] | functional[6] << 8, 1024);
}
