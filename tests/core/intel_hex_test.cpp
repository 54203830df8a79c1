// Intel HEX: the record reader, and the decoder on it (record handling,
// failures and the bounds a fuzzer probes).
#include "intel_hex.h"
#include "intel_hex_records.h"
#include "stm32.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kFlashStart = 0x08000000;

// Builds one record with a correct checksum.
std::string record(uint8_t type, uint16_t address, const std::vector<uint8_t>& data)
{
    char buffer[8];
    std::string text = ":";
    unsigned sum = 0;
    auto put = [&](uint8_t byte) {
        std::snprintf(buffer, sizeof buffer, "%02X", byte);
        text += buffer;
        sum += byte;
    };
    put(static_cast<uint8_t>(data.size()));
    put(static_cast<uint8_t>(address >> 8));
    put(static_cast<uint8_t>(address & 0xFF));
    put(type);
    for (uint8_t byte : data) put(byte);
    put(static_cast<uint8_t>(-sum));
    return text + "\n";
}

const std::string kEnd = ":00000001FF\n";
const std::string kLinear0800 = ":020000040800F2\n";

struct Decoded {
    uint32_t length = 0;
    uint32_t returned = 0;
    std::vector<uint8_t> image;
};

Decoded decode(const std::string& text, uint32_t capacity = 0x10000, uint32_t flashStart = kFlashStart)
{
    std::vector<char> mutableText(text.begin(), text.end());
    mutableText.push_back('\0');
    Decoded result;
    // One guard byte past the capacity catches writes beyond it.
    result.image.assign(capacity + 1, 0xFF);
    result.length = 12345;
    result.returned = decodeIntelHex(mutableText.data(), flashStart, result.image.data(), capacity, &result.length);
    EXPECT_EQ(result.image[capacity], 0xFF) << "written past the capacity";
    EXPECT_EQ(std::string(mutableText.data()), text) << "line breaks not restored";
    result.image.resize(capacity);
    return result;
}

TEST(IntelHexDecode, ThreeRecordExampleGivesFourBytes)
{
    const Decoded d = decode(kLinear0800 + ":0400000001020304F2\n" + kEnd);
    EXPECT_EQ(d.length, 4u);
    EXPECT_EQ(d.returned, 4u);
    EXPECT_EQ(std::vector<uint8_t>(d.image.begin(), d.image.begin() + 5),
              (std::vector<uint8_t>{0x01, 0x02, 0x03, 0x04, 0xFF}));
}

TEST(IntelHexDecode, CarriageReturnsAndLowerCaseDigitsAreAccepted)
{
    const Decoded d = decode(":020000040800f2\r\n:0400000001020304f2\r\n:00000001ff\r\n");
    EXPECT_EQ(d.length, 4u);
    EXPECT_EQ(d.image[3], 0x04);
}

TEST(IntelHexDecode, LastRecordWithoutLineBreak)
{
    // Editors and generators often leave the final line unterminated.
    const std::string data = record(0x00, 0, {0x01, 0x02});
    for (const std::string& end : {std::string(":00000001FF"), std::string(":00000001FF\r"), std::string(":00000001FF ")}) {
        const Decoded d = decode(kLinear0800 + data + end);
        EXPECT_EQ(d.length, 2u) << end;
        EXPECT_EQ(d.image[1], 0x02) << end;
    }
    // Still refused when the unterminated last record is damaged or not the end.
    EXPECT_EQ(decode(kLinear0800 + data + ":00000001FE").length, 0u);
    EXPECT_EQ(decode(kLinear0800 + data + ":00000001F").length, 0u);
    EXPECT_EQ(decode(kLinear0800 + ":0200000001").length, 0u);
}

TEST(IntelHexDecode, BlankLinesAndTrailingSpaceBetweenRecords)
{
    const Decoded d = decode(kLinear0800 + "\n\r\n:0400000001020304F2 \t\r\n\n" + kEnd);
    EXPECT_EQ(d.length, 4u);
}

