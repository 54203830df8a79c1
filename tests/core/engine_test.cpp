// The four commands: log sequences, result codes, erase modes, jump address.
#include "board_fixture.h"

namespace {

using coretest::BoardTest;
using coretest::patternBytes;
using coretest::withVector;
using coretest::wordAt;
using vboard::Profile;
using vboard::Request;
using Lines = std::vector<std::string>;

constexpr uint32_t kFlash = 0x08000000;

class UploadTest : public BoardTest {};

TEST_F(UploadTest, OneKilobyteAtOffset0x400MatchesTheDocumentedSequence) {
    auto& board = addBoard(Profile::F1);
    board.fillFlashPattern(1);
    board.write(kFlash, coretest::vectorTable(0x08000201));
    auto before = board.flash();
    auto bytes = patternBytes(1024, 2);
    lend(board, bytes);
    board.resetCounters();
    EXPECT_EQ(command(board, STM32_CMD_UPLOAD, 0x400), STM32_RESULT_OK);
    EXPECT_EQ(transcript(), (Lines{"Address: 0x08000400", "Reading flash.", "Erasing pages..", "Writing pages..",
                                   "Verifying.", "OK."}));
    EXPECT_EQ(ctx->logLineLength, 0);
    EXPECT_EQ(board.count(Request::ErasePage), 1u);
    EXPECT_EQ(board.counters().erasesByAddress.count(kFlash), 1u);
    EXPECT_EQ(board.count(Request::DataBlock), 1u);
    // Jump-address block, the read-back of the first block, the verify block.
    EXPECT_EQ(board.count(Request::Upload), 3u);
    auto after = board.flash();
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), after.begin() + 0x400));
    EXPECT_TRUE(std::equal(after.begin(), after.begin() + 0x400, before.begin()));
    EXPECT_TRUE(std::equal(after.begin() + 0x800, after.end(), before.begin() + 0x800));
    EXPECT_TRUE(board.hasLeft());
    EXPECT_EQ(board.leaveAddress(), kFlash) << "started through the resident vector table";
}

TEST_F(UploadTest, HalfTheFlashAtOffsetZeroUsesOneMassErase) {
    auto& board = addBoard(Profile::F1);
    board.fillFlashPattern(3);
    auto before = board.flash();
    auto bytes = withVector(patternBytes(board.flashSize() / 2, 4), 0x08000201);
    lend(board, bytes);
    board.resetCounters();
    EXPECT_EQ(command(board, STM32_CMD_UPLOAD, 0), STM32_RESULT_OK);
    EXPECT_EQ(board.count(Request::MassErase), 1u);
    EXPECT_EQ(board.count(Request::ErasePage), 0u);
    EXPECT_EQ(board.count(Request::DataBlock), board.flashSize() / 2048) << "all flash blocks are rewritten";
    auto after = board.flash();
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), after.begin()));
    EXPECT_TRUE(std::equal(after.begin() + bytes.size(), after.end(), before.begin() + bytes.size()))
        << "the tail is carried over the mass erase";
    EXPECT_EQ(transcript(), (Lines{"Reading flash.", "Erasing pages.", "Writing pages." + std::string(26, '.'),
                                   "Verifying.", "OK."}));
    EXPECT_EQ(board.leaveAddress(), kFlash);
}

TEST_F(UploadTest, OneByteLessThanHalfIsBlockMode) {
    auto& board = addBoard(Profile::F1);
    board.fillFlashPattern(5);
    auto bytes = patternBytes(board.flashSize() / 2 - 1, 6);
    lend(board, bytes);
    board.resetCounters();
    EXPECT_EQ(command(board, STM32_CMD_UPLOAD, 0), STM32_RESULT_OK);
    EXPECT_EQ(board.count(Request::MassErase), 0u);
    EXPECT_EQ(board.count(Request::ErasePage), 64u);
    EXPECT_EQ(board.count(Request::DataBlock), 64u);
}

