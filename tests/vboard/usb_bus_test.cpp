// Bus-level behaviour through libusb: leaving DFU mode, unplug and replug,
// several boards at once, and faults that only show on the wire.
#include "usb_helpers.h"
#include "virtual_board.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace vboardtest;

namespace {

vboard::BoardOptions withProfile(vboard::Profile profile) {
    vboard::BoardOptions options;
    options.profile = profile;
    return options;
}

} // namespace

TEST(UsbLeave, ZeroLengthDownloadThenStatusLeavesTheBus) {
    vboard::Bus bus;
    vboard::Board& board = bus.addBoard();
    auto context = openContext();
    {
        auto handle = openAt(context.get(), 0);
        ASSERT_EQ(command(handle.get(), setAddressCommand(0x08000100)).state, vboard::dfuDNLOAD_IDLE);
        ASSERT_EQ(dnload(handle.get(), 2, {}), 0);
        Status status = getStatus(handle.get());
        EXPECT_EQ(status.transferred, 6);
        EXPECT_EQ(status.state, vboard::dfuMANIFEST);
        // Gone: further requests fail instead of reaching a board.
        EXPECT_LT(getStatus(handle.get()).transferred, 0);
    }
    EXPECT_TRUE(board.hasLeft());
    EXPECT_EQ(board.leaveAddress(), 0x08000100u);
    EXPECT_FALSE(board.plugged());
    EXPECT_EQ(board.count(vboard::Request::Leave), 1u);

    auto fresh = openContext();
    EXPECT_TRUE(listDevices(fresh.get()).empty());
}

TEST(UsbLeave, ReplugBringsTheBoardBackInDfuModeWithItsFlash) {
    vboard::Bus bus;
    vboard::Board& board = bus.addBoard();
    board.write(0x08000000, {1, 2, 3, 4});
    bus.unplug(board);
    EXPECT_FALSE(board.plugged());
    EXPECT_EQ(board.listPosition(), -1);
    {
        auto context = openContext();
        EXPECT_TRUE(listDevices(context.get()).empty());
    }
    bus.replug(board);
    auto context = openContext();
    ASSERT_EQ(listDevices(context.get()).size(), 1u);
    auto handle = openAt(context.get(), 0);
    EXPECT_EQ(getStatus(handle.get()).state, vboard::dfuIDLE);
    std::vector<uint8_t> head(4);
    ASSERT_EQ(command(handle.get(), setAddressCommand(0x08000000)).state, vboard::dfuDNLOAD_IDLE);
    ASSERT_EQ(abortRequest(handle.get()), 0);
    ASSERT_EQ(upload(handle.get(), 2, head), 4);
    EXPECT_EQ(head, (std::vector<uint8_t>{1, 2, 3, 4}));
}

TEST(UsbBus, SeveralBoardsKeepSeparateFlashAndCounts) {
    vboard::Bus bus;
    bus.addForeignDevice();
    vboard::Board& f1 = bus.addBoard(withProfile(vboard::Profile::F1));
    vboard::Board& f4 = bus.addBoard(withProfile(vboard::Profile::F4));
    vboard::Board& h7 = bus.addBoard(withProfile(vboard::Profile::H7));
    EXPECT_EQ(bus.boards().size(), 3u);
    EXPECT_EQ(h7.listPosition(), 3);

    auto context = openContext();
    auto handle = openAt(context.get(), 2);
    ASSERT_EQ(command(handle.get(), setAddressCommand(0x08000000)).state, vboard::dfuDNLOAD_IDLE);
    auto data = pattern(2048, 9);
    ASSERT_EQ(downloadBlock(handle.get(), 2, data).status, vboard::OK);

    EXPECT_EQ(f4.read(0x08000000, 2048), data);
    EXPECT_EQ(f1.read(0x08000000, 2048), std::vector<uint8_t>(2048, 0xFF));
    EXPECT_EQ(f1.count(vboard::Request::DataBlock), 0u);
    EXPECT_EQ(f4.count(vboard::Request::DataBlock), 1u);
    EXPECT_EQ(h7.count(vboard::Request::GetStatus), 0u);

    // Unplugging the middle board moves the next one up the list.
    bus.unplug(f4);
    EXPECT_EQ(h7.listPosition(), 2);
}

