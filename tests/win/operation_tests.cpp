// Uploads and downloads against virtual boards, with and without the option
// area, the refusals while an operation runs and the idle hand-over.
#include <atomic>
#include <chrono>
#include <thread>

#include "board_fixture.h"

namespace {

using std::chrono::milliseconds;
using vboard::Request;

std::vector<uint8_t> slice(const std::vector<uint8_t>& bytes, size_t from, size_t length) {
    return std::vector<uint8_t>(bytes.begin() + from, bytes.begin() + from + length);
}

class Uploads : public ControllerOnBus {
protected:
    void SetUp() override {
        ControllerOnBus::SetUp();
        board = &addBoard();
        startWatchAndWaitFor(kF1Status);
    }
    void uploadAndWait() {
        startUpload(controller);
        waitForUpload(controller);
        EXPECT_EQ(controllerIsIdle(controller), 1);
    }
    vboard::Board* board = nullptr;
};

TEST_F(Uploads, BinaryWithoutOptionsLandsAtFlashStart) {
    auto image = patternBytes(5000, 11);
    // A vector table a program could have (stack in SRAM, odd reset handler
    // in flash), so that the new program is started.
    const uint8_t table[8] = {0x00, 0x50, 0x00, 0x20, 0x01, 0x01, 0x00, 0x08};
    std::copy(table, table + 8, image.begin());
    ASSERT_EQ(load(folder.write("fw.bin", image)), 0);
    uploadAndWait();
    EXPECT_EQ(board->read(kFlashStart, 5000), image);
    EXPECT_TRUE(recorder.hasLine("OK.")) << ::testing::PrintToString(recorder.lines());
    EXPECT_TRUE(loggedTotalTime());
    EXPECT_FALSE(recorder.hasLineStartingWith("Address: "));
    EXPECT_EQ(board->count(Request::Leave), 1u); // the new program was started
}

TEST_F(Uploads, ProgressDotsStayOnTheHeadingsLine) {
    ASSERT_EQ(load(folder.write("fw.bin", patternBytes(40 * 1024, 12))), 0);
    uploadAndWait();
    const auto lines = recorder.lines();
    bool erasingWithDots = false;
    for (const auto& line : lines) {
        if (line.rfind("Erasing pages.", 0) == 0 && line.size() > 14 && line.substr(14).find_first_not_of('.') ==
                                                                             std::string::npos) {
            erasingWithDots = true;
        }
    }
    EXPECT_TRUE(erasingWithDots) << ::testing::PrintToString(lines);
}

TEST_F(Uploads, IntelHexImage) {
    const auto data = patternBytes(64, 13);
    const std::string text = hexLinearBase(0x0800) + hexRecord(0x0400, slice(data, 0, 32)) +
                             hexRecord(0x0420, slice(data, 32, 32)) + hexEnd();
    ASSERT_EQ(load(folder.writeText("fw.hex", text)), 0);
    EXPECT_EQ(loadedImageLength(controller), 0x440);
    uploadAndWait();
    EXPECT_EQ(board->read(kFlashStart + 0x400, 64), data);
    EXPECT_EQ(board->read(kFlashStart, 16), std::vector<uint8_t>(16, 0xFF));
    EXPECT_TRUE(loggedTotalTime());
}

TEST_F(Uploads, OptionOffsetIsUsedOnlyWhileInUse) {
    setOptionArea(controller, 0x1000, 0);
    const auto image = patternBytes(1024, 14);
    ASSERT_EQ(load(folder.write("fw.bin", image)), 0);
    uploadAndWait(); // not in use: at flash start
    EXPECT_EQ(board->read(kFlashStart, 1024), image);

    board->fillFlash(0xFF);
    useOptions(0x1000, 4096);
    ASSERT_EQ(load(folder.write("fw.bin", image)), 0);
    uploadAndWait();
    EXPECT_EQ(board->read(kFlashStart + 0x1000, 1024), image);
    EXPECT_EQ(board->read(kFlashStart, 1024), std::vector<uint8_t>(1024, 0xFF));
    EXPECT_TRUE(recorder.hasLine("Address: 0x08001000"));
}

TEST_F(Uploads, OptionOffsetBeyondTheLastPageIsCutToIt) {
    useOptions(0x7FFFF, 0);
    const auto image = patternBytes(kF1Page, 15);
    ASSERT_EQ(load(folder.write("page.bin", image)), 0);
    uploadAndWait();
    EXPECT_TRUE(recorder.hasLine("Address: 0x0803F800"));
    EXPECT_EQ(board->read(kFlashStart + kF1Flash - kF1Page, kF1Page), image);
    EXPECT_TRUE(loggedTotalTime());
}

TEST_F(Uploads, FailuresLogNoTotalTime) {
    // Two pages at the last page do not fit: the core refuses before any transfer.
    useOptions(kF1Flash - kF1Page, 0);
    ASSERT_EQ(load(folder.write("two.bin", patternBytes(2 * kF1Page, 16))), 0);
    board->resetCounters();
    uploadAndWait();
    EXPECT_TRUE(recorder.hasLine("Invalid offset."));
    EXPECT_TRUE(recorder.hasLine("Error while flashing STM32."));
    EXPECT_FALSE(loggedTotalTime());
    EXPECT_EQ(board->count(Request::DataBlock), 0u);

    // A write that the board rejects.
    recorder.clear();
    store.writeNumber("OptionsInUse", 0);
    ASSERT_EQ(load(folder.write("one.bin", patternBytes(kF1Page, 17))), 0);
    vboard::Fault fault;
    fault.type = vboard::FaultType::ErrorStatus;
    fault.on = Request::DataBlock;
    fault.status = vboard::errPROG;
    board->injectFault(fault);
    uploadAndWait();
    EXPECT_TRUE(recorder.hasLine("Error while flashing STM32.")) << ::testing::PrintToString(recorder.lines());
    EXPECT_FALSE(loggedTotalTime());
    EXPECT_EQ(board->count(Request::Leave), 0u);
}

TEST_F(Uploads, ATargetChangedSinceLoadingIsNotWrittenWithTheOldBuffers) {
    ASSERT_EQ(load(folder.write("fw.bin", patternBytes(4096, 18))), 0);
    bus.unplug(*board);
    ASSERT_TRUE(recorder.waitForStatus(kNotAvailableStatus));
    vboard::Board& bigger = addBoard(vboard::Profile::F4);
    ASSERT_TRUE(recorder.waitForStatus("STM32 (ID: 0) Flash: 1024 KB."));
    uploadAndWait();
    EXPECT_TRUE(recorder.hasLine("The target changed after the file was loaded: load the file again."));
    EXPECT_EQ(bigger.count(Request::DataBlock), 0u);
    EXPECT_EQ(bigger.count(Request::ErasePage) + bigger.count(Request::MassErase), 0u);
}

TEST_F(Uploads, OperationsAreRefusedWhileOneRuns) {
    const std::string path = folder.write("fw.bin", patternBytes(8192, 19));
    ASSERT_EQ(load(path), 0);
    std::atomic<bool> tried{false};
    int loadResult = 0;
    int downloadResult = 0;
    int writeResult = 0;
    int idleDuring = -1;
    recorder.onPiece = [&](const std::string& piece) {
        if (piece != "Erasing pages." || tried.exchange(true)) return;
        idleDuring = controllerIsIdle(controller);
        loadResult = load(path);
        startUpload(controller);
        downloadResult = downloadFromTarget(controller);
        writeResult = writeDownloadFile(controller, nativeFromUtf8(folder.file("out.bin")));
    };
    uploadAndWait();
    recorder.onPiece = nullptr;
    ASSERT_TRUE(tried);
    EXPECT_EQ(idleDuring, 0);
    EXPECT_EQ(loadResult, -1);
    EXPECT_EQ(downloadResult, -1);
    EXPECT_EQ(writeResult, -1);
    EXPECT_EQ(recorder.countLinesContaining(kBusyText), 3);
    EXPECT_FALSE(fileExists(folder.file("out.bin")));
    // The running upload was not disturbed.
    EXPECT_TRUE(recorder.hasLine("OK."));
    EXPECT_TRUE(loggedTotalTime());
    EXPECT_EQ(board->read(kFlashStart, 8192), patternBytes(8192, 19));
    EXPECT_EQ(loadedImageLength(controller), 8192);
}

TEST_F(Uploads, TheWatchMakesNoUsbCallsWhileAnOperationRuns) {
    // Control: a forced look while idle reads the layout through standard requests.
    board->resetCounters();
    const size_t statusesBefore = recorder.statusCount();
    chooseTargetPosition(controller, 0);
    ASSERT_TRUE(recorder.waitUntil([&] { return recorder.statusCount() > statusesBefore; }));
    ASSERT_GT(board->count(Request::Standard), 0u);

    ASSERT_EQ(load(folder.write("fw.bin", patternBytes(4096, 20))), 0);
    std::atomic<bool> held{false};
    uint64_t standardDuring = 0;
    size_t statusesDuring = 0;
    recorder.onPiece = [&](const std::string& piece) {
        if (piece != "Erasing pages." || held.exchange(true)) return;
        chooseTargetPosition(controller, 0); // asks the watch for a fresh look
        const uint64_t standardBefore = board->count(Request::Standard);
        const size_t statusBefore = recorder.statusCount();
        std::this_thread::sleep_for(milliseconds(700)); // several poll periods with the target held
        standardDuring = board->count(Request::Standard) - standardBefore;
        statusesDuring = recorder.statusCount() - statusBefore;
    };
    const size_t statusesBeforeUpload = recorder.statusCount();
    uploadAndWait();
    recorder.onPiece = nullptr;
    ASSERT_TRUE(held);
    EXPECT_EQ(standardDuring, 0u);
    EXPECT_EQ(statusesDuring, 0u);
    // The postponed look follows once the upload has handed the target back.
    EXPECT_TRUE(recorder.waitUntil([&] { return recorder.statusCount() > statusesBeforeUpload; }));
    EXPECT_EQ(recorder.lastStatus(), kF1Status);
}

class Downloads : public Uploads {};

TEST_F(Downloads, WithoutOptionsTheWholeFlashIsSaved) {
    board->fillFlashPattern(21);
    ASSERT_EQ(load(folder.write("fw.bin", patternBytes(100, 22))), 0);
    ASSERT_EQ(downloadFromTarget(controller), 0);
    EXPECT_EQ(loadedImageLength(controller), 0); // the loaded image is gone
    EXPECT_TRUE(loggedTotalTime());
    EXPECT_EQ(controllerIsIdle(controller), 1);
    // An existing, longer file is replaced, not overwritten in part.
    const std::string out = folder.write("flash.bin", std::vector<uint8_t>(kF1Flash + 100, 0x11));
    ASSERT_EQ(writeDownloadFile(controller, nativeFromUtf8(out)), 0);
    const auto saved = readFile(out);
    EXPECT_EQ(saved.size(), static_cast<size_t>(kF1Flash));
    EXPECT_EQ(saved, board->flash());
    EXPECT_EQ(writeDownloadFile(controller, nativeFromUtf8(folder.file("no/such/dir.bin"))), -1);
}

TEST_F(Downloads, ALoadDiscardsTheBytesOfAnEarlierDownload) {
    ASSERT_EQ(downloadFromTarget(controller), 0);
    ASSERT_EQ(load(folder.write("a.bin", patternBytes(4, 7))), 0);
    EXPECT_EQ(writeDownloadFile(controller, nativeFromUtf8(folder.file("out.bin"))), -1);
    EXPECT_FALSE(fileExists(folder.file("out.bin")));
}

TEST_F(Downloads, OptionSizeIsCutToTheEndOfFlash) {
    board->fillFlashPattern(23);
    useOptions(0x1000, 0x7FFFFFFF);
    ASSERT_EQ(downloadFromTarget(controller), 0);
    EXPECT_TRUE(recorder.hasLine("Address: 0x08001000"));
    const std::string out = folder.file("tail.bin");
    ASSERT_EQ(writeDownloadFile(controller, nativeFromUtf8(out)), 0);
    const auto flash = board->flash();
    EXPECT_EQ(readFile(out), slice(flash, 0x1000, kF1Flash - 0x1000));
}

TEST_F(Downloads, OptionAreaInsideFlash) {
    board->fillFlashPattern(24);
    useOptions(0x800, 3000);
    ASSERT_EQ(downloadFromTarget(controller), 0);
    const std::string out = folder.file("area.bin");
    ASSERT_EQ(writeDownloadFile(controller, nativeFromUtf8(out)), 0);
    EXPECT_EQ(readFile(out), slice(board->flash(), 0x800, 3000));

    // An offset past the last page reads the last page.
    useOptions(0x7FFFF, 0);
    ASSERT_EQ(downloadFromTarget(controller), 0);
    ASSERT_EQ(writeDownloadFile(controller, nativeFromUtf8(out)), 0);
    EXPECT_EQ(readFile(out), slice(board->flash(), kF1Flash - kF1Page, kF1Page));
}

TEST_F(Downloads, AFailedReadSavesNothing) {
    vboard::Fault fault;
    fault.type = vboard::FaultType::Stall;
    fault.on = Request::Upload;
    board->injectFault(fault);
    EXPECT_EQ(downloadFromTarget(controller), -1);
    EXPECT_TRUE(recorder.hasLine("Error while reading STM32 flash.")) << ::testing::PrintToString(recorder.lines());
    EXPECT_FALSE(loggedTotalTime());
    EXPECT_EQ(controllerIsIdle(controller), 1);
    EXPECT_EQ(writeDownloadFile(controller, nativeFromUtf8(folder.file("x.bin"))), -1);
    EXPECT_FALSE(fileExists(folder.file("x.bin")));
}

TEST_F(ControllerOnBus, FileNamedAtStartIsUploadedAfterTheFirstPoll) {
    vboard::Board& board = addBoard();
    const auto image = patternBytes(3000, 25);
    setStartupImage(controller, nativeFromUtf8(folder.write("start.bin", image), 4096));
    startWatch();
    uploadStartupImage(controller);
    waitForUpload(controller);
    EXPECT_EQ(board.read(kFlashStart, 3000), image);
    EXPECT_TRUE(loggedTotalTime());
}

TEST_F(ControllerOnBus, FileNamedAtStartWithoutTargetIsNotUploaded) {
    setStartupImage(controller, nativeFromUtf8(folder.write("start.bin", patternBytes(16, 26)), 4096));
    startWatch();
    uploadStartupImage(controller);
    EXPECT_TRUE(recorder.hasLine("STM32 DFU Target not available(enable via User and Reset button)."));
    EXPECT_FALSE(uploadWasStarted(controller));
}

} // namespace

