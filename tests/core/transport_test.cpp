// Enumeration, DFU transport and layout discovery against virtual boards.
#include <chrono>
#include <cstring>

#include "board_fixture.h"
#include "flash_ops.h"
#include "layout.h"
#include "session.h"

namespace {

using coretest::BoardTest;
using coretest::OpenTarget;
using vboard::FaultType;
using vboard::Profile;
using vboard::Request;

using EnumerationTest = BoardTest;

TEST_F(EnumerationTest, NoTargetLeavesEveryEntryEmpty) {
    bus->addForeignDevice();
    EXPECT_EQ(stm32GetDeviceCount(), 0);
    int32_t indices[4] = {7, 7, 7, 7};
    stm32GetDeviceIndices(ctx, indices, 4);
    for (int32_t index : indices) EXPECT_EQ(index, -1);
}

TEST_F(EnumerationTest, IndicesAreListPositionsBoundedByCapacity) {
    bus->addForeignDevice();
    auto& a = addBoard(Profile::F1);
    auto& b = addBoard(Profile::F4);
    addBoard(Profile::H7);
    EXPECT_EQ(stm32GetDeviceCount(), 3);
    int32_t indices[2] = {};
    stm32GetDeviceIndices(nullptr, indices, 2); // the context is not needed
    EXPECT_EQ(indices[0], a.listPosition());
    EXPECT_EQ(indices[1], b.listPosition());
    EXPECT_NE(indices[0], 0) << "the foreign device holds a list position too";
}

TEST_F(EnumerationTest, UnpluggedTargetLeavesItsEntryEmpty) {
    auto& a = addBoard(Profile::F1);
    auto& b = addBoard(Profile::F1);
    int32_t count = stm32GetDeviceCount();
    ASSERT_EQ(count, 2);
    bus->unplug(b);
    int32_t indices[2] = {};
    stm32GetDeviceIndices(ctx, indices, count);
    EXPECT_EQ(indices[0], a.listPosition());
    EXPECT_EQ(indices[1], -1);
}

// Port paths name boards that share a serial number: the ones the bus was
// given, hub chains included, and also for a board that cannot be opened.
TEST_F(EnumerationTest, PortPathsAsTheBusPlacesTheBoards) {
    vboard::BoardOptions options;
    options.profile = Profile::F0;
    auto& first = bus->addBoard(options);
    options.portPath = "1-4.3";
    auto& onHub = bus->addBoard(options);
    options.portPath = "2-7";
    options.usbAccess = vboard::UsbAccess::OpenDenied;
    auto& denied = bus->addBoard(options);

    char path[32] = "x";
    ASSERT_GT(stm32GetPortPath(ctx, first.listPosition(), path, sizeof path), 0);
    EXPECT_STREQ(path, "1-1");
    ASSERT_GT(stm32GetPortPath(ctx, onHub.listPosition(), path, sizeof path), 0);
    EXPECT_STREQ(path, "1-4.3");
    EXPECT_EQ(onHub.portPath(), "1-4.3");

    Stm32DeviceDetails details{};
    ASSERT_NE(stm32GetDeviceDetails(ctx, denied.listPosition(), &details), 0);
    EXPECT_NE(details.openResult, 0);
    EXPECT_STREQ(details.portPath, "2-7") << "the path needs no open";
    EXPECT_STREQ(details.serial, "");

    ASSERT_NE(stm32GetDeviceDetails(ctx, onHub.listPosition(), &details), 0);
    EXPECT_STREQ(details.portPath, "1-4.3");
    EXPECT_EQ(details.openResult, 0);

    // A short buffer gets a cut, terminated path; nothing there gets none.
    char tiny[4] = "xyz";
    EXPECT_EQ(stm32GetPortPath(ctx, onHub.listPosition(), tiny, sizeof tiny), 3);
    EXPECT_STREQ(tiny, "1-4");
    EXPECT_EQ(stm32GetPortPath(ctx, 40, path, sizeof path), 0);
    EXPECT_STREQ(path, "");
    EXPECT_EQ(stm32GetPortPath(ctx, -1, path, sizeof path), 0);
}

TEST_F(EnumerationTest, PortPathsThatCannotBeAreRefused) {
    vboard::BoardOptions options;
    options.portPath = "1-2";
    bus->addBoard(options);
    for (const char* taken : {"1-2", "1-2.1", "0-1", "1-", "1-2..3", "1-128", "x-1", "1-1.1.1.1.1.1.1.1"}) {
        options.portPath = taken;
        EXPECT_THROW(bus->addBoard(options), std::invalid_argument) << taken;
    }
    EXPECT_EQ(vboard::portPathProblem("1-1.1.1.1.1.1.1"), "");
    EXPECT_NE(vboard::portPathProblem("100-1"), "");
}

using FlashInfoTest = BoardTest;

TEST_F(FlashInfoTest, SingleAndMultiSegmentLayouts) {
    auto& f1 = addBoard(Profile::F1);
    auto& f4 = addBoard(Profile::F4);
    auto& h7 = addBoard(Profile::H7);
    FlashInfo info{};
    EXPECT_NE(stm32GetFlashInfo(ctx, f1.listPosition(), &info), 0);
    EXPECT_EQ(info.startAddress, 0x08000000u);
    EXPECT_EQ(info.flashSize, 262144);
    EXPECT_EQ(info.pageCount, 128);
    EXPECT_EQ(info.pageSize, 2);
    EXPECT_EQ(info.unit, 'K');

    info = {};
    EXPECT_NE(stm32GetFlashInfo(ctx, f4.listPosition(), &info), 0);
    EXPECT_EQ(info.flashSize, 1048576) << "all segments count";
    EXPECT_EQ(info.pageCount, 4);
    EXPECT_EQ(info.pageSize, 16);
    EXPECT_EQ(static_cast<uint32_t>(info.flashSize), f4.flashSize());

    info = {};
    EXPECT_NE(stm32GetFlashInfo(ctx, h7.listPosition(), &info), 0);
    EXPECT_EQ(info.flashSize, 2097152);
}

TEST_F(FlashInfoTest, NonTargetPositionsAndMinusOneFindNothing) {
    bus->addForeignDevice();
    addBoard(Profile::F1);
    FlashInfo info{};
    EXPECT_EQ(stm32GetFlashInfo(ctx, 0, &info), 0);
    EXPECT_EQ(stm32GetFlashInfo(ctx, -1, &info), 0);
    EXPECT_EQ(stm32GetFlashInfo(ctx, 99, &info), 0);
    EXPECT_EQ(info.flashSize, 0);
}

TEST_F(FlashInfoTest, NameWithoutLayoutIsFoundButLeavesTheRecord) {
    auto& slashless = addBoard(Profile::LayoutWithoutSlash);
    auto& none = addBoard(Profile::NoInternalFlash);
    FlashInfo info{};
    info.flashSize = 42;
    EXPECT_NE(stm32GetFlashInfo(ctx, slashless.listPosition(), &info), 0);
    EXPECT_EQ(info.flashSize, 42);
    EXPECT_EQ(stm32GetFlashInfo(ctx, none.listPosition(), &info), 0);
}

TEST_F(FlashInfoTest, InfoForNameCopiesTheName) {
    auto& f4 = addBoard(Profile::F4);
    OpenTarget t(f4);
    ASSERT_TRUE(t.ok());
    char name[stm32::kLayoutNameSize] = {};
    int n = dfuGetInfoForName("@Option Bytes", t.device(), t.descriptor(), name);
    EXPECT_EQ(n, static_cast<int>(std::strlen(name)));
    EXPECT_EQ(std::string(name).rfind("@Option Bytes", 0), 0u) << name;
    EXPECT_EQ(dfuGetInfoForName("@Nothing like it", t.device(), t.descriptor(), name), 0);
}

using TransportTest = BoardTest;

TEST_F(TransportTest, FunctionalDescriptorGivesTheBlockSize) {
    auto& f1 = addBoard(Profile::F1);
    auto& h7 = addBoard(Profile::H7);
    auto& none = addBoard(Profile::NoFunctionalDescriptor);
    for (auto* board : {&f1, &h7, &none}) {
        OpenTarget t(*board);
        ASSERT_TRUE(t.ok());
        DfuFunctionalInfo info{};
        dfuGetFunctionalDescriptor(t.device(), t.descriptor(), &info);
        if (board == &none) {
            EXPECT_EQ(info.bDescriptorType, 0);
        } else {
            EXPECT_EQ(info.bDescriptorType, 0x21);
            EXPECT_EQ(info.wTransferSize, board->transferSize());
        }
    }
}

TEST_F(TransportTest, StatusTimeoutReadsAsUnknownErrorKeepingThePollTimeout) {
    auto& board = addBoard(Profile::F1);
    OpenTarget t(board);
    ASSERT_TRUE(t.ok());
    board.injectFault({FaultType::Timeout, Request::GetStatus});
    DfuStatus status{};
    status.bwPollTimeout = 1234;
    dfuGetStatus(t.handle(), &status);
    EXPECT_EQ(status.bStatus, 14u);
    EXPECT_EQ(status.bState, 10u);
    EXPECT_EQ(status.bwPollTimeout, 1234u);
}

TEST_F(TransportTest, WaitOnAnIdleBoardTakesOneStatusRequest) {
    auto& board = addBoard(Profile::F1);
    OpenTarget t(board);
    ASSERT_TRUE(t.ok());
    board.resetCounters();
    DfuStatus status{};
    EXPECT_EQ(waitWhileDeviceIsBusy(t.handle(), &status), 0);
    EXPECT_EQ(board.count(Request::GetStatus), 1u);
}

TEST_F(TransportTest, ErrorVerdictAfterACommandIsAFailure) {
    auto& board = addBoard(Profile::F1);
    OpenTarget t(board);
    ASSERT_TRUE(t.ok());
    // An address outside flash is refused with errTARGET in the wait's first reply.
    EXPECT_EQ(dfuSetAddress(t.handle(), 0x20000000), -1);
    EXPECT_EQ(board.status(), vboard::errTARGET);
    EXPECT_EQ(dfuSetAddress(t.handle(), 0x08000000), 0) << "the next sequence recovers";
    board.injectFault({FaultType::ErrorStatus, Request::ErasePage, 0, vboard::errERASE});
    EXPECT_EQ(erasePages(t.handle(), 1, 0x08000000, 2048), -1);
    board.injectFault({FaultType::ErrorStatus, Request::DataBlock, 0, vboard::errVERIFY});
    std::vector<uint8_t> block(2048, 0x00);
    EXPECT_EQ(writeBlocks(t.handle(), 1, 0x08000000, 2048, block.data()), -1);
}

TEST_F(TransportTest, StuckBusyBoardIsGivenUpAfterTheBound) {
    auto& board = addBoard(Profile::F1);
    OpenTarget t(board);
    ASSERT_TRUE(t.ok());
    board.injectFault({FaultType::StayBusy, Request::SetAddress});
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(dfuSetAddress(t.handle(), 0x08000000), -1);
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(took, std::chrono::milliseconds(350));
    EXPECT_LT(took, std::chrono::seconds(5));
}

TEST_F(TransportTest, PollsWaitTheAnnouncedTimeBeforeAskingAgain) {
    vboard::BoardOptions options;
    options.timeScale = 1.0; // the F1 ROM announces 40 ms for a page erase
    auto& board = bus->addBoard(options);
    OpenTarget t(board);
    ASSERT_TRUE(t.ok());
    board.resetCounters();
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(erasePages(t.handle(), 1, 0x08000000, 2048), 0);
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(took, std::chrono::milliseconds(40)) << "the first reply's bwPollTimeout is waited";
    // A host that polls at once sends dozens of requests during a 40 ms erase.
    EXPECT_LE(board.count(Request::GetStatus), 4u);
}

TEST_F(TransportTest, AHeldStatusRequestThatTimesOutReadsAsStillBusy) {
    auto& board = addBoard(Profile::F1);
    OpenTarget t(board);
    ASSERT_TRUE(t.ok());
    stm32::setControlTimeout(100);
    stm32::setHeldStatusTimeout(std::chrono::milliseconds(300));
    stm32::setBusyWaitLimit(std::chrono::milliseconds(3000));
    // The status that gives the erase's verdict never answers; the next one does.
    board.injectFault({FaultType::Timeout, Request::GetStatus, 2});
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(erasePages(t.handle(), 1, 0x08000000, 2048), 0);
    auto took = std::chrono::steady_clock::now() - started;
    stm32::setHeldStatusTimeout(std::chrono::milliseconds(40000));
    EXPECT_GE(took, std::chrono::milliseconds(280)) << "held requests get the long timeout, not the control one";
    EXPECT_LT(took, std::chrono::milliseconds(2500));
}

TEST_F(TransportTest, StuckBusyEraseIsClearedTwiceThenGivenUp) {
    auto& board = addBoard(Profile::F1);
    OpenTarget t(board);
    ASSERT_TRUE(t.ok());
    stm32::setStuckBusyThreshold(std::chrono::milliseconds(100));
    stm32::setBusyWaitLimit(std::chrono::milliseconds(5000));
    board.injectFault({FaultType::StayBusy, Request::ErasePage});
    board.resetCounters();
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(stm32::eraseAddresses(t.session(), {0x08000000}, nullptr), -1);
    auto took = std::chrono::steady_clock::now() - started;
    stm32::setStuckBusyThreshold(std::chrono::milliseconds(15000));
    EXPECT_EQ(board.count(Request::ClrStatus), 2u);
    EXPECT_LT(took, std::chrono::milliseconds(2000)) << "recovery starts at the threshold, not the bound";
    EXPECT_EQ(t.session().failure().request, std::string("ERASE"));
}

TEST_F(TransportTest, ReadingLeavesUploadAndDownloadStatesWithAbortOnly) {
    auto& board = addBoard(Profile::F1);
    board.fillFlashPattern(5);
    OpenTarget t(board);
    ASSERT_TRUE(t.ok());
    std::vector<uint8_t> buffer(3 * 2048);
    for (int round = 0; round < 2; ++round) { // the second starts in dfuUPLOAD-IDLE
        board.resetCounters();
        EXPECT_EQ(readBlocks(t.handle(), 3, 0x08000000, 2048, buffer.data()), 0);
        EXPECT_EQ(board.count(Request::ClrStatus), 0u);
        EXPECT_EQ(board.count(Request::Abort), round == 0 ? 1u : 2u);
        EXPECT_EQ(classRequests(board), round == 0 ? 13u : 15u);
    }
    EXPECT_EQ(buffer, board.read(0x08000000, 3 * 2048));
}

TEST_F(TransportTest, EnsureIdleClearsAnErrorWithOneClearStatus) {
    auto& board = addBoard(Profile::F1);
    OpenTarget t(board);
    ASSERT_TRUE(t.ok());
    board.injectFault({FaultType::Stall, Request::Upload});
    unsigned char buffer[16];
    EXPECT_LT(stm32::dfuControlIn(t.session(), stm32::kDfuUpload, 2, buffer, sizeof buffer), 0);
    EXPECT_EQ(board.state(), vboard::dfuERROR);
    board.resetCounters();
    EXPECT_EQ(dfuEnsureIdle(t.handle()), 0);
    EXPECT_EQ(board.count(Request::ClrStatus), 1u);
    EXPECT_EQ(board.state(), vboard::dfuIDLE);
    board.resetCounters();
    EXPECT_EQ(dfuEnsureIdle(t.handle()), 0);
    EXPECT_EQ(board.count(Request::ClrStatus), 0u);
}

TEST_F(TransportTest, ReadRunSetsTheAddressOnceAndNumbersBlocksFromTwo) {
    auto& board = addBoard(Profile::F1);
    board.fillFlashPattern(7);
    OpenTarget t(board);
    ASSERT_TRUE(t.ok());
    board.resetCounters();
    std::vector<uint8_t> buffer(3 * 2048);
    EXPECT_EQ(readBlocks(t.handle(), 3, 0x08000000, 2048, buffer.data()), 0);
    EXPECT_EQ(buffer, board.read(0x08000000, 3 * 2048));
    EXPECT_EQ(board.count(Request::SetAddress), 1u);
    EXPECT_EQ(board.count(Request::Upload), 3u);

    board.resetCounters();
    EXPECT_EQ(readBlocks(t.handle(), 0, 0x08000000, 2048, buffer.data()), 0);
    EXPECT_EQ(board.count(Request::SetAddress), 1u);
    EXPECT_EQ(board.count(Request::Upload), 0u);
}

TEST_F(TransportTest, ShortUploadReturnsItsLengthAndKeepsTheFirstBlock) {
    auto& board = addBoard(Profile::F1);
    board.fillFlashPattern(9);
    OpenTarget t(board);
    ASSERT_TRUE(t.ok());
    board.injectFault({FaultType::ShortReply, Request::Upload, 1});
    std::vector<uint8_t> buffer(3 * 2048, 0xAA);
    EXPECT_EQ(readBlocks(t.handle(), 3, 0x08000000, 2048, buffer.data()), 1024);
    auto first = board.read(0x08000000, 2048);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), buffer.begin()));
    EXPECT_EQ(buffer[2 * 2048], 0xAA) << "blocks after the short one stay unchanged";
}

