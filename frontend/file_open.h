// Opening a file by its UTF-8 name on every platform: Windows takes the
// wide name, so that any character of a path works.
#ifndef STM32_FRONTEND_FILE_OPEN_H
#define STM32_FRONTEND_FILE_OPEN_H

#include <cstdio>

namespace frontend {

// fopen with a UTF-8 path and a narrow mode ("rb", "ab"); null with errno set on failure.
std::FILE* openFile(const char* path, const char* mode);

} // namespace frontend

#endif
