// stm32-vboard: starts virtual boards, runs a command against them under the
// umockdev preload, then reports what the boards saw.
#include "host_control.h"
#include "host_options.h"
#include "profiles.h"
#include "virtual_board.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

using vboard::Board;
using vboard::BoardRequest;
using vboard::Counters;
using vboard::Request;

const Request kCountedKinds[] = {
    Request::GetStatus, Request::ClrStatus, Request::GetState,    Request::Abort,
    Request::Detach,    Request::SetAddress, Request::ErasePage,  Request::MassErase,
    Request::GetCommands, Request::ReadUnprotect, Request::DataBlock, Request::Leave, Request::Upload,
    Request::UploadCommands, Request::OtherCommand, Request::Standard,
};

bool loadInitialFlash(Board& board, const BoardRequest& request, std::string& error) {
    switch (request.initial) {
    case vboard::InitialFlash::Fill:
        board.fillFlash(request.options.fillByte);
        return true;
    case vboard::InitialFlash::Pattern:
        board.fillFlashPattern(request.patternSeed);
        return true;
    case vboard::InitialFlash::File: {
        std::ifstream in(request.flashFile, std::ios::binary);
        if (!in) {
            error = "cannot read " + request.flashFile;
            return false;
        }
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (bytes.size() > board.flashSize()) {
            error = request.flashFile + " is larger than the board's flash (" + std::to_string(board.flashSize()) +
                    " bytes)";
            return false;
        }
        board.fillFlash(0xFF); // the rest reads as erased
        if (!bytes.empty()) board.write(board.flashStart(), bytes);
        return true;
    }
    }
    return false;
}

bool dumpFlash(const Board& board, const std::string& path) {
    std::vector<uint8_t> bytes = board.flash();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    out.close();
    if (!out) {
        std::cerr << "stm32-vboard: cannot write " << path << "\n";
        return false;
    }
    return true;
}

std::string hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

void printCounts(std::ostream& out, const std::vector<Board*>& boards) {
    for (size_t i = 0; i < boards.size(); ++i) {
        const Board& board = *boards[i];
        Counters counters = board.counters();
        out << "board " << i << " (" << vboard::describe(board.profile()).shortName << ", port " << board.portPath()
            << ", list position " << board.listPosition() << "): state " << int(board.state()) << ", status " << int(board.status());
        if (board.hasLeft()) {
            out << ", left DFU mode at " << hex32(board.leaveAddress());
            if (board.startFaulted()) out << " (no program there: faulted)";
            else out << " (stack " << hex32(board.startedStackPointer()) << ", reset handler "
                      << hex32(board.startedResetHandler()) << ")";
        }
        if (board.readProtected()) out << ", read-protected";
        if (board.resets()) out << ", reset " << board.resets() << " times";
        out << "\n";
        for (Request kind : kCountedKinds) {
            auto it = counters.requests.find(kind);
            if (it != counters.requests.end()) out << "  " << vboard::requestName(kind) << ": " << it->second << "\n";
        }
        for (const auto& erase : counters.erasesByAddress)
            out << "  erase at " << hex32(erase.first) << ": " << erase.second << "\n";
        out << "  bytes downloaded: " << counters.bytesDownloaded << "\n"
            << "  bytes uploaded: " << counters.bytesUploaded << "\n"
            << "  busy time: " << counters.busyMicroseconds << " us\n"
            << "  poll timeouts reported: " << counters.pollTimeoutMilliseconds << " ms\n";
    }
}

