// The board's state machine, flash rules, timing and faults, driven request
// by request without USB and with a clock the test owns.
#include "board_device.h"

#include <gtest/gtest.h>

using namespace vboard;

namespace {

class Driver {
public:
    explicit Driver(Profile profile, double timeScale = 0.0)
        : board_(options(profile, timeScale), "TEST", [this] { return now_; }) {
        board_.setPlugged(true);
    }

    BoardDevice& board() { return board_; }
    void advanceMs(uint64_t ms) { now_ += ms * 1000; }

    ControlResult request(uint8_t type, uint8_t request, uint16_t value, std::vector<uint8_t> data,
                          uint16_t length = 0) {
        ControlSetup setup{type, request, value, 0, uint16_t(data.empty() ? length : data.size())};
        data.resize(std::max<size_t>(data.size(), 8));
        return board_.control(setup, data.data(), alt);
    }
    ControlResult dnload(uint16_t block, std::vector<uint8_t> data) { return request(0x21, 1, block, data); }
    ControlResult upload(uint16_t block, uint16_t length) { return request(0xA1, 2, block, {}, length); }
    ControlResult clrStatus() { return request(0x21, 4, 0, {}); }
    ControlResult abort() { return request(0x21, 6, 0, {}); }

    struct Status {
        uint8_t status, state;
        uint32_t pollMs;
    };
    Status getStatus() {
        ControlResult result = request(0xA1, 3, 0, {}, 6);
        EXPECT_EQ(result.completion, Completion::Done);
        if (result.data.size() != 6) return {0xFF, 0xFF, 0};
        return {result.data[0], result.data[4],
                uint32_t(result.data[1] | result.data[2] << 8 | result.data[3] << 16)};
    }
    // Sends a DfuSe command or block, demands dfuDNBUSY, then polls to the verdict.
    Status run(uint16_t block, std::vector<uint8_t> data) {
        EXPECT_EQ(dnload(block, data).completion, Completion::Done);
        Status busy = getStatus();
        EXPECT_EQ(busy.state, dfuDNBUSY);
        Status status = getStatus();
        while (status.state == dfuDNBUSY) {
            advanceMs(status.pollMs ? status.pollMs : 1);
            status = getStatus();
        }
        return status;
    }
    Status setAddress(uint32_t address) { return run(0, command(0x21, address)); }
    Status erase(uint32_t address) { return run(0, command(0x41, address)); }

    static std::vector<uint8_t> command(uint8_t code, uint32_t address) {
        return {code, uint8_t(address), uint8_t(address >> 8), uint8_t(address >> 16), uint8_t(address >> 24)};
    }

    int alt = 0;

private:
    static BoardOptions options(Profile profile, double timeScale) {
        BoardOptions options;
        options.profile = profile;
        options.timeScale = timeScale;
        return options;
    }
    uint64_t now_ = 1000000;
    BoardDevice board_;
};

std::vector<uint8_t> bytes(size_t count, uint8_t value) { return std::vector<uint8_t>(count, value); }

} // namespace

TEST(FlashRules, EraseClearsTheWholePhysicalSectorHoldingTheAddress) {
    Driver f4(Profile::F4);
    f4.board().fillFlash(0x00);
    ASSERT_EQ(f4.erase(0x08004800).status, OK); // inside 16 KB sector 1
    EXPECT_EQ(f4.board().read(0x08004000, 0x4000), bytes(0x4000, 0xFF));
    EXPECT_EQ(f4.board().read(0x08003FFF, 1), bytes(1, 0x00));
    EXPECT_EQ(f4.board().read(0x08008000, 1), bytes(1, 0x00));

    ASSERT_EQ(f4.erase(0x08010000 + 5).status, OK); // the 64 KB sector
    EXPECT_EQ(f4.board().read(0x08010000, 0x10000), bytes(0x10000, 0xFF));
    EXPECT_EQ(f4.board().read(0x08020000, 1), bytes(1, 0x00));
    EXPECT_EQ(f4.board().counters().erasesByAddress.at(0x08010005), 1u);

    // Pages smaller than a block: one erase covers one 1 KB page only.
    Driver small(Profile::SmallPages);
    small.board().fillFlash(0x00);
    ASSERT_EQ(small.erase(0x08000800).status, OK);
    EXPECT_EQ(small.board().read(0x08000800, 1024), bytes(1024, 0xFF));
    EXPECT_EQ(small.board().read(0x08000C00, 1), bytes(1, 0x00));
}