TEST(UsbFaults, TimeoutNeverCompletesAndTheBoardStillAnswersAfterwards) {
    vboard::Bus bus;
    vboard::Board& board = bus.addBoard();
    board.injectFault({vboard::FaultType::Timeout, vboard::Request::GetStatus, 0, 0});
    auto context = openContext();
    auto handle = openAt(context.get(), 0);
    uint8_t reply[6];
    auto start = std::chrono::steady_clock::now();
    int result = libusb_control_transfer(handle.get(), 0xA1, 3, 0, 0, reply, 6, 200);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result, LIBUSB_ERROR_TIMEOUT);
    EXPECT_GE(elapsed, std::chrono::milliseconds(190));
    Status status = getStatus(handle.get());
    EXPECT_EQ(status.transferred, 6);
    EXPECT_EQ(status.state, vboard::dfuIDLE);
    EXPECT_EQ(board.count(vboard::Request::GetStatus), 2u);
}

TEST(UsbFaults, StallShortReplyAndUnplugReachTheClient) {
    vboard::Bus bus;
    vboard::Board& board = bus.addBoard();
    board.injectFault({vboard::FaultType::Stall, vboard::Request::Abort, 0, 0});
    board.injectFault({vboard::FaultType::ShortReply, vboard::Request::GetStatus, 1, 0});
    board.injectFault({vboard::FaultType::Unplug, vboard::Request::ClrStatus, 0, 0});
    auto context = openContext();
    auto handle = openAt(context.get(), 0);

    EXPECT_EQ(abortRequest(handle.get()), LIBUSB_ERROR_PIPE);
    Status status = getStatus(handle.get()); // skipped by the short-reply fault
    EXPECT_EQ(status.state, vboard::dfuERROR);
    EXPECT_EQ(status.status, vboard::errSTALLEDPKT);
    EXPECT_EQ(getStatus(handle.get()).transferred, 3);
    EXPECT_EQ(clearStatus(handle.get()), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_FALSE(board.plugged());
    auto fresh = openContext();
    EXPECT_TRUE(listDevices(fresh.get()).empty());
}

TEST(UsbAlternates, OptionBytesAreAMemoryOfTheirOwnAlternateSetting) {
    vboard::Bus bus;
    vboard::Board& board = bus.addBoard(withProfile(vboard::Profile::F4));
    auto context = openContext();
    auto handle = openAt(context.get(), 0, 1);
    // The flash is not reachable through the option-byte alternate setting.
    EXPECT_EQ(command(handle.get(), setAddressCommand(0x08000000)).status, vboard::errTARGET);
    ASSERT_EQ(clearStatus(handle.get()), 0);
    ASSERT_EQ(command(handle.get(), setAddressCommand(0x1FFFC000)).state, vboard::dfuDNLOAD_IDLE);
    std::vector<uint8_t> options = {0xAA, 0x55, 0xEF, 0x10, 0xFF, 0xFF, 0xFF, 0xFF,
                                    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    // Written, then the ROM resets to load them: the handle is gone.
    ASSERT_EQ(dnload(handle.get(), 2, options), 16);
    EXPECT_EQ(getStatus(handle.get()).state, vboard::dfuDNBUSY);
    EXPECT_LT(getStatus(handle.get()).transferred, 0);
    EXPECT_EQ(board.read(0x1FFFC000, 16), options);
    EXPECT_EQ(board.resets(), 1u);
    EXPECT_EQ(board.flash(), std::vector<uint8_t>(board.flashSize(), 0xFF));
}

TEST(UsbBus, ReplacingABusWhileTheOldOneStillExistsKeepsTheNewBoardsVisible) {
    auto bus = std::make_unique<vboard::Bus>();
    bus->addBoard();
    bus = std::make_unique<vboard::Bus>(); // new testbed first, then the old one goes
    vboard::Board& board = bus->addBoard(withProfile(vboard::Profile::F4));
    auto context = openContext();
    ASSERT_EQ(listDevices(context.get()).size(), 1u);
    auto handle = openAt(context.get(), 0);
    EXPECT_EQ(getStatus(handle.get()).state, vboard::dfuIDLE);
    EXPECT_EQ(board.count(vboard::Request::GetStatus), 1u);
}
