// The Windows dialog program end to end: the shipped TidewireSTM32Utility.exe
// runs under wine with USB access (scripts/wine-usb.sh) against virtual
// boards of this process's bus, and is driven from outside as a user drives
// it: xdotool types into its menus and file dialogs, the probe (a helper
// inside wine) reads its status line and log and presses what a click
// would. Every wait is on a window's text or on the board, bounded.
//   STM32_GUI_PROGRAM   the TidewireSTM32Utility.exe to test
//   STM32_GUI_PROBE     gui_probe.exe of the same cross build
//   STM32_SCREENSHOT_DIR  when set, screenshots of the main moments go there
#include "cli_process.h"
#include "dfuse_writer.h"
#include "virtual_board.h"
#include "wine_session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using vboard::Request;
using winetest::ProbeReply;

constexpr uint32_t kFlashStart = 0x08000000;
const std::string kTitle = "Tidewire STM32 Utility";
const std::string kNoTarget = "STM32 DFU Target not available (enable via User and Reset button).";
const std::string kF1Status = "STM32 (ID: 0) Flash: 256 KB.";
constexpr int kQuickMs = 20000; // a status change, a dialog: normally well under a second
constexpr int kUploadMs = 90000;

std::string environmentOr(const char* name, const std::string& fallback)
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

bool endsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::vector<uint8_t> slice(const std::vector<uint8_t>& bytes, size_t at, size_t length)
{
    return std::vector<uint8_t>(bytes.begin() + long(at), bytes.begin() + long(at + length));
}

std::vector<uint8_t> blink() { return clitest::readFile(std::string(STM32_EXAMPLES_DIR) + "/blink.bin"); }

std::string sample(const char* name) { return std::string(STM32_SAMPLE_IMAGES_DIR) + "/" + name; }