void writeCountsJson(std::ostream& out, const std::vector<Board*>& boards) {
    out << "{\"boards\": [";
    for (size_t i = 0; i < boards.size(); ++i) {
        const Board& board = *boards[i];
        Counters counters = board.counters();
        out << (i ? ", " : "") << "{\"profile\": \"" << vboard::describe(board.profile()).shortName
            << "\", \"portPath\": \"" << board.portPath()
            << "\", \"listPosition\": " << board.listPosition() << ", \"state\": " << int(board.state())
            << ", \"status\": " << int(board.status()) << ", \"left\": " << (board.hasLeft() ? "true" : "false")
            << ", \"leaveAddress\": " << board.leaveAddress()
            << ", \"startedStackPointer\": " << board.startedStackPointer()
            << ", \"startedResetHandler\": " << board.startedResetHandler()
            << ", \"startFaulted\": " << (board.startFaulted() ? "true" : "false")
            << ", \"readProtected\": " << (board.readProtected() ? "true" : "false")
            << ", \"resets\": " << board.resets() << ", \"requests\": {";
        bool first = true;
        for (Request kind : kCountedKinds) {
            auto it = counters.requests.find(kind);
            out << (first ? "" : ", ") << "\"" << vboard::requestName(kind)
                << "\": " << (it == counters.requests.end() ? 0 : it->second);
            first = false;
        }
        out << "}, \"erasesByAddress\": {";
        first = true;
        for (const auto& erase : counters.erasesByAddress) {
            out << (first ? "" : ", ") << "\"" << hex32(erase.first) << "\": " << erase.second;
            first = false;
        }
        out << "}, \"bytesDownloaded\": " << counters.bytesDownloaded
            << ", \"bytesUploaded\": " << counters.bytesUploaded
            << ", \"busyMicroseconds\": " << counters.busyMicroseconds
            << ", \"pollTimeoutMilliseconds\": " << counters.pollTimeoutMilliseconds
            << ", \"earlyStatusStalls\": " << counters.earlyStatusStalls
            << ", \"heldRequests\": " << counters.heldRequests << "}";
    }
    out << "]}\n";
}

volatile sig_atomic_t childPid = 0;

// A host stopped by its caller stops the command too, so nothing is left running.
void forwardSignal(int signal) {
    if (childPid > 0) kill(pid_t(childPid), signal);
}

// Runs the command as a child (it inherits LD_PRELOAD and UMOCKDEV_DIR) and
// returns its exit status, 128 + signal if it was killed.
int runChild(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const auto& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    pid_t child = fork();
    if (child < 0) {
        std::perror("stm32-vboard: fork");
        return 127;
    }
    if (child == 0) {
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        std::signal(SIGHUP, SIG_DFL);
        execvp(argv[0], argv.data());
        std::fprintf(stderr, "stm32-vboard: cannot run %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    // The child owns the terminal's Ctrl-C; we keep serving until it ends.
    childPid = child;
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGTERM, forwardSignal);
    std::signal(SIGHUP, forwardSignal);
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            std::perror("stm32-vboard: waitpid");
            return 127;
        }
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 127;
}

} // namespace

int main(int argc, char** argv) {
    vboard::ensurePreload(argc, argv);
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    auto options = vboard::parseHostOptions(args, error);
    if (!options) {
        std::cerr << "stm32-vboard: " << error << "\n" << vboard::hostUsage();
        return 2;
    }
    if (options->help) {
        std::cout << vboard::hostUsage();
        return 0;
    }
    if (options->listProfiles) {
        std::cout << vboard::profileListing();
        return 0;
    }

    vboard::Bus bus;
    if (options->foreignFirst) bus.addForeignDevice();
    std::vector<Board*> boards;
    for (const auto& request : options->boards) {
        Board* added = nullptr;
        try {
            added = &bus.addBoard(request.options);
        } catch (const std::invalid_argument& problem) {
            std::cerr << "stm32-vboard: " << problem.what() + std::strlen("vboard: ") << "\n";
            return 2;
        }
        Board& board = *added;
        if (!loadInitialFlash(board, request, error)) {
            std::cerr << "stm32-vboard: " << error << "\n";
            return 2;
        }
        boards.push_back(&board);
    }

    vboard::PlugControl plugControl(bus, boards, options->boards);
    if (!plugControl.prepare(options->controlFifo, error)) {
        std::cerr << "stm32-vboard: " << error << "\n";
        return 2;
    }
    plugControl.start();
    int status = runChild(options->command);
    plugControl.stop();

    for (size_t i = 0; i < boards.size(); ++i)
        if (!options->boards[i].dumpFile.empty() && !dumpFlash(*boards[i], options->boards[i].dumpFile))
            status = status ? status : 1;
    if (options->printCounts) printCounts(std::cerr, boards);
    if (!options->countsJsonFile.empty()) {
        std::ofstream out(options->countsJsonFile, std::ios::trunc);
        writeCountsJson(out, boards);
        if (!out) {
            std::cerr << "stm32-vboard: cannot write " << options->countsJsonFile << "\n";
            status = status ? status : 1;
        }
    }
    return status;
}
