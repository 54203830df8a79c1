// Every ROM model against the public core interface: list, a small upload at
// an offset, an upload of half the flash, a whole-flash download, an erase of
// a range and a mass erase. Each checks the board's flash bytes, that nothing
// else changed, the program the board started and the log's closing line.
// ROMs whose behaviour depends on time run at a time scale that keeps it.
#include "board_fixture.h"
#include "profiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

using coretest::patternBytes;
using vboard::Profile;

constexpr uint32_t kResidentStack = 0x20001000;
constexpr uint32_t kImageStack = 0x20002000;

void putWord(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = uint8_t(value >> (8 * i));
}

// Holding and early-stalling ROMs need real (scaled) busy times and poll
// timeouts; the others answer at once.
double timeScaleFor(Profile profile) {
    const vboard::RomBehaviour& rom = vboard::describe(profile).rom;
    if (rom.holdsRequestsWhileBusy) return 0.05;
    if (profile == Profile::F0) return 1.0;
    if (rom.stallsEarlyStatus) return 0.2;
    return 0.0;
}

bool layoutLargerThanFlash(Profile profile) { return vboard::describe(profile).rom.realFlashSize != 0; }

std::string profileName(const ::testing::TestParamInfo<Profile>& info) {
    std::string name = vboard::describe(info.param).shortName;
    for (char& c : name)
        if (c == '-') c = '_';
    return name;
}

class Conformance : public coretest::BoardTest {
protected:
    void SetUp() override {
        coretest::BoardTest::SetUp();
        // The real bounds: a held status must outlast the 9 s control
        // timeout where it has to; 30 s bounds the old busy wait.
        stm32::setControlTimeout(9000);
        stm32::setBusyWaitLimit(std::chrono::seconds(30));
    }

    vboard::Board& board(Profile profile, double timeScale) {
        vboard::BoardOptions options;
        options.profile = profile;
        options.timeScale = timeScale;
        vboard::Board& added = bus->addBoard(options);
        added.fillFlashPattern(uint32_t(profile) + 11);
        // A program already in flash, as on a board in use.
        std::vector<uint8_t> table(8);
        putWord(table, 0, kResidentStack);
        putWord(table, 4, added.flashStart() + 0x101);
        added.write(added.flashStart(), table);
        return added;
    }

    std::string closingLine() const {
        auto lines = transcript();
        return lines.empty() ? "" : lines.back();
    }
    std::string wholeLog() const {
        std::string text;
        for (const auto& line : transcript()) text += line + "\n";
        return text;
    }

    // Only [begin, end) of the flash may differ from `before`.
    void expectUnchangedOutside(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after, size_t begin,
                                size_t end) {
        ASSERT_EQ(before.size(), after.size());
        EXPECT_TRUE(std::equal(after.begin(), after.begin() + long(begin), before.begin())) << "below the range";
        EXPECT_TRUE(std::equal(after.begin() + long(end), after.end(), before.begin() + long(end)))
            << "above the range";
    }

    void expectStarted(const vboard::Board& b, uint32_t stack, uint32_t resetHandler) {
        EXPECT_TRUE(b.hasLeft());
        EXPECT_FALSE(b.startFaulted()) << "leave address " << std::hex << b.leaveAddress();
        EXPECT_EQ(b.startedStackPointer(), stack);
        EXPECT_EQ(b.startedResetHandler(), resetHandler);
    }
};

class Matrix : public Conformance, public ::testing::WithParamInterface<Profile> {};

TEST_P(Matrix, List) {
    vboard::Board& b = board(GetParam(), 0.0);
    lend(b, {});
    EXPECT_EQ(stm32Command(ctx, 0, 0, 0, 0, STM32_CMD_LIST), STM32_RESULT_OK);
    // Layouts in bytes (unit ' ') list in bytes, the others in KB.
    bool inBytes = b.flashSegments().front().size < 1024;
    std::string size = inBytes ? std::to_string(b.flashSize()) + " B" : std::to_string(b.flashSize() / 1024) + "KB";
    std::string expected = "STM32 (ID:0) Flash: " + size + " Flash Start: 08000000";
    EXPECT_EQ(closingLine(), expected) << wholeLog();
}

TEST_P(Matrix, UploadSmallImageAtAnOffset) {
    vboard::Board& b = board(GetParam(), timeScaleFor(GetParam()));
    auto before = b.flash();
    auto bytes = patternBytes(3000, 7);
    const uint32_t offset = 0x400;
    lend(b, bytes);
    EXPECT_EQ(command(b, STM32_CMD_UPLOAD, offset), STM32_RESULT_OK) << wholeLog();
    EXPECT_EQ(closingLine(), "OK.") << wholeLog();
    auto after = b.flash();
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), after.begin() + offset)) << "image bytes";
    expectUnchangedOutside(before, after, offset, offset + bytes.size());
    // The program in flash is the one that starts.
    expectStarted(b, kResidentStack, b.flashStart() + 0x101);
}

