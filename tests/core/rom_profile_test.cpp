// The core against the virtual boards that behave like the real ROMs: each
// profile's quirks are properties of the board, and the core must work with
// all of them.
#include <chrono>

#include "board_fixture.h"
#include "dfu.h"
#include "flash_ops.h"
#include "session.h"

namespace {

using coretest::BoardTest;
using coretest::patternBytes;
using coretest::withVector;
using vboard::Profile;
using vboard::Request;
using Lines = std::vector<std::string>;

constexpr uint32_t kFlash = 0x08000000;

class RomProfile : public BoardTest {
protected:
    vboard::Board& addRom(Profile profile, double timeScale = 0.0, bool readProtected = false) {
        vboard::BoardOptions options;
        options.profile = profile;
        options.timeScale = timeScale;
        options.readProtected = readProtected;
        return bus->addBoard(options);
    }
    void fresh() {
        bus = std::make_unique<vboard::Bus>();
        log.clear();
    }
};

struct ProfileCase {
    Profile profile;
    const char* name;
};

const ProfileCase kRoms[] = {
    {Profile::F0, "F0"},   {Profile::F1, "F1"},     {Profile::F4, "F4"},     {Profile::F411, "F411"},
    {Profile::F7, "F7"},   {Profile::G4, "G4"},     {Profile::H7, "H7"},     {Profile::H7RevV, "H7RevV"},
    {Profile::H750, "H750"}, {Profile::L0, "L0"},   {Profile::L4, "L4"},     {Profile::L452, "L452"},
    {Profile::U5, "U5"},   {Profile::C5, "C5"},
};

// An image at an offset behind erased flash starts through its own vector
// table; reading it back gives the same bytes; nothing needs DFU_CLRSTATUS.
TEST_F(RomProfile, EveryRomUploadsStartsAndReadsBack) {
    for (const ProfileCase& rom : kRoms) {
        SCOPED_TRACE(rom.name);
        fresh();
        auto& board = addRom(rom.profile);
        const uint32_t offset = 0x4000;
        auto bytes = withVector(patternBytes(6000, 90), kFlash + offset + 0x1C1);
        lend(board, bytes);
        ASSERT_EQ(command(board, STM32_CMD_UPLOAD, offset), STM32_RESULT_OK) << ::testing::PrintToString(transcript());
        EXPECT_EQ(board.read(kFlash + offset, static_cast<uint32_t>(bytes.size())), bytes);
        EXPECT_EQ(board.count(Request::ClrStatus), 0u);
        ASSERT_TRUE(board.hasLeft());
        EXPECT_EQ(board.leaveAddress(), kFlash + offset);
        EXPECT_FALSE(board.startFaulted());
        EXPECT_EQ(board.startedStackPointer(), coretest::kStackTop);
        EXPECT_EQ(board.startedResetHandler(), kFlash + offset + 0x1C1);

        bus->replug(board);
        log.clear();
        lend(board, {});
        ASSERT_EQ(command(board, STM32_CMD_DOWNLOAD, offset, static_cast<int32_t>(bytes.size())), STM32_RESULT_OK);
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), flashBuffer.begin()));
    }
}

// F0 and L4 ROMs stall a status request sent before the announced time; at
// the real time scale the core never sends one.
TEST_F(RomProfile, EarlyPollStallingRomsAreNeverPolledEarly) {
    for (Profile profile : {Profile::F0, Profile::L4}) {
        SCOPED_TRACE(profile == Profile::F0 ? "F0" : "L4");
        fresh();
        auto& board = addRom(profile, 1.0);
        board.fillFlashPattern(91);
        board.write(kFlash, coretest::vectorTable(0x08000101));
        auto bytes = patternBytes(3 * 2048, 92);
        lend(board, bytes);
        EXPECT_EQ(command(board, STM32_CMD_UPLOAD, 0x800), STM32_RESULT_OK) << ::testing::PrintToString(transcript());
        EXPECT_EQ(board.counters().earlyStatusStalls, 0u);
        EXPECT_EQ(board.leaveAddress(), kFlash) << "the resident program is started";
    }
}

