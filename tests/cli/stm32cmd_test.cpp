// stm32cmd end to end: the program runs as a child process against virtual
// boards and is judged by its exit status, its output and the board's flash.
#include "cli_process.h"
#ifdef STM32_SAMPLE_IMAGES_DIR
#include "dfuse_writer.h"
#endif
#include "virtual_board.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <tuple>
#include <utility>
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
// The native build, or another build of the program (the Windows one, run under wine).
const std::string kProgram = clitest::programUnderTest(STM32CMD_PATH);
const bool kWindowsProgram = clitest::isWindowsProgram(kProgram);
const std::string kNameAsSeen = clitest::programNameAsSeen(kProgram); // the usage text's argv[0]

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

    vboard::Board& addBoard(vboard::Profile profile = vboard::Profile::F1, const std::string& serial = "")
    {
        vboard::BoardOptions options;
        options.profile = profile;
        options.serial = serial;
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
    const std::string usagePrefix = kNameAsSeen + ": <file>\nVersion 1.1.1\nOptions:\n";
    for (const char* help : {"-h", "-?"}) {
        const RunResult r = run({help});
        EXPECT_EQ(r.status, 7) << help;
        EXPECT_EQ(r.out, "") << help;
        EXPECT_EQ(r.err.rfind(usagePrefix, 0), 0u) << r.err;
        EXPECT_TRUE(contains(r.err, kNameAsSeen + " -o 0x400 myprog.bin\nExit codes:\n 0: Success\n"));
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
    EXPECT_EQ(r.err.rfind("illegal option -- x\n" + kNameAsSeen + ": <file>\n", 0), 0u) << r.err;
    r = run({"-d", "-o"});
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(r.err.rfind("option requires an argument -- o\n", 0), 0u) << r.err;
    r = run({"-o", "0x123456789", "a.bin"});
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(r.err.rfind("number out of range -- 0x123456789\n", 0), 0u) << r.err;
}

TEST_F(Stm32Cmd, LongHelpGoesToStandardOutputWithStatusZero)
{
    const RunResult r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind(kNameAsSeen + ": <file>\nVersion 1.1.1\n", 0), 0u) << r.out;
    EXPECT_TRUE(contains(r.out, "14: Read Protected\n"));
}

