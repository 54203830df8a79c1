// Faults at every step: each gives its result code and closing line, and no
// program is started after any of them.
#include "board_fixture.h"

namespace {

using coretest::BoardTest;
using coretest::patternBytes;
using coretest::withVector;
using vboard::Fault;
using vboard::FaultType;
using vboard::Profile;
using vboard::Request;

struct FaultCase {
    const char* name;
    Fault fault;
    int32_t result;
    bool verifyReadLine; // "Error while reading flash memory." expected
    const char* cause;   // the line before the closing line (or before the verify's own line)
    size_t imageBlocks = 3;
};

// A three-block upload at offset 0 on the F1 board sends, in order: Set
// Address and three uploads (read-back), three erases, Set Address and three
// blocks (write), Set Address and three uploads (verify), Set Address and the
// leave.
const FaultCase kUploadFaults[] = {
    {"StallAtReadAddress", {FaultType::Stall, Request::SetAddress, 0}, STM32_RESULT_READ_ERROR, false,
     "Cause: SET_ADDRESS at 0x08000000: LIBUSB_ERROR_PIPE."},
    {"TargetErrorAtReadAddress", {FaultType::ErrorStatus, Request::SetAddress, 0, vboard::errTARGET},
     STM32_RESULT_READ_ERROR, false,
     "The board refused address 0x08000000: its real flash may be smaller than its layout says."},
    {"StallAtRead", {FaultType::Stall, Request::Upload, 0}, STM32_RESULT_READ_ERROR, false,
     "Cause: UPLOAD at 0x08000000: board answered dfuERROR, errSTALLEDPKT."},
    {"ShortRead", {FaultType::ShortReply, Request::Upload, 1}, STM32_RESULT_READ_ERROR, false,
     "Cause: UPLOAD at 0x08000800 (short block)."},
    {"ErrorStatusAfterRead", {FaultType::ErrorStatus, Request::Upload, 2, vboard::errUNKNOWN},
     STM32_RESULT_READ_ERROR, false, "Cause: UPLOAD at 0x08001000: board answered dfuERROR, errUNKNOWN."},
    {"StallAtErase", {FaultType::Stall, Request::ErasePage, 1}, STM32_RESULT_ERASE_ERROR, false,
     "Cause: ERASE at 0x08000800: LIBUSB_ERROR_PIPE."},
    {"EraseErrorVerdict", {FaultType::ErrorStatus, Request::ErasePage, 0, vboard::errERASE},
     STM32_RESULT_ERASE_ERROR, false, "Cause: ERASE at 0x08000000: board answered dfuERROR, errERASE."},
    {"EraseStaysBusy", {FaultType::StayBusy, Request::ErasePage, 2}, STM32_RESULT_ERASE_ERROR, false,
     "Cause: ERASE at 0x08001000 (still busy at the bound of the wait)."},
    {"StallAtWriteAddress", {FaultType::Stall, Request::SetAddress, 1}, STM32_RESULT_WRITE_ERROR, false,
     "Cause: SET_ADDRESS at 0x08000000: LIBUSB_ERROR_PIPE."},
    {"StallAtWrite", {FaultType::Stall, Request::DataBlock, 1}, STM32_RESULT_WRITE_ERROR, false,
     "Cause: WRITE at 0x08000800: LIBUSB_ERROR_PIPE."},
    {"WriteErrorVerdict", {FaultType::ErrorStatus, Request::DataBlock, 0, vboard::errWRITE},
     STM32_RESULT_WRITE_ERROR, false, "Cause: WRITE at 0x08000000: board answered dfuERROR, errWRITE."},
    {"WriteTimeout", {FaultType::Timeout, Request::DataBlock, 1}, STM32_RESULT_WRITE_ERROR, false,
     "Cause: WRITE at 0x08000800: LIBUSB_ERROR_TIMEOUT."},
    {"UnplugMidWrite", {FaultType::Unplug, Request::DataBlock, 1}, STM32_RESULT_WRITE_ERROR, false,
     "Cause: WRITE at 0x08000800: LIBUSB_ERROR_NO_DEVICE."},
    {"StallAtVerifyAddress", {FaultType::Stall, Request::SetAddress, 2}, STM32_RESULT_READ_ERROR, true,
     "Cause: SET_ADDRESS at 0x08000000: LIBUSB_ERROR_PIPE."},
    {"StallAtVerifyRead", {FaultType::Stall, Request::Upload, 3}, STM32_RESULT_READ_ERROR, true,
     "Cause: UPLOAD at 0x08000000: board answered dfuERROR, errSTALLEDPKT."},
    {"VerifyReadTimeout", {FaultType::Timeout, Request::Upload, 4}, STM32_RESULT_READ_ERROR, true,
     "Cause: UPLOAD at 0x08000800: LIBUSB_ERROR_TIMEOUT."},
    {"ErrorStatusAfterVerifyRead", {FaultType::ErrorStatus, Request::Upload, 5, vboard::errUNKNOWN},
     STM32_RESULT_READ_ERROR, true, "Cause: UPLOAD at 0x08001000: board answered dfuERROR, errUNKNOWN."},
    {"MassEraseErrorVerdict", {FaultType::ErrorStatus, Request::MassErase, 0, vboard::errERASE},
     STM32_RESULT_ERASE_ERROR, false, "Cause: MASS_ERASE: board answered dfuERROR, errERASE.", 64},
    {"MassEraseStall", {FaultType::Stall, Request::MassErase, 0}, STM32_RESULT_ERASE_ERROR, false,
     "Cause: MASS_ERASE: LIBUSB_ERROR_PIPE.", 64},
};

class UploadFault : public BoardTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(UploadFault, GivesItsResultAndClosingLineAndStartsNothing) {
    const FaultCase& c = GetParam();
    auto& board = addBoard(Profile::F1);
    auto bytes = withVector(patternBytes(c.imageBlocks * 2048, 51), 0x08000101);
    lend(board, bytes);
    board.injectFault(c.fault);
    EXPECT_EQ(command(board, STM32_CMD_UPLOAD, 0), c.result);
    auto lines = transcript();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Error while flashing STM32.");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Error while reading flash memory."), c.verifyReadLine ? 1 : 0);
    ASSERT_GE(lines.size(), c.verifyReadLine ? 3u : 2u);
    EXPECT_EQ(lines[lines.size() - (c.verifyReadLine ? 3 : 2)], c.cause) << "the failed step names its cause";
    for (const auto& line : lines) EXPECT_EQ(line.find("<unterminated>"), std::string::npos) << line;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "OK."), 0);
    EXPECT_EQ(ctx->logLineLength, 0);
    EXPECT_FALSE(board.hasLeft());
    EXPECT_EQ(board.count(Request::Leave), 0u);
}

