// Whole lines to the human log and to the JSON output, one at a time from
// any thread, so that the lines of boards at work together never mix.
#ifndef STM32_CLI_LINE_OUTPUT_H
#define STM32_CLI_LINE_OUTPUT_H

#include <cstdint>
#include <string>

namespace cli {

// One line (a line break is added) to the human log (see humanLog()).
void writeHumanLine(const std::string& line);

// One line to standard error: errors are shown also when the log is quiet.
void writeErrorLine(const std::string& line);

// One JSON text on one line of standard output.
void writeJsonLine(const std::string& json);

// The log of one board among several: the library's lines and the program's
// own, each with the board's prefix and written whole. Progress pieces are
// collected until their line ends, so they show when it does.
class BoardLog {
public:
    explicit BoardLog(std::string prefix) : prefix_(std::move(prefix)) {}
    BoardLog(const BoardLog&) = delete;
    BoardLog& operator=(const BoardLog&) = delete;

    // A Stm32LogCallback; userData is the BoardLog.
    static int callback(void* userData, const char* text, uint32_t length, int continuation);

    // A line of the program's own (several lines: each gets the prefix).
    void line(const std::string& text);
    // The same on standard error.
    void error(const std::string& text);

private:
    void eachLine(const std::string& text, void (*write)(const std::string&));

    std::string prefix_;
    std::string pending_;
};

} // namespace cli

#endif