// A board taken for a holding ROM that is not one: its early polls are
// stalled, each stall reads as "still busy", and from then on the core waits
// the announced time.
TEST_F(RomProfile, AStalledPollFallsBackToWaiting) {
    auto& board = addRom(Profile::F0, 1.0);
    coretest::OpenTarget t(board);
    ASSERT_TRUE(t.ok());
    stm32::Session& session = t.session();
    stm32::RomKnowledge holding;
    holding.holdsRequestsWhileBusy = true;
    session.knowRom(holding);
    EXPECT_EQ(stm32::eraseAddresses(session, {kFlash, kFlash + 2048, kFlash + 4096}, nullptr), 0);
    EXPECT_TRUE(session.statusStalled);
    EXPECT_EQ(board.counters().earlyStatusStalls, 1u) << "only the first early poll; then every poll waits";
    EXPECT_EQ(board.count(Request::ErasePage), 3u);
}

// F4-class ROMs hold the status request until the erase or write is over:
// polled without waiting, each operation costs about one held request.
TEST_F(RomProfile, HoldingRomsArePolledWithoutWaiting) {
    auto& board = addRom(Profile::F411, 1.0);
    stm32::setBusyWaitLimit(std::chrono::seconds(10)); // a 16 KB sector takes 0.5 s
    lend(board, withVector(patternBytes(16 * 1024, 93), 0x08000101));
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(command(board, STM32_CMD_UPLOAD, 0), STM32_RESULT_OK);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    vboard::Counters counts = board.counters();
    EXPECT_GT(counts.heldRequests, 0u);
    // One sector erase and eight blocks: waiting 100 ms per block as announced would take over 0.8 s more.
    EXPECT_LT(seconds, 0.5 + counts.busyMicroseconds / 1e6);
}