TEST(IntelHexDecode, AddressingPlacesDataRelativeToFlashStart)
{
    // Extended linear address at flash start, load address 0x400.
    Decoded d = decode(kLinear0800 + record(0x00, 0x0400, {0xAA, 0xBB}) + kEnd);
    EXPECT_EQ(d.length, 0x402u);
    EXPECT_EQ(d.image[0x400], 0xAA);
    EXPECT_EQ(d.image[0x401], 0xBB);
    EXPECT_EQ(d.image[0x3FF], 0xFF);

    // No extended address record: the load address is the image position.
    d = decode(record(0x00, 0x8000, {0x11}) + kEnd);
    EXPECT_EQ(d.length, 0x8001u);
    EXPECT_EQ(d.image[0x8000], 0x11);

    // A second 64 KB bank continues the image.
    d = decode(kLinear0800 + record(0x00, 0xFFFF, {0x01}) + record(0x04, 0, {0x08, 0x01}) +
                   record(0x00, 0x0000, {0x02}) + kEnd,
               0x20000);
    EXPECT_EQ(d.length, 0x10001u);
    EXPECT_EQ(d.image[0xFFFF], 0x01);
    EXPECT_EQ(d.image[0x10000], 0x02);

    // Extended segment address: value x 16, relative to a flash start of 0.
    d = decode(record(0x02, 0, {0x10, 0x00}) + record(0x00, 0x0004, {0x5A}) + kEnd, 0x20000, 0);
    EXPECT_EQ(d.length, 0x10005u);
    EXPECT_EQ(d.image[0x10004], 0x5A);
}

TEST(IntelHexDecode, StartAddressRecordsChangeNothing)
{
    const Decoded d = decode(kLinear0800 + record(0x00, 0, {0x01}) + record(0x03, 0, {1, 2, 3, 4}) +
                             record(0x05, 0, {0x08, 0, 0, 0x99}) + record(0x00, 1, {0x02}) + kEnd);
    EXPECT_EQ(d.length, 2u);
    EXPECT_EQ(d.image[0], 0x01);
    EXPECT_EQ(d.image[1], 0x02);
}

TEST(IntelHexDecode, MalformedTextFails)
{
    const std::string data = record(0x00, 0, {0x01, 0x02});
    const std::vector<std::string> bad = {
        "",
        kLinear0800 + data,                                       // no end record
        "X" + data + kEnd,                                        // record without ":"
        ":0200\n" + kEnd,                                         // header cut short
        kLinear0800 + record(0x01, 0, {0x00}) + kEnd,             // end of file with data
        kLinear0800 + record(0x06, 0, {0x00}) + kEnd,             // unknown type
        record(0x04, 0, {0x08}) + data + kEnd,                    // address record of one byte
        record(0x04, 0, {0x08, 0x00, 0x00}) + data + kEnd,        // address record of three bytes
        record(0x04, 0, {0x00, 0x00}) + data + kEnd,              // below flash start
        kLinear0800 + ":0200000001G2FB\n" + kEnd,                 // data pair not hex
        kLinear0800 + ":02000000 102FB\n" + kEnd,                 // space inside a pair
        kLinear0800 + ":020000000102\n" + kEnd,                   // checksum missing
        kLinear0800 + ":02000000010\n" + kEnd,                    // data cut inside a pair
        kLinear0800 + ";0400000001020304F2\n" + kEnd,             // ":" damaged: the record would vanish
        kLinear0800 + ":0400000001020304F2 junk\n" + kEnd,        // garbage after a record
    };
    for (const std::string& text : bad) {
        const Decoded d = decode(text);
        EXPECT_EQ(d.length, 0u) << text;
        EXPECT_EQ(d.returned, 0u) << text;
    }
}

TEST(IntelHexDecode, ChecksumsAreVerified)
{
    // The example's data record with its checksum off by one.
    EXPECT_EQ(decode(kLinear0800 + ":0400000001020304F3\n" + kEnd).length, 0u);
    // One data digit flipped in transit.
    EXPECT_EQ(decode(kLinear0800 + ":0400000001020305F2\n" + kEnd).length, 0u);
    // Address record and end record are checked as well.
    EXPECT_EQ(decode(":020000040800F3\n:0400000001020304F2\n" + kEnd).length, 0u);
    EXPECT_EQ(decode(kLinear0800 + ":0400000001020304F2\n:00000001FE\n").length, 0u);
}