TEST_F(UploadTest, WholeFlashModeOnTheMultiSegmentBoardKeepsEverySector) {
    auto& board = addBoard(Profile::F4);
    board.fillFlashPattern(7);
    auto before = board.flash();
    auto bytes = patternBytes(board.flashSize() / 2, 8);
    lend(board, bytes);
    EXPECT_EQ(command(board, STM32_CMD_UPLOAD, 0), STM32_RESULT_OK);
    EXPECT_EQ(board.count(Request::MassErase), 1u);
    auto after = board.flash();
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), after.begin()));
    EXPECT_TRUE(std::equal(after.begin() + bytes.size(), after.end(), before.begin() + bytes.size()));
}

TEST_F(UploadTest, NoMassEraseWhenTheLentFlashIsSmallerThanThePart) {
    // Half of a 512 KB buffer, but the part has 1 MB: a mass erase would wipe
    // the half that was never read back.
    auto& board = addBoard(Profile::F4);
    board.fillFlashPattern(17);
    auto before = board.flash();
    const uint32_t lent = 512 * 1024;
    auto bytes = withVector(patternBytes(lent / 2, 18), 0x08000201);
    flashBuffer.assign(lent, 0);
    image.assign(lent, 0);
    std::copy(bytes.begin(), bytes.end(), image.begin());
    stm32SetBuffer(ctx, flashBuffer.data(), int32_t(lent), image.data(), int32_t(bytes.size()));
    EXPECT_EQ(command(board, STM32_CMD_UPLOAD, 0), STM32_RESULT_OK);
    EXPECT_EQ(board.count(Request::MassErase), 0u);
    auto after = board.flash();
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), after.begin()));
    EXPECT_TRUE(std::equal(after.begin() + bytes.size(), after.end(), before.begin() + bytes.size()));
}

TEST_F(UploadTest, OffsetFourStartsThroughTheImagesOwnVector) {
    auto& board = addBoard(Profile::F1);
    board.fillFlashPattern(9);
    auto bytes = withVector(patternBytes(600, 10), 0x08000301);
    lend(board, bytes);
    board.resetCounters();
    EXPECT_EQ(command(board, STM32_CMD_UPLOAD, 4), STM32_RESULT_OK);
    EXPECT_EQ(board.count(Request::MassErase), 0u);
    EXPECT_EQ(board.count(Request::ErasePage), 1u);
    EXPECT_EQ(board.count(Request::Upload), 2u) << "no read of the resident table below offset 8";
    EXPECT_EQ(board.leaveAddress(), kFlash + 4) << "the image's own table";
}

TEST_F(UploadTest, OffsetEightOverErasedFlashUsesTheImagesVector) {
    auto& board = addBoard(Profile::F1); // erased flash: word 0xFFFFFFFF at 4..7
    auto bytes = withVector(patternBytes(100, 11), 0x08000401);
    lend(board, bytes);
    EXPECT_EQ(command(board, STM32_CMD_UPLOAD, 8), STM32_RESULT_OK);
    EXPECT_EQ(board.leaveAddress(), kFlash + 8) << "the image's own table";
}

TEST_F(UploadTest, OffsetEightOverAProgramUsesTheResidentVector) {
    auto& board = addBoard(Profile::F1);
    board.write(kFlash, {0x00, 0x50, 0x00, 0x20, 0x35, 0x01, 0x00, 0x08});
    auto bytes = patternBytes(100, 12);
    lend(board, bytes);
    EXPECT_EQ(command(board, STM32_CMD_UPLOAD, 8), STM32_RESULT_OK);
    EXPECT_EQ(board.leaveAddress(), kFlash);
}

