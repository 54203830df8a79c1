// Text conversion of the log bridge and number entry of the option fields.
#include <gtest/gtest.h>

#include <string>

#include "flash_controller.h"
#include "text.h"

namespace {

std::u16string u16(const char16_t* text) { return std::u16string(text); }

TEST(Utf8ToUtf16, DecodesEveryEncodingLength) {
    const std::string text = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"; // A, e-acute, euro, emoji
    EXPECT_EQ(utf8ToUtf16(text.data(), text.size(), 512), u16(u"A\u00E9\u20AC\U0001F600"));
}

TEST(Utf8ToUtf16, ReplacesInvalidSequences) {
    const std::string cases[] = {
        "\x80",             // stray continuation byte
        "\xC0\xAF",         // overlong '/'
        "\xED\xA0\x80",     // encoded surrogate
        "\xF4\x90\x80\x80", // past U+10FFFF
        "\xE2\x82",         // truncated at the end
    };
    for (const auto& bad : cases) {
        const std::u16string out = utf8ToUtf16(bad.data(), bad.size(), 512);
        ASSERT_FALSE(out.empty()) << bad.size();
        for (char16_t unit : out) EXPECT_EQ(unit, 0xFFFD);
    }
    const std::string mixed = "a\xFF" "b";
    EXPECT_EQ(utf8ToUtf16(mixed.data(), mixed.size(), 512), u16(u"a\uFFFDb"));
}

TEST(Utf8ToUtf16, BoundedToTheBufferWithoutSplittingAPair) {
    const std::string longText(2000, 'x');
    EXPECT_EQ(utf8ToUtf16(longText.data(), longText.size(), 512).size(), 511u);

    // 510 units then an emoji needing two: only one unit is left, so the pair is dropped whole.
    std::string text(510, 'y');
    text += "\xF0\x9F\x98\x80";
    const std::u16string out = utf8ToUtf16(text.data(), text.size(), 512);
    EXPECT_EQ(out.size(), 510u);
    EXPECT_EQ(out.back(), u'y');

    EXPECT_TRUE(utf8ToUtf16("abc", 0, 512).empty());
    EXPECT_TRUE(utf8ToUtf16(nullptr, 5, 512).empty());
    // The length is honoured: bytes past it are not read.
    EXPECT_EQ(utf8ToUtf16("abcdef", 3, 512), u16(u"abc"));
}

TEST(Utf8ToUtf8, CutsOnCharacterBoundaries) {
    std::string text(509, 'z');
    text += "\xE2\x82\xAC"; // three bytes, only two left
    const std::string out = utf8ToUtf8(text.data(), text.size(), 512);
    EXPECT_EQ(out, std::string(509, 'z'));
    const std::string bad = "\xC3";
    EXPECT_EQ(utf8ToUtf8(bad.data(), bad.size(), 512), "\xEF\xBF\xBD");
}

TEST(Utf16ToUtf8, RoundTripsAndReplacesLoneSurrogates) {
    const std::u16string text = u"A\u00E9\u20AC\U0001F600";
    const std::string utf8 = utf16ToUtf8(text);
    EXPECT_EQ(utf8ToUtf16(utf8.data(), utf8.size(), 512), text);
    EXPECT_EQ(utf16ToUtf8(std::u16string(1, char16_t(0xD800)) + u"x"), "\xEF\xBF\xBDx");
}

TEST(FormatNative, FormatsAndBoundsMessages) {
    EXPECT_EQ(utf8FromNative(formatNative("Total time: %1.1f s", 1.26)), "Total time: 1.3 s");
    EXPECT_EQ(utf8FromNative(formatNative("File (%s) read error.", "C:\\a%d.bin")), "File (C:\\a%d.bin) read error.");
    const std::string path(700, 'p');
    EXPECT_EQ(formatNative("File (%s) read error.", path.c_str()).size(), static_cast<size_t>(kMessageUnits - 1));
}

int32_t parse(const std::string& text, bool* ok) { return parseFieldNumber(nativeFromUtf8(text, 1000), ok); }

TEST(ParseFieldNumber, DecimalAndLowerCaseHex) {
    bool ok = false;
    EXPECT_EQ(parse("4096", &ok), 4096);
    EXPECT_TRUE(ok);
    EXPECT_EQ(parse("0x1000", &ok), 4096);
    EXPECT_TRUE(ok);
    EXPECT_EQ(parse("0x7f800", &ok), 0x7F800);
    EXPECT_EQ(parse("0x7F800", &ok), 0x7F800);
    EXPECT_EQ(parse("  42", &ok), 42);
    EXPECT_TRUE(ok);
    // Read as far as the digits go.
    EXPECT_EQ(parse("12abc", &ok), 12);
    EXPECT_TRUE(ok);
}

TEST(ParseFieldNumber, CapitalXReadsAsDecimalZero) {
    bool ok = false;
    EXPECT_EQ(parse("0X1000", &ok), 0);
    EXPECT_TRUE(ok);
}

TEST(ParseFieldNumber, NegativeNumbersReadAsZero) {
    bool ok = false;
    EXPECT_EQ(parse("-5", &ok), 0);
    EXPECT_TRUE(ok);
    EXPECT_EQ(parse("-2147483648", &ok), 0);
    EXPECT_TRUE(ok);
}

TEST(ParseFieldNumber, TextWithoutDigitsIsNotANumber) {
    for (const char* text : {"", "abc", "0x", "0xg", "-", " ", "x10"}) {
        bool ok = true;
        EXPECT_EQ(parse(text, &ok), 0) << text;
        EXPECT_FALSE(ok) << text;
    }
}

TEST(ParseFieldNumber, LargeNumbersSaturate) {
    bool ok = false;
    EXPECT_EQ(parse("0xFFFFFFFF", &ok), INT32_MAX);
    EXPECT_EQ(parse("99999999999999999999", &ok), INT32_MAX);
    EXPECT_EQ(parse("2147483647", &ok), INT32_MAX);
    EXPECT_EQ(parse("2147483646", &ok), 2147483646);
}

TEST(ParseFieldNumber, ReadsAtMost256Units) {
    bool ok = false;
    EXPECT_EQ(parse(std::string(255, '0') + "7", &ok), 7);
    EXPECT_EQ(parse(std::string(256, '0') + "7", &ok), 0);
    EXPECT_TRUE(ok);
}

} // namespace
