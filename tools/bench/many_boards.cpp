#include "many_boards.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include "child_process.h"
#include "jobs.h"
#include "profiles.h"

namespace bench {

namespace {

constexpr uint32_t kResidentSeed = 5; // the boards hold an older program and data everywhere
constexpr uint32_t kImageSeed = 21;

double processCpuSeconds() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// N freshly powered-up boards on one bus, on ports 1-1 to 1-N.
struct Bench {
    vboard::Bus bus;
    std::vector<vboard::Board*> boards;

    Bench(const ManyBoardsSettings& settings, int count) {
        for (int i = 0; i < count; ++i) {
            vboard::BoardOptions options;
            options.profile = settings.profile;
            options.timeScale = settings.timeScale;
            vboard::Board& board = bus.addBoard(options);
            board.fillFlashPattern(kResidentSeed + uint32_t(i));
            board.write(board.flashStart(), programBytes(8, kResidentSeed, board.flashStart()));
            board.resetCounters();
            boards.push_back(&board);
        }
    }
};

// Every board holds the image and started it.
std::string checkBoards(const Bench& bench, const std::vector<uint8_t>& image) {
    for (const vboard::Board* board : bench.boards) {
        const std::vector<uint8_t> flash = board->flash();
        if (!std::equal(image.begin(), image.end(), flash.begin())) return "board " + board->portPath() + " differs";
        if (!board->hasLeft()) return "board " + board->portPath() + " was not started";
    }
    return "";
}

uint64_t statusRequests(const Bench& bench) {
    uint64_t total = 0;
    for (const vboard::Board* board : bench.boards) total += board->count(vboard::Request::GetStatus);
    return total;
}

ManyBoardsRow runStm32cmd(const ManyBoardsSettings& settings, int count, bool all, const std::string& imagePath,
                          const std::vector<uint8_t>& image) {
    Bench bench(settings, count);
    ManyBoardsRow row;
    row.boards = count;
    std::vector<std::string> argv{settings.stm32cmd};
    if (all) argv.push_back("--all");
    argv.push_back(imagePath);
    const std::string logPath = settings.workDir + "/many-" + std::to_string(count) + (all ? "-all" : "") + ".log";
    const double cpuBefore = processCpuSeconds();
    const ChildResult child = runChild(argv, logPath, {{"UMOCKDEV_DIR", bench.bus.umockdevDir()}});
    row.boardCpuSeconds = processCpuSeconds() - cpuBefore;
    row.seconds = child.seconds;
    row.cpuSeconds = child.cpuSeconds;
    row.statusRequests = statusRequests(bench);
    if (child.exitStatus != 0) {
        row.failure = "exit status " + std::to_string(child.exitStatus) + " (log in " + logPath + ")";
    } else {
        row.failure = checkBoards(bench, image);
    }
    return row;
}

// dfu-util knows one board per run: it runs once per board, by port path,
// one after the other.
void runDfuUtil(const ManyBoardsSettings& settings, const std::string& imagePath, const std::vector<uint8_t>& image,
                ManyBoardsRow& row) {
    Bench bench(settings, row.boards);
    for (const vboard::Board* board : bench.boards) {
        char address[16];
        std::snprintf(address, sizeof address, "0x%08X", board->flashStart());
        const std::string logPath = settings.workDir + "/many-" + std::to_string(row.boards) + "-dfu-util.log";
        const ChildResult child = runChild({settings.dfuUtil, "-p", board->portPath(), "-a", "0", "-s",
                                            std::string(address) + ":leave", "-D", imagePath},
                                           logPath, {{"UMOCKDEV_DIR", bench.bus.umockdevDir()}});
        row.dfuUtilSeconds += child.seconds;
        if (child.exitStatus != 0) {
            row.dfuUtilFailure = "exit status " + std::to_string(child.exitStatus) + " (log in " + logPath + ")";
            return;
        }
    }
    // dfu-util's own check: the image in place and the boards started.
    row.dfuUtilFailure = checkBoards(bench, image);
}

std::string fixed(double value, int decimals) {
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

} // namespace

ManyBoardsReport runManyBoards(const ManyBoardsSettings& settings) {
    ManyBoardsReport report;
    report.settings = settings;
    uint32_t flashStart = 0;
    {
        vboard::Bus probe;
        vboard::BoardOptions options;
        options.profile = settings.profile;
        flashStart = probe.addBoard(options).flashStart();
    }
    const std::vector<uint8_t> image = programBytes(settings.imageBytes, kImageSeed, flashStart);
    const std::string imagePath = settings.workDir + "/many-boards.bin";
    {
        std::ofstream out(imagePath, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    }
    report.alone = runStm32cmd(settings, 1, false, imagePath, image);
    std::fprintf(stderr, "  1 board alone: %.3f s\n", report.alone.seconds);
    for (int count : settings.boardCounts) {
        ManyBoardsRow row = runStm32cmd(settings, count, true, imagePath, image);
        std::fprintf(stderr, "  %d boards --all: %.3f s (stm32cmd %.1f s CPU, boards %.1f s CPU)\n", count, row.seconds,
                     row.cpuSeconds, row.boardCpuSeconds);
        if (!settings.dfuUtil.empty()) {
            runDfuUtil(settings, imagePath, image, row);
            std::fprintf(stderr, "  %d boards dfu-util: %.3f s\n", count, row.dfuUtilSeconds);
        }
        report.rows.push_back(row);
    }
    return report;
}

std::string manyBoardsMarkdown(const ManyBoardsReport& report) {
    std::ostringstream out;
    const ManyBoardsSettings& settings = report.settings;
    out << "\n## Several boards at once\n\n";
    out << vboard::describe(settings.profile).shortName << " boards, " << settings.imageBytes / 1024
        << " KB image at offset 0, time scale " << fixed(settings.timeScale, 1) << ", one run each. One board alone ("
        << "stm32cmd without --all): " << fixed(report.alone.seconds, 3) << " s"
        << (report.alone.failure.empty() ? "" : " FAILED: " + report.alone.failure) << ".\n\n";
    out << "| Boards | stm32cmd --all (s) | vs one board alone | dfu-util once per board (s) | stm32cmd CPU (s) | "
           "Board server CPU (s) | Status requests |\n";
    out << "|---:|---:|---:|---:|---:|---:|---:|\n";
    for (const ManyBoardsRow& row : report.rows) {
        const std::string wall = row.failure.empty() ? fixed(row.seconds, 3) : "FAILED: " + row.failure;
        const std::string versus = row.failure.empty() && report.alone.seconds > 0
                                       ? fixed(row.seconds / report.alone.seconds, 2) + "x"
                                       : "-";
        std::string dfuUtil = "-";
        if (!settings.dfuUtil.empty()) dfuUtil = row.dfuUtilFailure.empty() ? fixed(row.dfuUtilSeconds, 3)
                                                                             : "FAILED: " + row.dfuUtilFailure;
        out << "| " << row.boards << " | " << wall << " | " << versus << " | " << dfuUtil << " | "
            << fixed(row.cpuSeconds, 2) << " | " << fixed(row.boardCpuSeconds, 2) << " | " << row.statusRequests
            << " |\n";
    }
    return out.str();
}

} // namespace bench
