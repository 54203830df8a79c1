#include "text.h"

#include "number_entry.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Length of the UTF-8 sequence a lead byte starts; 0 for a byte that cannot lead.
int sequenceLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// Decodes one character at text[*pos], advancing *pos; overlong forms,
// surrogates and code points past U+10FFFF become U+FFFD (one per bad byte).
char32_t decodeOne(const unsigned char* text, size_t length, size_t* pos) {
    const unsigned char lead = text[*pos];
    const int needed = sequenceLength(lead);
    if (needed == 0 || *pos + needed > length) {
        ++*pos;
        return kReplacement;
    }
    if (needed == 1) {
        ++*pos;
        return lead;
    }
    char32_t value = lead & (0x7F >> needed);
    for (int i = 1; i < needed; ++i) {
        const unsigned char next = text[*pos + i];
        if ((next & 0xC0) != 0x80) {
            ++*pos;
            return kReplacement;
        }
        value = (value << 6) | (next & 0x3F);
    }
    static const char32_t kMinimum[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kMinimum[needed] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        ++*pos;
        return kReplacement;
    }
    *pos += needed;
    return value;
}

void appendUtf8(std::string* out, char32_t c) {
    if (c < 0x80) {
        out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (c >> 6)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (c >> 12)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (c >> 18)));
        out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

size_t utf8Units(char32_t c) {
    return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

size_t roomFor(size_t maxUnits) {
    return maxUnits == 0 ? 0 : maxUnits - 1;
}

} // namespace

std::u16string utf8ToUtf16(const char* text, size_t length, size_t maxUnits) {
    std::u16string out;
    const size_t room = roomFor(maxUnits);
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t pos = 0;
    while (text != nullptr && pos < length) {
        const char32_t c = decodeOne(bytes, length, &pos);
        const size_t units = c >= 0x10000 ? 2 : 1;
        if (out.size() + units > room) break;
        if (units == 2) {
            const char32_t v = c - 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return out;
}

std::string utf8ToUtf8(const char* text, size_t length, size_t maxUnits) {
    std::string out;
    const size_t room = roomFor(maxUnits);
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t pos = 0;
    while (text != nullptr && pos < length) {
        const char32_t c = decodeOne(bytes, length, &pos);
        if (out.size() + utf8Units(c) > room) break;
        appendUtf8(&out, c);
    }
    return out;
}

std::string utf16ToUtf8(const std::u16string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = kReplacement;
        }
        appendUtf8(&out, c);
    }
    return out;
}

NativeString nativeFromUtf8(const char* text, size_t length, size_t maxUnits) {
#ifdef _WIN32
    const std::u16string wide = utf8ToUtf16(text, length, maxUnits);
    return NativeString(wide.begin(), wide.end());
#else
    return utf8ToUtf8(text, length, maxUnits);
#endif
}

NativeString nativeFromUtf8(const std::string& text, size_t maxUnits) {
    return nativeFromUtf8(text.data(), text.size(), maxUnits);
}

std::string utf8FromNative(const NativeString& text) {
#ifdef _WIN32
    return utf16ToUtf8(std::u16string(text.begin(), text.end()));
#else
    return text;
#endif
}

NativeString formatNative(const char* format, ...) {
    // A message holds a path of up to 260 units, and one UTF-16 unit takes at
    // most three UTF-8 bytes; the native bound is applied after conversion.
    std::vector<char> buffer(kMessageUnits * 4);
    va_list args;
    va_start(args, format);
    const int written = std::vsnprintf(buffer.data(), buffer.size(), format, args);
    va_end(args);
    if (written < 0) return NativeString();
    const size_t length = static_cast<size_t>(written) < buffer.size() ? written : buffer.size() - 1;
    return nativeFromUtf8(buffer.data(), length, kMessageUnits);
}

int32_t parseFieldNumber(const NativeString& fullText, bool* ok) {
    // The edits hold at most 256 units; anything beyond is not looked at.
    const std::string text = utf8FromNative(fullText.substr(0, 256));
    int32_t value = 0;
    const bool read = stm32ReadFieldNumber(text.c_str(), &value) != 0;
    if (ok != nullptr) *ok = read;
    return read ? value : 0;
}
