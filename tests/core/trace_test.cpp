// The debug trace: its line format, the shape of a recorded conversation, and
// the removal of read protection it reports on.
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>

#include "board_fixture.h"
#include "trace.h"

#ifndef CORE_TEST_DATA_DIR
#error "CORE_TEST_DATA_DIR must name tests/core/data"
#endif

namespace {

using coretest::BoardTest;
using coretest::patternBytes;
using coretest::withVector;
using vboard::Profile;
using vboard::Request;

struct TraceSink {
    std::mutex mutex;
    std::vector<std::string> lines;
};

void collect(void* user, const char* line) {
    auto* sink = static_cast<TraceSink*>(user);
    std::lock_guard<std::mutex> lock(sink->mutex);
    sink->lines.emplace_back(line);
}

// The conversation without its timing: one token per request and reply, as
// a user's trace shows it ("SET_ADDRESS", "STATUS dfuDNBUSY", "UPLOAD", ...).
std::vector<std::string> shapeOf(const std::vector<std::string>& traceLines) {
    // Recorded traces older than the board column have none.
    static const std::regex request(
        R"(^stm32 +(?:[-0-9.]+ +)?[0-9.]+ req +(\w+) wValue=(\d+) len=(\d+)(?: \[(\w\w)[^\]]*\])?)");
    static const std::regex reply(R"(^stm32 +(?:[-0-9.]+ +)?[0-9.]+ reply +GETSTATUS (?:state=([\w-]+)|failed))");
    std::vector<std::string> shape;
    for (const std::string& line : traceLines) {
        std::smatch m;
        if (std::regex_search(line, m, request)) {
            std::string name = m[1];
            if (name == "DNLOAD") {
                int value = std::stoi(m[2]);
                int length = std::stoi(m[3]);
                std::string command = m[4];
                if (value >= 2) name = length == 0 ? "LEAVE" : "WRITE";
                else if (command == "21") name = "SET_ADDRESS";
                else if (command == "41") name = length == 1 ? "MASS_ERASE" : "ERASE";
                else if (command == "92") name = "READ_UNPROTECT";
            }
            shape.push_back(name);
        } else if (std::regex_search(line, m, reply)) {
            shape.push_back(m[1].matched ? "STATUS " + std::string(m[1]) : "STATUS failed");
        }
    }
    return shape;
}

std::vector<std::string> readLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class TraceTest : public BoardTest {
protected:
    void SetUp() override {
        BoardTest::SetUp();
        stm32SetTraceCallback(collect, &sink);
    }
    void TearDown() override {
        stm32SetTraceCallback(nullptr, nullptr);
        BoardTest::TearDown();
    }
    TraceSink sink;
};

TEST_F(TraceTest, LinesAreStampedAndNameRequestsRepliesAndDecisions) {
    auto& board = addBoard(Profile::F1);
    lend(board, withVector(patternBytes(3000, 101), 0x08000101));
    ASSERT_EQ(command(board, STM32_CMD_UPLOAD, 0), STM32_RESULT_OK);
    ASSERT_FALSE(sink.lines.empty());
    static const std::regex format(R"(^stm32 (\S+) +([0-9]+\.[0-9]{3}) (req|reply|decide|fail|note) +\S.*$)");
    double previous = 0;
    for (const std::string& line : sink.lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, format)) << line;
        EXPECT_EQ(m[1], board.portPath()) << "every line names its board";
        double ms = std::stod(m[2]);
        EXPECT_GE(ms, previous) << line;
        previous = ms;
    }
    auto has = [&](const char* text) {
        return std::any_of(sink.lines.begin(), sink.lines.end(),
                           [&](const std::string& l) { return l.find(text) != std::string::npos; });
    };
    EXPECT_TRUE(has("reply  GETSTATUS state=dfuDNBUSY(4) status=OK(0)"));
    EXPECT_TRUE(has("req    DNLOAD wValue=0 len=5 [21 00 00 00 08] rc=5"));
    EXPECT_TRUE(has("decide aborting to reach dfuIDLE"));
    EXPECT_TRUE(has("decide ROM bcdDevice=0x2000 transfer=2048: no known quirks"));
    EXPECT_TRUE(has("; row default: holdsRequestsWhileBusy=0 stallsEarlyStatus=1")) << "the ROM line prints its row";

    sink.lines.clear();
    stm32SetTraceCallback(nullptr, nullptr);
    log.clear();
    bus->replug(board);
    ASSERT_EQ(command(board, STM32_CMD_DOWNLOAD, 0, 2048), STM32_RESULT_OK);
    EXPECT_TRUE(sink.lines.empty()) << "a null callback stops the trace";
}

