#include "cli_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace clitest {

namespace {

std::string readText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

bool isWindowsProgram(const std::string& path)
{
    return path.size() > 4 && (path.compare(path.size() - 4, 4, ".exe") == 0 ||
                               path.compare(path.size() - 4, 4, ".EXE") == 0);
}

std::string programUnderTest(const std::string& builtIn)
{
    const char* chosen = std::getenv("STM32CMD_PROGRAM");
    return chosen != nullptr && *chosen != '\0' ? chosen : builtIn;
}

std::string programNameAsSeen(const std::string& path)
{
    if (!isWindowsProgram(path)) return path;
    std::string name = "Z:" + path;
    for (char& c : name)
        if (c == '/') c = '\\';
    return name;
}

namespace {

// What the tests compare is the program's text, whatever the platform's line end.
std::string withoutCarriageReturns(std::string text)
{
    size_t kept = 0;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) text[kept++] = text[i];
    text.resize(kept);
    return text;
}

std::string wineUsbScript()
{
    const char* chosen = std::getenv("STM32_WINE_USB");
    if (chosen != nullptr && *chosen != '\0') return chosen;
#ifdef STM32_SOURCE_DIR
    return std::string(STM32_SOURCE_DIR) + "/scripts/wine-usb.sh";
#else
    throw std::runtime_error("a Windows program needs STM32_WINE_USB (scripts/wine-usb.sh)");
#endif
}

// A Windows program starts through the script that gives wine USB access.
std::vector<std::string> commandFor(std::vector<std::string> arguments)
{
    if (!arguments.empty() && isWindowsProgram(arguments[0])) arguments.insert(arguments.begin(), wineUsbScript());
    return arguments;
}

std::vector<char*> argumentPointers(const std::vector<std::string>& arguments)
{
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    return argv;
}

// Starts the program; stdoutPipe >= 0 replaces the capture file for standard output.
pid_t spawn(const std::vector<std::string>& arguments, const std::string& workingDirectory, const std::string& outPath,
            const std::string& errPath, int stdoutPipe)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (stdoutPipe >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutPipe, 1);
    else posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
    const std::vector<std::string> command = commandFor(arguments);
    std::vector<char*> argv = argumentPointers(command);
    pid_t pid = 0;
    const int spawnError = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawnError != 0) throw std::runtime_error(std::string("posix_spawn: ") + std::strerror(spawnError));
    return pid;
}

int waitForExit(pid_t pid)
{
    int waitStatus = 0;
    while (waitpid(pid, &waitStatus, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("waitpid failed");
    }
    return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1000;
}

} // namespace

RunResult runStm32cmd(const std::vector<std::string>& arguments, const std::string& workingDirectory)
{
    // Output goes to files, so that a chatty child can never block on a full pipe.
    TempDir capture;
    const pid_t pid = spawn(arguments, workingDirectory, capture.file("stdout"), capture.file("stderr"), -1);
    RunResult result;
    result.status = waitForExit(pid);
    result.out = withoutCarriageReturns(readText(capture.file("stdout")));
    result.err = withoutCarriageReturns(readText(capture.file("stderr")));
    return result;
}

RunResult runStm32cmdUntil(const std::vector<std::string>& arguments, const std::string& workingDirectory,
                           const std::string& trigger, const std::function<void()>& action)
{
    TempDir capture;
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    const pid_t pid = spawn(arguments, workingDirectory, std::string(), capture.file("stderr"), fds[1]);
    close(fds[1]);
    RunResult result;
    bool fired = false;
    char buffer[4096];
    for (;;) {
        const ssize_t count = read(fds[0], buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        result.out.append(buffer, static_cast<size_t>(count));
        if (!fired && withoutCarriageReturns(result.out).find(trigger) != std::string::npos) {
            fired = true;
            action();
        }
    }
    close(fds[0]);
    result.status = waitForExit(pid);
    result.out = withoutCarriageReturns(result.out);
    result.err = withoutCarriageReturns(readText(capture.file("stderr")));
    return result;
}

int occurrences(const std::string& text, const std::string& part)
{
    int count = 0;
    for (size_t at = text.find(part); !part.empty() && at != std::string::npos; at = text.find(part, at + part.size())) {
        ++count;
    }
    return count;
}

namespace {

pid_t spawnWithPipes(const std::vector<std::string>& arguments, const std::string& workingDirectory, int outPipe,
                     int errPipe)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe, 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe, 2);
    posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
    const std::vector<std::string> command = commandFor(arguments);
    std::vector<char*> argv = argumentPointers(command);
    pid_t pid = 0;
    const int spawnError = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawnError != 0) throw std::runtime_error(std::string("posix_spawn: ") + std::strerror(spawnError));
    return pid;
}