TEST_F(RomProfile, StuckBusyBankTwoEraseIsRecovered) {
    auto& board = addRom(Profile::H7RevV);
    board.fillFlashPattern(94);
    auto before = board.flash();
    stm32::setStuckBusyThreshold(std::chrono::milliseconds(200));
    stm32::setBusyWaitLimit(std::chrono::milliseconds(5000));
    lend(board, {});
    int32_t result = command(board, STM32_CMD_ERASE, 0x100000, 0x20000);
    stm32::setStuckBusyThreshold(std::chrono::milliseconds(15000));
    EXPECT_EQ(result, STM32_RESULT_OK);
    auto lines = transcript();
    ASSERT_EQ(lines.size(), 3u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[0], "Erasing pages..");
    EXPECT_EQ(lines[1].rfind("The board stayed busy ", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find("after erasing 0x08100000; its status was cleared and the erase counted as done."),
              std::string::npos)
        << lines[1];
    EXPECT_EQ(lines[2], "OK.");
    EXPECT_EQ(board.count(Request::ClrStatus), 2u);
    auto after = board.flash();
    for (size_t i = 0; i < after.size(); ++i) {
        bool inside = i >= 0x100000 && i < 0x120000;
        ASSERT_EQ(after[i], inside ? 0xFF : before[i]) << i;
    }
}

TEST_F(RomProfile, ReadProtectedBoardIsNamedAndKeepsItsFlash) {
    const std::string hint = "The board's flash is read-protected: it cannot be read, erased or written. "
                             "Removing the protection erases the whole flash: stm32cmd --unprotect --force";
    for (Profile profile : {Profile::F1, Profile::F4}) { // F1 takes Set Address when protected, F4 refuses it
        SCOPED_TRACE(profile == Profile::F1 ? "F1" : "F4");
        fresh();
        auto& board = addRom(profile, 0.0, true);
        board.fillFlashPattern(95);
        auto before = board.flash();
        lend(board, withVector(patternBytes(4096, 96), 0x08000101));
        EXPECT_EQ(command(board, STM32_CMD_UPLOAD, 0x800), STM32_RESULT_READ_PROTECTED);
        EXPECT_EQ(transcript(), (Lines{"Address: 0x08000800", "Reading flash.", hint, "Error while flashing STM32."}));
        log.clear();
        EXPECT_EQ(command(board, STM32_CMD_DOWNLOAD, 0, 0), STM32_RESULT_READ_PROTECTED);
        EXPECT_EQ(transcript().back(), "Error while reading STM32 flash.");
        log.clear();
        EXPECT_EQ(command(board, STM32_CMD_ERASE, 0, 0), STM32_RESULT_READ_PROTECTED);
        EXPECT_EQ(transcript(), (Lines{"Erasing pages.", hint, "Error while erasing STM32 flash."}));
        EXPECT_EQ(board.flash(), before);
        EXPECT_FALSE(board.hasLeft());
        EXPECT_EQ(board.count(Request::ReadUnprotect), 0u) << "nothing but the explicit call sends it";
    }
}

// H750 and L452 layouts announce more flash than the part has.
TEST_F(RomProfile, FlashSmallerThanTheLayoutIsNamedAtTheRefusedAddress) {
    for (Profile profile : {Profile::H750, Profile::L452}) {
        SCOPED_TRACE(profile == Profile::H750 ? "H750" : "L452");
        fresh();
        auto& board = addRom(profile);
        lend(board, {});
        EXPECT_EQ(command(board, STM32_CMD_DOWNLOAD, 0, 0), STM32_RESULT_READ_ERROR);
        auto lines = transcript();
        ASSERT_GE(lines.size(), 2u);
        char expected[128];
        std::snprintf(expected, sizeof expected,
                      "The board refused address 0x%08X: its real flash may be smaller than its layout says.",
                      kFlash + board.physicalFlashSize());
        EXPECT_EQ(lines[lines.size() - 2], expected);
        EXPECT_EQ(lines.back(), "Error while reading STM32 flash.");
    }
}

TEST_F(RomProfile, BlankPartStartingInErrorIsCleared) {
    vboard::BoardOptions options;
    options.profile = Profile::F4;
    options.blankStartsInError = true;
    auto& board = bus->addBoard(options);
    lend(board, withVector(patternBytes(3000, 97), 0x08000101));
    EXPECT_EQ(command(board, STM32_CMD_UPLOAD, 0), STM32_RESULT_OK);
    EXPECT_EQ(board.count(Request::ClrStatus), 1u) << "dfuERROR / errFIRMWARE is cleared once";
    EXPECT_TRUE(board.hasLeft());
}

TEST_F(RomProfile, OpenFailuresKeepResultSixAndGiveOneHint) {
    struct Case {
        vboard::UsbAccess access;
        const char* hint;
    };
    const Case cases[] = {
        {vboard::UsbAccess::OpenDenied,
         "Access to the board was denied: install the udev rule (sudo install -m 644 dist/linux/60-stm32-dfu.rules "
         "/etc/udev/rules.d/ && sudo udevadm control --reload-rules && sudo udevadm trigger "
         "--attr-match=idVendor=0483)."},
        {vboard::UsbAccess::ClaimBusy, "The board is busy: another program holds it."},
    };
    for (const Case& c : cases) {
        fresh();
        auto& board = addBoard(Profile::F1);
        bus->setUsbAccess(board, c.access);
        lend(board, {});
        EXPECT_EQ(command(board, STM32_CMD_DOWNLOAD, 0, 0x800), STM32_RESULT_OPEN_ERROR);
        EXPECT_EQ(transcript(),
                  (Lines{"Address: 0x08000000", "Size: 2048", c.hint, "Error while reading STM32 flash."}));
    }
}

} // namespace

namespace {

using RomHeld = coretest::BoardTest;

// An F4 mass erase takes longer than the 9 s control timeout; the ROM holds
// the status request all that time, and the erase must still succeed.
TEST_F(RomHeld, MassEraseHeldLongerThanTheControlTimeout) {
    stm32::setControlTimeout(9000);
    stm32::setBusyWaitLimit(std::chrono::seconds(120));
    vboard::BoardOptions options;
    options.profile = vboard::Profile::F4;
    options.timeScale = 0.7; // the 16 s erase takes 11.2 s
    auto& board = bus->addBoard(options);
    board.fillFlashPattern(98);
    lend(board, {});
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(command(board, STM32_CMD_ERASE, 0, 0), STM32_RESULT_OK);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_GT(seconds, 9.5);
    EXPECT_GT(board.counters().heldMicroseconds, 9500000u) << "one request was held past the control timeout";
    EXPECT_EQ(board.flash(), std::vector<uint8_t>(board.flashSize(), 0xFF));
}

} // namespace