TEST(FlashRules, ProgrammingOnlyClearsBitsAndUnerasedBytesFailVerify) {
    Driver f1(Profile::F1);
    f1.board().write(0x08000000, {0xF0, 0xFF});
    ASSERT_EQ(f1.setAddress(0x08000000).status, OK);
    Driver::Status status = f1.run(2, {0x0F, 0x12});
    EXPECT_EQ(status.state, dfuERROR);
    EXPECT_EQ(status.status, errVERIFY);
    EXPECT_EQ(f1.board().read(0x08000000, 2), (std::vector<uint8_t>{0x00, 0x12}));

    // Writing the same bytes again is not an error: the readback matches.
    ASSERT_EQ(f1.clrStatus().completion, Completion::Done);
    ASSERT_EQ(f1.setAddress(0x08000000).status, OK);
    EXPECT_EQ(f1.run(2, {0x00, 0x12}).status, OK);
}

TEST(FlashRules, BlocksLandAtPointerPlusBlockNumberTimesTransferSize) {
    Driver f1(Profile::F1);
    ASSERT_EQ(f1.setAddress(0x08001000).status, OK);
    ASSERT_EQ(f1.run(4, {0xA5, 0x5A}).status, OK);
    EXPECT_EQ(f1.board().read(0x08001000 + 2 * 2048, 2), (std::vector<uint8_t>{0xA5, 0x5A}));

    ASSERT_EQ(f1.abort().completion, Completion::Done);
    ControlResult up = f1.upload(4, 2048);
    ASSERT_EQ(up.actualLength, 2048u);
    EXPECT_EQ(up.data[0], 0xA5);
}

TEST(FlashRules, AddressesOutsideTheAlternateSettingsMemoryGiveErrTarget) {
    Driver f1(Profile::F1);
    Driver::Status status = f1.setAddress(0x08040000); // one past the 256 KB flash
    EXPECT_EQ(status.state, dfuERROR);
    EXPECT_EQ(status.status, errTARGET);
    ASSERT_EQ(f1.clrStatus().completion, Completion::Done);
    EXPECT_EQ(f1.erase(0x20000000).status, errTARGET);
    ASSERT_EQ(f1.clrStatus().completion, Completion::Done);

    // A block that starts inside but runs past the end is refused whole.
    ASSERT_EQ(f1.setAddress(0x0803F800).status, OK);
    EXPECT_EQ(f1.run(3, bytes(16, 0)).status, errTARGET);
    EXPECT_EQ(f1.board().read(0x0803F800, 2048), bytes(2048, 0xFF));

    // The option bytes are a memory of alt 1 only.
    ASSERT_EQ(f1.clrStatus().completion, Completion::Done);
    EXPECT_EQ(f1.setAddress(0x1FFFF800).status, errTARGET);
    ASSERT_EQ(f1.clrStatus().completion, Completion::Done);
    f1.alt = 1;
    EXPECT_EQ(f1.setAddress(0x1FFFF800).status, OK);
}

TEST(FlashRules, MassEraseErasesTheFlashButNotTheOptionBytes) {
    Driver f4(Profile::F4);
    f4.board().fillFlashPattern(3);
    f4.board().write(0x1FFFC000, {0xAA});
    EXPECT_EQ(f4.run(0, {0x41}).status, OK);
    EXPECT_EQ(f4.board().flash(), bytes(f4.board().flashSize(), 0xFF));
    EXPECT_EQ(f4.board().read(0x1FFFC000, 1), bytes(1, 0xAA));
    EXPECT_EQ(f4.board().count(Request::MassErase), 1u);
}

