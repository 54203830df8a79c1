// Native text of the Windows front end: UTF-16 (wchar_t) on Windows, UTF-8
// (char) elsewhere, so that the controller builds and is tested on Linux.
#ifndef STM32_WIN_NATIVE_TEXT_H
#define STM32_WIN_NATIVE_TEXT_H

#include <string>

#ifdef _WIN32
using NativeChar = wchar_t;
#else
using NativeChar = char;
#endif
using NativeString = std::basic_string<NativeChar>;

constexpr int kPathUnits = 260;    // paths are bounded to 260 UTF-16 units (with the terminator)
constexpr int kMessageUnits = 512; // messages to 512 (with the terminator)

#endif
