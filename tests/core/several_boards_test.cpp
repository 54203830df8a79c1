// Several boards at once: a context pinned to a board's port path, commands
// on several boards from several threads, the trace naming each board, and
// the report of what a command did.
#include <atomic>
#include <map>
#include <mutex>
#include <thread>

#include "board_fixture.h"

namespace {

using coretest::BoardTest;
using coretest::patternBytes;
using coretest::withVector;
using vboard::Profile;
using vboard::Request;

constexpr uint32_t kFlash = 0x08000000;

vboard::BoardOptions boardAt(Profile profile, const std::string& port, double timeScale = 0.0) {
    vboard::BoardOptions options;
    options.profile = profile;
    options.portPath = port;
    options.timeScale = timeScale;
    // Real ROMs of a family often report one serial: nothing here may rely on it.
    options.serial = "SHARED";
    return options;
}

// One thread's own context, buffers and log, as a program that works on
// several boards keeps them.
struct Worker {
    Stm32Context* context = stm32Init();
    std::vector<uint8_t> flash;
    std::vector<uint8_t> image;
    std::vector<coretest::LogEntry> log;
    int32_t result = -100;

    Worker() { stm32RegisterLogCallback(context, &log, coretest::captureLog); }
    ~Worker() { stm32Exit(context); }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    void lend(uint32_t flashSize, const std::vector<uint8_t>& bytes) {
        flash.assign(flashSize, 0);
        image = bytes;
        image.resize(flashSize, 0xFF);
        stm32SetBuffer(context, flash.data(), static_cast<int32_t>(flashSize), image.data(),
                       static_cast<int32_t>(bytes.size()));
    }
};

class TargetPathTest : public BoardTest {};

// A board that leaves after its upload moves the list positions of the
// boards behind it: a pinned context still reaches its own board.
TEST_F(TargetPathTest, PinnedContextFindsItsBoardAfterListPositionsMoved) {
    auto& first = bus->addBoard(boardAt(Profile::F1, "1-1"));
    auto& second = bus->addBoard(boardAt(Profile::F1, "1-2"));
    auto& third = bus->addBoard(boardAt(Profile::F1, "1-3"));
    auto& fourth = bus->addBoard(boardAt(Profile::F1, "1-4"));
    const int32_t staleThirdIndex = third.listPosition();
    const auto bytes = withVector(patternBytes(3000, 11), 0x08000101);
    lend(first, bytes);
    ASSERT_EQ(command(first, STM32_CMD_UPLOAD, 0), STM32_RESULT_OK);
    ASSERT_TRUE(first.hasLeft());
    ASSERT_EQ(fourth.listPosition(), staleThirdIndex) << "the board that left took its list position along";

    second.resetCounters();
    fourth.resetCounters();
    ASSERT_EQ(stm32SetTargetPath(ctx, "1-3"), 1);
    // The pinned path answers for the layout and the details, whatever the index.
    FlashInfo info{};
    EXPECT_NE(stm32GetFlashInfo(ctx, 57, &info), 0);
    EXPECT_EQ(info.flashSize, static_cast<int32_t>(third.flashSize()));
    Stm32DeviceDetails details{};
    ASSERT_NE(stm32GetDeviceDetails(ctx, 57, &details), 0);
    EXPECT_STREQ(details.portPath, "1-3");

    lend(third, bytes);
    EXPECT_EQ(stm32Command(ctx, staleThirdIndex, kFlash, 0, 0, STM32_CMD_UPLOAD), STM32_RESULT_OK);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), third.flash().begin()));
    EXPECT_EQ(classRequests(fourth), 0u) << "the board now at the stale index was not touched";
    EXPECT_EQ(classRequests(second), 0u);
}

