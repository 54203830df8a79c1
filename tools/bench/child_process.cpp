#include "child_process.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {

namespace {

int g_requests = -1; // to the launcher
int g_replies = -1;  // from the launcher
pid_t g_launcher = -1;

bool writeAll(int fd, const void* data, size_t length) {
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t n = write(fd, bytes, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        length -= size_t(n);
    }
    return true;
}

bool readAll(int fd, void* data, size_t length) {
    char* bytes = static_cast<char*>(data);
    while (length > 0) {
        ssize_t n = read(fd, bytes, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        length -= size_t(n);
    }
    return true;
}

bool writeString(int fd, const std::string& text) {
    uint32_t length = uint32_t(text.size());
    return writeAll(fd, &length, sizeof length) && writeAll(fd, text.data(), text.size());
}

bool readString(int fd, std::string& text) {
    uint32_t length = 0;
    if (!readAll(fd, &length, sizeof length) || length > (1u << 20)) return false;
    text.resize(length);
    return readAll(fd, text.data(), length);
}

bool writeList(int fd, const std::vector<std::string>& list) {
    uint32_t count = uint32_t(list.size());
    if (!writeAll(fd, &count, sizeof count)) return false;
    for (const auto& item : list)
        if (!writeString(fd, item)) return false;
    return true;
}

bool readList(int fd, std::vector<std::string>& list) {
    uint32_t count = 0;
    if (!readAll(fd, &count, sizeof count) || count > 4096) return false;
    list.resize(count);
    for (auto& item : list)
        if (!readString(fd, item)) return false;
    return true;
}

ChildResult runHere(const std::vector<std::string>& argv, const std::string& logPath, const Environment& environment) {
    ChildResult result;
    std::vector<char*> args;
    for (const auto& word : argv) args.push_back(const_cast<char*>(word.c_str()));
    args.push_back(nullptr);

    int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log < 0) return result;
    auto started = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child < 0) {
        close(log);
        return result;
    }
    if (child == 0) {
        for (const auto& variable : environment) setenv(variable.first.c_str(), variable.second.c_str(), 1);
        dup2(log, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
        execv(args[0], args.data());
        std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(errno));
        _exit(127);
    }
    close(log);

    int status = 0;
    struct rusage usage {};
    while (wait4(child, &status, 0, &usage) < 0) {
        if (errno != EINTR) return result;
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    result.maxRssKilobytes = usage.ru_maxrss;
    result.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                        double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    else if (WIFSIGNALED(status)) result.exitStatus = 128 + WTERMSIG(status);
    return result;
}

// Request: argv, log path, environment as name/value list. Reply: the result.
[[noreturn]] void serveRequests(int requests, int replies) {
    for (;;) {
        std::vector<std::string> argv, environmentList;
        std::string logPath;
        if (!readList(requests, argv) || !readString(requests, logPath) || !readList(requests, environmentList))
            _exit(0); // the benchmark has ended
        Environment environment;
        for (size_t i = 0; i + 1 < environmentList.size(); i += 2)
            environment.emplace_back(environmentList[i], environmentList[i + 1]);
        ChildResult result = runHere(argv, logPath, environment);
        if (!writeAll(replies, &result, sizeof result)) _exit(1);
    }
}

} // namespace

bool startLauncher() {
    int requests[2], replies[2];
    if (pipe2(requests, O_CLOEXEC) != 0) return false;
    if (pipe2(replies, O_CLOEXEC) != 0) {
        close(requests[0]);
        close(requests[1]);
        return false;
    }
    pid_t launcher = fork();
    if (launcher < 0) {
        for (int fd : {requests[0], requests[1], replies[0], replies[1]}) close(fd);
        return false;
    }
    if (launcher == 0) {
        close(requests[1]);
        close(replies[0]);
        serveRequests(requests[0], replies[1]);
    }
    close(requests[0]);
    close(replies[1]);
    g_requests = requests[1];
    g_replies = replies[0];
    g_launcher = launcher;
    return true;
}

void stopLauncher() {
    if (g_launcher < 0) return;
    close(g_requests);
    close(g_replies);
    g_requests = g_replies = -1;
    int status = 0;
    while (waitpid(g_launcher, &status, 0) < 0 && errno == EINTR) {
    }
    g_launcher = -1;
}

ChildResult runChild(const std::vector<std::string>& argv, const std::string& logPath,
                     const Environment& environment) {
    if (g_requests < 0) return runHere(argv, logPath, environment);
    std::vector<std::string> environmentList;
    for (const auto& variable : environment) {
        environmentList.push_back(variable.first);
        environmentList.push_back(variable.second);
    }
    ChildResult result;
    if (!writeList(g_requests, argv) || !writeString(g_requests, logPath) ||
        !writeList(g_requests, environmentList) || !readAll(g_replies, &result, sizeof result))
        return ChildResult{};
    return result;
}

} // namespace bench
