// stm32-bench: times stm32cmd on virtual boards at the boards' real speed and
// sets each job against the least time the board itself would need.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "jobs.h"
#include "many_boards.h"
#include "profiles.h"
#include "report.h"
#include "virtual_board.h"

namespace fs = std::filesystem;

namespace {

using bench::Job;
using bench::JobKind;
using bench::JobResult;

constexpr uint32_t kResidentSeed = 5; // the board holds an older program and data everywhere

// Debian's dfu-util, run on the same boards for comparison; empty: none.
std::string findDfuUtil() {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        fs::path candidate = fs::path(dir.empty() ? "." : dir) / "dfu-util";
        if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    return "";
}

struct Options {
    std::string stm32cmd = STM32_BENCH_DEFAULT_STM32CMD;
    std::string dfuUtil = findDfuUtil();
    std::vector<vboard::Profile> boards{vboard::Profile::F1, vboard::Profile::F4, vboard::Profile::H7};
    double timeScale = 1.0;
    int runs = 3;
    double budgetSeconds = 20; // no further runs of a job once its runs took this long
    std::vector<std::string> jobs; // names of the jobs to run; empty: all
    std::string output;
    std::string workDir;
    std::vector<int> manyBoards; // --many-boards: only the table of several boards at once
};

const char kUsage[] =
    "usage: stm32-bench [--boards f1,f4,h7] [--time-scale X] [--runs N] [--budget SECONDS]\n"
    "                   [--stm32cmd PATH] [--dfu-util PATH|none] [--jobs NAME,...] [--output FILE]\n"
    "                   [--work DIR] [--many-boards 1,4,8]\n";

bool parseBoards(const std::string& list, std::vector<vboard::Profile>& boards) {
    boards.clear();
    std::istringstream in(list);
    std::string name;
    while (std::getline(in, name, ',')) {
        vboard::Profile profile;
        if (!vboard::profileFromName(name, profile)) return false;
        boards.push_back(profile);
    }
    return !boards.empty();
}

bool parseNumber(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && value >= 0;
}

bool parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (i + 1 >= argc) return false;
        std::string value = argv[++i];
        double number = 0;
        if (arg == "--boards") {
            if (!parseBoards(value, options.boards)) return false;
        } else if (arg == "--time-scale") {
            if (!parseNumber(value, options.timeScale)) return false;
        } else if (arg == "--runs") {
            if (!parseNumber(value, number) || number < 1 || number > 1000 || number != int(number)) return false;
            options.runs = int(number);
        } else if (arg == "--budget") {
            if (!parseNumber(value, options.budgetSeconds)) return false;
        } else if (arg == "--stm32cmd") {
            options.stm32cmd = value;
        } else if (arg == "--dfu-util") {
            options.dfuUtil = value == "none" ? "" : value;
        } else if (arg == "--jobs") {
            std::istringstream names(value);
            std::string name;
            while (std::getline(names, name, ',')) options.jobs.push_back(name);
        } else if (arg == "--output") {
            options.output = value;
        } else if (arg == "--work") {
            options.workDir = value;
        } else if (arg == "--many-boards") {
            std::istringstream counts(value);
            std::string count;
            while (std::getline(counts, count, ',')) {
                if (!parseNumber(count, number) || number < 1 || number > 32 || number != int(number)) return false;
                options.manyBoards.push_back(int(number));
            }
        } else {
            return false;
        }
    }
    return true;
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

bool flashMatchesUpload(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after, const Job& job) {
    std::vector<uint8_t> expected = before;
    std::copy(job.image.begin(), job.image.end(), expected.begin() + long(job.offset));
    return after == expected;
}

bool imageInPlace(const std::vector<uint8_t>& after, const Job& job) {
    return std::equal(job.image.begin(), job.image.end(), after.begin() + long(job.offset));
}

uint32_t resetVector(const std::vector<uint8_t>& program) {
    return uint32_t(program[4]) | uint32_t(program[5]) << 8 | uint32_t(program[6]) << 16 | uint32_t(program[7]) << 24;
}