// The log's last line that is not empty.
std::string lastLine(const std::string& log)
{
    std::string text = log;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text.substr(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
}

// One probe for the whole test program: starting wine costs.
winetest::Probe& probe()
{
    static winetest::Probe shared(environmentOr("STM32_GUI_PROBE", ""));
    return shared;
}

class DialogProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (environmentOr("STM32_GUI_PROGRAM", "").empty() || environmentOr("STM32_GUI_PROBE", "").empty() ||
            environmentOr("DISPLAY", "").empty())
            GTEST_SKIP() << "needs STM32_GUI_PROGRAM, STM32_GUI_PROBE and an X display (the Windows stage)";
        ASSERT_TRUE(ask("clear-settings").ok);
    }

    void TearDown() override
    {
        if (program_.running()) {
            ask("close");
            program_.waitForExit(kQuickMs);
        }
    }

    ProbeReply ask(const std::string& command, int timeoutMs = kUploadMs) { return probe().ask(command, timeoutMs); }

    vboard::Board& addBoard(vboard::Profile profile = vboard::Profile::F1, double timeScale = 0)
    {
        vboard::BoardOptions options;
        options.profile = profile;
        options.timeScale = timeScale;
        return bus.addBoard(options);
    }

    void startProgram(const std::vector<std::string>& arguments = {}, const std::vector<std::string>& environment = {})
    {
        std::vector<std::string> command = {winetest::wineUsbScript(), environmentOr("STM32_GUI_PROGRAM", "")};
        command.insert(command.end(), arguments.begin(), arguments.end());
        program_.start(command, environment, false);
        ASSERT_TRUE(ask("attach 60000").ok) << "the main window did not show";
    }

    void expectStatus(const std::string& text, int timeoutMs = kQuickMs)
    {
        const ProbeReply reply = ask("wait-status " + std::to_string(timeoutMs) + " " + text, timeoutMs + 5000);
        EXPECT_TRUE(reply.ok) << "status line: " << reply.text << "\nexpected: " << text;
    }

    // Waits until the log holds the text; returns the whole log.
    std::string waitLog(const std::string& text, int timeoutMs = kUploadMs)
    {
        const ProbeReply reply = ask("wait-log " + std::to_string(timeoutMs) + " " + text, timeoutMs + 5000);
        EXPECT_TRUE(reply.ok) << "log without \"" << text << "\":\n" << reply.text;
        return reply.text;
    }

    // The watch calls its handler, which refills the (hidden) Preferences
    // dialog, just after it sets the status line: wait until the dialog lists
    // the boards, or the refill would undo what the test sets in it.
    void waitForTargetList(const std::string& listEnd)
    {
        std::string shown;
        for (int i = 0; i < 200 && !endsWith(shown = ask("prefs-read").text, listEnd); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(endsWith(shown, listEnd)) << shown;
    }

    std::string log() { return ask("log").text; }
    void clearLog() { ASSERT_TRUE(ask("command 32778").ok); }

    // An upload ends with "OK." and the time it took.
    void expectUploadDone(const std::string& logText)
    {
        EXPECT_TRUE(contains(logText, "OK.\nTotal time: ")) << logText;
        EXPECT_TRUE(endsWith(lastLine(logText), " s") && lastLine(logText).rfind("Total time: ", 0) == 0) << logText;
    }

    // The keyboard, as a user: focus the main window and type the keys.
    void keys(const std::vector<std::string>& sequence)
    {
        const std::string window = winetest::xWindow(kTitle);
        ASSERT_FALSE(window.empty()) << "no X window titled " << kTitle;
        ASSERT_TRUE(winetest::xdotool({"windowfocus", "--sync", window}));
        std::vector<std::string> arguments = {"key", "--delay", "100"};
        arguments.insert(arguments.end(), sequence.begin(), sequence.end());
        ASSERT_TRUE(winetest::xdotool(arguments));
    }

    // Types a path into the file dialog and confirms it. titles: "A|B", the
    // dialog's title under one system or the other. The name box must have
    // the focus first, and hold the whole path before Return, as a user checks.
    void fillFileDialog(const std::string& titles, const std::string& path)
    {
        const std::string dialog = winetest::xWindow("(" + titles + ")");
        ASSERT_FALSE(dialog.empty()) << "no \"" << titles << "\" dialog";
        ASSERT_TRUE(winetest::xdotool({"windowfocus", "--sync", dialog}));
        const ProbeReply focused = ask("focused-edit " + std::to_string(kQuickMs) + " " + titles);
        ASSERT_TRUE(focused.ok) << focused.text;
        const std::string typed = winetest::windowsPath(path);
        std::string shown;
        for (int attempt = 0; attempt < 2 && shown != typed; ++attempt) {
            ASSERT_TRUE(winetest::xdotool({"key", "ctrl+a"}));
            ASSERT_TRUE(winetest::xdotool({"type", "--delay", "20", typed}));
            shown = ask("focused-edit " + std::to_string(kQuickMs) + " " + titles).text;
        }
        ASSERT_EQ(shown, typed) << "the name box did not take the path";
        ASSERT_TRUE(winetest::xdotool({"key", "Return"}));
    }

    // File > "Upload to target..." and the path typed into the Open dialog.
    void uploadThroughMenu(const std::string& path)
    {
        ASSERT_NO_FATAL_FAILURE(keys({"alt+f", "Return"}));
        ASSERT_NO_FATAL_FAILURE(fillFileDialog("Open", path));
    }

    // File > "Download from target..." (after the "Upload Recent" submenu), then the save dialog.
    void downloadThroughMenu(const std::string& path)
    {
        ASSERT_NO_FATAL_FAILURE(keys({"alt+f", "Down", "Down", "Return"}));
        ASSERT_NO_FATAL_FAILURE(fillFileDialog("Save|Save As", path)); // wine titles it "Save", Windows "Save As"
    }

    // The board started the program: it left DFU mode at the image's vector table.
    void expectStarted(vboard::Board& board, const std::vector<uint8_t>& image, uint32_t offset = 0)
    {
        EXPECT_TRUE(board.hasLeft());
        EXPECT_FALSE(board.startFaulted());
        const uint32_t resetHandler = image[4] | image[5] << 8 | image[6] << 16 | uint32_t(image[7]) << 24;
        EXPECT_EQ(board.leaveAddress(), kFlashStart + offset);
        EXPECT_EQ(board.startedResetHandler(), resetHandler);
    }

    std::string writeImage(const std::string& name, const std::vector<uint8_t>& bytes)
    {
        clitest::writeFile(dir.file(name), bytes);
        return dir.file(name);
    }

    // The window with that title as it is now, for the documentation.
    void screenshot(const std::string& name, const std::string& title = kTitle)
    {
        const std::string folder = environmentOr("STM32_SCREENSHOT_DIR", "");
        if (folder.empty()) return;
        winetest::Child capture;
        capture.start({"import", "-window", winetest::xWindow(title), "png8:" + folder + "/" + name}, {}, false);
        EXPECT_EQ(capture.waitForExit(kQuickMs), 0) << name;
    }

    int closeAndWait()
    {
        ask("close");
        return program_.waitForExit(kQuickMs);
    }

    vboard::Bus bus;
    clitest::TempDir dir;
    winetest::Child program_;
};