TEST(StateMachine, RequestsTheStateDoesNotAllowStallIntoErrStalledPkt) {
    Driver f1(Profile::F1);
    // DFU_CLRSTATUS outside dfuERROR.
    EXPECT_EQ(f1.clrStatus().completion, Completion::Stall);
    Driver::Status status = f1.getStatus();
    EXPECT_EQ(status.state, dfuERROR);
    EXPECT_EQ(status.status, errSTALLEDPKT);
    EXPECT_EQ(f1.clrStatus().completion, Completion::Done);
    EXPECT_EQ(f1.getStatus().state, dfuIDLE);

    // Leave from dfuUPLOAD-IDLE, upload from dfuDNLOAD-IDLE, DETACH in DFU mode.
    ASSERT_EQ(f1.upload(2, 2048).actualLength, 2048u);
    EXPECT_EQ(f1.dnload(2, {}).completion, Completion::Stall);
    f1.clrStatus();
    ASSERT_EQ(f1.setAddress(0x08000000).status, OK);
    EXPECT_EQ(f1.upload(2, 2048).completion, Completion::Stall);
    f1.clrStatus();
    EXPECT_EQ(f1.request(0x21, 0, 1000, {}).completion, Completion::Stall);
    f1.clrStatus();

    // Anything but a status poll while busy.
    ASSERT_EQ(f1.dnload(0, Driver::command(0x41, 0x08000000)).completion, Completion::Done);
    EXPECT_EQ(f1.getStatus().state, dfuDNBUSY);
    EXPECT_EQ(f1.abort().completion, Completion::Stall);
    EXPECT_EQ(f1.getStatus().status, errSTALLEDPKT);

    // Unknown DfuSe commands and a 1-byte set-address.
    f1.clrStatus();
    EXPECT_EQ(f1.dnload(0, {0x55, 0, 0, 0, 0}).completion, Completion::Stall);
    f1.clrStatus();
    EXPECT_EQ(f1.dnload(0, {0x21}).completion, Completion::Stall);
    EXPECT_EQ(f1.board().count(Request::OtherCommand), 2u);
}

TEST(StateMachine, UploadsAnswerWithinTheMemoryAndAShortBlockEndsTheUpload) {
    Driver f1(Profile::F1);
    ASSERT_EQ(f1.setAddress(0x0803FC00).status, OK);
    ASSERT_EQ(f1.abort().completion, Completion::Done);
    ControlResult last = f1.upload(2, 2048);
    EXPECT_EQ(last.completion, Completion::Done);
    EXPECT_EQ(last.actualLength, 1024u);
    EXPECT_EQ(f1.getStatus().state, dfuIDLE);
    EXPECT_EQ(f1.upload(3, 2048).completion, Completion::Stall); // starts past the end
    EXPECT_EQ(f1.getStatus().status, errTARGET);

    f1.clrStatus();
    ControlResult commands = f1.upload(0, 64);
    EXPECT_EQ(commands.data, (std::vector<uint8_t>{0x00, 0x21, 0x41, 0x92}));
    EXPECT_EQ(f1.upload(2, 4096).completion, Completion::Stall); // above wTransferSize
}

TEST(StateMachine, LeaveRecordsTheAddressPointerAndDropsOffTheBus) {
    Driver f1(Profile::F1);
    ASSERT_EQ(f1.setAddress(0x08002000).status, OK);
    ASSERT_EQ(f1.dnload(2, {}).completion, Completion::Done);
    ControlResult reply = f1.request(0xA1, 3, 0, {}, 6);
    ASSERT_EQ(reply.data.size(), 6u);
    EXPECT_EQ(reply.data[4], dfuMANIFEST);
    EXPECT_TRUE(reply.leaveBus);
    EXPECT_TRUE(f1.board().hasLeft());
    EXPECT_EQ(f1.board().leaveAddress(), 0x08002000u);
    EXPECT_EQ(f1.request(0xA1, 3, 0, {}, 6).completion, Completion::NoDevice);
}

TEST(Timing, BusyLastsTheTrueEraseTimeAndStatusReportsTheTimeLeft) {
    // The L4 ROM announces less than its 2 KB page erase (22 ms) takes.
    Driver l4(Profile::L4, 1.0);
    ASSERT_EQ(l4.dnload(0, Driver::command(0x41, 0x08000000)).completion, Completion::Done);
    Driver::Status first = l4.getStatus();
    EXPECT_EQ(first.state, dfuDNBUSY);
    EXPECT_EQ(first.pollMs, 10u);
    l4.advanceMs(10);
    Driver::Status again = l4.getStatus();
    EXPECT_EQ(again.state, dfuDNBUSY);
    EXPECT_EQ(again.pollMs, 12u);
    l4.advanceMs(12);
    EXPECT_EQ(l4.getStatus().state, dfuDNLOAD_IDLE);
    Counters counters = l4.board().counters();
    EXPECT_EQ(counters.busyMicroseconds, 22000u);
    EXPECT_EQ(counters.pollTimeoutMilliseconds, 10u + 12u);
    EXPECT_EQ(counters.heldRequests, 0u);
}

