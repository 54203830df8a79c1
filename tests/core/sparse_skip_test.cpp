// Sparse images and skip-unchanged uploads, counted on the virtual boards:
// what a file does not define survives, and flash that already holds the
// image is neither erased nor written.
#include "board_fixture.h"

namespace {

using coretest::BoardTest;
using coretest::patternBytes;
using coretest::withVector;
using coretest::wordAt;
using vboard::Profile;
using vboard::Request;
using Ranges = std::vector<Stm32ByteRange>;

constexpr uint32_t kFlash = 0x08000000;
constexpr uint32_t KB = 1024;

class FlashJobTest : public BoardTest {
protected:
    // Uploads at offset 0 with the given defined ranges (none: raw) and flags;
    // counters start from zero.
    int32_t upload(vboard::Board& board, const std::vector<uint8_t>& bytes, const Ranges& ranges, uint32_t flags) {
        log.clear();
        lend(board, bytes);
        stm32SetImageRanges(ctx, ranges.empty() ? nullptr : ranges.data(), int32_t(ranges.size()));
        stm32SetUploadFlags(ctx, flags);
        board.resetCounters();
        return command(board, STM32_CMD_UPLOAD, 0);
    }
    static uint64_t erases(const vboard::Board& board) {
        return board.count(Request::ErasePage) + board.count(Request::MassErase);
    }
    bool logged(const std::string& line) const {
        auto lines = transcript();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
};

using SkipUnchangedUploadTest = FlashJobTest;

struct SkipCase {
    Profile profile;
    const char* name;
    uint32_t length;    // 512 KB, or the whole flash where that is less
    uint32_t pages;     // physical pages under the image
    uint32_t changedAt; // the byte changed in the second upload
    uint32_t pageStart; // start of the page holding it
    uint32_t pageSize;
};

TEST_F(SkipUnchangedUploadTest, SameImageTwiceThenOneChangedByteOnEachBoard) {
    const SkipCase cases[] = {
        {Profile::F1, "F1", 256 * KB, 128, 0x1F0F3, 0x1F000, 2 * KB},      // the whole 256 KB flash
        {Profile::F4, "F4", 512 * KB, 8, 0x31234, 0x20000, 128 * KB},      // 4x16, 64, 3x128 KB sectors
        {Profile::H7, "H7", 512 * KB, 4, 0x60010, 0x60000, 128 * KB},
    };
    for (const SkipCase& c : cases) {
        SCOPED_TRACE(c.name);
        bus = std::make_unique<vboard::Bus>();
        auto& board = addBoard(c.profile);
        board.fillFlashPattern(7);
        auto bytes = withVector(patternBytes(c.length, 8), 0x08000101);
        ASSERT_EQ(upload(board, bytes, {}, STM32_UPLOAD_SKIP_UNCHANGED), STM32_RESULT_OK);
        bus->replug(board);

        ASSERT_EQ(upload(board, bytes, {}, STM32_UPLOAD_SKIP_UNCHANGED), STM32_RESULT_OK);
        EXPECT_EQ(erases(board), 0u);
        EXPECT_EQ(board.count(Request::DataBlock), 0u);
        const std::string all = std::to_string(c.pages);
        EXPECT_TRUE(logged("Skipped " + all + " of " + all + " pages (unchanged).")) << transcript().at(1);
        EXPECT_TRUE(board.hasLeft()) << "the program is still started";
        bus->replug(board);

        auto before = board.flash();
        bytes[c.changedAt] ^= 0x5A;
        ASSERT_EQ(upload(board, bytes, {}, STM32_UPLOAD_SKIP_UNCHANGED), STM32_RESULT_OK);
        EXPECT_EQ(board.count(Request::MassErase), 0u);
        EXPECT_EQ(board.count(Request::ErasePage), 1u);
        EXPECT_EQ(board.counters().erasesByAddress.count(kFlash + c.pageStart), 1u);
        EXPECT_LE(board.count(Request::DataBlock), c.pageSize / board.transferSize());
        // The read-back of the image's pages and the verify of the image.
        EXPECT_EQ(board.count(Request::Upload), 2u * c.length / board.transferSize());
        before[c.changedAt] = bytes[c.changedAt];
        EXPECT_EQ(board.flash(), before);
        const std::string skipped = std::to_string(c.pages - 1);
        EXPECT_TRUE(logged("Skipped " + skipped + " of " + all + " pages (unchanged)."));
    }
}

TEST_F(SkipUnchangedUploadTest, ABlankBoardIsWrittenWithoutAnyErase) {
    auto& board = addBoard(Profile::F1);
    auto bytes = withVector(patternBytes(board.flashSize(), 9), 0x08000101);
    ASSERT_EQ(upload(board, bytes, {}, STM32_UPLOAD_SKIP_UNCHANGED), STM32_RESULT_OK);
    EXPECT_EQ(erases(board), 0u) << "whole-flash mode does not mass-erase a blank part";
    EXPECT_EQ(board.count(Request::DataBlock), board.flashSize() / 2048);
    EXPECT_EQ(board.flash(), bytes);
}

TEST_F(SkipUnchangedUploadTest, WithoutTheFlagEverythingIsRewrittenAndNoSkipLineShown) {
    auto& board = addBoard(Profile::F4);
    auto bytes = withVector(patternBytes(64 * KB, 10), 0x08000101);
    ASSERT_EQ(upload(board, bytes, {}, 0), STM32_RESULT_OK);
    bus->replug(board);
    ASSERT_EQ(upload(board, bytes, {}, 0), STM32_RESULT_OK);
    EXPECT_EQ(board.count(Request::ErasePage), 4u);
    EXPECT_EQ(board.count(Request::DataBlock), 32u);
    EXPECT_EQ(transcript(), (std::vector<std::string>{"Reading flash.", "Erasing pages..",
                                                      "Writing pages." + std::string(7, '.'),
                                                      "Verifying.", "OK."}));
}

TEST_F(SkipUnchangedUploadTest, MostPagesChangedOnAWholeFlashImageIsOneMassErase) {
    auto& board = addBoard(Profile::F1);
    board.fillFlashPattern(11);
    auto before = board.flash();
    auto bytes = withVector(patternBytes(160 * KB, 12), 0x08000101);
    ASSERT_EQ(upload(board, bytes, {}, STM32_UPLOAD_SKIP_UNCHANGED), STM32_RESULT_OK);
    EXPECT_EQ(board.count(Request::MassErase), 1u);
    EXPECT_EQ(board.count(Request::ErasePage), 0u);
    auto after = board.flash();
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), after.begin()));
    EXPECT_TRUE(std::equal(after.begin() + bytes.size(), after.end(), before.begin() + bytes.size()))
        << "the rest of flash is read only after the choice, and kept";
    EXPECT_TRUE(logged("Skipped 0 of 80 pages (unchanged)."));
}

