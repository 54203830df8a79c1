// Runs the benchmark program in its quick mode (instant board, one run, the
// F1 board) and reads its tables back, so that the benchmark cannot rot:
// every row is there and the counts follow from the board's geometry.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct BenchOutput {
    int status = -1;
    std::string out;
    std::string err;
};

BenchOutput runBench(const std::string& arguments) {
    std::string errPath = std::string(::testing::TempDir()) + "bench_run_test.err";
    std::string command = std::string(STM32_BENCH_PROGRAM) + " " + arguments + " 2>" + errPath;
    BenchOutput run;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return run;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, got);
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream err(errPath);
    run.err.assign(std::istreambuf_iterator<char>(err), std::istreambuf_iterator<char>());
    return run;
}

std::vector<std::string> cells(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    std::string cell;
    std::getline(in, cell, '|'); // before the first bar
    while (std::getline(in, cell, '|')) {
        size_t b = cell.find_first_not_of(' '), e = cell.find_last_not_of(' ');
        out.push_back(b == std::string::npos ? "" : cell.substr(b, e - b + 1));
    }
    return out;
}

// Rows of the first table whose second header is `secondHeader`, keyed by
// their second cell, each as column name -> text.
std::map<std::string, std::map<std::string, std::string>> table(const std::string& text,
                                                                const std::string& secondHeader) {
    std::map<std::string, std::map<std::string, std::string>> rows;
    std::istringstream in(text);
    std::string line;
    std::vector<std::string> header;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] != '|') {
            if (!header.empty()) break; // the first such table only
            continue;
        }
        std::vector<std::string> row = cells(line);
        if (header.empty()) {
            if (row.size() > 1 && row[1] == secondHeader) header = row;
            continue;
        }
        if (row[0].rfind("---", 0) == 0) continue;
        for (size_t i = 0; i < header.size() && i < row.size(); ++i) rows[row[1]][header[i]] = row[i];
    }
    return rows;
}

long number(const std::map<std::string, std::string>& row, const std::string& column) {
    auto it = row.find(column);
    if (it == row.end() || it->second.empty()) return -1;
    return std::strtol(it->second.c_str(), nullptr, 10);
}

double decimal(const std::map<std::string, std::string>& row, const std::string& column) {
    auto it = row.find(column);
    return it == row.end() ? -1 : std::strtod(it->second.c_str(), nullptr);
}

// The -k rows run only with an stm32cmd that offers -k.
bool stm32cmdSkipsUnchanged() {
    FILE* pipe = popen((std::string(STM32CMD_PROGRAM) + " -h 2>&1").c_str(), "r");
    if (!pipe) return false;
    std::string usage;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) usage.append(buffer, got);
    pclose(pipe);
    return usage.find("--skip-unchanged") != std::string::npos;
}

const char* const kJobs[] = {"upload 64 KB", "upload half flash", "upload full flash", "upload sparse",
                             "upload option area", "re-upload unchanged", "re-upload 1 byte changed",
                             "download flash", "mass erase", "list"};
const char* const kSkipJobs[] = {"re-upload unchanged -k", "re-upload 1 byte changed -k"};

class BenchRun : public ::testing::Test {
protected:
    static void SetUpTestSuite() { quick = new BenchOutput(runBench("--time-scale 0 --runs 1 --boards f1")); }
    static void TearDownTestSuite() {
        delete quick;
        quick = nullptr;
    }
    static BenchOutput* quick;
};
BenchOutput* BenchRun::quick = nullptr;

