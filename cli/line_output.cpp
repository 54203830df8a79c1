#include "line_output.h"

#include <cstdio>
#include <mutex>

#include "console.h"

namespace cli {

namespace {

std::mutex g_outputMutex;

void writeWhole(std::FILE* stream, const std::string& line)
{
    std::lock_guard<std::mutex> lock(g_outputMutex);
    std::fputs((line + "\n").c_str(), stream);
    std::fflush(stream);
}

} // namespace

void writeHumanLine(const std::string& line) { writeWhole(humanLog(), line); }

void writeErrorLine(const std::string& line) { writeWhole(stderr, line); }

void writeJsonLine(const std::string& json) { writeWhole(stdout, json); }

int BoardLog::callback(void* userData, const char* text, uint32_t length, int continuation)
{
    auto* log = static_cast<BoardLog*>(userData);
    log->pending_.append(text, length);
    if (continuation == 0) {
        writeHumanLine(log->prefix_ + log->pending_);
        log->pending_.clear();
    }
    return 0;
}

void BoardLog::eachLine(const std::string& text, void (*write)(const std::string&))
{
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        write(prefix_ + text.substr(begin, end - begin));
        begin = end + 1;
    }
}

void BoardLog::line(const std::string& text) { eachLine(text, writeHumanLine); }

void BoardLog::error(const std::string& text) { eachLine(text, writeErrorLine); }

} // namespace cli
