// stm32cmd end to end: the program runs as a child process against virtual
// boards and is judged by its exit status, its output and the board's flash.
#include "cli_process.h"
#include "virtual_board.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifndef STM32CMD_PATH
#error "STM32CMD_PATH must name the stm32cmd program"
#endif
#ifndef STM32_EXAMPLES_DIR
#error "STM32_EXAMPLES_DIR must name the examples folder"
#endif

namespace {

using clitest::RunResult;
using vboard::Request;

constexpr uint32_t kFlashStart = 0x08000000;
const std::string kProgram = STM32CMD_PATH;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<uint8_t> slice(const std::vector<uint8_t>& bytes, size_t at, size_t length)
{
    return std::vector<uint8_t>(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + length));
}

uint64_t transfers(const vboard::Board& board)
{
    return board.count(Request::Upload) + board.count(Request::DataBlock) + board.count(Request::ErasePage) +
           board.count(Request::MassErase) + board.count(Request::SetAddress);
}

class Stm32Cmd : public ::testing::Test {
protected:
    RunResult run(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), kProgram);
        return clitest::runStm32cmd(arguments, dir.path());
    }

    vboard::Board& addBoard(vboard::Profile profile = vboard::Profile::F1)
    {
        vboard::BoardOptions options;
        options.profile = profile;
        return bus.addBoard(options);
    }

    // A board that started its program has left the bus; power it up in the
    // bootloader again, as a user would.
    void backToBootloader(vboard::Board& board) { bus.replug(board); }

    std::string writeImage(const std::string& name, const std::vector<uint8_t>& bytes)
    {
        clitest::writeFile(dir.file(name), bytes);
        return dir.file(name);
    }

    vboard::Bus bus;
    clitest::TempDir dir;
};

// --- usage, options and the checks before any transfer ---------------------

TEST_F(Stm32Cmd, UsageTextAndStatusSeven)
{
    addBoard();
    const std::string usagePrefix = kProgram + ": <file>\nVersion 1.1.1\nOptions:\n";
    for (const char* help : {"-h", "-?"}) {
        const RunResult r = run({help});
        EXPECT_EQ(r.status, 7) << help;
        EXPECT_EQ(r.out, "") << help;
        EXPECT_EQ(r.err.rfind(usagePrefix, 0), 0u) << r.err;
        EXPECT_TRUE(contains(r.err, kProgram + " -o 0x400 myprog.bin\nExit codes:\n 0: Success\n"));
        EXPECT_TRUE(contains(r.err, "13: Firmware Too Big\n"));
    }
    // An upload needs exactly one file.
    const std::string image = writeImage("a.bin", clitest::makeImage(64, 0x08000101, 1));
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{}, std::vector<std::string>{image, image}, std::vector<std::string>{"-u"}}) {
        const RunResult r = run(arguments);
        EXPECT_EQ(r.status, 7);
        EXPECT_EQ(r.err.rfind(usagePrefix, 0), 0u) << r.err;
    }
    EXPECT_EQ(bus.boards()[0]->count(Request::DataBlock), 0u);
}

TEST_F(Stm32Cmd, BadOptionsPrintTheirLineThenUsage)
{
    addBoard();
    RunResult r = run({"-x"});
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(r.err.rfind("illegal option -- x\n" + kProgram + ": <file>\n", 0), 0u) << r.err;
    r = run({"-d", "-o"});
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(r.err.rfind("option requires an argument -- o\n", 0), 0u) << r.err;
    r = run({"-o", "0x123456789", "a.bin"});
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(r.err.rfind("number out of range -- 0x123456789\n", 0), 0u) << r.err;
}

TEST_F(Stm32Cmd, NoDeviceIsStatusEightForEveryCommand)
{
    bus.addForeignDevice();
    const std::string image = writeImage("a.bin", clitest::makeImage(64, 0x08000101, 1));
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"-l"}, std::vector<std::string>{"-d"}, std::vector<std::string>{"-e"},
          std::vector<std::string>{image}, std::vector<std::string>{}}) {
        const RunResult r = run(arguments);
        EXPECT_EQ(r.status, 8);
        EXPECT_EQ(r.err, "no device connected\n");
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(clitest::fileExists(dir.file("image.bin")));
}