TEST_F(BenchRun, QuickRunHasEveryRowAndFinishes) {
    ASSERT_EQ(quick->status, 0) << quick->err << quick->out;
    auto jobs = table(quick->out, "Job");
    std::vector<std::string> expected(std::begin(kJobs), std::end(kJobs));
    if (stm32cmdSkipsUnchanged()) expected.insert(expected.end(), std::begin(kSkipJobs), std::end(kSkipJobs));
    for (const std::string& job : expected) {
        ASSERT_TRUE(jobs.count(job)) << job << "\n" << quick->out;
        const auto& row = jobs[job];
        EXPECT_EQ(row.at("Board"), "f1");
        EXPECT_EQ(number(row, "Runs"), 1) << job;
        EXPECT_GT(decimal(row, "Wall (s)"), 0.0) << job;
        // An instant board leaves only the bus in the minimum: every job but
        // the erase and the list moves data.
        if (job != "list" && job != "mass erase") {
            EXPECT_GT(decimal(row, "Minimum (s)"), 0.0) << job;
        }
        // dfu-util beside it, where it has the job and is installed.
        const std::string& dfuUtil = row.at("dfu-util (s)");
        bool comparable = job != "mass erase" && job.find(" -k") == std::string::npos;
        if (!comparable) {
            EXPECT_EQ(dfuUtil, "-") << job;
        } else if (dfuUtil != "-") {
            EXPECT_GT(decimal(row, "dfu-util (s)"), 0.0) << job << ": " << dfuUtil;
        }
    }
    EXPECT_EQ(jobs.size(), expected.size());
}

// 256 KB of 2 KB pages, wTransferSize 2048; the board holds data everywhere.
TEST_F(BenchRun, CountsFollowTheGeometry) {
    ASSERT_EQ(quick->status, 0) << quick->err;
    auto jobs = table(quick->out, "Job");
    const auto& small = jobs["upload 64 KB"];
    EXPECT_EQ(number(small, "Erase cmds"), 32);
    EXPECT_EQ(number(small, "Mass erases"), 0);
    EXPECT_EQ(number(small, "Blocks written"), 32);
    EXPECT_EQ(number(small, "Blocks read"), 64); // read-back and verify
    EXPECT_EQ(number(small, "Bytes sent"), 65536);
    EXPECT_GT(number(small, "Status requests"), 64);

    for (const char* whole : {"upload half flash", "upload full flash"}) {
        const auto& row = jobs[whole];
        EXPECT_EQ(number(row, "Erase cmds"), 0) << whole;
        EXPECT_EQ(number(row, "Mass erases"), 1) << whole;
        EXPECT_EQ(number(row, "Blocks written"), 128) << whole; // kept data is rewritten too
        EXPECT_EQ(number(row, "Bytes sent"), 262144) << whole;
    }
    const auto& sparse = jobs["upload sparse"];
    EXPECT_EQ(number(sparse, "Mass erases"), 1);
    EXPECT_EQ(number(sparse, "Blocks written"), 16 + 2); // blank blocks are not sent
    EXPECT_EQ(number(sparse, "Bytes sent"), 36864);

    const auto& option = jobs["upload option area"];
    EXPECT_EQ(number(option, "Erase cmds"), 2);
    EXPECT_EQ(number(option, "Mass erases"), 0);
    EXPECT_EQ(number(option, "Blocks written"), 2);

    // Re-uploading what the board holds: the whole flash again, unless -k
    // leaves the unchanged pages alone.
    for (const char* again : {"re-upload unchanged", "re-upload 1 byte changed"}) {
        EXPECT_EQ(number(jobs[again], "Mass erases"), 1) << again;
        EXPECT_EQ(number(jobs[again], "Blocks written"), 128) << again;
    }
    if (stm32cmdSkipsUnchanged()) {
        const auto& same = jobs["re-upload unchanged -k"];
        EXPECT_EQ(number(same, "Erase cmds") + number(same, "Mass erases") + number(same, "Blocks written"), 0);
        EXPECT_EQ(number(same, "Blocks read"), 256); // compare and verify
        const auto& one = jobs["re-upload 1 byte changed -k"];
        EXPECT_EQ(number(one, "Erase cmds"), 1);
        EXPECT_EQ(number(one, "Mass erases"), 0);
        EXPECT_EQ(number(one, "Blocks written"), 1);
    }

    const auto& download = jobs["download flash"];
    EXPECT_EQ(number(download, "Blocks read"), 128);
    EXPECT_EQ(number(download, "Blocks written") + number(download, "Erase cmds"), 0);

    const auto& erase = jobs["mass erase"];
    EXPECT_EQ(number(erase, "Mass erases"), 1);
    EXPECT_EQ(number(erase, "Erase cmds"), 0);

    // Bus-only minimums at time scale 0: 64 KB sent and 64 KB verified (the
    // 64 KB fill whole pages, so nothing is kept); 256 KB read.
    EXPECT_NEAR(decimal(small, "Minimum (s)"), 131072 / 832000.0, 0.0006);
    EXPECT_NEAR(decimal(download, "Minimum (s)"), 262144 / 832000.0, 0.0006);
    EXPECT_EQ(erase.at("Minimum (s)").rfind("0.000", 0), 0u);

    const auto& list = jobs["list"];
    EXPECT_EQ(number(list, "Blocks read") + number(list, "Status requests") + number(list, "Bytes sent"), 0);
}