TEST(IntelHexDecode, DataPastCapacityIsNotStoredButCounted)
{
    const Decoded d = decode(kLinear0800 + record(0x00, 0x0E, {1, 2, 3, 4}) + kEnd, 0x10);
    EXPECT_EQ(d.length, 0x12u);
    EXPECT_EQ(d.image[0x0E], 1);
    EXPECT_EQ(d.image[0x0F], 2);
}

TEST(IntelHexDecode, PositionsBeyondThirtyTwoBitsFail)
{
    // Flash start 0x80000000 and base 0x7FFF0000 (not below it as signed numbers)
    // give the relative base 0xFFFF0000; load address 0xFFFF then reaches position
    // 0xFFFFFFFF, whose size would wrap to 0.
    const std::string base = record(0x04, 0, {0x7F, 0xFF});
    EXPECT_EQ(decode(base + record(0x00, 0xFFFF, {0x01}) + kEnd, 16, 0x80000000u).length, 0u);
    EXPECT_EQ(decode(base + record(0x00, 0xFFFE, {0x01, 0x02}) + kEnd, 16, 0x80000000u).length, 0u);
    // The highest position whose size still fits is too big, not a failure.
    EXPECT_EQ(decode(base + record(0x00, 0xFFFE, {0x01}) + kEnd, 16, 0x80000000u).length, 0xFFFFFFFFu);
}

TEST(IntelHexDecode, ZeroCapacityAndNullArguments)
{
    EXPECT_EQ(decode(kLinear0800 + record(0x00, 0, {1}) + kEnd, 0).length, 1u);
    char text[] = ":00000001FF\n";
    EXPECT_EQ(decodeIntelHex(text, kFlashStart, nullptr, 0, nullptr), 0u);
    uint32_t length = 7;
    EXPECT_EQ(decodeIntelHex(nullptr, kFlashStart, nullptr, 0, &length), 0u);
    EXPECT_EQ(length, 0u);
}

TEST(IntelHexDecode, DamagedTextNeverDecodesToAnotherImage)
{
    // Random damage to a valid file: decoding fails, or (damage only in white
    // space or after the end record) gives exactly the original image. The
    // guard byte and the restored text are checked by decode() every round.
    const std::string valid = kLinear0800 + record(0x00, 0x0000, {1, 2, 3, 4, 5, 6, 7, 8}) +
                              record(0x00, 0x0008, {9, 10, 11, 12}) + record(0x05, 0, {8, 0, 1, 1}) + kEnd + "\n";
    const Decoded reference = decode(valid, 12);
    ASSERT_EQ(reference.length, 12u);
    const char alphabet[] = ":0123456789ABCDEFabcdefxG\n\r\0 ";
    uint32_t seed = 12345;
    auto next = [&seed]() { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
    int stillDecodable = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string text = valid;
        const int edits = 1 + static_cast<int>(next() % 3);
        for (int e = 0; e < edits; ++e) {
            const size_t at = next() % text.size();
            const char replacement = alphabet[next() % (sizeof alphabet - 1)];
            if (next() % 4 == 0) text.erase(at, 1);
            else text[at] = replacement;
        }
        text = std::string(text.c_str()); // an inserted NUL ends the text
        // Capacity 8 as well: data past it must not be stored whatever the damage.
        decode(text, 8);
        const Decoded d = decode(text, 12);
        if (d.length == 0) continue;
        ++stillDecodable;
        EXPECT_EQ(d.length, reference.length) << text;
        EXPECT_EQ(d.image, reference.image) << text;
    }
    EXPECT_GT(stillDecodable, 0) << "no damage kept the file decodable: the damage model is broken";
}

TEST(IntelHexRecords, AddressRecordBuildsBaseMostSignificantByteFirst)
{
    IntelHexState state{};
    intelHexPrepareRecord(&state, kHexExtendedLinearAddress, 2, 0);
    intelHexUpdateRecord(&state, kHexExtendedLinearAddress, nullptr, 0, 0, 0x08);
    intelHexUpdateRecord(&state, kHexExtendedLinearAddress, nullptr, 0, 1, 0x01);
    EXPECT_EQ(state.base, 0x08010000u);
    intelHexFinalizeRecord(&state, kHexExtendedLinearAddress, kFlashStart);
    EXPECT_FALSE(state.error);
    EXPECT_EQ(state.base, 0x00010000u);

    IntelHexState segment{};
    intelHexPrepareRecord(&segment, kHexExtendedSegmentAddress, 2, 0);
    intelHexUpdateRecord(&segment, kHexExtendedSegmentAddress, nullptr, 0, 0, 0x12);
    intelHexUpdateRecord(&segment, kHexExtendedSegmentAddress, nullptr, 0, 1, 0x34);
    EXPECT_EQ(segment.base, 0x12340u);
}