TEST_F(TraceTest, FailuresAreTracedWithTheirCause) {
    auto& board = addBoard(Profile::F1);
    lend(board, withVector(patternBytes(3000, 102), 0x08000101));
    board.injectFault({vboard::FaultType::ErrorStatus, Request::ErasePage, 1, vboard::errERASE});
    ASSERT_EQ(command(board, STM32_CMD_UPLOAD, 0), STM32_RESULT_ERASE_ERROR);
    auto failure = std::find_if(sink.lines.begin(), sink.lines.end(),
                                [](const std::string& l) { return l.find(" fail ") != std::string::npos; });
    ASSERT_NE(failure, sink.lines.end());
    EXPECT_NE(failure->find("ERASE at 0x08000800: board answered dfuERROR, errERASE"), std::string::npos) << *failure;
}

// A trace recorded from an F4-class upload (16 KB at 0x4000, the sector
// behind the first) must keep its shape: a change here changes what real
// boards see.
TEST_F(TraceTest, F4UploadKeepsTheShapeOfItsRecordedTrace) {
    auto recorded = shapeOf(readLines(CORE_TEST_DATA_DIR "/f4_upload_16k_at_0x4000.trace"));
    ASSERT_GT(recorded.size(), 20u);
    auto& board = addBoard(Profile::F4);
    board.write(0x08000000, coretest::vectorTable(0x08000101));
    lend(board, patternBytes(16 * 1024, 103));
    ASSERT_EQ(command(board, STM32_CMD_UPLOAD, 0x4000), STM32_RESULT_OK);
    EXPECT_EQ(shapeOf(sink.lines), recorded);
}

TEST_F(TraceTest, UnprotectErasesTheBoardAndSaysSo) {
    vboard::BoardOptions options;
    options.profile = Profile::F4;
    options.readProtected = true;
    auto& board = bus->addBoard(options);
    board.fillFlashPattern(104);
    const int32_t index = board.listPosition();
    EXPECT_EQ(stm32Unprotect(ctx, index), STM32_RESULT_OK);
    EXPECT_EQ(transcript(), (std::vector<std::string>{
                                "Removing read protection: the board erases its whole flash and resets.",
                                "Read protection removed; the flash is erased and the board restarts in DFU mode.",
                                "OK."}));
    EXPECT_FALSE(board.readProtected());
    EXPECT_EQ(board.resets(), 1u);
    EXPECT_EQ(board.count(Request::ReadUnprotect), 1u);
    EXPECT_EQ(board.flash(), std::vector<uint8_t>(board.flashSize(), 0xFF));
    auto shape = shapeOf(sink.lines);
    EXPECT_EQ(std::count(shape.begin(), shape.end(), "READ_UNPROTECT"), 1);

    log.clear();
    lend(board, {});
    EXPECT_EQ(stm32Command(ctx, -1, 0x08000000, 0, 2048, STM32_CMD_DOWNLOAD), STM32_RESULT_OK)
        << "the board is readable again";

    log.clear();
    EXPECT_EQ(stm32Unprotect(ctx, 57), STM32_RESULT_NO_TARGET);
    EXPECT_EQ(transcript(), (std::vector<std::string>{"STM32 not connected or not in bootload mode.",
                                                      "Error while removing read protection."}));
}

} // namespace
