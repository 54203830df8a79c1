#include "file_open.h"

#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace frontend {

std::FILE* openFile(const char* path, const char* mode)
{
#ifdef _WIN32
    const int units = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
    if (units <= 0) return nullptr;
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path, -1, &wide[0], units);
    const std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
    return _wfopen(wide.c_str(), wideMode.c_str());
#else
    return std::fopen(path, mode);
#endif
}

} // namespace frontend