// The H7 ROM announces 1000 ms for a 128 KB sector, takes 0.9 s, and holds a
// status request sent meanwhile until the erase is over.
TEST(Timing, TheH7HoldsAStatusRequestThroughItsSectorErase) {
    Driver h7(Profile::H7, 1.0);
    ASSERT_EQ(h7.dnload(0, Driver::command(0x41, 0x08020000)).completion, Completion::Done);
    Driver::Status first = h7.getStatus();
    EXPECT_EQ(first.state, dfuDNBUSY);
    EXPECT_EQ(first.pollMs, 1000u);
    h7.advanceMs(1);
    ControlResult held = h7.request(0xA1, 3, 0, {}, 6);
    ASSERT_EQ(held.data.size(), 6u);
    EXPECT_EQ(held.data[4], dfuDNLOAD_IDLE);
    EXPECT_EQ(held.releaseAtUs, 1000000u + 900000u); // the test clock started at 1 s
    EXPECT_EQ(h7.board().counters().busyMicroseconds, 900000u);
    EXPECT_EQ(h7.board().counters().heldRequests, 1u);
}

TEST(Timing, HoldingRomsAnswerTheSecondStatusWhenTheEraseIsOver) {
    Driver f4(Profile::F4, 1.0);
    ASSERT_EQ(f4.dnload(0, Driver::command(0x41, 0x08020000)).completion, Completion::Done);
    EXPECT_EQ(f4.getStatus().pollMs, 100u); // announced; a 128 KB sector takes 2.6 s
    f4.advanceMs(100);
    ControlResult held = f4.request(0xA1, 3, 0, {}, 6);
    ASSERT_EQ(held.data.size(), 6u);
    EXPECT_EQ(held.data[4], dfuDNLOAD_IDLE);
    EXPECT_EQ(held.releaseAtUs, 1000000u + 2600000u); // the test clock started at 1 s
    // Discarded by the host before that time: the next request waits too.
    f4.advanceMs(1000);
    ControlResult next = f4.request(0xA1, 5, 0, {}, 1);
    EXPECT_EQ(next.releaseAtUs, 1000000u + 2600000u);
    f4.advanceMs(1500);
    EXPECT_EQ(f4.request(0xA1, 5, 0, {}, 1).releaseAtUs, 0u);
    EXPECT_EQ(f4.board().counters().heldRequests, 2u);
    EXPECT_EQ(f4.board().counters().heldMicroseconds, 2500000u + 1500000u);

    // A request other than a status poll is served after the operation, not stalled.
    ASSERT_EQ(f4.dnload(0, Driver::command(0x41, 0x08000000)).completion, Completion::Done);
    f4.getStatus();
    ControlResult abort = f4.abort();
    EXPECT_EQ(abort.completion, Completion::Done);
    EXPECT_GT(abort.releaseAtUs, 0u);
    EXPECT_EQ(f4.getStatus().state, dfuIDLE);
}

TEST(Timing, TimeScaleShrinksPollTimeoutsAndBusyTimes) {
    Driver f1(Profile::F1, 0.1);
    ASSERT_EQ(f1.setAddress(0x08000000).status, OK);
    ASSERT_EQ(f1.dnload(2, bytes(2048, 0x00)).completion, Completion::Done);
    Driver::Status first = f1.getStatus();
    EXPECT_EQ(first.pollMs, 2u); // 20 ms scaled
    // 2048 bytes at 26 us each = 53.2 ms, scaled to 5.3 ms.
    f1.advanceMs(5);
    EXPECT_EQ(f1.getStatus().state, dfuDNBUSY);
    f1.advanceMs(1);
    EXPECT_EQ(f1.getStatus().state, dfuDNLOAD_IDLE);
    EXPECT_EQ(f1.board().counters().busyMicroseconds, 100u + 53248u);

    Driver instant(Profile::F4, 0.0);
    ASSERT_EQ(instant.dnload(0, Driver::command(0x41, 0x08020000)).completion, Completion::Done);
    EXPECT_EQ(instant.getStatus().pollMs, 0u);
    EXPECT_EQ(instant.getStatus().state, dfuDNLOAD_IDLE);
}

