// Text helpers of the Windows front end: bounded UTF-8 to native
// conversion (UTF-16 on Windows, UTF-8 elsewhere) and printf-style
// formatting into native text.
#ifndef STM32_WIN_TEXT_H
#define STM32_WIN_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "native_text.h"

// Decodes UTF-8 into UTF-16, at most maxUnits - 1 units (room for the
// terminator of a fixed buffer). Invalid sequences become U+FFFD; text that
// does not fit is cut before the first character that would not fit whole,
// so a surrogate pair is never split.
std::u16string utf8ToUtf16(const char* text, size_t length, size_t maxUnits);
// Same bound for UTF-8 output: invalid sequences become U+FFFD and the cut
// never splits a character.
std::string utf8ToUtf8(const char* text, size_t length, size_t maxUnits);
// UTF-16 to UTF-8 (unpaired surrogates become U+FFFD), unbounded.
std::string utf16ToUtf8(const std::u16string& text);

// Native text from UTF-8, bounded as above.
NativeString nativeFromUtf8(const char* text, size_t length, size_t maxUnits);
NativeString nativeFromUtf8(const std::string& text, size_t maxUnits = kMessageUnits);
// UTF-8 from native text (for formatting and tests).
std::string utf8FromNative(const NativeString& text);

// printf-style formatting in UTF-8, returned as native text bounded to
// kMessageUnits. Arguments for %s are UTF-8 (use utf8FromNative for paths).
NativeString formatNative(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Number entry of the GUI fields: "0x" (lower-case x) hexadecimal, else
// decimal, read as far as the digits go (at most 256 units); *ok false when
// no digit reads. Negative numbers read as 0; numbers beyond the 32-bit
// range read as INT32_MAX.
int32_t parseFieldNumber(const NativeString& text, bool* ok);

#endif