using SparseUploadTest = FlashJobTest;

TEST_F(SparseUploadTest, ApplicationBehindABootloaderKeepsTheBootloader) {
    auto& board = addBoard(Profile::F4);
    board.fillFlashPattern(20);
    board.write(kFlash, {0x00, 0x50, 0x00, 0x20, 0x35, 0x01, 0x00, 0x08}); // the bootloader's vectors
    auto before = board.flash();
    // A HEX-like file: 40 KB of application at 0x08008000, nothing below.
    std::vector<uint8_t> bytes(0x8000, 0xFF);
    auto app = withVector(patternBytes(40 * KB, 21), 0x08008101);
    bytes.insert(bytes.end(), app.begin(), app.end());
    ASSERT_EQ(upload(board, bytes, {{0x8000, uint32_t(bytes.size())}}, 0), STM32_RESULT_OK);
    EXPECT_EQ(board.count(Request::MassErase), 0u);
    for (const auto& [address, n] : board.counters().erasesByAddress) EXPECT_GE(address, kFlash + 0x8000);
    EXPECT_EQ(board.count(Request::ErasePage), 3u) << "sectors 2, 3 and 4";
    auto after = board.flash();
    for (size_t i = 0; i < after.size(); ++i) {
        bool defined = i >= 0x8000 && i < bytes.size();
        ASSERT_EQ(after[i], defined ? bytes[i] : before[i]) << "byte " << i;
    }
    EXPECT_EQ(board.leaveAddress(), kFlash) << "started through the bootloader's vector table";
    EXPECT_EQ(board.startedResetHandler(), 0x08000135u);
}

TEST_F(SparseUploadTest, EightyBytesHighInAFullBoardEraseOneSector) {
    auto& board = addBoard(Profile::F4);
    board.fillFlashPattern(22);
    board.write(kFlash, {0x00, 0x50, 0x00, 0x20, 0x01, 0x01, 0x00, 0x08}); // the resident program's vectors
    auto before = board.flash();
    std::vector<uint8_t> bytes(0xE0050, 0xFF);
    auto record = patternBytes(80, 23);
    std::copy(record.begin(), record.end(), bytes.begin() + 0xE0000);
    ASSERT_EQ(upload(board, bytes, {{0xE0000, 0xE0050}}, 0), STM32_RESULT_OK);
    EXPECT_EQ(board.count(Request::MassErase), 0u);
    EXPECT_EQ(board.count(Request::ErasePage), 1u);
    EXPECT_EQ(board.counters().erasesByAddress.count(kFlash + 0xE0000), 1u);
    // Jump address, the sector's read-back, one block of verify.
    EXPECT_EQ(board.count(Request::Upload), 1u + 64u + 1u);
    std::copy(record.begin(), record.end(), before.begin() + 0xE0000);
    EXPECT_EQ(board.flash(), before);
    EXPECT_EQ(transcript(), (std::vector<std::string>{"Reading flash.", "Erasing pages..",
                                                      "Writing pages." + std::string(13, '.'),
                                                      "Verifying.", "OK."}));
}