std::string readText(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Whether the board ended as the job promises; a benchmark of a job that
// did not do its work would be worthless.
std::string checkOutcome(const Job& job, const vboard::Board& board, const std::vector<uint8_t>& before,
                         const std::string& downloadPath, const std::string& logPath) {
    std::vector<uint8_t> after = board.flash();
    switch (job.kind) {
    case JobKind::Upload:
        if (!flashMatchesUpload(before, after, job)) return "flash differs from the image";
        if (!board.hasLeft()) return "the program was not started";
        // The leave points at a vector table: the resident program's when the
        // image sits behind one, else the image's own.
        if (board.leaveAddress() != board.flashStart() + (job.offset >= 8 && resetVector(before) != 0xFFFFFFFF
                                                              ? 0
                                                              : uint32_t(job.offset)))
            return "the program was started at the wrong address";
        return "";
    case JobKind::Download:
        return readFile(downloadPath) == before ? "" : "downloaded file differs from the flash";
    case JobKind::EraseAll:
        return std::all_of(after.begin(), after.end(), [](uint8_t b) { return b == 0xFF; }) ? ""
                                                                                            : "flash not erased";
    case JobKind::List:
        return readText(logPath).find("STM32 (ID:0) Flash:") != std::string::npos ? "" : "board not listed";
    }
    return "";
}

// dfu-util promises less: it erases whole pages without keeping what the
// image does not cover, and starts the program through the image's start.
std::string checkDfuUtilOutcome(const Job& job, const vboard::Board& board, const std::vector<uint8_t>& before,
                                const std::string& downloadPath, const std::string& logPath) {
    switch (job.kind) {
    case JobKind::Upload:
        if (!imageInPlace(board.flash(), job)) return "flash differs from the image";
        return board.hasLeft() ? "" : "the program was not started";
    case JobKind::Download:
        return readFile(downloadPath) == before ? "" : "downloaded file differs from the flash";
    case JobKind::List:
        return readText(logPath).find("Found DFU: [0483:df11]") != std::string::npos ? "" : "board not listed";
    case JobKind::EraseAll:
        break;
    }
    return "";
}

enum class Tool { Stm32cmd, DfuUtil };

struct Run {
    double seconds = 0;
    long maxRssKilobytes = 0;
    std::string failure;
};

// One run on a freshly powered-up board: an upload starts the new program and
// the board leaves the bus, as real ones do.
Run runOnce(const Options& options, vboard::Profile profile, const Job& job, const std::string& imagePath,
            Tool tool, JobResult& result) {
    vboard::Bus bus;
    vboard::BoardOptions boardOptions;
    boardOptions.profile = profile;
    boardOptions.timeScale = options.timeScale;
    vboard::Board& board = bus.addBoard(boardOptions);
    board.fillFlashPattern(kResidentSeed);
    // The resident program's vector table: an upload at an offset starts it.
    board.write(board.flashStart(), bench::programBytes(8, kResidentSeed, board.flashStart()));
    if (!job.resident.empty()) board.write(board.flashStart() + uint32_t(job.offset), job.resident);
    std::vector<uint8_t> before = board.flash();
    board.resetCounters();

    std::string downloadPath = options.workDir + "/download.bin";
    std::string logName = result.board + "-" + job.name + (tool == Tool::DfuUtil ? "-dfu-util" : "") + ".log";
    std::replace(logName.begin(), logName.end(), ' ', '-');
    std::string logPath = options.workDir + "/" + logName;
    fs::remove(downloadPath);
    fs::remove(logPath);
    std::vector<std::string> argv{tool == Tool::DfuUtil ? options.dfuUtil : options.stm32cmd};
    auto words = tool == Tool::DfuUtil
                     ? bench::dfuUtilArguments(job, board.flashStart(), board.flashSize(), imagePath, downloadPath)
                     : bench::stm32cmdArguments(job, imagePath, downloadPath);
    argv.insert(argv.end(), words.begin(), words.end());

    bench::ChildResult child = bench::runChild(argv, logPath, {{"UMOCKDEV_DIR", bus.umockdevDir()}});
    Run run;
    if (tool == Tool::Stm32cmd) {
        result.counters = board.counters();
        result.romPollSeconds = bench::romPollSeconds(profile, result.counters, options.timeScale);
    }
    if (child.exitStatus != 0) {
        run.failure = "exit status " + std::to_string(child.exitStatus) + " (log in " + logPath + ")";
        return run;
    }
    run.failure = tool == Tool::DfuUtil ? checkDfuUtilOutcome(job, board, before, downloadPath, logPath)
                                        : checkOutcome(job, board, before, downloadPath, logPath);
    if (!run.failure.empty()) return run;
    run.seconds = child.seconds;
    run.maxRssKilobytes = child.maxRssKilobytes;
    if (tool == Tool::Stm32cmd) result.minimum = bench::minimumOf(job, bench::geometryOf(board), before);
    return run;
}

// Runs until `runs` are done or the budget is spent; the failure of a run
// ends the series.
std::string runSeries(const Options& options, vboard::Profile profile, const Job& job, const std::string& imagePath,
                      Tool tool, JobResult& result, std::vector<double>& seconds) {
    double spent = 0;
    for (int n = 0; n < options.runs && (n == 0 || spent < options.budgetSeconds); ++n) {
        Run run = runOnce(options, profile, job, imagePath, tool, result);
        if (!run.failure.empty()) return run.failure;
        seconds.push_back(run.seconds);
        if (tool == Tool::Stm32cmd) result.maxRssKilobytes.push_back(run.maxRssKilobytes);
        spent += run.seconds;
        std::fprintf(stderr, "  %s %-28s %s run %d: %.3f s\n", result.board.c_str(), job.name.c_str(),
                     tool == Tool::DfuUtil ? "dfu-util" : "stm32cmd", n + 1, run.seconds);
    }
    return "";
}

JobResult runJob(const Options& options, vboard::Profile profile, const Job& job) {
    JobResult result;
    result.board = vboard::describe(profile).shortName;
    std::string imagePath = options.workDir + "/image.bin";
    if (job.kind == JobKind::Upload) writeFile(imagePath, job.image);
    std::string failure = runSeries(options, profile, job, imagePath, Tool::Stm32cmd, result, result.seconds);
    if (!failure.empty()) result.failure = "stm32cmd " + failure;
    result.dfuUtilRan = !options.dfuUtil.empty() && !bench::dfuUtilArguments(job, 0, 0, "", "").empty();
    if (result.dfuUtilRan) {
        result.dfuUtilFailure =
            runSeries(options, profile, job, imagePath, Tool::DfuUtil, result, result.dfuUtilSeconds);
    }
    result.job = job;
    result.job.image.clear();
    result.job.resident.clear();
    return result;
}

struct Baseline {
    long maxRssKilobytes = 0;
    bool skipsUnchanged = false; // the usage offers -k
};

Baseline baseline(const Options& options) {
    // -h ends with the usage text and the parameter-error status; the memory
    // matters, and whether this stm32cmd knows -k.
    std::string usagePath = options.workDir + "/usage.log";
    bench::ChildResult child = bench::runChild({options.stm32cmd, "-h"}, usagePath);
    return {child.maxRssKilobytes, readText(usagePath).find("--skip-unchanged") != std::string::npos};
}

// Several F4 boards at once: the table alone.
int runManyBoards(const Options& options, bool ownWorkDir) {
    bench::ManyBoardsSettings settings;
    settings.stm32cmd = options.stm32cmd;
    settings.dfuUtil = options.dfuUtil;
    settings.workDir = options.workDir;
    settings.timeScale = options.timeScale;
    settings.boardCounts = options.manyBoards;
    const bench::ManyBoardsReport report = bench::runManyBoards(settings);
    bench::stopLauncher();
    const std::string table = bench::manyBoardsMarkdown(report);
    std::cout << table;
    if (!options.output.empty()) {
        std::ofstream out(options.output, std::ios::trunc);
        out << table;
    }
    bool allDone = report.alone.failure.empty();
    for (const bench::ManyBoardsRow& row : report.rows) allDone = allDone && row.failure.empty();
    if (ownWorkDir && allDone) fs::remove_all(options.workDir);
    return allDone ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    vboard::ensurePreload(argc, argv);
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::cerr << kUsage;
        return 2;
    }
    // Before any board or image exists, so that stm32cmd's memory is its own.
    if (!bench::startLauncher()) std::fprintf(stderr, "stm32-bench: no launcher; peak memory includes ours\n");
    bool ownWorkDir = options.workDir.empty();
    if (ownWorkDir) {
        std::string pattern = (fs::temp_directory_path() / "stm32-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            std::perror("stm32-bench: mkdtemp");
            bench::stopLauncher();
            return 1;
        }
        options.workDir = pattern;
    } else {
        fs::create_directories(options.workDir);
    }

    if (!options.manyBoards.empty()) return runManyBoards(options, ownWorkDir);

    bench::Report report;
    report.timeScale = options.timeScale;
    Baseline before = baseline(options);
    report.baselineRssKilobytes = before.maxRssKilobytes;
    if (!before.skipsUnchanged) std::fprintf(stderr, "stm32-bench: this stm32cmd has no -k; its rows are left out\n");
    if (options.dfuUtil.empty()) std::fprintf(stderr, "stm32-bench: no dfu-util; its column stays empty\n");
    bool allDone = true;
    for (vboard::Profile profile : options.boards) {
        uint64_t flashSize = 0;
        uint32_t flashStart = 0;
        {
            vboard::Bus bus;
            vboard::BoardOptions probe;
            probe.profile = profile;
            vboard::Board& board = bus.addBoard(probe);
            flashSize = board.flashSize();
            flashStart = board.flashStart();
        }
        std::fprintf(stderr, "%s: %llu KB flash\n", vboard::describe(profile).shortName,
                     static_cast<unsigned long long>(flashSize / 1024));
        for (const Job& job : bench::makeJobs(flashStart, flashSize)) {
            if (job.skipUnchanged && !before.skipsUnchanged) continue;
            if (!options.jobs.empty() && std::find(options.jobs.begin(), options.jobs.end(), job.name) == options.jobs.end())
                continue;
            report.results.push_back(runJob(options, profile, job));
            const JobResult& result = report.results.back();
            if (!result.failure.empty()) {
                allDone = false;
                std::fprintf(stderr, "  %s %s: FAILED: %s\n", result.board.c_str(), job.name.c_str(),
                             result.failure.c_str());
            }
            // dfu-util is only the comparison: its failure fails no job.
            if (!result.dfuUtilFailure.empty()) {
                std::fprintf(stderr, "  %s %s: dfu-util FAILED: %s\n", result.board.c_str(), job.name.c_str(),
                             result.dfuUtilFailure.c_str());
            }
        }
    }

    bench::stopLauncher();
    std::string table = bench::markdown(report);
    std::cout << table;
    if (!options.output.empty()) {
        std::ofstream out(options.output, std::ios::trunc);
        out << table;
    }
    // Logs of a failed run stay for inspection.
    if (ownWorkDir && allDone) fs::remove_all(options.workDir);
    return allDone ? 0 : 1;
}