// --- a board present at start -------------------------------------------------

TEST_F(DialogProgram, BoardAtStartTakesAnImageOfEveryFormatThroughTheOpenDialog)
{
    vboard::Board& board = addBoard();
    const std::vector<uint8_t> program = blink();
    ASSERT_FALSE(program.empty());
    ASSERT_NO_FATAL_FAILURE(startProgram());
    expectStatus(kF1Status);
    screenshot("win-main.png");

    const std::vector<std::pair<std::string, std::vector<uint8_t>>> files = {
        {"blink.bin", program},
        {"blink.hex", clitest::readFile(sample("blink.hex"))},
        {"blink.srec", clitest::readFile(sample("blink.srec"))},
        {"blink.elf", clitest::readFile(sample("blink.elf"))},
        {"blink.dfu", frontendtest::dfuseFile({{0, "Internal Flash", {{kFlashStart, program}}}})},
    };
    uint32_t seed = 10;
    for (const auto& [name, bytes] : files) {
        SCOPED_TRACE(name);
        board.fillFlashPattern(++seed);
        const std::vector<uint8_t> before = board.flash();
        clearLog();
        ASSERT_NO_FATAL_FAILURE(uploadThroughMenu(writeImage(name, bytes)));
        const std::string text = waitLog("Total time: ");
        expectUploadDone(text);
        EXPECT_TRUE(contains(text, "Verifying.")) << text;
        const std::vector<uint8_t> after = board.flash();
        EXPECT_EQ(slice(after, 0, program.size()), program);
        EXPECT_EQ(slice(after, program.size(), after.size() - program.size()),
                  slice(before, program.size(), before.size() - program.size()));
        expectStarted(board, program);
        if (name == "blink.bin") screenshot("win-upload.png");
        // The board ran its program; the user puts it back into its bootloader.
        bus.replug(board);
        expectStatus(kF1Status);
    }
    // A file loaded from the Open dialog joins the recent list, newest last.
    EXPECT_EQ(ask("stored MostRecentUsed3").text, winetest::windowsPath(dir.file("blink.dfu")));
    EXPECT_EQ(ask("stored MostRecentUsed2").text, winetest::windowsPath(dir.file("blink.elf")));
    EXPECT_EQ(ask("stored MostRecentUsed1").text, winetest::windowsPath(dir.file("blink.srec")));
}

