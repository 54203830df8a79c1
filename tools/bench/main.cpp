// stm32-bench: times stm32cmd on virtual boards at the boards' real speed and
// sets each job against the least time the board itself would need.
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
#include "profiles.h"
#include "report.h"
#include "virtual_board.h"

namespace fs = std::filesystem;

namespace {

using bench::Job;
using bench::JobKind;
using bench::JobResult;

constexpr uint32_t kResidentSeed = 5; // the board holds an older program and data everywhere

struct Options {
    std::string stm32cmd = STM32_BENCH_DEFAULT_STM32CMD;
    std::vector<vboard::Profile> boards{vboard::Profile::F1, vboard::Profile::F4, vboard::Profile::H7};
    double timeScale = 1.0;
    int runs = 3;
    double budgetSeconds = 20; // no further runs of a job once its runs took this long
    std::string output;
    std::string workDir;
};

const char kUsage[] =
    "usage: stm32-bench [--boards f1,f4,h7] [--time-scale X] [--runs N] [--budget SECONDS]\n"
    "                   [--stm32cmd PATH] [--output FILE] [--work DIR]\n";

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
        } else if (arg == "--output") {
            options.output = value;
        } else if (arg == "--work") {
            options.workDir = value;
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

uint32_t resetVector(const std::vector<uint8_t>& program) {
    return uint32_t(program[4]) | uint32_t(program[5]) << 8 | uint32_t(program[6]) << 16 | uint32_t(program[7]) << 24;
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
    case JobKind::List: {
        std::ifstream in(logPath);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return text.find("STM32 (ID:0) Flash:") != std::string::npos ? "" : "board not listed";
    }
    }
    return "";
}

// One run on a freshly powered-up board: an upload starts the new program and
// the board leaves the bus, as real ones do.
bool runOnce(const Options& options, vboard::Profile profile, const Job& job, const std::string& imagePath,
             JobResult& result) {
    vboard::Bus bus;
    vboard::BoardOptions boardOptions;
    boardOptions.profile = profile;
    boardOptions.timeScale = options.timeScale;
    vboard::Board& board = bus.addBoard(boardOptions);
    board.fillFlashPattern(kResidentSeed);
    // The resident program's vector table: an upload at an offset starts it.
    board.write(board.flashStart(), bench::programBytes(8, kResidentSeed, board.flashStart()));
    std::vector<uint8_t> before = board.flash();
    board.resetCounters();

    std::string downloadPath = options.workDir + "/download.bin";
    std::string logName = result.board + "-" + job.name + ".log";
    std::replace(logName.begin(), logName.end(), ' ', '-');
    std::string logPath = options.workDir + "/" + logName;
    fs::remove(downloadPath);
    fs::remove(logPath);
    std::vector<std::string> argv{options.stm32cmd};
    for (auto& word : bench::stm32cmdArguments(job, imagePath, downloadPath)) argv.push_back(word);

    bench::ChildResult child = bench::runChild(argv, logPath, {{"UMOCKDEV_DIR", bus.umockdevDir()}});
    result.counters = board.counters();
    result.romPollSeconds = bench::romPollSeconds(profile, result.counters, options.timeScale);
    if (child.exitStatus != 0) {
        result.failure = "stm32cmd exit status " + std::to_string(child.exitStatus) + " (log in " + logPath + ")";
        return false;
    }
    result.failure = checkOutcome(job, board, before, downloadPath, logPath);
    if (!result.failure.empty()) return false;
    result.seconds.push_back(child.seconds);
    result.maxRssKilobytes.push_back(child.maxRssKilobytes);
    result.minimum = bench::minimumOf(job, bench::geometryOf(board), before);
    return true;
}

JobResult runJob(const Options& options, vboard::Profile profile, const Job& job) {
    JobResult result;
    result.board = vboard::describe(profile).shortName;
    std::string imagePath = options.workDir + "/image.bin";
    if (job.kind == JobKind::Upload) writeFile(imagePath, job.image);
    double spent = 0;
    for (int run = 0; run < options.runs && (run == 0 || spent < options.budgetSeconds); ++run) {
        if (!runOnce(options, profile, job, imagePath, result)) break;
        spent += result.seconds.back();
        std::fprintf(stderr, "  %s %-20s run %d: %.3f s\n", result.board.c_str(), job.name.c_str(), run + 1,
                     result.seconds.back());
    }
    result.job = job;
    result.job.image.clear();
    return result;
}

long baselineRss(const Options& options) {
    // -h ends with the usage text and the parameter-error status; only the
    // memory matters here.
    bench::ChildResult child = bench::runChild({options.stm32cmd, "-h"}, options.workDir + "/usage.log");
    return child.maxRssKilobytes;
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

    bench::Report report;
    report.timeScale = options.timeScale;
    report.baselineRssKilobytes = baselineRss(options);
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
            report.results.push_back(runJob(options, profile, job));
            if (!report.results.back().failure.empty()) {
                allDone = false;
                std::fprintf(stderr, "  %s %s: FAILED: %s\n", report.results.back().board.c_str(), job.name.c_str(),
                             report.results.back().failure.c_str());
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