TEST_F(UploadTest, AnImageThatCannotStartIsWrittenButNotStarted) {
    struct Case {
        const char* name;
        std::vector<uint8_t> head; // the image's first bytes
        const char* why;
    };
    const Case cases[] = {
        {"elf file", {0x7F, 'E', 'L', 'F', 0x01, 0x01, 0x01, 0x00}, "stack pointer 0x464C457F"},
        {"hex text", {':', '1', '0', '0', '0', '0', '0', '0'}, "stack pointer 0x3030313A"},
        {"even handler", coretest::vectorTable(0x08000200), "reset handler 0x08000200"},
        {"handler outside flash", coretest::vectorTable(0x00000101), "reset handler 0x00000101"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bus = std::make_unique<vboard::Bus>();
        log.clear();
        auto& board = addBoard(Profile::F1);
        auto bytes = patternBytes(3000, 19);
        std::copy(c.head.begin(), c.head.end(), bytes.begin());
        lend(board, bytes);
        EXPECT_EQ(command(board, STM32_CMD_UPLOAD, 0), STM32_RESULT_OK) << "written and verified";
        EXPECT_EQ(board.read(kFlash, bytes.size()), bytes);
        EXPECT_FALSE(board.hasLeft());
        EXPECT_EQ(board.count(Request::Leave), 0u);
        auto lines = transcript();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines.back(), "OK.");
        const std::string& note = lines[lines.size() - 2];
        EXPECT_EQ(note.rfind("The program was not started: ", 0), 0u) << note;
        EXPECT_NE(note.find(c.why), std::string::npos) << note;
        EXPECT_NE(note.find("a reset starts whatever is in flash"), std::string::npos) << note;
    }
}

TEST_F(UploadTest, NoStartFlagLeavesTheBoardInDfuMode) {
    auto& board = addBoard(Profile::F1);
    auto bytes = withVector(patternBytes(5000, 20), 0x08000101);
    lend(board, bytes);
    stm32SetUploadFlags(ctx, STM32_UPLOAD_NO_START);
    board.resetCounters();
    EXPECT_EQ(command(board, STM32_CMD_UPLOAD, 0), STM32_RESULT_OK);
    EXPECT_EQ(board.read(kFlash, bytes.size()), bytes);
    EXPECT_FALSE(board.hasLeft());
    EXPECT_EQ(board.count(Request::Leave), 0u);
    EXPECT_EQ(board.count(Request::SetAddress), 3u) << "read-back, write and verify; none for a start";
    EXPECT_EQ(transcript(), (Lines{"Reading flash.", "Erasing pages..", "Writing pages..", "Verifying.",
                                   "The program was not started, as asked: the board stays in DFU mode.", "OK."}));
}

TEST_F(UploadTest, ThreeBlocksWithoutAnyClearStatus) {
    auto& board = addBoard(Profile::F1);
    lend(board, withVector(patternBytes(3 * 2048, 21), 0x08000101));
    board.resetCounters();
    EXPECT_EQ(command(board, STM32_CMD_UPLOAD, 0), STM32_RESULT_OK);
    EXPECT_EQ(board.count(Request::ClrStatus), 0u) << "nothing here goes through dfuERROR";
    EXPECT_EQ(board.count(Request::SetAddress), 4u);
    EXPECT_TRUE(board.hasLeft());
    EXPECT_EQ(board.leaveAddress(), kFlash);
}

TEST_F(UploadTest, OptionAreaNearTheEndOfFlashOnBothBoards) {
    for (Profile profile : {Profile::F1, Profile::F4}) {
        SCOPED_TRACE(profile == Profile::F1 ? "F1" : "F4");
        bus = std::make_unique<vboard::Bus>();
        log.clear();
        auto& board = addBoard(profile);
        board.fillFlashPattern(13);
        board.write(kFlash, coretest::vectorTable(0x08000501));
        auto before = board.flash();
        auto bytes = patternBytes(0x400, 14);
        uint32_t offset = board.flashSize() - 0x400;
        lend(board, bytes);
        ASSERT_EQ(command(board, STM32_CMD_UPLOAD, offset), STM32_RESULT_OK);
        auto after = board.flash();
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), after.begin() + offset));
        EXPECT_TRUE(std::equal(after.begin(), after.begin() + offset, before.begin()));
        EXPECT_EQ(board.count(Request::ErasePage), 1u) << "only the last page is erased";
        EXPECT_EQ(board.leaveAddress(), kFlash);
    }
}