namespace {

std::vector<std::string> textLines(const std::vector<uint8_t>& bytes) {
    std::vector<std::string> lines;
    std::string line;
    for (uint8_t byte : bytes) {
        if (byte == '\n') {
            lines.push_back(line);
            line.clear();
        } else if (byte != '\r') {
            line += static_cast<char>(byte);
        }
    }
    return lines;
}

TEST_F(ControllerOnBus, TraceIsAskedForByTheVariableOrTheStoredValue) {
    EXPECT_FALSE(debugTraceWanted(controller, nullptr));
    EXPECT_FALSE(debugTraceWanted(controller, "0"));
    EXPECT_FALSE(debugTraceWanted(controller, "yes"));
    EXPECT_TRUE(debugTraceWanted(controller, "1"));
    store.writeNumber("Trace", 1);
    EXPECT_TRUE(debugTraceWanted(controller, nullptr));
    store.writeNumber("Trace", 0);
    EXPECT_FALSE(debugTraceWanted(controller, nullptr));
}

TEST_F(ControllerOnBus, TraceFileHoldsTheRequestsUntilStopped) {
    EXPECT_FALSE(startDebugTrace(controller, nativeFromUtf8(folder.file("no/such/folder/trace.txt"))));
    const std::string path = folder.file("trace.txt");
    ASSERT_TRUE(startDebugTrace(controller, nativeFromUtf8(path)));
    addBoard();
    startWatchAndWaitFor(kF1Status);
    ASSERT_EQ(downloadFromTarget(controller), 0);
    stopDebugTrace(controller);

    const std::vector<std::string> lines = textLines(readFile(path));
    EXPECT_GT(lines.size(), 10u); // a whole-flash read is many requests
    for (const std::string& line : lines) EXPECT_EQ(line.rfind("stm32 ", 0), 0u) << line;

    // Stopped: a further operation adds nothing.
    const size_t traced = readFile(path).size();
    ASSERT_EQ(downloadFromTarget(controller), 0);
    EXPECT_EQ(readFile(path).size(), traced);
}

} // namespace