INSTANTIATE_TEST_SUITE_P(Matrix, UploadFault, ::testing::ValuesIn(kUploadFaults),
                         [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

using CommandFaultTest = BoardTest;

TEST_F(CommandFaultTest, DownloadReadFailure) {
    auto& board = addBoard(Profile::F1);
    lend(board, {});
    board.injectFault({FaultType::Stall, Request::Upload, 5});
    EXPECT_EQ(command(board, STM32_CMD_DOWNLOAD, 0, 0), STM32_RESULT_READ_ERROR);
    EXPECT_EQ(transcript().back(), "Error while reading STM32 flash.");
    EXPECT_EQ(ctx->logLineLength, 0);
}

TEST_F(CommandFaultTest, EraseFailures) {
    auto& board = addBoard(Profile::F4);
    board.fillFlashPattern(61);
    lend(board, {});
    board.injectFault({FaultType::ErrorStatus, Request::ErasePage, 0, vboard::errERASE});
    EXPECT_EQ(command(board, STM32_CMD_ERASE, 0x4000, 0x4000), STM32_RESULT_ERASE_ERROR);
    EXPECT_EQ(transcript(), (std::vector<std::string>{"Erasing pages.",
                                                      "Cause: ERASE at 0x08004000: board answered dfuERROR, errERASE.",
                                                      "Error while erasing STM32 flash."}));

    // A range inside a sector reads the rest of it back first; a failed read
    // erases nothing.
    log.clear();
    board.resetCounters();
    auto before = board.flash();
    board.injectFault({FaultType::Stall, Request::Upload, 1});
    EXPECT_EQ(command(board, STM32_CMD_ERASE, 0x8100, 0x100), STM32_RESULT_READ_ERROR);
    EXPECT_EQ(board.count(Request::ErasePage), 0u);
    EXPECT_EQ(board.flash(), before);
    EXPECT_EQ(transcript().back(), "Error while erasing STM32 flash.");

    log.clear();
    board.injectFault({FaultType::ErrorStatus, Request::MassErase, 0, vboard::errERASE});
    EXPECT_EQ(command(board, STM32_CMD_ERASE, 0, 0), STM32_RESULT_ERASE_ERROR);
    EXPECT_EQ(transcript().back(), "Error while erasing STM32 flash.");
}

TEST_F(CommandFaultTest, FailedJumpAddressReadFallsBackToTheImagesVector) {
    auto& board = addBoard(Profile::F1);
    board.write(0x08000000, {0x00, 0x50, 0x00, 0x20, 0x35, 0x01, 0x00, 0x08});
    auto bytes = withVector(patternBytes(0x400, 71), 0x08000801);
    lend(board, bytes);
    board.injectFault({FaultType::Stall, Request::Upload, 0}); // the jump-address block
    EXPECT_EQ(command(board, STM32_CMD_UPLOAD, 0x800), STM32_RESULT_OK);
    EXPECT_TRUE(board.hasLeft());
    EXPECT_EQ(board.leaveAddress(), 0x08000800u) << "the image's own table";
}

// A read-protected ROM answers errVENDOR to uploads, erases and writes; the
// fault here gives exactly that answer where the ROM would.
TEST_F(CommandFaultTest, ReadProtectionIsNamedWithItsOwnResult) {
    const std::string hint = "The board's flash is read-protected: it cannot be read, erased or written. "
                             "Removing the protection erases the whole flash: stm32cmd --unprotect --force";
    auto& board = addBoard(Profile::F1);
    lend(board, {});
    board.injectFault({FaultType::ErrorStatus, Request::Upload, 0, vboard::errVENDOR});
    EXPECT_EQ(command(board, STM32_CMD_DOWNLOAD, 0, 4096), STM32_RESULT_READ_PROTECTED);
    EXPECT_EQ(transcript(), (std::vector<std::string>{"Address: 0x08000000", "Size: 4096", "Reading flash.", hint,
                                                      "Error while reading STM32 flash."}));

    log.clear();
    board.injectFault({FaultType::ErrorStatus, Request::ErasePage, 0, vboard::errVENDOR});
    EXPECT_EQ(command(board, STM32_CMD_ERASE, 0x800, 0x800), STM32_RESULT_READ_PROTECTED);
    EXPECT_EQ(transcript(), (std::vector<std::string>{"Erasing pages.", hint, "Error while erasing STM32 flash."}));

    log.clear();
    lend(board, withVector(patternBytes(2048, 81), 0x08000101));
    board.injectFault({FaultType::ErrorStatus, Request::DataBlock, 0, vboard::errVENDOR});
    EXPECT_EQ(command(board, STM32_CMD_UPLOAD, 0), STM32_RESULT_READ_PROTECTED);
    EXPECT_EQ(transcript(), (std::vector<std::string>{"Reading flash.", "Erasing pages..", "Writing pages.", hint,
                                                      "Error while flashing STM32."}));
    EXPECT_FALSE(board.hasLeft());
}

TEST_F(CommandFaultTest, AnAddressTheBoardRefusesInsideItsLayoutIsNamed) {
    auto& board = addBoard(Profile::F1);
    lend(board, {});
    board.injectFault({FaultType::ErrorStatus, Request::Upload, 2, vboard::errTARGET});
    EXPECT_EQ(command(board, STM32_CMD_DOWNLOAD, 0x1000, 5 * 2048), STM32_RESULT_READ_ERROR);
    auto lines = transcript();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2],
              "The board refused address 0x08002000: its real flash may be smaller than its layout says.");
    EXPECT_EQ(lines.back(), "Error while reading STM32 flash.");
}

TEST_F(CommandFaultTest, UnpluggedTargetIsNotFound) {
    auto& board = addBoard(Profile::F1);
    lend(board, {});
    int32_t index = board.listPosition();
    bus->unplug(board);
    EXPECT_EQ(stm32Command(ctx, index, 0x08000000, 0, 0, STM32_CMD_DOWNLOAD), STM32_RESULT_NO_TARGET);
    EXPECT_EQ(transcript(), (std::vector<std::string>{"STM32 not connected or not in bootload mode."}));
}

} // namespace
