#include "station.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <list>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "arrivals.h"
#include "board_worker.h"
#include "console.h"
#include "exit_status.h"
#include "run_command.h"
#include "targets.h"

namespace cli {

namespace {

// Boards are looked for this often. A board that leaves and comes back
// within one interval is not seen leaving (a real reset into the bootloader
// takes longer than that: the host has to enumerate the board again).
constexpr std::chrono::milliseconds kPollInterval{200};
// A board that has just arrived may not open yet: udev gives its node the
// rule's permissions a moment after the device appears. It gets this long to
// become readable before its worker runs (and fails with the reason).
constexpr std::chrono::milliseconds kArrivalSettle{2000};
constexpr std::chrono::milliseconds kArrivalRetry{100};

std::atomic<bool> g_stopRequested{false};

extern "C" void requestStop(int /*signal*/) { g_stopRequested = true; }

// Ctrl-C ends the watch; the previous handler comes back when it is over.
class InterruptHandler {
public:
    InterruptHandler() : previous_(std::signal(SIGINT, requestStop)) { g_stopRequested = false; }
    ~InterruptHandler() { std::signal(SIGINT, previous_ == SIG_ERR ? SIG_DFL : previous_); }
    InterruptHandler(const InterruptHandler&) = delete;
    InterruptHandler& operator=(const InterruptHandler&) = delete;

private:
    void (*previous_)(int);
};

// Waits, bounded, until the board at path opens and names its flash.
void settleArrival(const std::string& path)
{
    std::unique_ptr<Stm32Context, void (*)(Stm32Context*)> context(stm32Init(), stm32Exit);
    if (!context) return;
    stm32SetTargetPath(context.get(), path.c_str());
    const auto deadline = std::chrono::steady_clock::now() + kArrivalSettle;
    for (;;) {
        FlashInfo flash{};
        if (stm32GetFlashInfo(context.get(), -1, &flash) != 0 && flash.flashSize > 0) return;
        if (g_stopRequested || std::chrono::steady_clock::now() >= deadline) return;
        std::this_thread::sleep_for(kArrivalRetry);
    }
}

class Station {
public:
    Station(Stm32Context* context, const CliOptions& options, const std::string& programName)
        : context_(context), options_(options), programName_(programName), imageCheck_(options) {}

    int run();

private:
    struct Worker {
        std::string path;
        std::thread thread;
        std::atomic<bool> done{false};
        BoardResult result;
    };

    void look();
    void start(const BoardEntry& board);
    void collectFinished(bool all);
    void pause() const;

    Stm32Context* context_;
    const CliOptions& options_;
    const std::string& programName_;
    ImageCheck imageCheck_;
    ArrivalTracker arrivals_;
    std::list<Worker> workers_; // a list: a running thread keeps its worker's address
    std::set<int32_t> unnamedWarned_;
    int programmed_ = 0;
    int failed_ = 0;
    int firstFailure_ = kExitSuccess;
    int fileStatus_ = kExitSuccess; // a file that does not suit a board ends the watch
};

int Station::run()
{
    InterruptHandler interrupt;
    say(options_, "Waiting for boards in DFU mode; Ctrl-C ends.\n");
    while (!g_stopRequested && fileStatus_ == kExitSuccess) {
        look();
        collectFinished(false);
        pause();
    }
    if (arrivals_.busy() > 0) {
        say(options_, "Stopping: waiting for " + std::to_string(arrivals_.busy()) + " board(s) being programmed.\n");
    }
    collectFinished(true);
    say(options_, summaryLine(programmed_, failed_) + "\n");
    return fileStatus_ != kExitSuccess ? fileStatus_ : firstFailure_;
}

// One look at the bus, without opening any board: the port paths of the
// boards there now. Boards that arrived are started.
void Station::look()
{
    const std::vector<BoardEntry> boards = listBoards(context_, false);
    std::vector<std::string> paths;
    for (const BoardEntry& board : boards) {
        if (!board.path.empty()) {
            paths.push_back(board.path);
        } else if (unnamedWarned_.insert(board.listId).second) {
            std::fprintf(stderr, "board ID:%d is left alone: its USB port path is unknown\n", static_cast<int>(board.listId));
        }
    }
    for (const std::string& path : arrivals_.update(paths)) {
        const int found = findByPath(boards, path);
        if (found >= 0 && fileStatus_ == kExitSuccess) {
            start(boards[static_cast<size_t>(found)]);
        } else {
            arrivals_.finished(path);
        }
    }
}

void Station::start(const BoardEntry& board)
{
    FlashInfo flash{};
    // A board whose layout does not read fails in its worker, with the reason.
    if (stm32GetFlashInfo(context_, board.listId, &flash) != 0) {
        fileStatus_ = imageCheck_.check(flash);
        if (fileStatus_ != kExitSuccess) {
            arrivals_.finished(board.path);
            return;
        }
    }
    workers_.emplace_back();
    Worker& worker = workers_.back();
    worker.path = board.path;
    worker.thread = std::thread([this, &worker, board] {
        settleArrival(board.path);
        worker.result = runOnBoard(options_, programName_, board);
        reportResult(options_, worker.result);
        worker.done = true;
    });
}

void Station::collectFinished(bool all)
{
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (!all && !it->done) {
            ++it;
            continue;
        }
        it->thread.join();
        arrivals_.finished(it->path);
        if (it->result.status == kExitSuccess) {
            ++programmed_;
        } else {
            ++failed_;
            if (firstFailure_ == kExitSuccess) firstFailure_ = it->result.status;
        }
        it = workers_.erase(it);
    }
}

// Sleeps one poll interval, in steps, so that Ctrl-C is answered at once.
void Station::pause() const
{
    constexpr std::chrono::milliseconds kStep{20};
    for (auto slept = std::chrono::milliseconds{0}; slept < kPollInterval && !g_stopRequested; slept += kStep) {
        std::this_thread::sleep_for(kStep);
    }
}

} // namespace

int watchAndProgram(Stm32Context* context, const CliOptions& options, const std::string& programName)
{
    if (lacksImageOperand(options)) return showUsage(programName, std::string());
    Station station(context, options, programName);
    return station.run();
}

} // namespace cli