TEST(Faults, ErrorStatusIsTheVerdictAfterBusyAndTheCommandDoesNothing) {
    Driver f1(Profile::F1);
    f1.board().fillFlash(0x00);
    f1.board().injectFault({FaultType::ErrorStatus, Request::ErasePage, 1, errERASE});
    EXPECT_EQ(f1.erase(0x08000000).status, OK); // skipped
    Driver::Status failed = f1.erase(0x08000800);
    EXPECT_EQ(failed.state, dfuERROR);
    EXPECT_EQ(failed.status, errERASE);
    EXPECT_EQ(f1.board().read(0x08000800, 1), bytes(1, 0x00));
    f1.clrStatus();
    EXPECT_EQ(f1.erase(0x08000800).status, OK); // fired once only

    // On an upload, the status request after it reports the error.
    f1.board().injectFault({FaultType::ErrorStatus, Request::Upload, 0, errUNKNOWN});
    ASSERT_EQ(f1.setAddress(0x08000000).status, OK);
    f1.abort();
    EXPECT_EQ(f1.upload(2, 2048).actualLength, 2048u);
    Driver::Status after = f1.getStatus();
    EXPECT_EQ(after.state, dfuERROR);
    EXPECT_EQ(after.status, errUNKNOWN);
}

TEST(Faults, FaultsFireInOrderAndStayBusyNeverEnds) {
    Driver f1(Profile::F1);
    f1.board().injectFault({FaultType::StayBusy, Request::DataBlock, 0, 0});
    f1.board().injectFault({FaultType::Stall, Request::SetAddress, 0, 0});
    // The stall waits for the busy fault before it: this set address passes.
    ASSERT_EQ(f1.setAddress(0x08000000).status, OK);
    ASSERT_EQ(f1.dnload(2, {1, 2}).completion, Completion::Done);
    for (int i = 0; i < 50; ++i) {
        f1.advanceMs(1000);
        ASSERT_EQ(f1.getStatus().state, dfuDNBUSY);
    }
    f1.board().clearFaults();
    EXPECT_EQ(f1.getStatus().state, dfuDNLOAD_IDLE);
    EXPECT_EQ(f1.setAddress(0x08000000).status, OK); // the stall was cleared too
}

TEST(Faults, ShortReplyAndTimeoutAndUnplugShapeTheCompletion) {
    Driver f1(Profile::F1);
    f1.board().injectFault({FaultType::ShortReply, Request::GetStatus, 0, 0});
    f1.board().injectFault({FaultType::Timeout, Request::Upload, 0, 0});
    f1.board().injectFault({FaultType::Unplug, Request::Abort, 0, 0});
    EXPECT_EQ(f1.request(0xA1, 3, 0, {}, 6).actualLength, 3u);
    EXPECT_EQ(f1.upload(2, 2048).completion, Completion::Hang);
    EXPECT_EQ(f1.board().count(Request::Upload), 1u);
    ControlResult gone = f1.abort();
    EXPECT_EQ(gone.completion, Completion::NoDevice);
    EXPECT_TRUE(gone.leaveBus);
    EXPECT_FALSE(f1.board().plugged());
    EXPECT_FALSE(f1.board().hasLeft());
}

TEST(Descriptors, EveryProfileHasConsistentLengthsAndItsTransferSize) {
    for (Profile profile : allProfiles()) {
        BoardOptions options;
        options.profile = profile;
        BoardDevice board(options, "X");
        std::vector<uint8_t> all = board.sysfsDescriptors();
        ASSERT_GE(all.size(), 18u + 9u);
        size_t total = size_t(all[18 + 2] | all[18 + 3] << 8);
        EXPECT_EQ(total, all.size() - 18) << describe(profile).shortName;
        // Walk the configuration: alt settings, then at most one functional descriptor.
        int alternates = 0, functionals = 0;
        uint16_t transferSize = 0;
        for (size_t at = 18 + 9; at < all.size(); at += all[at]) {
            ASSERT_GT(all[at], 0);
            if (all[at + 1] == 4) ++alternates;
            if (all[at + 1] == 0x21) {
                ++functionals;
                transferSize = uint16_t(all[at + 5] | all[at + 6] << 8);
            }
        }
        EXPECT_EQ(alternates, board.alternateCount());
        EXPECT_EQ(functionals, profile == Profile::NoFunctionalDescriptor ? 0 : 1);
        if (functionals) {
            EXPECT_EQ(transferSize, board.transferSize());
        }
    }
    EXPECT_EQ(describe(Profile::OversizeTransferSize).transferSize, 8192);
    EXPECT_EQ(describe(Profile::ZeroTransferSize).transferSize, 0);
    EXPECT_EQ(describe(Profile::H7).transferSize, 1024);
}
