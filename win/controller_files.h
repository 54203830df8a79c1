// Whole files in and out: Win32 calls on Windows (wide names, no sharing
// while the image is read), stdio elsewhere.
#ifndef STM32_WIN_CONTROLLER_FILES_H
#define STM32_WIN_CONTROLLER_FILES_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "native_text.h"

namespace controller {

enum class ReadOutcome { Ok, TooBig, ReadError, OutOfMemory };

// The whole file into bytes; an empty file or one of more than largest bytes is refused.
ReadOutcome readWholeFile(const NativeString& path, uint64_t largest, std::vector<uint8_t>* bytes);

// A short file would pass for a complete dump of the flash: it is removed.
bool writeFileFrom(const NativeString& path, const uint8_t* data, size_t length);

} // namespace controller

#endif
