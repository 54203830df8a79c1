#include "trace_file.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "stm32.h"

#ifdef _WIN32
#include <windows.h>
#endif

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

std::FILE* openForAppend(const char* path)
{
#ifdef _WIN32
    const int units = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
    if (units <= 0) return nullptr;
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path, -1, &wide[0], units);
    return _wfopen(wide.c_str(), L"ab");
#else
    return std::fopen(path, "ab");
#endif
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
    std::FILE* file = path != nullptr ? openForAppend(path) : nullptr;
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