TEST_F(TransportTest, ErasePagesStepsByAddressWithADotEveryFifth) {
    auto& board = addBoard(Profile::F1);
    OpenTarget t(board);
    ASSERT_TRUE(t.ok());
    board.resetCounters();
    EXPECT_EQ(erasePages(ctx, t.handle(), 12, 0x08000000, 2048), 0);
    auto erased = board.counters().erasesByAddress;
    ASSERT_EQ(erased.size(), 12u);
    EXPECT_EQ(erased.begin()->first, 0x08000000u);
    EXPECT_EQ(erased.rbegin()->first, 0x08005800u);
    size_t dots = 0;
    for (const auto& e : log) dots += (e.text == "." && e.continuation == 1);
    EXPECT_EQ(dots, 3u);
}

TEST_F(TransportTest, WriteSkipsErasedBlocksButKeepsTheNumbering) {
    auto& board = addBoard(Profile::F1);
    OpenTarget t(board);
    ASSERT_TRUE(t.ok());
    std::vector<uint8_t> data(3 * 2048, 0xFF);
    data[10] = 0x01;             // block 0: sent trimmed to 16 bytes
    data[2 * 2048 + 5] = 0x02;   // block 2: must land at +4096
    board.resetCounters();
    EXPECT_EQ(writeBlocks(t.handle(), 3, 0x08000000, 2048, data.data()), 0);
    EXPECT_EQ(board.count(Request::DataBlock), 2u);
    EXPECT_EQ(board.counters().bytesDownloaded, 16u + 8u);
    EXPECT_EQ(board.read(0x08000000, 3 * 2048), data);

    board.resetCounters();
    EXPECT_EQ(dfuWriteMemory(t.handle(), 2, data.data() + 2048, 2048), 0);
    EXPECT_EQ(classRequests(board), 0u) << "an all-0xFF block sends nothing";
}

TEST_F(TransportTest, MassEraseErasesEverything) {
    auto& board = addBoard(Profile::F1, 0x00);
    OpenTarget t(board);
    ASSERT_TRUE(t.ok());
    EXPECT_EQ(dfuMassErase(t.handle()), 0);
    EXPECT_EQ(board.flash(), std::vector<uint8_t>(board.flashSize(), 0xFF));
}

} // namespace

namespace {

using coretest::BoardTest;
using coretest::OpenTarget;

using LeaveTest = BoardTest;

TEST_F(LeaveTest, SetAddressThenLeaveStartsTheProgram) {
    auto& board = addBoard(vboard::Profile::F1);
    {
        OpenTarget t(board);
        ASSERT_TRUE(t.ok());
        ASSERT_EQ(dfuSetAddress(t.handle(), 0x08000135), 0);
        dfuLeave(t.handle());
    }
    EXPECT_TRUE(board.hasLeft());
    EXPECT_EQ(board.leaveAddress(), 0x08000135u);
}

} // namespace