TEST_F(Stm32Cmd, MistypedNumbersAndStrayOperandsTouchNothing)
{
    vboard::Board& board = addBoard();
    board.fillFlashPattern(3);
    const std::vector<uint8_t> before = board.flash();
    const std::string image = writeImage("app.bin", clitest::makeImage(64, 0x08000101, 1));
    RunResult r = run({"-o", "0X8000", image});
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(r.err.rfind("-o: not a number: \"0X8000\"", 0), 0u) << r.err;
    r = run({"-d", "-i", "x"});
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(r.err.rfind("-i: not a number: \"x\"", 0), 0u) << r.err;

    r = run({"-d", "backup.bin"});
    EXPECT_EQ(r.status, 7);
    EXPECT_TRUE(contains(r.err, "did you mean -f backup.bin?\n")) << r.err;
    EXPECT_FALSE(clitest::fileExists(dir.file("image.bin")));
    EXPECT_FALSE(clitest::fileExists(dir.file("backup.bin")));
    r = run({"-e", image});
    EXPECT_EQ(r.status, 7);
    EXPECT_TRUE(contains(r.err, "leave out -e")) << r.err;
    EXPECT_EQ(r.out, "");

    EXPECT_EQ(transfers(board), 0u);
    EXPECT_EQ(board.flash(), before);
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

TEST_F(Stm32Cmd, UnreadableLayoutIsStatusEightWithItsReason)
{
    vboard::Board& board = addBoard(vboard::Profile::NoInternalFlash, "NOFLASH1");
    for (const char* command : {"-l", "-d", "-e"}) {
        const RunResult r = run({command});
        EXPECT_EQ(r.status, 8) << command;
        EXPECT_EQ(r.err, "The flash layout of the board -i 0 (ID:" + std::to_string(board.listPosition()) +
                             ", path " + board.portPath() + ", serial NOFLASH1) cannot be read: it names no \"@Internal Flash\" memory; "
                             "is it an STM32 in its system bootloader?\n")
            << command;
        EXPECT_EQ(r.out, "");
    }
    addBoard(vboard::Profile::LayoutWithoutSlash);
    const RunResult r = run({"-d", "-i", "1"});
    EXPECT_EQ(r.status, 8);
    EXPECT_TRUE(contains(r.err, "cannot be read: \"@Internal Flash\"\n")) << r.err;
    EXPECT_EQ(transfers(board), 0u);
}

TEST_F(Stm32Cmd, BoardThatCannotBeOpenedSaysWhatToDo)
{
    vboard::BoardOptions options;
    options.serial = "LOCKED01";
    options.usbAccess = vboard::UsbAccess::OpenDenied;
    vboard::Board& board = bus.addBoard(options);
    const RunResult r = run({"-d"});
    EXPECT_EQ(r.status, 8);
    EXPECT_EQ(r.err.rfind("The flash layout of the board -i 0 (ID:" + std::to_string(board.listPosition()) +
                              ", path " + board.portPath() + ") cannot be read: the board cannot be opened (access denied).\n",
                          0),
              0u)
        << r.err;
    // Each platform names what its users can change.
    EXPECT_TRUE(contains(r.err, kWindowsProgram ? "another program may hold it, or this user may not open it."
                                                : "sudo install -m 644 dist/linux/60-stm32-dfu.rules /etc/udev/rules.d/"))
        << r.err;
    EXPECT_FALSE(clitest::fileExists(dir.file("image.bin")));

    const RunResult list = run({"-l", "-v"});
    EXPECT_EQ(list.status, 0);
    EXPECT_TRUE(contains(list.out, "(cannot open: access denied)")) << list.out;
}

TEST_F(Stm32Cmd, BoardWithoutWinUsbSaysWhichDriverToBind)
{
    // Windows' libusb reports a board bound to another driver as "not
    // supported"; the wine USB bridge can answer an open that way.
    if (!kWindowsProgram) GTEST_SKIP() << "a Windows driver matter";
    vboard::Board& board = addBoard();
    ASSERT_EQ(setenv("STM32_WINE_USB_OPEN_ERROR", "-12", 1), 0);
    const RunResult r = run({"-d"});
    const RunResult upload = run({writeImage("prog.bin", clitest::makeImage(64, 0x08000101, 1))});
    unsetenv("STM32_WINE_USB_OPEN_ERROR");
    EXPECT_EQ(r.status, 8) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, "bind WinUSB to \"STM32 BOOTLOADER\" (USB\\VID_0483&PID_DF11), for example with Zadig."))
        << r.err;
    EXPECT_NE(upload.status, 0) << upload.out << upload.err;
    EXPECT_TRUE(contains(upload.out + upload.err, "WinUSB to \"STM32 BOOTLOADER\"")) << upload.out << upload.err;
    EXPECT_EQ(transfers(board), 0u);
    EXPECT_FALSE(clitest::fileExists(dir.file("image.bin")));
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