TEST_F(UploadTest, ErasedBlocksOfASparseImageAreNotSent) {
    auto& board = addBoard(Profile::F1);
    std::vector<uint8_t> bytes(10 * 2048, 0xFF);
    bytes[0] = 0x01;
    bytes[4] = 0x11;
    bytes[5 * 2048 + 3] = 0x02;
    bytes[9 * 2048 + 2047] = 0x03;
    lend(board, bytes);
    board.resetCounters();
    EXPECT_EQ(command(board, STM32_CMD_UPLOAD, 0), STM32_RESULT_OK);
    EXPECT_EQ(board.count(Request::ErasePage), 10u);
    EXPECT_EQ(board.count(Request::DataBlock), 3u);
    EXPECT_EQ(board.read(kFlash, bytes.size()), bytes);
}

TEST_F(UploadTest, ImagePastTheEndIsRefusedWithoutTouchingTheBoard) {
    auto& board = addBoard(Profile::F1);
    auto bytes = patternBytes(0x800, 15);
    lend(board, bytes);
    board.resetCounters();
    EXPECT_EQ(command(board, STM32_CMD_UPLOAD, board.flashSize() - 0x7FF), STM32_RESULT_INVALID_OFFSET);
    EXPECT_EQ(transcript(), (Lines{"Invalid offset.", "Error while flashing STM32."}));
    EXPECT_EQ(classRequests(board), 0u);
    EXPECT_EQ(board.count(Request::Standard), 0u);

    // Offsets that wrap in 32 bits are refused too.
    log.clear();
    EXPECT_EQ(command(board, STM32_CMD_UPLOAD, 0xFFFFFC00u), STM32_RESULT_INVALID_OFFSET);
    EXPECT_EQ(classRequests(board), 0u);
    EXPECT_EQ(transcript(), (Lines{"Invalid offset.", "Error while flashing STM32."}));
}

TEST_F(UploadTest, EmptyImageIsRefused) {
    auto& board = addBoard(Profile::F1);
    lend(board, {});
    board.resetCounters();
    EXPECT_EQ(command(board, STM32_CMD_UPLOAD, 0), STM32_RESULT_EMPTY_IMAGE);
    EXPECT_EQ(transcript(), (Lines{"Image is empty.", "Error while flashing STM32."}));
    EXPECT_EQ(classRequests(board), 0u);
    EXPECT_FALSE(board.hasLeft());
}

// Ten differences in one block and two in the next, made by changing flash
// behind the engine's back when it announces the verify.
struct Tamper {
    vboard::Board* board;
    std::vector<coretest::LogEntry>* log;
};

int tamperOnVerify(void* user, const char* text, uint32_t length, int continuation) {
    auto* tamper = static_cast<Tamper*>(user);
    coretest::captureLog(tamper->log, text, length, continuation);
    if (std::string(text, length) == "Verifying.") {
        std::vector<uint8_t> zeros(10, 0x00);
        tamper->board->write(kFlash + 0x800 + 100, zeros);
        tamper->board->write(kFlash + 0x1000 + 7, {0x00, 0x00});
    }
    return 0;
}

