#include "wine_session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace winetest {

namespace {

std::vector<char*> pointers(std::vector<std::string>& words)
{
    std::vector<char*> list;
    for (std::string& word : words) list.push_back(&word[0]);
    list.push_back(nullptr);
    return list;
}

std::vector<std::string> environmentWith(const std::vector<std::string>& extra)
{
    std::vector<std::string> all;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        bool replaced = false;
        for (const std::string& added : extra)
            if (text.compare(0, text.find('=') + 1, added, 0, added.find('=') + 1) == 0) replaced = true;
        if (!replaced) all.push_back(text);
    }
    all.insert(all.end(), extra.begin(), extra.end());
    return all;
}

} // namespace

Child::~Child()
{
    kill();
    if (toChild_ >= 0) close(toChild_);
    if (fromChild_ >= 0) close(fromChild_);
}

void Child::start(const std::vector<std::string>& command, const std::vector<std::string>& environment, bool talk)
{
    int input[2] = {-1, -1};
    int output[2] = {-1, -1};
    if (talk && (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0)) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (talk) {
        posix_spawn_file_actions_adddup2(&actions, input[0], 0);
        posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    std::vector<std::string> words = command;
    std::vector<std::string> variables = environmentWith(environment);
    std::vector<char*> argv = pointers(words);
    std::vector<char*> envp = pointers(variables);
    // Its own process group, so that wine's children go with it on a kill.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    const int error = posix_spawnp(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (talk) {
        close(input[0]);
        close(output[1]);
        toChild_ = input[1];
        fromChild_ = output[0];
    }
    if (error != 0) {
        pid_ = -1;
        throw std::runtime_error(std::string("cannot start ") + command[0] + ": " + std::strerror(error));
    }
}

bool Child::running()
{
    if (pid_ <= 0) return false;
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == 0) return true;
    status_ = done == pid_ && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    pid_ = -1;
    return false;
}

int Child::waitForExit(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (running()) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill();
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return status_;
}

void Child::kill()
{
    if (pid_ <= 0) return;
    ::kill(-pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    status_ = -1;
}

void Child::writeLine(const std::string& line)
{
    const std::string text = line + "\n";
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t count = write(toChild_, text.data() + written, text.size() - written);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) throw std::runtime_error("the probe stopped reading");
        written += size_t(count);
    }
}

bool Child::readLine(std::string& line, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            line = pending_.substr(0, end);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            pending_.erase(0, end + 1);
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd entry{fromChild_, POLLIN, 0};
        if (poll(&entry, 1, int(left.count())) <= 0) continue;
        char buffer[4096];
        const ssize_t count = read(fromChild_, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return false;
        pending_.append(buffer, size_t(count));
    }
}

Probe::Probe(const std::string& probeExe)
{
    child_.start({wineUsbScript(), probeExe}, {}, true);
}

ProbeReply Probe::ask(const std::string& command, int timeoutMs)
{
    child_.writeLine(command);
    std::string line;
    ProbeReply reply;
    if (!child_.readLine(line, timeoutMs)) {
        reply.text = "no answer from the probe to '" + command + "'";
        return reply;
    }
    reply.ok = line.rfind("ok", 0) == 0;
    const std::string escaped = line.substr(line.find(' ') == std::string::npos ? line.size() : line.find(' ') + 1);
    for (size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] == '\\' && i + 1 < escaped.size()) {
            reply.text += escaped[i + 1] == 'n' ? '\n' : escaped[i + 1];
            ++i;
        } else {
            reply.text += escaped[i];
        }
    }
    return reply;
}

std::string wineUsbScript()
{
    const char* chosen = std::getenv("STM32_WINE_USB");
    if (chosen != nullptr && *chosen != '\0') return chosen;
    return std::string(STM32_SOURCE_DIR) + "/scripts/wine-usb.sh";
}

std::string windowsPath(const std::string& path)
{
    std::string name = "Z:" + path;
    for (char& c : name)
        if (c == '/') c = '\\';
    return name;
}

bool xdotool(const std::vector<std::string>& arguments, int timeoutSeconds)
{
    std::vector<std::string> command = {"timeout", std::to_string(timeoutSeconds), "xdotool"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    Child child;
    child.start(command, {}, false);
    return child.waitForExit((timeoutSeconds + 5) * 1000) == 0;
}

std::string xWindow(const std::string& title, int timeoutSeconds)
{
    Child child;
    child.start({"timeout", std::to_string(timeoutSeconds), "xdotool", "search", "--sync", "--onlyvisible", "--name",
                 "^" + title + "$"},
                {}, true);
    std::string line;
    child.readLine(line, (timeoutSeconds + 5) * 1000);
    child.waitForExit(5000);
    return line;
}

} // namespace winetest
