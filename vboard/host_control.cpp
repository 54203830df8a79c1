#include "host_control.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>

namespace vboard {

PlugControl::PlugControl(Bus& bus, std::vector<Board*> boards, const std::vector<BoardRequest>& requests)
    : bus_(bus), boards_(std::move(boards)) {
    for (size_t i = 0; i < requests.size(); ++i) {
        startsUnplugged_.push_back(requests[i].startsUnplugged);
        for (const PlugEvent& event : requests[i].plugEvents) timed_.push_back(Timed{event.seconds, i, event.plug});
    }
    std::stable_sort(timed_.begin(), timed_.end(), [](const Timed& a, const Timed& b) { return a.seconds < b.seconds; });
}

PlugControl::~PlugControl() {
    stop();
    if (fifo_ >= 0) close(fifo_);
}

bool PlugControl::prepare(const std::string& controlFifo, std::string& error) {
    for (size_t i = 0; i < boards_.size(); ++i)
        if (startsUnplugged_[i]) bus_.unplug(*boards_[i]);
    if (controlFifo.empty()) return true;
    if (mkfifo(controlFifo.c_str(), 0600) != 0 && errno != EEXIST) {
        error = "cannot make the control FIFO " + controlFifo + ": " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (stat(controlFifo.c_str(), &info) != 0 || !S_ISFIFO(info.st_mode)) {
        error = controlFifo + " is not a FIFO";
        return false;
    }
    // Read and write: the open does not wait for a writer, and a writer that
    // closes is no end of file; the next one may come at any time.
    fifo_ = open(controlFifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fifo_ < 0) {
        error = "cannot open the control FIFO " + controlFifo + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void PlugControl::start() {
    if (!timed_.empty()) timedThread_ = std::thread([this] { runTimed(); });
    if (fifo_ >= 0) controlThread_ = std::thread([this] { readControl(); });
}

void PlugControl::stop() {
    {
        std::lock_guard<std::mutex> lock(waitMutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (timedThread_.joinable()) timedThread_.join();
    if (controlThread_.joinable()) controlThread_.join();
}

void PlugControl::apply(const ControlCommand& command) {
    Board& board = *boards_[command.board];
    switch (command.action) {
    case ControlCommand::Action::Plug: bus_.replug(board); break;
    case ControlCommand::Action::Unplug: bus_.unplug(board); break;
    case ControlCommand::Action::Replug:
        bus_.unplug(board);
        bus_.replug(board);
        break;
    }
}

void PlugControl::runTimed() {
    const auto begin = std::chrono::steady_clock::now();
    for (const Timed& event : timed_) {
        const auto due = begin + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                     std::chrono::duration<double>(event.seconds));
        std::unique_lock<std::mutex> lock(waitMutex_);
        if (wake_.wait_until(lock, due, [this] { return stopping_.load(); })) return;
        lock.unlock();
        ControlCommand command;
        command.action = event.plug ? ControlCommand::Action::Plug : ControlCommand::Action::Unplug;
        command.board = event.board;
        apply(command);
    }
}

void PlugControl::readControl() {
    std::string pending;
    char buffer[256];
    while (!stopping_) {
        pollfd entry{fifo_, POLLIN, 0};
        // Short, so that the end of the command is noticed soon.
        if (poll(&entry, 1, 100) <= 0) continue;
        const ssize_t count = read(fifo_, buffer, sizeof buffer);
        if (count <= 0) continue;
        pending.append(buffer, size_t(count));
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
            std::string error;
            if (auto command = parseControlLine(line, boards_.size(), error)) apply(*command);
            else std::cerr << "stm32-vboard: " << error << "\n";
        }
    }
}

} // namespace vboard