// Appends what the pipe holds; false once it is closed.
bool drain(int fd, std::string* text)
{
    char buffer[4096];
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) return true;
    if (count <= 0) return false;
    text->append(buffer, static_cast<size_t>(count));
    return true;
}

} // namespace

RunResult runStm32cmdSteered(const std::vector<std::string>& arguments, const std::string& workingDirectory,
                             const std::vector<Step>& steps, double limitSeconds)
{
    int outPipe[2];
    int errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) throw std::runtime_error("pipe failed");
    const pid_t pid = spawnWithPipes(arguments, workingDirectory, outPipe[1], errPipe[1]);
    close(outPipe[1]);
    close(errPipe[1]);
    RunResult result;
    size_t next = 0;
    bool outOpen = true;
    bool errOpen = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(limitSeconds);
    bool killed = false;
    while (outOpen || errOpen) {
        pollfd fds[2] = {{outOpen ? outPipe[0] : -1, POLLIN, 0}, {errOpen ? errPipe[0] : -1, POLLIN, 0}};
        const int ready = poll(fds, 2, 100);
        if (ready < 0 && errno != EINTR) break;
        if (fds[0].revents != 0) outOpen = drain(outPipe[0], &result.out);
        if (fds[1].revents != 0) errOpen = drain(errPipe[0], &result.err);
        while (next < steps.size() &&
               occurrences(withoutCarriageReturns(result.out), steps[next].trigger) +
                       occurrences(withoutCarriageReturns(result.err), steps[next].trigger) >=
                   steps[next].times) {
            steps[next++].action(pid);
        }
        if (!killed && std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            killed = true;
        }
    }
    close(outPipe[0]);
    close(errPipe[0]);
    result.status = waitForExit(pid);
    result.out = withoutCarriageReturns(result.out);
    result.err = withoutCarriageReturns(result.err);
    return result;
}

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/stm32cmd-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = buffer.data();
}

TempDir::~TempDir()
{
    // Flat directories only: the tests create no sub-directories.
    if (DIR* dir = opendir(path_.c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") unlink(file(name).c_str());
        }
        closedir(dir);
    }
    rmdir(path_.c_str());
}

std::vector<uint8_t> readFile(const std::string& path)
{
    const std::string text = readText(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

void writeText(const std::string& path, const std::string& text)
{
    writeFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

bool fileExists(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

std::vector<uint8_t> makeImage(uint32_t length, uint32_t resetVector, uint32_t seed)
{
    std::vector<uint8_t> image(length);
    uint32_t state = seed * 2654435761u + 1;
    for (uint32_t i = 0; i < length; ++i) {
        state = state * 1664525u + 1013904223u;
        image[i] = static_cast<uint8_t>(state >> 24);
    }
    const uint32_t vectors[2] = {0x20005000u, resetVector};
    for (uint32_t i = 0; i < 8 && i < length; ++i) image[i] = static_cast<uint8_t>(vectors[i / 4] >> (8 * (i % 4)));
    return image;
}

namespace {

std::string hexRecord(uint8_t type, uint16_t address, const uint8_t* data, size_t count)
{
    std::vector<uint8_t> bytes{static_cast<uint8_t>(count), static_cast<uint8_t>(address >> 8),
                               static_cast<uint8_t>(address), type};
    bytes.insert(bytes.end(), data, data + count);
    unsigned sum = 0;
    std::string text = ":";
    char pair[4];
    for (uint8_t byte : bytes) {
        std::snprintf(pair, sizeof pair, "%02X", byte);
        text += pair;
        sum += byte;
    }
    std::snprintf(pair, sizeof pair, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return text + pair + "\n";
}

} // namespace

std::string toIntelHex(const std::vector<uint8_t>& image, uint32_t address)
{
    std::string text;
    uint32_t currentBank = 0xFFFFFFFF;
    for (size_t at = 0; at < image.size(); at += 16) {
        const uint32_t here = address + static_cast<uint32_t>(at);
        if (here >> 16 != currentBank) {
            currentBank = here >> 16;
            const uint8_t bank[2] = {static_cast<uint8_t>(currentBank >> 8), static_cast<uint8_t>(currentBank)};
            text += hexRecord(0x04, 0, bank, 2);
        }
        const size_t count = image.size() - at < 16 ? image.size() - at : 16;
        text += hexRecord(0x00, static_cast<uint16_t>(here), image.data() + at, count);
    }
    return text + ":00000001FF\n";
}

} // namespace clitest