TEST_F(TargetPathTest, NoBoardAtThePathIsNoTargetAndAnEmptyPathUnpins) {
    auto& board = bus->addBoard(boardAt(Profile::F1, "1-4"));
    lend(board, patternBytes(2048, 12));
    ASSERT_EQ(stm32SetTargetPath(ctx, "1-9"), 1);
    EXPECT_EQ(command(board, STM32_CMD_DOWNLOAD, 0, 2048), STM32_RESULT_NO_TARGET);
    FlashInfo info{};
    EXPECT_EQ(stm32GetFlashInfo(ctx, board.listPosition(), &info), 0);
    EXPECT_EQ(stm32Unprotect(ctx, board.listPosition()), STM32_RESULT_NO_TARGET);
    EXPECT_EQ(classRequests(board), 0u);

    EXPECT_EQ(stm32SetTargetPath(ctx, "1-2.3.4.5.6.7.1-2.3.4.5.6.7.1-2.3.4"), 0) << "longer than any port path";
    EXPECT_STREQ(ctx->targetPath, "");
    EXPECT_EQ(stm32SetTargetPath(ctx, ""), 1);
    EXPECT_EQ(command(board, STM32_CMD_DOWNLOAD, 0, 2048), STM32_RESULT_OK);
}

class ConcurrentBoardsTest : public BoardTest {};

struct TraceSink {
    std::mutex mutex;
    std::map<std::string, std::vector<std::string>> linesByBoard;
    std::atomic<int> malformed{0};
};

void collectByBoard(void* user, const char* line) {
    auto* sink = static_cast<TraceSink*>(user);
    const std::string text = line;
    const size_t board = text.find(' ');
    const size_t end = text.find(' ', board + 1);
    std::lock_guard<std::mutex> lock(sink->mutex);
    if (text.rfind("stm32 ", 0) != 0 || end == std::string::npos) {
        ++sink->malformed;
        return;
    }
    sink->linesByBoard[text.substr(board + 1, end - board - 1)].push_back(text);
}

// Four boards of two families programmed at the same time, one thread each:
// every board holds its own image, every log is whole, every trace line
// names its board. Run under the sanitizers, this is the race check.
TEST_F(ConcurrentBoardsTest, FourBoardsProgrammedAtOnceEachHoldItsImage) {
    const std::vector<std::pair<Profile, std::string>> layout = {
        {Profile::F1, "1-1"}, {Profile::F4, "1-2.1"}, {Profile::F1, "1-2.2"}, {Profile::F4, "1-3"}};
    std::vector<vboard::Board*> boards;
    for (const auto& [profile, port] : layout) boards.push_back(&bus->addBoard(boardAt(profile, port, 0.02)));
    TraceSink sink;
    stm32SetTraceCallback(collectByBoard, &sink);

    std::vector<std::unique_ptr<Worker>> workers;
    std::vector<std::vector<uint8_t>> images;
    for (size_t i = 0; i < boards.size(); ++i) {
        workers.push_back(std::make_unique<Worker>());
        images.push_back(withVector(patternBytes(20000 + 1000 * i, 20 + static_cast<uint32_t>(i)), 0x08000101));
        workers[i]->lend(boards[i]->flashSize(), images[i]);
        ASSERT_EQ(stm32SetTargetPath(workers[i]->context, boards[i]->portPath().c_str()), 1);
    }
    std::vector<std::thread> threads;
    for (size_t i = 0; i < boards.size(); ++i) {
        Worker* worker = workers[i].get();
        threads.emplace_back([worker] {
            worker->result = stm32Command(worker->context, -1, kFlash, 0, 0, STM32_CMD_UPLOAD);
        });
    }
    for (std::thread& thread : threads) thread.join();
    stm32SetTraceCallback(nullptr, nullptr);

    for (size_t i = 0; i < boards.size(); ++i) {
        SCOPED_TRACE(boards[i]->portPath());
        EXPECT_EQ(workers[i]->result, STM32_RESULT_OK);
        const std::vector<uint8_t> flash = boards[i]->flash();
        EXPECT_TRUE(std::equal(images[i].begin(), images[i].end(), flash.begin()));
        EXPECT_TRUE(boards[i]->hasLeft());
        // Each log is its own board's: one closing line, nothing of another board.
        ASSERT_FALSE(workers[i]->log.empty());
        EXPECT_EQ(workers[i]->log.back().text, "OK.");
        EXPECT_EQ(std::count_if(workers[i]->log.begin(), workers[i]->log.end(),
                                [](const coretest::LogEntry& e) { return e.text == "Verifying."; }),
                  1);
        const auto& lines = sink.linesByBoard[boards[i]->portPath()];
        EXPECT_GT(lines.size(), 10u);
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string& l) { return l.find(" decide ROM ") != std::string::npos; }),
                  1)
            << "one command, one ROM line";
    }
    EXPECT_EQ(sink.malformed.load(), 0);
    EXPECT_EQ(sink.linesByBoard.size(), boards.size()) << "no line without its board";
}