TEST_F(Stm32Cmd, TargetChoiceOutsideTheConnectedBoardsIsAParameterError)
{
    vboard::Board& board = addBoard();
    for (const char* choice : {"1", "-1", "2147483647"}) {
        const RunResult r = run({"-d", "-i", choice});
        EXPECT_EQ(r.status, 7) << choice;
        EXPECT_TRUE(contains(r.err, "out of range")) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(transfers(board), 0u);
    EXPECT_FALSE(clitest::fileExists(dir.file("image.bin")));
}

TEST_F(Stm32Cmd, UnreadableLayoutIsStatusEightWithoutMessage)
{
    addBoard(vboard::Profile::NoInternalFlash);
    const RunResult r = run({"-l"});
    EXPECT_EQ(r.status, 8);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");
}

// --- list ---------------------------------------------------------------------

TEST_F(Stm32Cmd, ListShowsEveryBoardByListPosition)
{
    bus.addForeignDevice();
    vboard::Board& f1 = addBoard(vboard::Profile::F1);
    vboard::Board& f4 = addBoard(vboard::Profile::F4);
    const RunResult r = run({"-l"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    // The size shown is the layout's first segment or the whole flash: the
    // library decides; the program passes its lines through unchanged.
    const auto line = [](const vboard::Board& board, uint32_t bytes) {
        return "STM32 (ID:" + std::to_string(board.listPosition()) + ") Flash: " + std::to_string(bytes / 1024) +
               "KB Flash Start: 08000000\n";
    };
    const auto firstSegment = [](const vboard::Board& board) {
        return board.flashSegments().front().count * board.flashSegments().front().size;
    };
    const std::string bySegment = line(f1, firstSegment(f1)) + line(f4, firstSegment(f4));
    const std::string byTotal = line(f1, f1.flashSize()) + line(f4, f4.flashSize());
    EXPECT_TRUE(r.out == bySegment || r.out == byTotal) << r.out;
    EXPECT_FALSE(contains(r.out, "OK."));
}

// --- upload -------------------------------------------------------------------

TEST_F(Stm32Cmd, UploadBinaryProgramsVerifiesAndStarts)
{
    vboard::Board& board = addBoard();
    board.fillFlashPattern(7);
    const std::vector<uint8_t> before = board.flash();
    const std::vector<uint8_t> image = clitest::makeImage(5000, 0x08000141, 2);
    const RunResult r = run({writeImage("prog.bin", image)});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("Reading flash.\nErasing pages.", 0), 0u) << r.out;
    EXPECT_TRUE(contains(r.out, "\nWriting pages.")) << r.out;
    EXPECT_TRUE(contains(r.out, "\nVerifying.\nOK.\n")) << r.out;
    EXPECT_FALSE(contains(r.out, "Address:"));
    const std::vector<uint8_t> after = board.flash();
    EXPECT_EQ(slice(after, 0, image.size()), image);
    // The rest of the last block and the blocks after it are carried over.
    EXPECT_EQ(slice(after, image.size(), after.size() - image.size()),
              slice(before, image.size(), before.size() - image.size()));
    EXPECT_TRUE(board.hasLeft());
    EXPECT_EQ(board.leaveAddress(), 0x08000000u) << "the image's vector table";
}

TEST_F(Stm32Cmd, UploadAtOffsetInBothNumberForms)
{
    const std::vector<uint8_t> image = clitest::makeImage(1024, 0x08000401, 3);
    const std::string path = writeImage("prog.bin", image);
    vboard::Board& board = addBoard();
    for (const std::vector<std::string>& form :
         {std::vector<std::string>{"-o", "0x400"}, std::vector<std::string>{"-o1024"}}) {
        board.fillFlashPattern(form.size() == 2 ? 11 : 12);
        const std::vector<uint8_t> before = board.flash();
        std::vector<std::string> arguments = form;
        arguments.push_back(path);
        const RunResult r = run(arguments);
        ASSERT_EQ(r.status, 0) << form[0] << r.out << r.err;
        backToBootloader(board);
        EXPECT_EQ(r.out.rfind("Address: 0x08000400\nReading flash.\n", 0), 0u) << r.out;
        const std::vector<uint8_t> after = board.flash();
        EXPECT_EQ(slice(after, 0, 0x400), slice(before, 0, 0x400));
        EXPECT_EQ(slice(after, 0x400, image.size()), image);
        EXPECT_EQ(slice(after, 0x800, 0x800), slice(before, 0x800, 0x800));
    }
}

TEST_F(Stm32Cmd, UploadIntelHexByExtension)
{
    const std::vector<uint8_t> expected = clitest::readFile(std::string(STM32_EXAMPLES_DIR) + "/blink.bin");
    const std::vector<uint8_t> hexBytes = clitest::readFile(std::string(STM32_EXAMPLES_DIR) + "/blink.hex");
    const std::string hexText(hexBytes.begin(), hexBytes.end());
    ASSERT_FALSE(expected.empty());
    vboard::Board& board = addBoard();
    for (const char* name : {"blink.hex", "BLINK.HEX"}) {
        board.fillFlash(0x00);
        clitest::writeText(dir.file(name), hexText);
        const RunResult r = run({dir.file(name)});
        ASSERT_EQ(r.status, 0) << name << r.out << r.err;
        backToBootloader(board);
        EXPECT_EQ(slice(board.flash(), 0, expected.size()), expected) << name;
    }
}

TEST_F(Stm32Cmd, MixedCaseHexExtensionIsRawBinary)
{
    vboard::Board& board = addBoard();
    const std::string text = clitest::toIntelHex(clitest::makeImage(32, 0x08000101, 4), kFlashStart);
    clitest::writeText(dir.file("prog.Hex"), text);
    const RunResult r = run({dir.file("prog.Hex")});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(slice(board.flash(), 0, text.size()), std::vector<uint8_t>(text.begin(), text.end()));
}

TEST_F(Stm32Cmd, QuietUploadPrintsNothing)
{
    vboard::Board& board = addBoard();
    const std::vector<uint8_t> image = clitest::makeImage(3000, 0x08000101, 5);
    const RunResult r = run({"-q", writeImage("prog.bin", image)});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(slice(board.flash(), 0, image.size()), image);
}

TEST_F(Stm32Cmd, BinaryLongerThanFlashIsCutAtOffsetZero)
{
    vboard::Board& board = addBoard();
    const std::vector<uint8_t> image = clitest::makeImage(board.flashSize() + 100, 0x08000101, 6);
    const RunResult r = run({"-q", writeImage("big.bin", image)});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(board.flash(), slice(image, 0, board.flashSize()));
}

TEST_F(Stm32Cmd, ImagesThatDoNotFitAreRefusedBeforeAnyTransfer)
{
    vboard::Board& board = addBoard();
    const uint32_t flashSize = board.flashSize();
    const std::string full = writeImage("full.bin", clitest::makeImage(flashSize, 0x08000101, 7));
    const std::string small = writeImage("small.bin", clitest::makeImage(16, 0x08000101, 8));
    const std::vector<std::vector<std::string>> cases = {
        {"-o", "0x400", full},
        {"-o", std::to_string(flashSize - 15), small},
        {"-o", std::to_string(flashSize), small},      // at the end of flash
        {"-o", "0xFFFFFFF8", small},                    // would wrap around 32 bits
        {"-o", "-16", small},
    };
    for (const std::vector<std::string>& arguments : cases) {
        const RunResult r = run(arguments);
        EXPECT_EQ(r.status, 13) << arguments[1];
        EXPECT_EQ(r.err, "File too big for flash memory.\n") << arguments[1];
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(transfers(board), 0u);
    // Exactly up to the end of flash fits.
    EXPECT_EQ(run({"-q", "-o", std::to_string(flashSize - 16), small}).status, 0);
}

// --- image files that cannot be used ------------------------------------------

TEST_F(Stm32Cmd, UnreadableAndUndecodableFilesAreStatusEleven)
{
    vboard::Board& board = addBoard();
    RunResult r = run({dir.file("missing.bin")});
    EXPECT_EQ(r.status, 11);
    EXPECT_EQ(r.err, dir.file("missing.bin") + ": No such file or directory\n");

    const std::string good = clitest::toIntelHex(clitest::makeImage(64, 0x08000101, 9), kFlashStart);
    std::string badChecksum = good;
    const size_t dataLine = badChecksum.find('\n') + 1;        // first data record
    badChecksum[dataLine + 9] = badChecksum[dataLine + 9] == '0' ? '1' : '0'; // one data digit changed
    std::string notHex = good;
    notHex[dataLine + 11] = 'Z';
    std::string noEnd = good.substr(0, good.rfind(':'));
    const std::vector<std::string> texts = {badChecksum, notHex, noEnd, "hello\n", ""};
    for (const std::string& text : texts) {
        clitest::writeText(dir.file("bad.hex"), text);
        r = run({dir.file("bad.hex")});
        EXPECT_EQ(r.status, 11) << text;
        EXPECT_EQ(r.err, "Error decoding Intel-Hex format\n" + dir.file("bad.hex") + ": Input/output error\n");
    }

    // Data past the end of flash.
    clitest::writeText(dir.file("big.hex"),
                       clitest::toIntelHex(clitest::makeImage(32, 0x08000101, 10), kFlashStart + board.flashSize() - 16));
    r = run({dir.file("big.hex")});
    EXPECT_EQ(r.status, 11);
    EXPECT_EQ(r.err, "File too big\n" + dir.file("big.hex") + ": Input/output error\n");

    // An empty binary would only start whatever is in flash.
    clitest::writeText(dir.file("empty.bin"), "");
    r = run({dir.file("empty.bin")});
    EXPECT_EQ(r.status, 11);
    EXPECT_EQ(r.err, dir.file("empty.bin") + ": file is empty\n");

    // "-" is a file name, not standard input.
    r = run({"-"});
    EXPECT_EQ(r.status, 11);
    EXPECT_EQ(r.err, "-: No such file or directory\n");

    // A directory opens but cannot be read.
    r = run({dir.path()});
    EXPECT_EQ(r.status, 11);
    EXPECT_TRUE(contains(r.err, dir.path() + ": ")) << r.err;

    EXPECT_EQ(transfers(board), 0u);
    EXPECT_FALSE(board.hasLeft());
}

// --- download -----------------------------------------------------------------

TEST_F(Stm32Cmd, DownloadWholeFlashIntoImageBin)
{
    vboard::Board& board = addBoard();
    board.fillFlashPattern(21);
    const RunResult r = run({"-d"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "Reading flash.\nOK.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(clitest::readFile(dir.file("image.bin")), board.flash());
}

TEST_F(Stm32Cmd, DownloadPartAtOffsetIntoNamedFile)
{
    vboard::Board& board = addBoard();
    board.fillFlashPattern(22);
    const RunResult r = run({"-d", "-o", "0x800", "-s", "4096", "-f", "part.bin"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "Address: 0x08000800\nSize: 4096\nReading flash.\nOK.\n");
    EXPECT_EQ(clitest::readFile(dir.file("part.bin")), slice(board.flash(), 0x800, 4096));
}

TEST_F(Stm32Cmd, DownloadSizeZeroWritesWhatWasRead)
{
    vboard::Board& board = addBoard();
    board.fillFlashPattern(23);
    RunResult r = run({"-d", "-s", "0", "-f", "all.bin"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(clitest::readFile(dir.file("all.bin")), board.flash());

    r = run({"-d", "-s", "0", "-o", "0x1000", "-f", "rest.bin"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::vector<uint8_t> flash = board.flash();
    EXPECT_EQ(clitest::readFile(dir.file("rest.bin")), slice(flash, 0x1000, flash.size() - 0x1000));
}

TEST_F(Stm32Cmd, DownloadSizePastTheFlashIsClamped)
{
    vboard::Board& board = addBoard();
    board.fillFlashPattern(24);
    const uint32_t flashSize = board.flashSize();
    const RunResult r = run({"-d", "-o", "0x800", "-s", std::to_string(flashSize * 2), "-f", "tail.bin"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::vector<uint8_t> flash = board.flash();
    EXPECT_EQ(clitest::readFile(dir.file("tail.bin")), slice(flash, 0x800, flashSize - 0x800));
    EXPECT_LE(board.counters().bytesUploaded, uint64_t{flashSize - 0x800});
}

TEST_F(Stm32Cmd, DownloadAndEraseRefuseAnOffsetPastTheFlash)
{
    vboard::Board& board = addBoard();
    const std::string end = std::to_string(board.flashSize());
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"-d", "-o", end}, std::vector<std::string>{"-e", "-o", end},
          std::vector<std::string>{"-d", "-o", "0xFFFFFFFF", "-s", "16"}}) {
        const RunResult r = run(arguments);
        EXPECT_EQ(r.status, 7) << arguments[0] << arguments[2];
        EXPECT_TRUE(contains(r.err, "past the end of flash")) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(run({"-d", "-s", "-5"}).status, 7);
    EXPECT_EQ(transfers(board), 0u);
    EXPECT_FALSE(clitest::fileExists(dir.file("image.bin")));
}

TEST_F(Stm32Cmd, DownloadFileThatCannotBeWrittenIsStatusTwelve)
{
    addBoard();
    const std::string target = dir.file("no-such-dir") + "/out.bin";
    const RunResult r = run({"-d", "-s", "2048", "-f", target});
    EXPECT_EQ(r.status, 12);
    EXPECT_EQ(r.err, target + ": No such file or directory\n");
    EXPECT_TRUE(contains(r.out, "OK.\n"));
}

// --- erase --------------------------------------------------------------------

TEST_F(Stm32Cmd, EraseWholeFlashBlockByBlock)
{
    vboard::Board& board = addBoard();
    board.fillFlash(0x00);
    const RunResult r = run({"-e"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.rfind("Erasing pages.", 0), 0u) << r.out;
    EXPECT_TRUE(contains(r.out, "\nOK.\n"));
    EXPECT_EQ(board.flash(), std::vector<uint8_t>(board.flashSize(), 0xFF));
    EXPECT_EQ(board.count(Request::MassErase), 0u);
}

TEST_F(Stm32Cmd, EraseSizeZeroIsMassErase)
{
    vboard::Board& board = addBoard();
    board.fillFlash(0x00);
    const RunResult r = run({"-e", "-s", "0"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(board.count(Request::MassErase), 1u);
    EXPECT_EQ(board.count(Request::ErasePage), 0u);
    EXPECT_EQ(board.flash(), std::vector<uint8_t>(board.flashSize(), 0xFF));
}

TEST_F(Stm32Cmd, ErasePartAndClampAtTheEnd)
{
    vboard::Board& board = addBoard();
    board.fillFlash(0x00);
    RunResult r = run({"-e", "-o", "0x800", "-s", "2048"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::vector<uint8_t> flash = board.flash();
    EXPECT_EQ(slice(flash, 0, 0x800), std::vector<uint8_t>(0x800, 0x00));
    EXPECT_EQ(slice(flash, 0x800, 0x800), std::vector<uint8_t>(0x800, 0xFF));
    EXPECT_EQ(slice(flash, 0x1000, 0x800), std::vector<uint8_t>(0x800, 0x00));

    // A size past the end erases up to the end and asks for nothing beyond it.
    const uint32_t lastBlock = board.flashSize() - 0x800;
    board.resetCounters();
    r = run({"-e", "-o", std::to_string(lastBlock), "-s", "0x100000"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(board.count(Request::ErasePage), 1u);
    flash = board.flash();
    EXPECT_EQ(slice(flash, lastBlock, 0x800), std::vector<uint8_t>(0x800, 0xFF));
}

// --- board failures -----------------------------------------------------------

struct FaultCase {
    const char* name;
    vboard::Request on;
    std::vector<std::string> arguments; // "IMAGE" stands for an image file
    int status;
    const char* closingLine;
};

TEST_F(Stm32Cmd, BoardFailuresBecomeTheirExitStatus)
{
    const std::vector<FaultCase> cases = {
        {"read during download", Request::Upload, {"-d"}, 2, "Error while reading STM32 flash.\n"},
        {"read during upload", Request::Upload, {"IMAGE"}, 2, "Error while flashing STM32.\n"},
        {"write", Request::DataBlock, {"IMAGE"}, 3, "Error while flashing STM32.\n"},
        {"erase during upload", Request::ErasePage, {"IMAGE"}, 4, "Error while flashing STM32.\n"},
        {"erase", Request::ErasePage, {"-e"}, 4, "Error while erasing STM32 flash.\n"},
        {"mass erase", Request::MassErase, {"-e", "-s", "0"}, 4, "Error while erasing STM32 flash.\n"},
    };
    const std::vector<uint8_t> image = clitest::makeImage(6000, 0x08000101, 30);
    const std::string imagePath = writeImage("prog.bin", image);
    vboard::Board& board = addBoard();
    for (const FaultCase& fault : cases) {
        board.clearFaults();
        board.fillFlashPattern(31);
        vboard::Fault injected;
        injected.type = vboard::FaultType::ErrorStatus;
        injected.on = fault.on;
        injected.status = vboard::errUNKNOWN;
        // Several, so that a recovery step inside the library cannot hide the failure.
        for (int copy = 0; copy < 3; ++copy) board.injectFault(injected);
        std::vector<std::string> arguments;
        for (const std::string& argument : fault.arguments) arguments.push_back(argument == "IMAGE" ? imagePath : argument);
        const RunResult r = run(arguments);
        EXPECT_EQ(r.status, fault.status) << fault.name << "\n" << r.out << r.err;
        EXPECT_TRUE(r.out.size() >= std::string(fault.closingLine).size() &&
                    r.out.substr(r.out.size() - std::string(fault.closingLine).size()) == fault.closingLine)
            << fault.name << "\n" << r.out;
        EXPECT_FALSE(board.hasLeft()) << fault.name;
    }
    EXPECT_FALSE(clitest::fileExists(dir.file("image.bin")));
}

TEST_F(Stm32Cmd, VerifyMismatchIsStatusFive)
{
    // Flash changed between writing and the read-back: with real timing the
    // verify's address command keeps the board busy for a while after
    // "Verifying." is printed, long enough to change bytes behind its back.
    vboard::BoardOptions options;
    options.profile = vboard::Profile::F4;
    options.timeScale = 5;
    vboard::Board& board = bus.addBoard(options);
    const std::vector<uint8_t> image(3 * 2048, 0x5A);
    const std::vector<std::string> arguments = {kProgram, writeImage("prog.bin", image)};
    const RunResult r = clitest::runStm32cmdUntil(arguments, dir.path(), "Verifying.\n", [&board] {
        board.write(kFlashStart + 0x864, std::vector<uint8_t>(10, 0x00));
        board.write(kFlashStart + 0x1007, {0x00, 0x00});
    });
    EXPECT_EQ(r.status, 5) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "Verifying.\nError at\n[page] Address firmware (flash)\n"
                                "[0002] 08000864: 5A (00)\n[0002] 08000865: 5A (00)\n[0002] 08000866: 5A (00)\n"
                                "[0003] 08001007: 5A (00)\n[0003] 08001008: 5A (00)\n"
                                "Error while flashing STM32.\n"))
        << r.out;
    EXPECT_FALSE(board.hasLeft());
}

TEST_F(Stm32Cmd, BoardUnpluggedDuringDownloadLeavesNoFile)
{
    vboard::Board& board = addBoard();
    vboard::Fault unplug;
    unplug.type = vboard::FaultType::Unplug;
    unplug.on = Request::Upload;
    unplug.skip = 3;
    board.injectFault(unplug);
    const RunResult r = run({"-d"});
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "Error while reading STM32 flash.\n")) << r.out;
    EXPECT_FALSE(clitest::fileExists(dir.file("image.bin")));
}

TEST_F(Stm32Cmd, QuietFailureKeepsOnlyTheStatus)
{
    vboard::Board& board = addBoard();
    vboard::Fault fault;
    fault.type = vboard::FaultType::ErrorStatus;
    fault.on = Request::Upload;
    board.injectFault(fault);
    const RunResult r = run({"-q", "-d", "-f", "out.bin"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(clitest::fileExists(dir.file("out.bin")));
}

TEST_F(Stm32Cmd, BoardWithoutFunctionalDescriptorIsNoDevice)
{
    addBoard(vboard::Profile::NoFunctionalDescriptor);
    const RunResult r = run({"-d"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(clitest::fileExists(dir.file("image.bin")));
}

TEST_F(Stm32Cmd, SecondBoardChosenByIndex)
{
    vboard::Board& first = addBoard();
    vboard::Board& second = addBoard();
    first.fillFlash(0x11);
    second.fillFlash(0x22);
    const RunResult r = run({"-d", "-i", "1", "-s", "2048"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(clitest::readFile(dir.file("image.bin")), std::vector<uint8_t>(2048, 0x22));
    EXPECT_EQ(first.count(Request::Upload), 0u);
}

} // namespace