TEST_F(UploadTest, VerifyMismatchReportsThreeLinesPerBlockAndStartsNothing) {
    auto& board = addBoard(Profile::F1);
    std::vector<uint8_t> bytes(3 * 2048, 0x5A);
    lend(board, bytes);
    Tamper tamper{&board, &log};
    stm32RegisterLogCallback(ctx, &tamper, tamperOnVerify);
    EXPECT_EQ(command(board, STM32_CMD_UPLOAD, 0), STM32_RESULT_VERIFY_ERROR);
    EXPECT_EQ(transcript(),
              (Lines{"Reading flash.", "Erasing pages..", "Writing pages..", "Verifying.", "Error at",
                     "[page] Address firmware (flash)", "[0002] 08000864: 5A (00)", "[0002] 08000865: 5A (00)",
                     "[0002] 08000866: 5A (00)", "[0003] 08001007: 5A (00)", "[0003] 08001008: 5A (00)",
                     "Error while flashing STM32."}));
    EXPECT_FALSE(board.hasLeft());
    EXPECT_EQ(ctx->logLineLength, 0);
}

using DownloadTest = BoardTest;

TEST_F(DownloadTest, SizeZeroReadsTheWholeFlash) {
    auto& board = addBoard(Profile::F1);
    board.fillFlashPattern(21);
    lend(board, {});
    EXPECT_EQ(command(board, STM32_CMD_DOWNLOAD, 0, 0), STM32_RESULT_OK);
    EXPECT_EQ(transcript(), (Lines{"Address: 0x08000000", "Size: 0", "Reading flash.", "OK."}));
    EXPECT_EQ(flashBuffer, board.flash());
}

TEST_F(DownloadTest, FullSizeAtOffsetZeroLogsNoAddress) {
    auto& board = addBoard(Profile::F4);
    board.fillFlashPattern(22);
    lend(board, {});
    EXPECT_EQ(command(board, STM32_CMD_DOWNLOAD, 0, static_cast<int32_t>(board.flashSize())), STM32_RESULT_OK);
    EXPECT_EQ(transcript(), (Lines{"Reading flash.", "OK."}));
    EXPECT_EQ(flashBuffer, board.flash());
}

TEST_F(DownloadTest, NeverReadsPastTheEndOfFlash) {
    auto& board = addBoard(Profile::F1);
    board.fillFlashPattern(23);
    auto flash = board.flash();
    lend(board, {});
    uint32_t offset = board.flashSize() - 0x1400; // not block aligned
    EXPECT_EQ(command(board, STM32_CMD_DOWNLOAD, offset, 0), STM32_RESULT_OK);
    EXPECT_TRUE(std::equal(flash.begin() + offset, flash.end(), flashBuffer.begin()));
    log.clear();
    EXPECT_EQ(command(board, STM32_CMD_DOWNLOAD, offset, 0x100000), STM32_RESULT_OK) << "size is cut at the end";
    EXPECT_TRUE(std::equal(flash.begin() + offset, flash.end(), flashBuffer.begin()));

    log.clear();
    board.resetCounters();
    EXPECT_EQ(command(board, STM32_CMD_DOWNLOAD, board.flashSize(), 16), STM32_RESULT_INVALID_OFFSET);
    EXPECT_EQ(transcript().back(), "Error while reading STM32 flash.");
    EXPECT_EQ(classRequests(board), 0u);
}

TEST_F(DownloadTest, PartOfTheFlashAtAnOffset) {
    auto& board = addBoard(Profile::F1);
    board.fillFlashPattern(24);
    auto flash = board.flash();
    lend(board, {});
    board.resetCounters();
    EXPECT_EQ(command(board, STM32_CMD_DOWNLOAD, 0x1000, 5000), STM32_RESULT_OK);
    EXPECT_EQ(transcript(), (Lines{"Address: 0x08001000", "Size: 5000", "Reading flash.", "OK."}));
    EXPECT_EQ(board.count(Request::Upload), 3u);
    EXPECT_TRUE(std::equal(flash.begin() + 0x1000, flash.begin() + 0x1000 + 5000, flashBuffer.begin()));
}

using EraseTest = BoardTest;

