// stm32cmd on a production line: boards that share a serial number, boards
// chosen by port path, every board at once, JSON for scripts, waiting for a
// board, and the station that programs every board that arrives.
#include "cli_process.h"
#include "virtual_board.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef STM32CMD_PATH
#error "STM32CMD_PATH must name the stm32cmd program"
#endif
#ifndef STM32_JSON_CHECK
#error "STM32_JSON_CHECK must name json_check.py"
#endif

extern char** environ;

namespace {

using clitest::RunResult;
using clitest::occurrences;
using vboard::Request;

const std::string kProgram = clitest::programUnderTest(STM32CMD_PATH);
const std::string kF0Serial = "FFFFFFFEFFFF";
const std::string kH7Serial = "200364500000";

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<uint8_t> head(const std::vector<uint8_t>& bytes, size_t length)
{
    return std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(length));
}

uint64_t transfers(const vboard::Board& board)
{
    return board.count(Request::Upload) + board.count(Request::DataBlock) + board.count(Request::ErasePage) +
           board.count(Request::MassErase) + board.count(Request::SetAddress);
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

using JsonObject = std::map<std::string, std::string>;

// Runs json_check.py on input, its objects into output; returns its exit
// status. Without the preloads of the virtual bus and of a sanitizer runtime,
// which are not meant for the interpreter.
int runChecker(const std::string& mode, const std::string& input, const std::string& output)
{
    std::vector<char*> environment;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (std::strncmp(*variable, "LD_PRELOAD=", 11) != 0) environment.push_back(*variable);
    }
    environment.push_back(nullptr);
    std::vector<std::string> arguments{"python3", STM32_JSON_CHECK, mode, input};
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, "python3", &actions, nullptr, argv.data(), environment.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Boards : public ::testing::Test {
protected:
    RunResult run(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), kProgram);
        return clitest::runStm32cmd(arguments, dir.path());
    }

    RunResult steer(std::vector<std::string> arguments, const std::vector<clitest::Step>& steps)
    {
        arguments.insert(arguments.begin(), kProgram);
        return clitest::runStm32cmdSteered(arguments, dir.path(), steps);
    }

    vboard::Board& addBoard(vboard::Profile profile, const std::string& port = "", const std::string& serial = "",
                            double timeScale = 0)
    {
        vboard::BoardOptions options;
        options.profile = profile;
        options.portPath = port;
        options.serial = serial;
        options.timeScale = timeScale;
        return bus.addBoard(options);
    }

    std::string writeImage(const std::string& name, const std::vector<uint8_t>& bytes)
    {
        clitest::writeFile(dir.file(name), bytes);
        return dir.file(name);
    }

    // Validates the output with a JSON parser against the documented fields
    // and returns the objects, each as its members' texts.
    std::vector<JsonObject> checkedJson(const std::string& mode, const std::string& text)
    {
        const std::string input = dir.file("json-in");
        const std::string output = dir.file("json-out");
        clitest::writeText(input, text);
        EXPECT_EQ(runChecker(mode, input, output), 0) << text;
        std::vector<JsonObject> objects;
        const std::vector<uint8_t> checked = clitest::readFile(output);
        for (const std::string& line : lines(std::string(checked.begin(), checked.end()))) {
            JsonObject object;
            std::istringstream members(line);
            for (std::string member; std::getline(members, member, '\t');) {
                const size_t equals = member.find('=');
                object[member.substr(0, equals)] = member.substr(equals + 1);
            }
            objects.push_back(object);
        }
        return objects;
    }

    vboard::Bus bus;
    clitest::TempDir dir;
};

// --- boards that share a serial number ----------------------------------------