TEST_F(Stm32Cmd, VerboseListShowsWhatTellsBoardsApart)
{
    vboard::Board& f1 = addBoard(vboard::Profile::F1, "F1SERIAL0001");
    bus.addForeignDevice();
    vboard::Board& h7 = addBoard(vboard::Profile::H7, "H7SERIAL0002");
    const RunResult r = run({"-l", "-v"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // Product strings, bcdDevice and layouts as the boards' real ROMs give them.
    const std::string f1Line = "-i 0  ID:" + std::to_string(f1.listPosition()) + "  path " + f1.portPath() +
                               "  serial \"F1SERIAL0001\"  product \"STM32 0x418 DFU Bootloader\"  bcdDevice 0x2000"
                               "  transfer size 2048  layout \"@Internal Flash  /0x08000000/128*002Kg\"\n";
    const std::string h7Line = "-i 1  ID:" + std::to_string(h7.listPosition()) + "  path " + h7.portPath() +
                               "  serial \"H7SERIAL0002\"  product \"STM32  BOOTLOADER\"  bcdDevice 0x0200"
                               "  transfer size 1024  layout \"@Internal Flash   /0x08000000/16*128Kg\"\n";
    EXPECT_EQ(r.out, f1Line + h7Line);
    EXPECT_EQ(transfers(f1) + transfers(h7), 0u);

    // -q silences the list as it silences everything else.
    const RunResult quiet = run({"-l", "-v", "-q"});
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out, "");
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

TEST_F(Stm32Cmd, BinaryLongerThanFlashIsRefusedAlsoAtOffsetZero)
{
    vboard::Board& board = addBoard();
    board.fillFlashPattern(6);
    const std::vector<uint8_t> before = board.flash();
    const std::string big = writeImage("big.bin", clitest::makeImage(board.flashSize() + 1, 0x08000101, 6));
    for (const std::vector<std::string>& arguments : {std::vector<std::string>{big},
                                                      std::vector<std::string>{"-o", "0", big},
                                                      std::vector<std::string>{"-o", "0x800", big}}) {
        const RunResult r = run(arguments);
        EXPECT_EQ(r.status, 13);
        EXPECT_EQ(r.err, "File too big for flash memory.\n");
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(transfers(board), 0u);
    EXPECT_EQ(board.flash(), before);
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

#ifdef STM32_SAMPLE_IMAGES_DIR
// --- every image format --------------------------------------------------------

std::string samplePath(const char* name) { return std::string(STM32_SAMPLE_IMAGES_DIR) + "/" + name; }

std::vector<uint8_t> blinkDfuFile(const std::vector<uint8_t>& blink)
{
    return frontendtest::dfuseFile({{0, "Internal Flash", {{kFlashStart, blink}}}});
}

TEST_F(Stm32Cmd, EveryFormatLandsByteForByte)
{
    const std::vector<uint8_t> blink = clitest::readFile(std::string(STM32_EXAMPLES_DIR) + "/blink.bin");
    ASSERT_FALSE(blink.empty());
    const std::vector<uint8_t> elf = clitest::readFile(samplePath("blink.elf"));
    ASSERT_FALSE(elf.empty());
    // By extension, in any case where the format allows it, and by magic whatever the name.
    const std::vector<std::pair<std::string, std::vector<uint8_t>>> files = {
        {"blink.bin", blink},
        {"blink.hex", clitest::readFile(samplePath("blink.hex"))},
        {"blink.srec", clitest::readFile(samplePath("blink.srec"))},
        {"BLINK.S19", clitest::readFile(samplePath("blink.srec"))},
        {"blink.elf", elf},
        {"firmware", elf},
        {"blink.dfu", blinkDfuFile(blink)},
        {"update.bin.DFU", blinkDfuFile(blink)},
        {"image.img", blinkDfuFile(blink)},
    };
    vboard::Board& board = addBoard();
    uint32_t seed = 60;
    for (const auto& [name, bytes] : files) {
        board.fillFlashPattern(++seed);
        const std::vector<uint8_t> before = board.flash();
        const RunResult r = run({"-q", writeImage(name, bytes)});
        ASSERT_EQ(r.status, 0) << name << "\n" << r.err;
        backToBootloader(board);
        const std::vector<uint8_t> after = board.flash();
        EXPECT_EQ(slice(after, 0, blink.size()), blink) << name;
        EXPECT_EQ(slice(after, blink.size(), after.size() - blink.size()),
                  slice(before, blink.size(), before.size() - blink.size()))
            << name;
    }
}

TEST_F(Stm32Cmd, OffsetMovesAnAddressedFileToo)
{
    const std::vector<uint8_t> blink = clitest::readFile(std::string(STM32_EXAMPLES_DIR) + "/blink.bin");
    vboard::Board& board = addBoard();
    for (const char* name : {"blink.elf", "blink.srec"}) {
        board.fillFlash(0x00);
        const RunResult r = run({"-q", "-o", "0x800", samplePath(name)});
        ASSERT_EQ(r.status, 0) << name << r.err;
        backToBootloader(board);
        EXPECT_EQ(slice(board.flash(), 0x800, blink.size()), blink) << name;
        EXPECT_EQ(slice(board.flash(), 0, 0x800), std::vector<uint8_t>(0x800, 0x00)) << name;
    }
}

TEST_F(Stm32Cmd, DamagedFilesOfEveryFormatNeverReachTheBoard)
{
    const std::vector<uint8_t> blink = clitest::readFile(std::string(STM32_EXAMPLES_DIR) + "/blink.bin");
    std::vector<uint8_t> srec = clitest::readFile(samplePath("blink.srec"));
    std::vector<uint8_t> elf = clitest::readFile(samplePath("blink.elf"));
    std::vector<uint8_t> dfu = blinkDfuFile(blink);
    ASSERT_GT(srec.size(), 100u);
    ASSERT_GT(elf.size(), 0x40u);

    std::vector<uint8_t> badSrecChecksum = srec;
    const size_t secondLine = std::string(srec.begin(), srec.end()).find("\nS3") + 1; // S3: 32-bit addresses
    ASSERT_GT(secondLine, 0u);
    const size_t firstData = secondLine + 12;
    badSrecChecksum[firstData] = badSrecChecksum[firstData] == '0' ? '1' : '0';
    std::vector<uint8_t> cutSrec(srec.begin(), srec.begin() + static_cast<long>(srec.size() / 2));

    // The first program header's physical address, moved past the F1's 256 KB of flash.
    std::vector<uint8_t> elfOutside = elf;
    const uint32_t headers = elf[0x1C] | elf[0x1D] << 8 | elf[0x1E] << 16 | static_cast<uint32_t>(elf[0x1F]) << 24;
    const uint32_t paddr = headers + 12;
    ASSERT_LT(paddr + 4, elf.size());
    elfOutside[paddr + 3] = 0x09;
    std::vector<uint8_t> cutElf(elf.begin(), elf.begin() + 0x40);

    std::vector<uint8_t> badCrc = dfu;
    badCrc.back() ^= 0x01;
    std::vector<uint8_t> cutDfu(dfu.begin(), dfu.end() - 40);

    const std::vector<std::tuple<std::string, std::vector<uint8_t>, std::string>> corpus = {
        {"bad-checksum.srec", badSrecChecksum, "line 2"},
        {"cut.srec", cutSrec, ""},
        {"outside.elf", elfOutside, "segment 0"},
        {"cut.elf", cutElf, ""},
        {"bad-crc.dfu", badCrc, "CRC"},
        {"cut.dfu", cutDfu, ""},
    };
    vboard::Board& board = addBoard();
    board.fillFlashPattern(70);
    const std::vector<uint8_t> before = board.flash();
    for (const auto& [name, bytes, detail] : corpus) {
        const std::string path = writeImage(name, bytes);
        const RunResult r = run({path});
        EXPECT_EQ(r.status, 11) << name << "\n" << r.err;
        EXPECT_EQ(r.err.rfind(path + ": ", 0), 0u) << r.err;
        EXPECT_TRUE(contains(r.err, detail)) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.out, "") << name;
    }
    EXPECT_EQ(transfers(board), 0u);
    EXPECT_EQ(board.flash(), before);
}
#endif

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
    // The classic two lines keep their order; the line naming the record goes between them.
    const auto refusedHex = [&](const std::string& name, const std::string& first, const std::string& detail) {
        r = run({dir.file(name)});
        EXPECT_EQ(r.status, 11) << name;
        const std::string head = first + "\n" + dir.file(name) + ": ";
        const std::string tail = "\n" + dir.file(name) + ": Input/output error\n";
        EXPECT_EQ(r.err.rfind(head, 0), 0u) << r.err;
        EXPECT_TRUE(r.err.size() > tail.size() && r.err.substr(r.err.size() - tail.size()) == tail) << r.err;
        EXPECT_TRUE(contains(r.err, detail)) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 3) << r.err;
    };
    const std::vector<std::pair<std::string, std::string>> texts = {
        {badChecksum, "line 2: checksum"}, {notHex, "line 2"}, {noEnd, "end-of-file record"}, {"hello\n", "line 1"},
        {"", ""}};
    for (const auto& [text, detail] : texts) {
        clitest::writeText(dir.file("bad.hex"), text);
        refusedHex("bad.hex", "Error decoding Intel-Hex format", detail);
    }

    // Data that runs past the end of flash.
    clitest::writeText(dir.file("big.hex"),
                       clitest::toIntelHex(clitest::makeImage(32, 0x08000101, 10), kFlashStart + board.flashSize() - 8));
    refusedHex("big.hex", "File too big", "past the end of flash");

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

TEST_F(Stm32Cmd, DownloadFileThatCannotBeCreatedIsRefusedBeforeReading)
{
    vboard::Board& board = addBoard();
    const std::string target = dir.file("no-such-dir") + "/out.bin";
    const RunResult r = run({"-d", "-s", "2048", "-f", target});
    EXPECT_EQ(r.status, 12);
    EXPECT_EQ(r.err, target + ": No such file or directory\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(board.count(Request::Upload), 0u);
}

TEST_F(Stm32Cmd, FailedDownloadKeepsAnExistingFileAndLeavesNoNewOne)
{
    vboard::Board& board = addBoard();
    const std::vector<uint8_t> old = clitest::makeImage(300, 0x08000101, 40);
    clitest::writeFile(dir.file("keep.bin"), old);
    vboard::Fault fault;
    fault.type = vboard::FaultType::ErrorStatus;
    fault.on = Request::Upload;
    for (int copy = 0; copy < 3; ++copy) board.injectFault(fault);
    RunResult r = run({"-d", "-f", "keep.bin"});
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_EQ(clitest::readFile(dir.file("keep.bin")), old);

    // The same file is replaced whole once the read succeeds.
    board.clearFaults();
    board.fillFlashPattern(41);
    r = run({"-d", "-s", "100", "-f", "keep.bin"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(clitest::readFile(dir.file("keep.bin")), slice(board.flash(), 0, 100));
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
    // Flash changed between writing and the read-back: the verify's address
    // command announces a poll time that the host waits out after
    // "Verifying." is printed, long enough to change bytes behind its back.
    // An H7 ROM is used because it does not hold the status request (the F4
    // class answers as soon as the short Set Address is done).
    vboard::BoardOptions options;
    options.profile = vboard::Profile::H7;
    options.timeScale = 2;
    vboard::Board& board = bus.addBoard(options);
    const std::vector<uint8_t> image(3 * 2048, 0x5A);
    const std::vector<std::string> arguments = {kProgram, writeImage("prog.bin", image)};
    const RunResult r = clitest::runStm32cmdUntil(arguments, dir.path(), "Verifying.\n", [&board] {
        board.write(kFlashStart + 0x864, std::vector<uint8_t>(10, 0x00));
        board.write(kFlashStart + 0x1007, {0x00, 0x00});
    });
    EXPECT_EQ(r.status, 5) << r.out << r.err;
    // Blocks of the H7 are 1 KB, so 0x864 lies in block 3 and 0x1007 in block 5.
    EXPECT_TRUE(contains(r.out, "Verifying.\nError at\n[page] Address firmware (flash)\n"
                                "[0003] 08000864: 5A (00)\n[0003] 08000865: 5A (00)\n[0003] 08000866: 5A (00)\n"
                                "[0005] 08001007: 5A (00)\n[0005] 08001008: 5A (00)\n"
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

TEST_F(Stm32Cmd, BoardUnpluggedDuringUploadIsAWriteErrorAndStartsNothing)
{
    vboard::Board& board = addBoard();
    board.fillFlashPattern(42);
    vboard::Fault unplug;
    unplug.type = vboard::FaultType::Unplug;
    unplug.on = Request::DataBlock;
    unplug.skip = 2;
    board.injectFault(unplug);
    const std::vector<uint8_t> image = clitest::makeImage(20000, 0x08000101, 43);
    const RunResult r = run({writeImage("prog.bin", image)});
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "Writing pages.")) << r.out;
    EXPECT_TRUE(contains(r.out, "Error while flashing STM32.\n")) << r.out;
    EXPECT_FALSE(contains(r.out, "OK.")) << r.out;
    EXPECT_FALSE(board.plugged());
    EXPECT_FALSE(board.hasLeft());
    // Two blocks went in before the cable was pulled; nothing after.
    EXPECT_EQ(board.count(Request::DataBlock), 3u);
    EXPECT_NE(slice(board.flash(), 0, image.size()), image);
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

// --- skip what is unchanged --------------------------------------------------

uint64_t erases(const vboard::Board& board)
{
    return board.count(Request::ErasePage) + board.count(Request::MassErase);
}

TEST_F(Stm32Cmd, SkipUnchangedLeavesPagesThatHoldTheImage)
{
    for (const vboard::Profile profile : {vboard::Profile::F1, vboard::Profile::F4, vboard::Profile::H7}) {
        vboard::Bus ownBus;
        vboard::BoardOptions options;
        options.profile = profile;
        vboard::Board& board = ownBus.addBoard(options);
        board.fillFlashPattern(80);
        std::vector<uint8_t> image = clitest::makeImage(40000, 0x08000101, 81);
        const std::string path = writeImage("prog.bin", image);
        const std::string name = "profile " + std::to_string(static_cast<int>(profile));
        ASSERT_EQ(run({"-q", "-k", path}).status, 0) << name;
        ownBus.replug(board);

        // The same image again: nothing erased, nothing written, still verified and started.
        board.resetCounters();
        RunResult r = run({"-k", path});
        ASSERT_EQ(r.status, 0) << name << r.out << r.err;
        EXPECT_EQ(erases(board), 0u) << name;
        EXPECT_EQ(board.count(Request::DataBlock), 0u) << name;
        EXPECT_TRUE(contains(r.out, "Skipped ")) << r.out;
        EXPECT_TRUE(board.hasLeft()) << name;
        EXPECT_EQ(slice(board.flash(), 0, image.size()), image) << name;
        ownBus.replug(board);

        // One byte changed: only the page that holds it.
        image[30000] ^= 0x5A;
        writeImage("prog.bin", image);
        board.resetCounters();
        r = run({"-q", "--skip-unchanged", path});
        ASSERT_EQ(r.status, 0) << name << r.err;
        EXPECT_EQ(board.count(Request::ErasePage), 1u) << name;
        EXPECT_EQ(board.count(Request::MassErase), 0u) << name;
        ASSERT_EQ(board.counters().erasesByAddress.size(), 1u) << name;
        const uint32_t erased = board.counters().erasesByAddress.begin()->first - kFlashStart;
        EXPECT_LE(erased, 30000u) << name;
        EXPECT_GT(board.count(Request::DataBlock), 0u) << name;
        EXPECT_EQ(slice(board.flash(), 0, image.size()), image) << name;
        ownBus.replug(board);

        // Without -k the unchanged image is erased and written again.
        board.resetCounters();
        ASSERT_EQ(run({"-q", path}).status, 0) << name;
        EXPECT_GT(erases(board), 0u) << name;
    }
}

TEST_F(Stm32Cmd, SkipUnchangedWritesErasedPagesWithoutErasing)
{
    vboard::Board& board = addBoard();
    const std::vector<uint8_t> image = clitest::makeImage(5000, 0x08000101, 82);
    const RunResult r = run({"-q", "-k", writeImage("prog.bin", image)});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(erases(board), 0u);
    EXPECT_GT(board.count(Request::DataBlock), 0u);
    EXPECT_EQ(slice(board.flash(), 0, image.size()), image);
}

#ifdef STM32_SAMPLE_IMAGES_DIR
TEST_F(Stm32Cmd, SparseFileKeepsWhatItDoesNotDefine)
{
    // Vectors at flash start, 16 bytes of program at 0x4000 and 8 bytes of
    // initialised data behind them: everything between stays as it was.
    vboard::Board& board = addBoard();
    board.fillFlashPattern(83);
    const std::vector<uint8_t> before = board.flash();
    const RunResult r = run({"-q", samplePath("sparse.elf")});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<uint8_t> after = board.flash();
    EXPECT_EQ(slice(after, 0, 12), (std::vector<uint8_t>{0x00, 0x10, 0x00, 0x20, 0x01, 0x40, 0x00, 0x08, 0x44, 0x33,
                                                         0x22, 0x11}));
    EXPECT_EQ(slice(after, 12, 0x4000 - 12), slice(before, 12, 0x4000 - 12));
    EXPECT_EQ(after[0x4000], 0xA0);
    EXPECT_EQ(after[0x400F], 0xAF);
    EXPECT_EQ(slice(after, 0x4010, 8), (std::vector<uint8_t>{0xBE, 0xBA, 0xFE, 0xCA, 0x0D, 0xF0, 0xAD, 0x0B}));
    EXPECT_EQ(slice(after, 0x4018, after.size() - 0x4018), slice(before, 0x4018, before.size() - 0x4018));
}
#endif

// --- read protection, staying in DFU mode, the trace, busy boards -----------

TEST_F(Stm32Cmd, ReadProtectedBoardIsStatusFourteenAndKeepsItsFlash)
{
    vboard::BoardOptions options;
    options.readProtected = true;
    vboard::Board& board = bus.addBoard(options);
    board.fillFlashPattern(90);
    const std::vector<uint8_t> before = board.flash();
    const std::string image = writeImage("prog.bin", clitest::makeImage(3000, 0x08000101, 91));
    for (const std::vector<std::string>& arguments : {std::vector<std::string>{image}, std::vector<std::string>{"-d"},
                                                      std::vector<std::string>{"-e"},
                                                      std::vector<std::string>{"-e", "-s", "0"}}) {
        const RunResult r = run(arguments);
        EXPECT_EQ(r.status, 14) << arguments[0] << "\n" << r.out << r.err;
        EXPECT_TRUE(contains(r.out, "read-protected")) << r.out;
        EXPECT_TRUE(contains(r.out, "--unprotect --force")) << r.out;
    }
    EXPECT_TRUE(board.readProtected());
    EXPECT_EQ(board.flash(), before);
    EXPECT_FALSE(clitest::fileExists(dir.file("image.bin")));
    EXPECT_EQ(board.count(Request::ReadUnprotect), 0u);
}

TEST_F(Stm32Cmd, UnprotectNeedsForceAndThenErasesEverything)
{
    vboard::BoardOptions options;
    options.readProtected = true;
    options.serial = "LOCKED";
    vboard::Board& board = bus.addBoard(options);
    board.fillFlashPattern(92);
    const std::vector<uint8_t> before = board.flash();

    RunResult r = run({"--unprotect"});
    EXPECT_EQ(r.status, 7);
    EXPECT_TRUE(contains(r.err, "erases ALL of its flash")) << r.err;
    EXPECT_TRUE(contains(r.err, "--force")) << r.err;
    EXPECT_EQ(r.out, "");
    r = run({"--unprotect", "-d"});
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(board.count(Request::ReadUnprotect), 0u);
    EXPECT_EQ(board.flash(), before);

    r = run({"--unprotect", "--force", "-S", "LOCKED"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "OK.")) << r.out;
    EXPECT_EQ(board.count(Request::ReadUnprotect), 1u);
    EXPECT_FALSE(board.readProtected());
    EXPECT_EQ(board.flash(), std::vector<uint8_t>(board.flashSize(), 0xFF));
}

TEST_F(Stm32Cmd, NoStartLeavesTheBoardInDfuModeForTheNextCommand)
{
    vboard::Board& board = addBoard();
    const std::vector<uint8_t> boot = clitest::makeImage(2048, 0x08000101, 93);
    const std::vector<uint8_t> app = clitest::makeImage(3000, 0x08000901, 94);
    RunResult r = run({"--no-start", writeImage("boot.bin", boot)});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_FALSE(board.hasLeft());
    EXPECT_TRUE(board.plugged());
    EXPECT_EQ(board.count(Request::Leave), 0u);
    // No reset in between: the board is still there for the application.
    r = run({"-o", "0x800", writeImage("app.bin", app)});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(slice(board.flash(), 0, boot.size()), boot);
    EXPECT_EQ(slice(board.flash(), 0x800, app.size()), app);
    EXPECT_TRUE(board.hasLeft());
}

TEST_F(Stm32Cmd, TraceGoesToStandardErrorOnlyWhenAsked)
{
    addBoard();
    RunResult r = run({"-d", "-s", "2048"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    r = run({"--trace", "-d", "-s", "2048"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Address: 0x08000000\nSize: 2048\nReading flash.\nOK.\n");
    // One line per request and reply: at least the Set Address, the read and their status requests.
    EXPECT_GE(std::count(r.err.begin(), r.err.end(), '\n'), 4) << r.err;
    EXPECT_EQ(r.err.rfind("stm32 ", 0), 0u) << r.err;
    EXPECT_TRUE(contains(r.err, "GETSTATUS") || contains(r.err, "GetStatus")) << r.err;

    // The environment variable works without the option, for scripts that cannot change their command line.
    ASSERT_EQ(setenv("STM32_DEBUG", "1", 1), 0);
    r = run({"-d", "-s", "2048"});
    unsetenv("STM32_DEBUG");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.rfind("stm32 ", 0), 0u) << r.err;
}

TEST_F(Stm32Cmd, BusyBoardIsAUsbErrorThatSaysWhy)
{
    vboard::BoardOptions options;
    options.usbAccess = vboard::UsbAccess::ClaimBusy;
    bus.addBoard(options);
    const RunResult r = run({"-d"});
    EXPECT_EQ(r.status, 6) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "The board is busy: another program holds it.\n")) << r.out;
    EXPECT_FALSE(clitest::fileExists(dir.file("image.bin")));
}

// --- several boards by serial number --------------------------------------

TEST_F(Stm32Cmd, SerialNumberChoosesTheBoardWhereverItIsListed)
{
    vboard::Board& a = addBoard(vboard::Profile::F1, "SERIAL-A");
    vboard::Board& b = addBoard(vboard::Profile::F4, "SERIAL-B");
    vboard::Board& c = addBoard(vboard::Profile::F1, "SERIAL-C");
    for (vboard::Board* board : {&a, &b, &c}) board->fillFlash(0x00);
    const std::vector<uint8_t> image = clitest::makeImage(3000, 0x08000101, 50);
    const std::string path = writeImage("prog.bin", image);

    RunResult r = run({"-S", "SERIAL-B", path});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(slice(b.flash(), 0, image.size()), image);
    EXPECT_TRUE(b.hasLeft());
    // The board that left takes its list position with it; -S still finds C.
    r = run({"--serial=SERIAL-C", "-d", "-s", "16"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(clitest::readFile(dir.file("image.bin")), std::vector<uint8_t>(16, 0x00));
    EXPECT_EQ(transfers(a), 0u);
    EXPECT_GT(c.count(Request::Upload), 0u);

    r = run({"-S", "SERIAL-X", "-e"});
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(r.err, "no board with serial number \"SERIAL-X\"; connected: \"SERIAL-A\" (-i 0, path 1-1), \"SERIAL-C\" "
                     "(-i 1, path 1-3)\n");
    EXPECT_EQ(a.flash(), std::vector<uint8_t>(a.flashSize(), 0x00));
    EXPECT_EQ(c.count(Request::ErasePage) + c.count(Request::MassErase), 0u);
}

TEST_F(Stm32Cmd, AllBoardsSucceedingIsStatusZero)
{
    vboard::Board& a = addBoard(vboard::Profile::F1, "OK-A");
    vboard::Board& b = addBoard(vboard::Profile::H7, "OK-B");
    const std::vector<uint8_t> image = clitest::makeImage(700, 0x08000101, 52);
    const RunResult r = run({"-q", "--all", writeImage("prog.bin", image)});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(slice(a.flash(), 0, image.size()), image);
    EXPECT_EQ(slice(b.flash(), 0, image.size()), image);
}

} // namespace