TEST_F(BenchRun, HostCostsAreMeasured) {
    ASSERT_EQ(quick->status, 0) << quick->err;
    std::istringstream in(quick->out);
    std::string line;
    std::vector<std::string> hostRow;
    bool inHost = false;
    while (std::getline(in, line)) {
        if (line.rfind("| Board | One list call", 0) == 0) {
            inHost = true;
        } else if (inHost && line.rfind("| f1 |", 0) == 0) {
            hostRow = cells(line);
        }
    }
    ASSERT_EQ(hostRow.size(), 3u) << quick->out;
    EXPECT_GT(std::strtod(hostRow[1].c_str(), nullptr), 0.0);
    // Two flash-size buffers and the image file at least.
    EXPECT_GT(std::strtol(hostRow[2].c_str(), nullptr, 10), 3 * 256);
}

// A flasher that fails must not be benchmarked as if it had worked.
TEST(BenchFailure, FailingProgramGivesFailedRowsAndStatus) {
    BenchOutput run = runBench("--time-scale 0 --runs 1 --boards f1 --stm32cmd /bin/false --dfu-util none");
    EXPECT_NE(run.status, 0);
    auto jobs = table(run.out, "Job");
    ASSERT_EQ(jobs.size(), std::size(kJobs)) << run.out; // /bin/false offers no -k
    for (const auto& job : jobs) EXPECT_EQ(job.second.at("Wall (s)").rfind("FAILED", 0), 0u) << job.first;
}

// Several boards at once, instant boards: every row is there, each board
// did all its status requests, and a failing flasher fails its rows.
TEST(BenchManyBoards, RowsPerBoardCountAndFailuresShow) {
    BenchOutput run = runBench("--time-scale 0 --many-boards 1,3 --dfu-util none");
    ASSERT_EQ(run.status, 0) << run.err;
    std::map<std::string, std::vector<std::string>> rows;
    std::istringstream in(run.out);
    for (std::string line; std::getline(in, line);) {
        const std::vector<std::string> row = cells(line);
        if (row.size() == 7 && (row[0] == "1" || row[0] == "3")) rows[row[0]] = row;
    }
    ASSERT_EQ(rows.size(), 2u) << run.out;
    const long oneBoard = std::stol(rows["1"][6]);
    EXPECT_GT(oneBoard, 0);
    EXPECT_EQ(std::stol(rows["3"][6]), 3 * oneBoard) << "each board is programmed in full, once";
    EXPECT_NE(rows["3"][2].find('x'), std::string::npos) << "compared with one board alone";
    EXPECT_EQ(rows["3"][3], "-") << "no dfu-util column without dfu-util";

    BenchOutput failing = runBench("--time-scale 0 --many-boards 2 --dfu-util none --stm32cmd /bin/false");
    EXPECT_NE(failing.status, 0);
    EXPECT_NE(failing.out.find("| 2 | FAILED: exit status 1"), std::string::npos) << failing.out;
    EXPECT_EQ(runBench("--many-boards 0").status, 2);
}

TEST(BenchFailure, BadArgumentsAreRefused) {
    EXPECT_EQ(runBench("--boards f9").status, 2);
    EXPECT_EQ(runBench("--runs 0").status, 2);
    EXPECT_EQ(runBench("--runs 2.5").status, 2);
    EXPECT_EQ(runBench("--time-scale").status, 2);
}

} // namespace
