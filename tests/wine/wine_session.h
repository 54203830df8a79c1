// What the end-to-end GUI tests need around wine: the dialog program
// started through scripts/wine-usb.sh (so that it reaches this process's
// virtual bus), the probe that reads its windows, and xdotool for the
// keyboard, as a user types.
#ifndef STM32_TESTS_WINE_WINE_SESSION_H
#define STM32_TESTS_WINE_WINE_SESSION_H

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace winetest {

// A child process; its standard output goes to a file or to a pipe the
// caller reads by lines.
class Child {
public:
    Child() = default;
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // environment: extra NAME=VALUE entries on top of ours.
    void start(const std::vector<std::string>& command, const std::vector<std::string>& environment, bool talk);
    bool running();
    // Exit status, or -1 if it did not end in time (it is then killed).
    int waitForExit(int timeoutMs);
    void kill();
    pid_t pid() const { return pid_; }

    void writeLine(const std::string& line);
    // One line without its end; false at the end of the output or after timeoutMs.
    bool readLine(std::string& line, int timeoutMs);

private:
    pid_t pid_ = -1;
    int status_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
    std::string pending_;
};

struct ProbeReply {
    bool ok = false;
    std::string text; // line breaks restored
};

// gui_probe.exe, kept running for the whole test program.
class Probe {
public:
    explicit Probe(const std::string& probeExe);
    ProbeReply ask(const std::string& command, int timeoutMs = 60000);

private:
    Child child_;
};

std::string wineUsbScript();
// "/a/b" as the Windows programs see it: "Z:\a\b".
std::string windowsPath(const std::string& path);
// Runs xdotool with the arguments (bounded in time); true when it succeeded.
bool xdotool(const std::vector<std::string>& arguments, int timeoutSeconds = 30);
// The X window of a top-level window with exactly this title, waiting for it ("" if none came).
std::string xWindow(const std::string& title, int timeoutSeconds = 30);

} // namespace winetest

#endif