TEST_F(SparseUploadTest, WholeFlashComesFromDefinedBytesAndKeepsTheHoles) {
    auto& board = addBoard(Profile::F1);
    board.fillFlashPattern(24);
    auto before = board.flash();
    auto bytes = withVector(patternBytes(board.flashSize(), 25), 0x08000101);
    // 200 KB defined in three pieces; a hole in mid-block and a hole of pages.
    Ranges ranges{{0, 10000}, {10100, 100 * KB}, {150 * KB, 256 * KB}};
    ASSERT_EQ(upload(board, bytes, ranges, 0), STM32_RESULT_OK);
    EXPECT_EQ(board.count(Request::MassErase), 1u);
    auto after = board.flash();
    for (size_t i = 0; i < after.size(); ++i) {
        bool defined = i < 10000 || (i >= 10100 && i < 100 * KB) || i >= 150 * KB;
        ASSERT_EQ(after[i], defined ? bytes[i] : before[i]) << "byte " << i;
    }

    // The same defined bytes over 1 MB of span but only 100 KB of them: no
    // mass erase.
    bus->replug(board);
    ASSERT_EQ(upload(board, bytes, {{0, 50 * KB}, {206 * KB, 256 * KB}}, 0), STM32_RESULT_OK);
    EXPECT_EQ(board.count(Request::MassErase), 0u);
    EXPECT_EQ(board.count(Request::ErasePage), 50u);
}

// Changes flash behind the engine's back when it announces the verify.
struct Tamper {
    vboard::Board* board;
    std::vector<coretest::LogEntry>* log;
    std::vector<std::pair<uint32_t, uint8_t>> writes;
};

int tamperOnVerify(void* user, const char* text, uint32_t length, int continuation) {
    auto* tamper = static_cast<Tamper*>(user);
    coretest::captureLog(tamper->log, text, length, continuation);
    if (std::string(text, length) == "Verifying.") {
        for (const auto& [address, value] : tamper->writes) tamper->board->write(address, {value});
    }
    return 0;
}

TEST_F(SparseUploadTest, VerifyCoversEveryDefinedRangeAndNothingElse) {
    auto& board = addBoard(Profile::F1);
    board.fillFlashPattern(26);
    std::vector<uint8_t> bytes(0x3000, 0x11);
    Ranges ranges{{0x100, 0x200}, {0x2F00, 0x3000}};
    // Outside the defined bytes a change is no difference; in the last range it is.
    Tamper tamper{&board, &log, {{kFlash + 0x1000, 0x00}, {kFlash + 0x2FFF, 0x00}}};
    stm32RegisterLogCallback(ctx, &tamper, tamperOnVerify);
    EXPECT_EQ(upload(board, bytes, ranges, 0), STM32_RESULT_VERIFY_ERROR);
    auto lines = transcript();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[lines.size() - 2], "[0006] 08002FFF: 11 (00)");
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("[0", 0) == 0; }),
              1);
    EXPECT_FALSE(board.hasLeft());
}

TEST_F(SparseUploadTest, SkipUnchangedOnASparseImage) {
    auto& board = addBoard(Profile::H7);
    board.fillFlashPattern(27);
    auto bytes = withVector(patternBytes(0x100000, 28), 0x08000101);
    Ranges ranges{{0, 0x1000}, {0xC0000, 0xC8000}};
    ASSERT_EQ(upload(board, bytes, ranges, STM32_UPLOAD_SKIP_UNCHANGED), STM32_RESULT_OK);
    EXPECT_EQ(board.count(Request::ErasePage), 2u);
    bus->replug(board);
    ASSERT_EQ(upload(board, bytes, ranges, STM32_UPLOAD_SKIP_UNCHANGED), STM32_RESULT_OK);
    EXPECT_EQ(erases(board), 0u);
    EXPECT_EQ(board.count(Request::DataBlock), 0u);
    EXPECT_TRUE(logged("Skipped 2 of 2 pages (unchanged)."));
    EXPECT_EQ(board.startedResetHandler(), wordAt(bytes, 4)) << "the file defines its own vector table";
}

TEST_F(SparseUploadTest, RangesOutsideTheImageAreRefusedBeforeAnyTransfer) {
    auto& board = addBoard(Profile::F1);
    auto bytes = patternBytes(0x1000, 29);
    EXPECT_EQ(upload(board, bytes, {{0, 0x1001}}, 0), STM32_RESULT_INVALID_OFFSET);
    EXPECT_EQ(classRequests(board), 0u);
    EXPECT_EQ(transcript().back(), "Error while flashing STM32.");
    EXPECT_EQ(upload(board, bytes, {{0x10, 0x10}}, 0), STM32_RESULT_EMPTY_IMAGE) << "nothing defined";
    EXPECT_EQ(classRequests(board), 0u);
}

} // namespace