TEST_F(EraseTest, SizeAndOffsetZeroIsOneMassErase) {
    auto& board = addBoard(Profile::F1, 0x00);
    lend(board, {});
    EXPECT_EQ(command(board, STM32_CMD_ERASE, 0, 0), STM32_RESULT_OK);
    EXPECT_EQ(transcript(), (Lines{"Erasing pages.", "OK."}));
    EXPECT_EQ(board.count(Request::MassErase), 1u);
    EXPECT_EQ(board.flash(), std::vector<uint8_t>(board.flashSize(), 0xFF));
}

TEST_F(EraseTest, SizeZeroAtAnOffsetErasesNothing) {
    auto& board = addBoard(Profile::F1, 0x00);
    lend(board, {});
    EXPECT_EQ(command(board, STM32_CMD_ERASE, 0x800, 0), STM32_RESULT_OK);
    EXPECT_EQ(transcript(), (Lines{"Erasing pages.", "OK."}));
    EXPECT_EQ(board.count(Request::ErasePage) + board.count(Request::MassErase), 0u);
    EXPECT_EQ(board.flash(), std::vector<uint8_t>(board.flashSize(), 0x00));
}

TEST_F(EraseTest, BlockAlignedRangeOnPagesOfOneBlock) {
    auto& board = addBoard(Profile::F1);
    board.fillFlashPattern(31);
    auto before = board.flash();
    lend(board, {});
    EXPECT_EQ(command(board, STM32_CMD_ERASE, 0x800, 0x1000 * 3), STM32_RESULT_OK);
    EXPECT_EQ(board.count(Request::ErasePage), 6u);
    EXPECT_EQ(transcript(), (Lines{"Erasing pages...", "OK."}));
    auto after = board.flash();
    for (size_t i = 0; i < after.size(); ++i) {
        bool inside = i >= 0x800 && i < 0x800 + 0x3000;
        ASSERT_EQ(after[i], inside ? 0xFF : before[i]) << i;
    }
}

TEST_F(EraseTest, RangeInsideASectorErasesExactlyTheRange) {
    auto& board = addBoard(Profile::F4);
    board.fillFlashPattern(32);
    auto before = board.flash();
    lend(board, {});
    EXPECT_EQ(command(board, STM32_CMD_ERASE, 0x4100, 0x123), STM32_RESULT_OK);
    EXPECT_EQ(board.count(Request::ErasePage), 1u);
    EXPECT_EQ(board.counters().erasesByAddress.count(kFlash + 0x4000), 1u);
    auto after = board.flash();
    for (size_t i = 0; i < after.size(); ++i) {
        bool inside = i >= 0x4100 && i < 0x4100 + 0x123;
        ASSERT_EQ(after[i], inside ? 0xFF : before[i]) << i;
    }
}

TEST_F(EraseTest, RangePastTheEndStopsAtTheEnd) {
    auto& board = addBoard(Profile::F1, 0x00);
    lend(board, {});
    EXPECT_EQ(command(board, STM32_CMD_ERASE, board.flashSize() - 0x800, 0x10000), STM32_RESULT_OK);
    EXPECT_EQ(board.count(Request::ErasePage), 1u);
    log.clear();
    EXPECT_EQ(command(board, STM32_CMD_ERASE, board.flashSize(), 0x800), STM32_RESULT_INVALID_OFFSET);
    EXPECT_EQ(transcript(), (Lines{"Invalid offset.", "Error while erasing STM32 flash."}));
    log.clear();
    EXPECT_EQ(command(board, STM32_CMD_ERASE, 0, -5), STM32_RESULT_INVALID_OFFSET);
    EXPECT_EQ(transcript().back(), "Error while erasing STM32 flash.");
}

using CommonStartTest = BoardTest;

TEST_F(CommonStartTest, UnknownCommandIsResultOneWithoutALine) {
    auto& board = addBoard(Profile::F1);
    lend(board, {});
    EXPECT_EQ(command(board, 4, 0), STM32_RESULT_NO_TARGET);
    EXPECT_EQ(command(board, 0xFFFFFFFFu, 0), STM32_RESULT_NO_TARGET);
    EXPECT_TRUE(log.empty());
}

