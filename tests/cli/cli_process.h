// Runs stm32cmd as a child process and captures what it printed.
#ifndef STM32_TESTS_CLI_PROCESS_H
#define STM32_TESTS_CLI_PROCESS_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace clitest {

struct RunResult {
    int status = -1000; // exit status; -1000 when the child did not exit normally
    std::string out;
    std::string err;
};

// Starts the program with the arguments (argv[0] is the program path) in
// workingDirectory, inheriting the environment (and so the virtual bus).
// A Windows build (a path ending in ".exe") runs under wine through
// scripts/wine-usb.sh, and its CR LF line ends come back as LF.
RunResult runStm32cmd(const std::vector<std::string>& arguments, const std::string& workingDirectory);

// Like runStm32cmd, but calls action once, as soon as standard output
// contains trigger, while the program goes on running.
RunResult runStm32cmdUntil(const std::vector<std::string>& arguments, const std::string& workingDirectory,
                           const std::string& trigger, const std::function<void()>& action);

// One step of a steered run: once trigger has appeared `times` times in what
// the program wrote (standard output and standard error counted together),
// action runs with the program's process id while the program goes on.
struct Step {
    std::string trigger;
    int times = 1;
    std::function<void(int pid)> action;
};

// Runs the program and takes the steps in order while it runs. A program
// still running after limitSeconds is killed (status -1000), so that a test
// that waits for a line that never comes fails instead of hanging.
RunResult runStm32cmdSteered(const std::vector<std::string>& arguments, const std::string& workingDirectory,
                             const std::vector<Step>& steps, double limitSeconds = 60);

// Occurrences of part in text.
int occurrences(const std::string& text, const std::string& part);

// The program to test: STM32CMD_PROGRAM from the environment if set (a
// Windows build, say), otherwise builtIn.
std::string programUnderTest(const std::string& builtIn);
bool isWindowsProgram(const std::string& path);
// argv[0] as the program sees it: a Windows program under wine gets its
// path on wine's root drive ("Z:\a\b.exe").
std::string programNameAsSeen(const std::string& path);

// A fresh directory under the system's temporary directory, removed with its files.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::vector<uint8_t> readFile(const std::string& path);
void writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
void writeText(const std::string& path, const std::string& text);
bool fileExists(const std::string& path);

// A code-like image: a vector table whose reset vector is resetVector, then
// deterministic pseudo-random bytes.
std::vector<uint8_t> makeImage(uint32_t length, uint32_t resetVector, uint32_t seed);

// Intel HEX text of the image placed at address, 16 bytes a record, with correct checksums.
std::string toIntelHex(const std::vector<uint8_t>& image, uint32_t address);

} // namespace clitest

#endif