// The reader tells the image loader which line is wrong and why.
struct Walk {
    std::vector<stm32::IntelHexRecord> records;
    stm32::IntelHexReader::Step last = stm32::IntelHexReader::Step::Record;
    stm32::IntelHexSyntax fault = stm32::IntelHexSyntax::NoRecordAtStart;
    uint32_t line = 0;
};

Walk walk(const std::string& text)
{
    stm32::IntelHexReader reader(text.data(), text.size());
    Walk w;
    stm32::IntelHexRecord record;
    while ((w.last = reader.next(&record)) == stm32::IntelHexReader::Step::Record) w.records.push_back(record);
    if (w.last == stm32::IntelHexReader::Step::End) w.records.push_back(record);
    w.fault = reader.fault();
    w.line = reader.line();
    return w;
}

TEST(IntelHexReader, RecordsCarryTheirFieldsAndLines)
{
    const std::string text = kLinear0800 + "\r\n\n" + record(0x00, 0x1234, {0xAA, 0xBB}) + "  \t" + kEnd + "junk";
    const Walk w = walk(text);
    ASSERT_EQ(w.last, stm32::IntelHexReader::Step::End);
    ASSERT_EQ(w.records.size(), 3u);
    EXPECT_EQ(w.records[0].line, 1u);
    EXPECT_EQ(w.records[1].line, 4u) << "blank lines count, CR LF is one line";
    EXPECT_EQ(w.records[1].loadAddress, 0x1234u);
    EXPECT_EQ(w.records[1].byteCount, 2u);
    EXPECT_EQ(w.records[1].data[1], 0xBB);
    EXPECT_EQ(w.records[2].type, 0x01);
    EXPECT_EQ(w.records[2].line, 5u);
    // A record without data ends the text, whatever its type.
    EXPECT_EQ(walk(":00000007F9\n").last, stm32::IntelHexReader::Step::End);
}

TEST(IntelHexReader, EachFaultNamesItsLine)
{
    using stm32::IntelHexSyntax;
    const std::string data = record(0x00, 0, {0x01, 0x02});
    const struct {
        std::string text;
        IntelHexSyntax fault;
        uint32_t line;
    } cases[] = {
        {"", IntelHexSyntax::NoRecordAtStart, 1},
        {"\n" + kEnd, IntelHexSyntax::NoRecordAtStart, 1},
        {kLinear0800 + data, IntelHexSyntax::NoEndRecord, 3},
        {kLinear0800 + "\n;" + data.substr(1) + kEnd, IntelHexSyntax::TextOutsideRecord, 3},
        {kLinear0800 + ":02000G00\n", IntelHexSyntax::HeaderNotHex, 2},
        {kLinear0800 + ":020000000102", IntelHexSyntax::NoChecksum, 2},
        {kLinear0800 + ":0300000001\n" + kEnd, IntelHexSyntax::ShortData, 2},
        {kLinear0800 + ":0400000001020304F3\n" + kEnd, IntelHexSyntax::WrongChecksum, 2},
        // The text ends at its first NUL.
        {kLinear0800 + data + std::string(1, '\0') + kEnd, IntelHexSyntax::NoEndRecord, 3},
    };
    for (const auto& c : cases) {
        const Walk w = walk(c.text);
        EXPECT_EQ(w.last, stm32::IntelHexReader::Step::Fault) << c.text;
        EXPECT_EQ(w.fault, c.fault) << c.text;
        EXPECT_EQ(w.line, c.line) << c.text;
    }
    stm32::IntelHexReader reader(":0400000001020304F3\n", 21);
    stm32::IntelHexRecord record;
    ASSERT_EQ(reader.next(&record), stm32::IntelHexReader::Step::Fault);
    EXPECT_EQ(reader.checksum(), 0xF3);
    EXPECT_EQ(reader.expectedChecksum(), 0xF2);
}

} // namespace