class CommandReportTest : public BoardTest {
protected:
    Stm32CommandReport report() const {
        Stm32CommandReport r{};
        stm32GetCommandReport(ctx, &r);
        return r;
    }
};

// The counts a script reads match what the board saw.
TEST_F(CommandReportTest, UploadCountsErasedWrittenAndSkippedPages) {
    auto& board = addBoard(Profile::F4);
    board.fillFlashPattern(30);
    board.write(kFlash, coretest::vectorTable(0x08000101));
    // 40 KB from 0x4000: sectors 1 and 2 (16 KB) and sector 3 (16 KB) hold it.
    auto bytes = patternBytes(40 * 1024, 31);
    lend(board, bytes);
    ASSERT_EQ(command(board, STM32_CMD_UPLOAD, 0x4000), STM32_RESULT_OK);
    Stm32CommandReport r = report();
    EXPECT_EQ(r.bytes, bytes.size());
    EXPECT_EQ(r.pagesErased, 3);
    EXPECT_EQ(static_cast<uint64_t>(r.pagesErased), board.count(Request::ErasePage));
    EXPECT_EQ(r.pagesWritten, 3);
    EXPECT_EQ(r.pagesSkipped, 0);
    EXPECT_EQ(r.massErase, 0);

    // The same image again, with one changed byte in the last sector, -k.
    bus->replug(board);
    board.resetCounters();
    bytes[bytes.size() - 10] ^= 0x5A;
    lend(board, bytes);
    stm32SetUploadFlags(ctx, STM32_UPLOAD_SKIP_UNCHANGED);
    ASSERT_EQ(command(board, STM32_CMD_UPLOAD, 0x4000), STM32_RESULT_OK);
    r = report();
    EXPECT_EQ(r.pagesSkipped, 2);
    EXPECT_EQ(r.pagesErased, 1);
    EXPECT_EQ(board.count(Request::ErasePage), 1u);
    EXPECT_EQ(r.pagesWritten, 1);
}

TEST_F(CommandReportTest, EraseDownloadAndAFailureReportWhatWasDone) {
    auto& board = addBoard(Profile::F4);
    board.fillFlashPattern(32);
    lend(board, {});
    ASSERT_EQ(command(board, STM32_CMD_ERASE, 0, 0), STM32_RESULT_OK);
    Stm32CommandReport r = report();
    EXPECT_EQ(r.massErase, 1);
    EXPECT_EQ(r.pagesErased, 12) << "4 + 1 + 7 sectors";
    EXPECT_EQ(r.bytes, board.flashSize());

    // 100 bytes from 0x10: the first sector is erased and its other bytes written back.
    board.fillFlashPattern(33);
    ASSERT_EQ(command(board, STM32_CMD_ERASE, 0x10, 100), STM32_RESULT_OK);
    r = report();
    EXPECT_EQ(r.massErase, 0);
    EXPECT_EQ(r.pagesErased, 1);
    EXPECT_EQ(r.pagesWritten, 1);
    EXPECT_EQ(r.bytes, 100u);

    ASSERT_EQ(command(board, STM32_CMD_DOWNLOAD, 0x100, 5000), STM32_RESULT_OK);
    r = report();
    EXPECT_EQ(r.bytes, 5000u);
    EXPECT_EQ(r.pagesErased + r.pagesWritten, 0);

    // A failed write: the erase happened, nothing counts as written or verified.
    lend(board, withVector(patternBytes(3000, 34), 0x08000101));
    board.injectFault({vboard::FaultType::ErrorStatus, Request::DataBlock, 0, vboard::errWRITE});
    ASSERT_EQ(command(board, STM32_CMD_UPLOAD, 0), STM32_RESULT_WRITE_ERROR);
    r = report();
    EXPECT_EQ(r.pagesErased, 1);
    EXPECT_EQ(r.pagesWritten, 0);
    EXPECT_EQ(r.bytes, 0u);
}

} // namespace