TEST_P(Matrix, UploadHalfTheFlashAtOffsetZero) {
    vboard::Board& b = board(GetParam(), timeScaleFor(GetParam()));
    auto before = b.flash();
    auto bytes = patternBytes(b.physicalFlashSize() / 2, 8);
    putWord(bytes, 0, kImageStack);
    putWord(bytes, 4, b.flashStart() + 0x1C1);
    lend(b, bytes);
    EXPECT_EQ(command(b, STM32_CMD_UPLOAD, 0), STM32_RESULT_OK) << wholeLog();
    EXPECT_EQ(closingLine(), "OK.") << wholeLog();
    auto after = b.flash();
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), after.begin())) << "image bytes";
    expectUnchangedOutside(before, after, 0, bytes.size());
    expectStarted(b, kImageStack, b.flashStart() + 0x1C1);
}

TEST_P(Matrix, DownloadTheWholeFlash) {
    vboard::Board& b = board(GetParam(), timeScaleFor(GetParam()));
    lend(b, {});
    int32_t result = command(b, STM32_CMD_DOWNLOAD, 0, 0);
    if (layoutLargerThanFlash(GetParam())) {
        // The layout promises more than the part has: the refusal names where.
        EXPECT_NE(result, STM32_RESULT_OK);
        char end[16];
        std::snprintf(end, sizeof end, "0x%08X", b.flashStart() + b.physicalFlashSize());
        EXPECT_NE(wholeLog().find(end), std::string::npos) << wholeLog();
        return;
    }
    EXPECT_EQ(result, STM32_RESULT_OK) << wholeLog();
    EXPECT_EQ(closingLine(), "OK.") << wholeLog();
    EXPECT_TRUE(flashBuffer == b.flash()) << "downloaded bytes";
    EXPECT_FALSE(b.hasLeft());
}

TEST_P(Matrix, EraseARange) {
    vboard::Board& b = board(GetParam(), timeScaleFor(GetParam()));
    // On the rev V part the range lies in bank 2, where the erase sticks.
    const uint32_t offset = vboard::describe(GetParam()).rom.stuckBusyEraseFrom
                                ? vboard::describe(GetParam()).rom.stuckBusyEraseFrom - b.flashStart() + 0x800
                                : 0x800;
    const uint32_t size = 0x1000;
    auto before = b.flash();
    lend(b, {});
    EXPECT_EQ(command(b, STM32_CMD_ERASE, offset, int32_t(size)), STM32_RESULT_OK) << wholeLog();
    EXPECT_EQ(closingLine(), "OK.") << wholeLog();
    auto after = b.flash();
    EXPECT_EQ(std::vector<uint8_t>(after.begin() + offset, after.begin() + offset + size),
              std::vector<uint8_t>(size, 0xFF));
    expectUnchangedOutside(before, after, offset, offset + size);
}

TEST_P(Matrix, MassErase) {
    vboard::Board& b = board(GetParam(), timeScaleFor(GetParam()));
    lend(b, {});
    EXPECT_EQ(command(b, STM32_CMD_ERASE, 0, 0), STM32_RESULT_OK) << wholeLog();
    EXPECT_EQ(closingLine(), "OK.") << wholeLog();
    EXPECT_TRUE(b.flash() == std::vector<uint8_t>(b.flashSize(), 0xFF));
}

INSTANTIATE_TEST_SUITE_P(Rom, Matrix, ::testing::ValuesIn(vboard::romProfiles()), profileName);

// The F4 ROM holds the status request of a 1 MB mass erase for its 16 s,
// longer than the 9 s control timeout.
TEST_F(Conformance, F4MassEraseInRealTimeOutlastsTheControlTimeout) {
    vboard::Board& b = board(Profile::F4, 1.0);
    lend(b, {});
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(command(b, STM32_CMD_ERASE, 0, 0), STM32_RESULT_OK) << wholeLog();
    auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(closingLine(), "OK.") << wholeLog();
    EXPECT_TRUE(b.flash() == std::vector<uint8_t>(b.flashSize(), 0xFF));
    EXPECT_GE(seconds, 15.9);
    EXPECT_GT(b.counters().heldMicroseconds, 9000000u) << "one status request was held past 9 s";
}

} // namespace
