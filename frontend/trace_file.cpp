#include "trace_file.h"

#include <cstdio>
#include <cstring>

#include "file_open.h"
#include "stm32.h"

namespace {

// Notepad of older Windows shows LF-only text as one long line.
#ifdef _WIN32
constexpr char kLineEnd[] = "\r\n";
#else
constexpr char kLineEnd[] = "\n";
#endif

std::FILE* g_traceFile = nullptr;

// Called by the core under its trace lock, one line at a time.
void writeTraceLine(void* userData, const char* line)
{
    auto* file = static_cast<std::FILE*>(userData);
    std::fputs(line, file);
    std::fputs(kLineEnd, file);
    // A crash or a kill must not lose the lines that tell what happened.
    std::fflush(file);
}

} // namespace

int32_t stm32TraceWanted(const char* debugVariable, int32_t storedSetting)
{
    if (debugVariable != nullptr && std::strcmp(debugVariable, "1") == 0) return 1;
    return storedSetting != 0 ? 1 : 0;
}

int32_t stm32StartTraceFile(const char* path)
{
    stm32StopTraceFile();
    std::FILE* file = path != nullptr ? frontend::openFile(path, "ab") : nullptr;
    if (file == nullptr) return 0;
    g_traceFile = file;
    stm32SetTraceCallback(writeTraceLine, file);
    return 1;
}

void stm32StopTraceFile(void)
{
    if (g_traceFile == nullptr) return;
    // Once this returns the core calls the old callback no more.
    stm32SetTraceCallback(nullptr, nullptr);
    std::fclose(g_traceFile);
    g_traceFile = nullptr;
}