TEST_F(Boards, SharedSerialsAreListedWithTheirPathsChosenByPathAndRefusedBySerial)
{
    vboard::Board& a = addBoard(vboard::Profile::F0, "1-1");
    vboard::Board& b = addBoard(vboard::Profile::F0, "1-2");
    vboard::Board& c = addBoard(vboard::Profile::F0, "1-4.3"); // behind a hub
    for (vboard::Board* board : {&a, &b, &c}) board->fillFlashPattern(static_cast<uint32_t>(board->listPosition()) + 9);

    RunResult r = run({"-l", "-v"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> listed = lines(r.out);
    ASSERT_EQ(listed.size(), 3u) << r.out;
    for (size_t i = 0; i < listed.size(); ++i) {
        const vboard::Board& board = *bus.boards()[i];
        EXPECT_TRUE(contains(listed[i], "  path " + board.portPath() + "  serial \"" + kF0Serial + "\"")) << listed[i];
    }

    // The board at 1-4.3, wherever it is listed.
    r = run({"-p", "1-4.3", "-d", "-s", "4096", "-f", "c.bin"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(clitest::readFile(dir.file("c.bin")), head(c.flash(), 4096));
    EXPECT_EQ(transfers(a) + transfers(b), 0u);

    // A serial that three boards share is refused: it names every one of them.
    const std::vector<uint8_t> beforeB = b.flash();
    r = run({"-S", kF0Serial, "-e"});
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(r.err, "3 boards share the serial number \"" + kF0Serial +
                         "\": 1-1 (-i 0), 1-2 (-i 1), 1-4.3 (-i 2)\nchoose one by its USB port path with -p\n");
    EXPECT_EQ(b.flash(), beforeB);

    r = run({"--path=1-3", "-e"});
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(r.err, "no board at USB port path \"1-3\"; connected: 1-1 (-i 0), 1-2 (-i 1), 1-4.3 (-i 2)\n");
    EXPECT_EQ(a.count(Request::ErasePage) + b.count(Request::ErasePage) + c.count(Request::ErasePage), 0u);

    r = run({"-p", "1-1", "-S", kF0Serial, "-e"});
    EXPECT_EQ(r.status, 7);
    EXPECT_TRUE(contains(r.err, "leave out -S and -i")) << r.err;
}

// Three H7 boards with one serial, programmed at the same time: each holds
// the image, each has its own result line, and the work overlaps.
TEST_F(Boards, AllProgramsBoardsThatShareASerialAtOnce)
{
    std::vector<vboard::Board*> boards;
    for (const char* port : {"1-1", "1-2", "1-3.1"}) boards.push_back(&addBoard(vboard::Profile::H7, port, "", 0.1));
    const std::vector<uint8_t> image = clitest::makeImage(20 * 1024, 0x08000101, 61);
    const RunResult r = run({"--all", writeImage("prog.bin", image)});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (vboard::Board* board : boards) {
        SCOPED_TRACE(board->portPath());
        EXPECT_EQ(head(board->flash(), image.size()), image);
        EXPECT_TRUE(board->hasLeft());
        EXPECT_EQ(board->count(Request::ErasePage), 1u);
        EXPECT_EQ(occurrences(r.out, "Board " + board->portPath() + " (serial " + kH7Serial + "): OK, "), 1) << r.out;
        // No later board waited for an earlier one: every board began before any ended.
        EXPECT_LT(r.out.find("[" + board->portPath() + "] Reading flash."), r.out.find("] OK.")) << r.out;
    }
    EXPECT_TRUE(contains(r.out, "\nBoards programmed: 3, failed: 0\n")) << r.out;
    // Every line is whole: one board's prefix, a result line or the summary.
    for (const std::string& line : lines(r.out)) {
        const bool prefixed = line.rfind("[1-", 0) == 0 && occurrences(line, "[1-") == 1;
        EXPECT_TRUE(prefixed || line.rfind("Board 1-", 0) == 0 || line.rfind("Boards programmed", 0) == 0) << line;
    }
}

TEST_F(Boards, AllWithOneBoardFailingInTheMiddleFinishesTheOthers)
{
    vboard::Board& a = addBoard(vboard::Profile::F4, "1-1", "", 0.05);
    vboard::Board& b = addBoard(vboard::Profile::F4, "1-2", "F4-B", 0.05);
    vboard::Board& c = addBoard(vboard::Profile::F4, "1-3", "", 0.05);
    b.fillFlashPattern(62);
    vboard::Fault fault;
    fault.type = vboard::FaultType::ErrorStatus;
    fault.on = Request::DataBlock;
    fault.skip = 3; // in the middle of its writes
    fault.status = vboard::errWRITE;
    b.injectFault(fault);
    const std::vector<uint8_t> image = clitest::makeImage(12000, 0x08000101, 63);
    const RunResult r = run({"--all", writeImage("prog.bin", image)});
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_EQ(head(a.flash(), image.size()), image);
    EXPECT_EQ(head(c.flash(), image.size()), image);
    EXPECT_TRUE(a.hasLeft());
    EXPECT_TRUE(c.hasLeft());
    EXPECT_FALSE(b.hasLeft());
    EXPECT_TRUE(contains(r.out, "[1-2] Error while flashing STM32.\n")) << r.out;
    const std::string failedLine = "Board 1-2 (serial F4-B): failed, exit status 3 (Device Write Error), ";
    EXPECT_TRUE(contains(r.out, failedLine)) << r.out;
    EXPECT_EQ(occurrences(r.out, ": OK, "), 2);
    EXPECT_TRUE(contains(r.out, "\nBoards programmed: 2, failed: 1\n")) << r.out;
}

// --- JSON -----------------------------------------------------------------------

TEST_F(Boards, ListAsJsonValidatesAndNamesEveryBoard)
{
    bus.addForeignDevice();
    vboard::Board& h7 = addBoard(vboard::Profile::H7, "1-5");
    vboard::BoardOptions locked;
    locked.usbAccess = vboard::UsbAccess::OpenDenied;
    locked.portPath = "1-6.2";
    vboard::Board& denied = bus.addBoard(locked);

    const RunResult r = run({"-l", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::vector<JsonObject> boards = checkedJson("list", r.out);
    ASSERT_EQ(boards.size(), 2u) << r.out;
    EXPECT_EQ(boards[0].at("index"), "0");
    EXPECT_EQ(boards[0].at("listId"), std::to_string(h7.listPosition()));
    EXPECT_EQ(boards[0].at("path"), "1-5");
    EXPECT_EQ(boards[0].at("serial"), kH7Serial);
    EXPECT_EQ(boards[0].at("product"), "STM32  BOOTLOADER");
    EXPECT_EQ(boards[0].at("bcdDevice"), "512");
    EXPECT_EQ(boards[0].at("layout"), "@Internal Flash   /0x08000000/16*128Kg");
    EXPECT_EQ(boards[0].at("transferSize"), "1024");
    EXPECT_EQ(boards[0].at("flashStart"), "134217728");
    EXPECT_EQ(boards[0].at("flashSize"), std::to_string(h7.flashSize()));
    EXPECT_EQ(boards[0].at("openError"), "null");
    // A board that cannot be opened is listed with what needs no opening.
    EXPECT_EQ(boards[1].at("path"), denied.portPath());
    EXPECT_EQ(boards[1].at("serial"), "null");
    EXPECT_EQ(boards[1].at("openError"), "access denied");

    // No board: still a document, then the usual status.
    bus.unplug(h7);
    bus.unplug(denied);
    const RunResult none = run({"-l", "--json"});
    EXPECT_EQ(none.status, 8);
    EXPECT_EQ(none.out, "{\"boards\": []}\n");
    EXPECT_EQ(none.err, "no device connected\n");
}

TEST_F(Boards, CommandResultsAsJsonWithTheLogOnStandardError)
{
    vboard::Board& board = addBoard(vboard::Profile::F4, "1-2");
    board.fillFlashPattern(64);
    const std::vector<uint8_t> image = clitest::makeImage(40 * 1024, 0x08000101, 65);
    const std::string path = writeImage("prog.bin", image);

    RunResult r = run({"--json", "--no-start", "-o", "0x4000", path});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "Verifying.\n")) << "the human log moved to standard error: " << r.err;
    std::vector<JsonObject> results = checkedJson("results", r.out);
    ASSERT_EQ(results.size(), 1u) << r.out;
    EXPECT_EQ(results[0].at("path"), "1-2");
    EXPECT_EQ(results[0].at("command"), "upload");
    EXPECT_EQ(results[0].at("result"), "0");
    EXPECT_EQ(results[0].at("resultName"), "Success");
    EXPECT_EQ(results[0].at("bytes"), std::to_string(image.size()));
    EXPECT_EQ(results[0].at("pagesErased"), std::to_string(board.count(Request::ErasePage)));
    EXPECT_EQ(results[0].at("pagesErased"), "3");
    EXPECT_EQ(results[0].at("pagesWritten"), "3");
    EXPECT_EQ(results[0].at("massErase"), "false");

    // Unchanged with -k: every page skipped.
    r = run({"--json", "-k", "--no-start", "-o", "0x4000", path});
    results = checkedJson("results", r.out);
    ASSERT_EQ(results.size(), 1u) << r.out;
    EXPECT_EQ(results[0].at("pagesSkipped"), "3");
    EXPECT_EQ(results[0].at("pagesErased"), "0");

    r = run({"--json", "-d", "-s", "1000", "-f", "back.bin"});
    results = checkedJson("results", r.out);
    ASSERT_EQ(results.size(), 1u) << r.out;
    EXPECT_EQ(results[0].at("command"), "download");
    EXPECT_EQ(results[0].at("bytes"), "1000");

    // A failure is an object too, with its status and its words.
    board.injectFault({vboard::FaultType::ErrorStatus, Request::MassErase, 0, vboard::errERASE});
    r = run({"--json", "-q", "-e", "-s", "0"});
    EXPECT_EQ(r.status, 4);
    results = checkedJson("results", r.out);
    ASSERT_EQ(results.size(), 1u) << r.out;
    EXPECT_EQ(results[0].at("command"), "erase");
    EXPECT_EQ(results[0].at("result"), "4");
    EXPECT_EQ(results[0].at("resultName"), "Device Erase Error");
    EXPECT_EQ(r.err, "") << "-q silences the log, not the results";
}

TEST_F(Boards, AllWithJsonGivesOneObjectPerBoard)
{
    vboard::Board& a = addBoard(vboard::Profile::F0, "1-1");
    vboard::Board& b = addBoard(vboard::Profile::F0, "1-2");
    b.injectFault({vboard::FaultType::ErrorStatus, Request::ErasePage, 0, vboard::errERASE});
    const std::vector<uint8_t> image = clitest::makeImage(5000, 0x08000101, 66);
    const RunResult r = run({"--all", "--json", writeImage("prog.bin", image)});
    EXPECT_EQ(r.status, 4) << r.err;
    std::vector<JsonObject> results = checkedJson("results", r.out);
    ASSERT_EQ(results.size(), 2u) << r.out;
    std::map<std::string, JsonObject> byPath;
    for (const JsonObject& result : results) byPath[result.at("path")] = result;
    EXPECT_EQ(byPath.at("1-1").at("result"), "0");
    EXPECT_EQ(byPath.at("1-1").at("serial"), kF0Serial);
    EXPECT_EQ(byPath.at("1-1").at("bytes"), "5000");
    EXPECT_EQ(byPath.at("1-2").at("result"), "4");
    EXPECT_EQ(head(a.flash(), image.size()), image);
    EXPECT_TRUE(contains(r.err, "Board 1-2 (serial " + kF0Serial + "): failed, exit status 4")) << r.err;
}

// --- waiting for a board --------------------------------------------------------

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(Boards, WaitTakesABoardPluggedInAfterTwoSeconds)
{
    vboard::Board& board = addBoard(vboard::Profile::F1, "1-3");
    bus.unplug(board);
    const auto started = std::chrono::steady_clock::now();
    const RunResult r = steer({"--wait", "-d", "-s", "2048"}, {{"Waiting up to 10 s for a board...", 1, [&](int) {
                                                                   std::this_thread::sleep_for(std::chrono::seconds(2));
                                                                   bus.replug(board);
                                                               }}});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_GE(secondsSince(started), 2.0);
    EXPECT_EQ(occurrences(r.out, "Waiting"), 1) << "one line while waiting";
    EXPECT_TRUE(contains(r.out, "OK.\n"));
    EXPECT_EQ(clitest::readFile(dir.file("image.bin")), head(board.flash(), 2048));
}

TEST_F(Boards, WaitForABoardThatNeverComesIsStatusOne)
{
    vboard::Board& other = addBoard(vboard::Profile::F1, "1-1");
    auto started = std::chrono::steady_clock::now();
    RunResult r = run({"--wait=1", "-p", "1-2", "-e"});
    EXPECT_EQ(r.status, 1);
    EXPECT_GE(secondsSince(started), 1.0);
    EXPECT_LT(secondsSince(started), 5.0);
    EXPECT_EQ(r.out, "Waiting up to 1 s for the board at USB port path 1-2...\n");
    EXPECT_EQ(r.err, "the board at USB port path 1-2 did not appear within 1 s\n");
    EXPECT_EQ(transfers(other), 0u);

    // No board at all; -q keeps only the message.
    bus.unplug(other);
    r = run({"--wait=0.5", "-q", "-l"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "a board did not appear within 0.5 s\n");
}

// With -S the wait is for that board; another one already there does not count.
TEST_F(Boards, WaitForASerialIgnoresOtherBoards)
{
    addBoard(vboard::Profile::F1, "1-1", "OTHER");
    vboard::Board& wanted = addBoard(vboard::Profile::F4, "1-2", "WANTED");
    bus.unplug(wanted);
    const RunResult r = steer({"--wait=20", "-S", "WANTED", "-d", "-s", "16"},
                              {{"Waiting up to 20 s for the board with serial number \"WANTED\"...", 1,
                                [&](int) { bus.replug(wanted); }}});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(clitest::readFile(dir.file("image.bin")), head(wanted.flash(), 16));
}

// --- the station ---------------------------------------------------------------

// Boards arrive and leave: each is programmed once per arrival, also one
// that comes back in DFU mode; one that fails stays and is not tried again.
TEST_F(Boards, StationProgramsEveryArrivalOnceUntilCtrlC)
{
    vboard::Board& a = addBoard(vboard::Profile::F1, "1-1");
    vboard::Board& b = addBoard(vboard::Profile::F1, "1-2");
    vboard::Board& c = addBoard(vboard::Profile::F4, "1-3.1", "F4-C", 0.02);
    bus.unplug(b);
    bus.unplug(c);
    c.injectFault({vboard::FaultType::ErrorStatus, Request::DataBlock, 0, vboard::errWRITE});
    const std::vector<uint8_t> image = clitest::makeImage(6000, 0x08000101, 67);
    const auto settle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(700)); };

    const RunResult r = steer({"--all", "--watch", writeImage("prog.bin", image)},
                              {
                                  // a was there at the start; it has started its program and left.
                                  {"Board 1-1 (serial STM32): OK", 1, [&](int) { bus.replug(b); }},
                                  {"Board 1-2 (serial STM32): OK", 1, [&](int) {
                                       bus.replug(c);
                                       bus.replug(a); // back in DFU mode: programmed again
                                   }},
                                  {"Board 1-1 (serial STM32): OK", 2, [&](int) {}},
                                  {"Board 1-3.1", 1, [&](int pid) {
                                       settle(); // long enough for a second try, which must not come
                                       kill(pid, SIGINT);
                                   }},
                              });
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_EQ(occurrences(r.out, "Board 1-1 "), 2) << r.out;
    EXPECT_EQ(occurrences(r.out, "Board 1-2 "), 1) << r.out;
    EXPECT_EQ(occurrences(r.out, "Board 1-3.1 "), 1) << r.out;
    EXPECT_TRUE(contains(r.out, "Board 1-3.1 (serial F4-C): failed, exit status 3 (Device Write Error)"))
        << r.out;
    EXPECT_TRUE(contains(r.out, "\nBoards programmed: 3, failed: 1\n")) << r.out;
    EXPECT_EQ(head(a.flash(), image.size()), image);
    EXPECT_EQ(head(b.flash(), image.size()), image);
    const uint64_t blocks = (image.size() + 2047) / 2048;
    EXPECT_EQ(a.count(Request::DataBlock), 2 * blocks) << "programmed once per arrival";
    EXPECT_EQ(b.count(Request::DataBlock), blocks);
    EXPECT_FALSE(c.hasLeft());
}

TEST_F(Boards, StationWithJsonAndABadFileStopsAtOnce)
{
    vboard::Board& a = addBoard(vboard::Profile::F1, "1-1");
    const std::vector<uint8_t> image = clitest::makeImage(3000, 0x08000101, 68);
    RunResult r = steer({"--all", "--watch", "--json", "--no-start", writeImage("prog.bin", image)},
                        {{"Board 1-1", 1, [&](int pid) {
                              std::this_thread::sleep_for(std::chrono::milliseconds(500));
                              kill(pid, SIGINT);
                          }}});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<JsonObject> results = checkedJson("results", r.out);
    ASSERT_EQ(results.size(), 1u) << "--no-start keeps the board on the bus: still one arrival";
    EXPECT_EQ(results[0].at("path"), "1-1");
    EXPECT_TRUE(contains(r.err, "Boards programmed: 1, failed: 0\n")) << r.err;

    // A file that does not fit the board that arrived ends the station.
    clitest::writeFile(dir.file("big.bin"), std::vector<uint8_t>(a.flashSize() + 1, 0x11));
    a.resetCounters();
    r = steer({"--all", "--watch", dir.file("big.bin")}, {});
    EXPECT_EQ(r.status, 13) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, "File too big for flash memory.\n")) << r.err;
    EXPECT_EQ(transfers(a), 0u);
}

} // namespace