TEST_F(CommonStartTest, IndexOfANonTargetOrNoTargetAtAll) {
    bus->addForeignDevice();
    lend(addBoard(Profile::F1), {});
    EXPECT_EQ(stm32Command(ctx, 0, kFlash, 0, 0, STM32_CMD_DOWNLOAD), STM32_RESULT_NO_TARGET);
    EXPECT_EQ(stm32Command(ctx, 57, kFlash, 0, 0, STM32_CMD_DOWNLOAD), STM32_RESULT_NO_TARGET);
    EXPECT_EQ(transcript(), (Lines{"STM32 not connected or not in bootload mode.",
                                   "STM32 not connected or not in bootload mode."}));
}

TEST_F(CommonStartTest, MinusOneTakesTheFirstTargetInListOrder) {
    bus->addForeignDevice();
    auto& first = addBoard(Profile::F1);
    auto& second = addBoard(Profile::F1);
    first.fillFlashPattern(41);
    second.fillFlashPattern(42);
    lend(first, {});
    EXPECT_EQ(stm32Command(ctx, -1, kFlash, 0, 0, STM32_CMD_DOWNLOAD), STM32_RESULT_OK);
    EXPECT_EQ(flashBuffer, first.flash());
    EXPECT_EQ(second.count(Request::Upload), 0u);
}

TEST_F(CommonStartTest, UnusableDescriptorsAreRefused) {
    auto& none = addBoard(Profile::NoFunctionalDescriptor);
    auto& zero = addBoard(Profile::ZeroTransferSize);
    auto& huge = addBoard(Profile::OversizeTransferSize);
    std::vector<uint8_t> buffer(65536), img(65536, 0);
    stm32SetBuffer(ctx, buffer.data(), 65536, img.data(), 16);
    EXPECT_EQ(stm32Command(ctx, none.listPosition(), kFlash, 0, 0, STM32_CMD_UPLOAD), STM32_RESULT_NO_TARGET);
    EXPECT_TRUE(log.empty());
    for (auto* board : {&zero, &huge}) {
        log.clear();
        board->resetCounters();
        EXPECT_EQ(stm32Command(ctx, board->listPosition(), kFlash, 0, 0, STM32_CMD_UPLOAD), STM32_RESULT_NO_TARGET);
        ASSERT_EQ(transcript().size(), 1u);
        EXPECT_EQ(transcript()[0].rfind("Unsupported transfer size", 0), 0u) << transcript()[0];
        EXPECT_EQ(classRequests(*board), 0u);
    }
}

using ListTest = BoardTest;

TEST_F(ListTest, OneLinePerTargetWithTheTotalFlash) {
    bus->addForeignDevice();
    auto& f1 = addBoard(Profile::F1);
    auto& f4 = addBoard(Profile::F4);
    addBoard(Profile::NoInternalFlash);
    auto& h7 = addBoard(Profile::H7);
    EXPECT_EQ(stm32Command(ctx, 0, 0, 0, 0, STM32_CMD_LIST), STM32_RESULT_OK);
    auto line = [](int id, const char* size) {
        return "STM32 (ID:" + std::to_string(id) + ") Flash: " + size + " Flash Start: 08000000";
    };
    EXPECT_EQ(transcript(), (Lines{line(f1.listPosition(), "256KB"), line(f4.listPosition(), "1024KB"),
                                   line(h7.listPosition(), "2048KB")}));
}

TEST_F(ListTest, NoTargetIsOneLineAndResultZero) {
    bus->addForeignDevice();
    EXPECT_EQ(stm32Command(ctx, -1, 0, 0, 0, STM32_CMD_LIST), STM32_RESULT_OK);
    EXPECT_EQ(transcript(), (Lines{"STM32 not connected or not in bootload mode."}));
}

} // namespace