TEST_F(DialogProgram, DownloadSavesTheFlashByteForByte)
{
    vboard::Board& board = addBoard();
    board.fillFlashPattern(21);
    ASSERT_NO_FATAL_FAILURE(startProgram());
    expectStatus(kF1Status);
    ASSERT_NO_FATAL_FAILURE(downloadThroughMenu(dir.file("saved.bin")));
    const std::string text = waitLog("Total time: ");
    EXPECT_TRUE(contains(text, "Reading flash.")) << text;
    // The file is written once the dialog closes: wait for it to be whole.
    const std::vector<uint8_t> flash = board.flash();
    for (int i = 0; i < 200 && clitest::readFile(dir.file("saved.bin")).size() < flash.size(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(clitest::readFile(dir.file("saved.bin")), flash);
    EXPECT_EQ(board.count(Request::DataBlock) + board.count(Request::ErasePage), 0u);
    EXPECT_FALSE(board.hasLeft());
}

// --- Preferences, recent files, drop, command line ---------------------------

TEST_F(DialogProgram, OptionAreaOfPreferencesMovesUploadsAndDownloads)
{
    vboard::Board& board = addBoard();
    board.fillFlashPattern(31);
    // No program at flash start, so that the one written at the offset is started.
    board.write(kFlashStart, std::vector<uint8_t>(0x800, 0xFF));
    const std::vector<uint8_t> before = board.flash();
    ASSERT_NO_FATAL_FAILURE(startProgram());
    expectStatus(kF1Status);
    ASSERT_NO_FATAL_FAILURE(waitForTargetList("|*STM32 ID: 0"));
    ASSERT_TRUE(ask("prefs-set 1 0x1000 8192").ok);
    EXPECT_EQ(ask("stored OptionsInUse").text, "1");
    EXPECT_EQ(ask("stored OptionsOffset").text, "4096");
    EXPECT_EQ(ask("stored OptionsSize").text, "8192");
    // The watch reloads the stored values; the dialog shows them.
    ASSERT_TRUE(ask("prefs-show").ok);
    const std::string shown = ask("prefs-read").text;
    EXPECT_EQ(shown, "1|4096|8192|max: 254 KB (260096 / 0x3F800)|max: 256 KB (262144 / 0x40000)|0x08001000|*STM32 ID: 0")
        << shown;
    screenshot("win-preferences.png", "Preferences");
    ASSERT_TRUE(ask("prefs-cancel").ok);

    const std::vector<uint8_t> image = clitest::makeImage(6000, 0x08001101, 32);
    ASSERT_NO_FATAL_FAILURE(uploadThroughMenu(writeImage("part.bin", image)));
    expectUploadDone(waitLog("Total time: "));
    std::vector<uint8_t> after = board.flash();
    EXPECT_EQ(slice(after, 0, 0x1000), slice(before, 0, 0x1000));
    EXPECT_EQ(slice(after, 0x1000, image.size()), image);
    EXPECT_EQ(slice(after, 0x1000 + image.size(), 0x1000), slice(before, 0x1000 + image.size(), 0x1000));
    expectStarted(board, image, 0x1000);
    bus.replug(board);
    expectStatus(kF1Status);

    // An image larger than the option size is refused before any transfer.
    board.resetCounters();
    clearLog();
    const std::string big = writeImage("big.bin", clitest::makeImage(9000, 0x08001101, 33));
    ASSERT_NO_FATAL_FAILURE(uploadThroughMenu(big));
    waitLog("File too big : 9000 (max option size : 8192).");
    EXPECT_EQ(board.count(Request::DataBlock) + board.count(Request::ErasePage), 0u);

    // The download reads the option area only.
    clearLog();
    board.fillFlashPattern(34);
    ASSERT_NO_FATAL_FAILURE(downloadThroughMenu(dir.file("area.bin")));
    waitLog("Total time: ");
    for (int i = 0; i < 200 && clitest::readFile(dir.file("area.bin")).size() < 8192; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(clitest::readFile(dir.file("area.bin")), slice(board.flash(), 0x1000, 8192));
}

TEST_F(DialogProgram, RecentFilesUploadAgainAndClearListEmptiesThem)
{
    vboard::Board& board = addBoard();
    const std::vector<uint8_t> first = clitest::makeImage(3000, 0x08000101, 41);
    const std::vector<uint8_t> second = clitest::makeImage(5000, 0x08000201, 42);
    const std::string firstPath = writeImage("first.bin", first);
    const std::string secondPath = writeImage("second.bin", second);
    ASSERT_NO_FATAL_FAILURE(startProgram());
    expectStatus(kF1Status);
    for (const std::string& path : {firstPath, secondPath, firstPath}) {
        clearLog();
        ASSERT_NO_FATAL_FAILURE(uploadThroughMenu(path));
        expectUploadDone(waitLog("Total time: "));
        bus.replug(board);
        expectStatus(kF1Status);
    }
    // The same file again leaves the list as it was.
    EXPECT_EQ(ask("stored MostRecentUsed1").text, "");
    EXPECT_EQ(ask("stored MostRecentUsed2").text, winetest::windowsPath(firstPath));
    EXPECT_EQ(ask("stored MostRecentUsed3").text, winetest::windowsPath(secondPath));

    // "Upload Recent" > the entry of the second file (recent file 3).
    clearLog();
    board.fillFlash(0x00);
    ASSERT_TRUE(ask("command 32787").ok);
    expectUploadDone(waitLog("Total time: "));
    EXPECT_EQ(slice(board.flash(), 0, second.size()), second);
    bus.replug(board);
    expectStatus(kF1Status);

    ASSERT_TRUE(ask("command 32781").ok); // "Clear List"
    for (const char* name : {"MostRecentUsed1", "MostRecentUsed2", "MostRecentUsed3"}) {
        std::string value;
        for (int i = 0; i < 100 && (value = ask(std::string("stored ") + name).text) != ""; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(value, "") << name;
    }
}

TEST_F(DialogProgram, ImageNamedOnTheCommandLineIsUploadedOnceTheBoardIsSeen)
{
    vboard::Board& board = addBoard();
    const std::vector<uint8_t> image = clitest::makeImage(7000, 0x08000301, 51);
    ASSERT_NO_FATAL_FAILURE(startProgram({writeImage("start.bin", image)}));
    expectUploadDone(waitLog("Total time: "));
    EXPECT_EQ(slice(board.flash(), 0, image.size()), image);
    expectStarted(board, image);
}

TEST_F(DialogProgram, FileDroppedOnTheWindowIsUploaded)
{
    vboard::Board& board = addBoard();
    const std::vector<uint8_t> image = clitest::makeImage(4000, 0x08000401, 61);
    const std::string path = writeImage("dropped.bin", image);
    ASSERT_NO_FATAL_FAILURE(startProgram());
    expectStatus(kF1Status);
    winetest::Child drop;
    drop.start({environmentOr("STM32_XDND_DROP", STM32_XDND_DROP), winetest::xWindow(kTitle), path}, {}, false);
    ASSERT_EQ(drop.waitForExit(kQuickMs), 0) << "the drop was not taken";
    expectUploadDone(waitLog("Total time: "));
    EXPECT_EQ(slice(board.flash(), 0, image.size()), image);
    EXPECT_EQ(ask("stored MostRecentUsed3").text, winetest::windowsPath(path));
}

// --- the device watch --------------------------------------------------------

TEST_F(DialogProgram, BoardsThatArriveAndLeaveWhileIdleAreFollowed)
{
    ASSERT_NO_FATAL_FAILURE(startProgram());
    expectStatus(kNoTarget);
    vboard::Board& board = addBoard();
    expectStatus(kF1Status);
    bus.unplug(board);
    expectStatus(kNoTarget);
    bus.replug(board);
    expectStatus(kF1Status);
    // The watch only lists and reads the layout: nothing touched the flash.
    EXPECT_EQ(board.count(Request::Upload) + board.count(Request::DataBlock) + board.count(Request::ErasePage), 0u);
}

TEST_F(DialogProgram, BoardThatLeavesDuringAnUploadIsFoundAgainWhenItComesBack)
{
    vboard::Board& board = addBoard();
    vboard::Fault unplug;
    unplug.type = vboard::FaultType::Unplug;
    unplug.on = Request::DataBlock;
    unplug.skip = 20;
    board.injectFault(unplug);
    const std::vector<uint8_t> image = clitest::makeImage(100000, 0x08000101, 71);
    const std::string path = writeImage("long.bin", image);
    ASSERT_NO_FATAL_FAILURE(startProgram());
    expectStatus(kF1Status);
    ASSERT_NO_FATAL_FAILURE(uploadThroughMenu(path));
    const std::string text = waitLog("Error while flashing STM32.");
    EXPECT_FALSE(contains(text, "OK.")) << text;
    EXPECT_FALSE(contains(text, "Total time: ")) << text;
    expectStatus(kNoTarget);
    EXPECT_FALSE(board.hasLeft());

    // Back in its bootloader: found again, and the same file goes through.
    bus.replug(board);
    expectStatus(kF1Status);
    clearLog();
    ASSERT_TRUE(ask("command 32787").ok); // the file, now the newest recent entry
    expectUploadDone(waitLog("Total time: "));
    EXPECT_EQ(slice(board.flash(), 0, image.size()), image);
    expectStarted(board, image);
}

TEST_F(DialogProgram, TwoBoardsTheSecondChosenInPreferences)
{
    vboard::Board& first = addBoard(vboard::Profile::F1);
    vboard::Board& second = addBoard(vboard::Profile::F4);
    first.fillFlash(0x11);
    second.fillFlash(0x22);
    ASSERT_NO_FATAL_FAILURE(startProgram());
    expectStatus(kF1Status);
    ASSERT_NO_FATAL_FAILURE(waitForTargetList("|*STM32 ID: 0|STM32 ID: 1"));
    ASSERT_TRUE(ask("prefs-show").ok);
    ASSERT_TRUE(ask("prefs-choose 1").ok);
    expectStatus("STM32 (ID: 1) Flash: 1024 KB.");

    const std::vector<uint8_t> image = clitest::makeImage(3000, 0x08000101, 81);
    ASSERT_NO_FATAL_FAILURE(uploadThroughMenu(writeImage("second.bin", image)));
    expectUploadDone(waitLog("Total time: "));
    EXPECT_EQ(slice(second.flash(), 0, image.size()), image);
    EXPECT_EQ(first.flash(), std::vector<uint8_t>(first.flashSize(), 0x11));
    EXPECT_EQ(first.count(Request::DataBlock), 0u);
}

// --- failures as the user sees them ------------------------------------------

TEST_F(DialogProgram, VerifyMismatchIsListedInTheLog)
{
    // The H7's verify waits out the poll time its Set Address announced; the
    // flash changes meanwhile (as in the console program's test).
    vboard::Board& board = addBoard(vboard::Profile::H7, 2);
    const std::vector<uint8_t> image(3 * 2048, 0x5A);
    ASSERT_NO_FATAL_FAILURE(startProgram());
    expectStatus("STM32 (ID: 0) Flash: 2048 KB.");
    ASSERT_NO_FATAL_FAILURE(uploadThroughMenu(writeImage("prog.bin", image)));
    waitLog("Verifying.");
    board.write(kFlashStart + 0x864, std::vector<uint8_t>(3, 0x00));
    const std::string text = waitLog("Error while flashing STM32.");
    EXPECT_TRUE(contains(text, "Error at\n[page] Address firmware (flash)\n[0003] 08000864: 5A (00)\n")) << text;
    EXPECT_FALSE(contains(text, "Total time: ")) << text;
    EXPECT_FALSE(board.hasLeft());
}

TEST_F(DialogProgram, ReadProtectedBoardIsRefusedWithItsReason)
{
    vboard::BoardOptions options;
    options.readProtected = true;
    vboard::Board& board = bus.addBoard(options);
    board.fillFlashPattern(91);
    const std::vector<uint8_t> before = board.flash();
    ASSERT_NO_FATAL_FAILURE(startProgram());
    expectStatus(kF1Status);
    ASSERT_NO_FATAL_FAILURE(uploadThroughMenu(writeImage("prog.bin", clitest::makeImage(3000, 0x08000101, 92))));
    const std::string text = waitLog("read-protected");
    EXPECT_FALSE(contains(text, "Total time: ")) << text;
    screenshot("win-error.png");
    EXPECT_EQ(board.flash(), before);
    EXPECT_TRUE(board.readProtected());
    EXPECT_EQ(board.count(Request::ReadUnprotect), 0u);
}

// --- closing during an upload, the trace ------------------------------------

TEST_F(DialogProgram, ClosingTheWindowDuringAnUpload)
{
    // Real F1 timing, so that the upload is still running when the window closes.
    vboard::Board& board = addBoard(vboard::Profile::F1, 1);
    board.fillFlashPattern(101);
    const std::vector<uint8_t> before = board.flash();
    const std::vector<uint8_t> image = clitest::makeImage(120000, 0x08000101, 102);
    ASSERT_NO_FATAL_FAILURE(startProgram());
    expectStatus(kF1Status);
    ASSERT_NO_FATAL_FAILURE(uploadThroughMenu(writeImage("long.bin", image)));
    const std::string logBeforeClose = waitLog("Writing pages.");
    const int exitStatus = closeAndWait();
    const uint64_t blocksWritten = board.count(Request::DataBlock);
    const std::vector<uint8_t> after = board.flash();

    // The program ends at once: nothing waits for the board.
    EXPECT_NE(exitStatus, -1) << "the program did not end";
    // It started nothing: the board stays in its bootloader, ready for the
    // next try, whatever its flash now holds.
    EXPECT_FALSE(board.hasLeft());
    EXPECT_TRUE(board.plugged());
    size_t pagesChanged = 0;
    for (size_t at = 0; at < after.size(); at += 2048) pagesChanged += slice(after, at, 2048) != slice(before, at, 2048);
    std::cout << "[ closed  ] exit status " << exitStatus << "; blocks written " << blocksWritten << " of "
              << (image.size() + 2047) / 2048 << "; pages erased " << board.count(Request::ErasePage)
              << ", pages changed " << pagesChanged << "; flash is " << (after == before ? "as before" : "changed")
              << (slice(after, 0, image.size()) == image ? ", the whole image" : ", not the whole image")
              << "; last log line: \"" << lastLine(logBeforeClose) << "\"\n";

    // A new start finds the board and the upload goes through.
    board.resetCounters();
    ASSERT_NO_FATAL_FAILURE(startProgram({dir.file("long.bin")}));
    expectUploadDone(waitLog("Total time: "));
    EXPECT_EQ(slice(board.flash(), 0, image.size()), image);
}

TEST_F(DialogProgram, DebugTraceGoesToTheFileTheLogNames)
{
    vboard::Board& board = addBoard();
    const std::vector<uint8_t> image = clitest::makeImage(2000, 0x08000101, 111);
    ASSERT_NO_FATAL_FAILURE(startProgram({writeImage("traced.bin", image)}, {"STM32_DEBUG=1"}));
    const std::string text = waitLog("Total time: ");
    const size_t at = text.find("Debug trace: ");
    ASSERT_NE(at, std::string::npos) << text;
    const std::string path = text.substr(at + 13, text.find('\n', at) - at - 13);
    EXPECT_TRUE(endsWith(path, "\\TidewireSTM32Utility\\trace.txt")) << path;
    // The requests of the upload are in it, status requests included.
    const ProbeReply traced = ask("file-has GETSTATUS|" + path);
    EXPECT_TRUE(traced.ok) << traced.text;
    EXPECT_GT(std::stoul(traced.text.empty() ? "0" : traced.text), 1000ul);
    EXPECT_EQ(slice(board.flash(), 0, image.size()), image);
}

} // namespace
