// Damaged files of every format: each is refused with a message that names
// the file, the line, segment or element and what is wrong, and defines no
// ranges, so nothing can reach the board.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dfuse_writer.h"
#include "image_loader.h"
#include "sample_files.h"

namespace frontendtest {
namespace {

struct Damaged {
    const char* what;
    std::string name;
    std::vector<uint8_t> bytes;
    Stm32LoadStatus status;
    std::vector<std::string> mentions; // each must appear in the message
};

void expectRefused(const Damaged& file, uint32_t capacity = kFlashSize, uint32_t flashStart = kFlashStart)
{
    SCOPED_TRACE(file.what);
    Load load;
    loadBytes(&load, file.name, file.bytes, capacity, flashStart);
    EXPECT_EQ(load.result.status, file.status) << load.message();
    EXPECT_EQ(load.result.rangeCount, 0);
    EXPECT_EQ(load.message().rfind(file.name + ": ", 0), 0u) << load.message();
    for (const std::string& word : file.mentions) {
        EXPECT_NE(load.message().find(word), std::string::npos) << "'" << word << "' not in: " << load.message();
    }
}

uint16_t half(const std::vector<uint8_t>& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }
uint32_t word(const std::vector<uint8_t>& b, size_t at)
{
    return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 | uint32_t{b[at + 3]} << 24;
}
void setWord(std::vector<uint8_t>* b, size_t at, uint32_t value)
{
    for (size_t i = 0; i < 4; ++i) b->at(at + i) = static_cast<uint8_t>(value >> (8 * i));
}

// Where program header index of an ELF file lies.
size_t programHeader(const std::vector<uint8_t>& elf, unsigned index)
{
    return word(elf, 28) + size_t{half(elf, 42)} * index;
}

// Index of the first PT_LOAD segment with file bytes at or after from.
unsigned loadSegment(const std::vector<uint8_t>& elf, unsigned from = 0)
{
    for (unsigned index = from; index < half(elf, 44); ++index) {
        const size_t at = programHeader(elf, index);
        if (word(elf, at) == 1 && word(elf, at + 16) != 0) return index;
    }
    ADD_FAILURE() << "no loadable segment";
    return 0;
}

TEST(DamagedIntelHex, EachRefusedWithItsLine)
{
    const std::string start = ":020000040800F2\n";
    const std::string end = ":00000001FF\n";
    const std::vector<Damaged> files = {
        {"wrong checksum", "bad.hex", bytesOf(start + ":0400000001020304F3\n" + end), STM32_LOAD_DECODE_ERROR,
         {"line 2", "checksum"}},
        {"no end-of-file record", "cut.hex", bytesOf(start + ":0400000001020304F2\n"), STM32_LOAD_DECODE_ERROR,
         {"line 3", "end-of-file"}},
        {"cut inside a record", "cut.hex", bytesOf(start + ":04000000010203"), STM32_LOAD_DECODE_ERROR, {"line 2"}},
        {"overlapping records with different bytes", "overlap.hex",
         bytesOf(start + ":0400000001020304F2\n:02000200AABB97\n" + end), STM32_LOAD_DECODE_ERROR,
         {"line 2", "line 3", "0x08000002"}},
        {"extended address below flash", "low.hex", bytesOf(":020000040000FA\n:0100000055AA\n" + end),
         STM32_LOAD_DECODE_ERROR, {"line 1", "below flash start"}},
        {"data past the end of flash", "high.hex", bytesOf(":020000040801F1\n:0100000055AA\n" + end),
         STM32_LOAD_OUTSIDE_FLASH, {"line 2", "past the end of flash"}},
        {"record running past the end of flash", "edge.hex",
         bytesOf(":020000040800F2\n:04FFFE0001020304F5\n" + end), STM32_LOAD_TOO_BIG, {"line 2"}},
        {"not hexadecimal", "junk.hex", bytesOf(start + ":04000000010G0304F2\n" + end), STM32_LOAD_DECODE_ERROR,
         {"line 2"}},
        {"no data at all", "empty.hex", bytesOf(end), STM32_LOAD_EMPTY, {"no data"}},
    };
    for (const Damaged& file : files) expectRefused(file);
}

TEST(DamagedSrec, EachRefusedWithItsLine)
{
    const std::vector<Damaged> files = {
        {"wrong checksum", "bad.srec", bytesOf("S1050010AABB86\nS9030000FC\n"), STM32_LOAD_DECODE_ERROR,
         {"line 1", "checksum"}},
        {"byte count disagrees", "count.srec", bytesOf("S1060010AABB85\nS9030000FC\n"), STM32_LOAD_DECODE_ERROR,
         {"line 1", "byte count"}},
        {"cut at a line break", "cut.srec", bytesOf("S00600004844521B\nS1050010AABB85\n"), STM32_LOAD_DECODE_ERROR,
         {"line 2", "end record"}},
        {"cut inside a record", "cut.srec", bytesOf("S1050010AABB85\nS105002"), STM32_LOAD_DECODE_ERROR, {"line 2"}},
        {"record count disagrees (a lost line)", "lost.srec",
         bytesOf("S1050010AABB85\nS5030002FA\nS9030000FC\n"), STM32_LOAD_DECODE_ERROR, {"line 2", "count"}},
        {"reserved record type", "s4.srec", bytesOf("S4030000FC\nS9030000FC\n"), STM32_LOAD_DECODE_ERROR,
         {"line 1", "S4"}},
        {"not an S-record line", "text.srec", bytesOf("hello\n"), STM32_LOAD_DECODE_ERROR, {"line 1"}},
        {"overlapping records", "overlap.srec", bytesOf("S1050010AABB85\nS1050011CCDD40\nS9030000FC\n"),
         STM32_LOAD_DECODE_ERROR, {"line 1", "line 2"}},
    };
    // Flash at 0, so that the 16-bit addresses of S1 records reach it.
    for (const Damaged& file : files) expectRefused(file, 0x100, 0);
}

TEST(DamagedSrec, DataBelowFlashStartNamesTheLine)
{
    // 0x07FFFFF0 lies 16 bytes below the flash.
    expectRefused({"below flash", "low.srec", bytesOf("S0030000FC\nS30907FFFFF01122334457\nS70500000000FA\n"),
                   STM32_LOAD_OUTSIDE_FLASH, {"line 2", "below flash start"}});
}

TEST(DamagedElf, EachRefusedWithItsSegment)
{
    const std::vector<uint8_t> blink = readFile(samplePath("blink.elf"));
    ASSERT_GT(blink.size(), 52u);
    const unsigned segment = loadSegment(blink);
    const size_t header = programHeader(blink, segment);
    const std::string named = "segment " + std::to_string(segment);

    std::vector<uint8_t> cut(blink.begin(), blink.begin() + word(blink, header + 4) + 100);
    std::vector<uint8_t> inRam = blink;
    setWord(&inRam, header + 12, 0x20000000);
    std::vector<uint8_t> belowFlash = blink;
    setWord(&belowFlash, header + 12, 0x00000000);
    std::vector<uint8_t> wide = blink;
    wide[4] = 2;
    std::vector<uint8_t> bigEndian = blink;
    bigEndian[5] = 2;
    std::vector<uint8_t> otherMachine = blink;
    otherMachine[18] = 62; // x86-64
    std::vector<uint8_t> fileOverMemory = blink;
    setWord(&fileOverMemory, header + 20, word(blink, header + 16) - 1);

    const std::vector<Damaged> files = {
        {"cut inside the segment", "cut.elf", cut, STM32_LOAD_DECODE_ERROR, {named, "cut short"}},
        {"cut inside the header", "stub.elf", {blink.begin(), blink.begin() + 20}, STM32_LOAD_DECODE_ERROR,
         {"header"}},
        {"segment in RAM", "ram.elf", inRam, STM32_LOAD_OUTSIDE_FLASH, {named, "0x20000000", "past the end of flash"}},
        {"segment below flash", "low.elf", belowFlash, STM32_LOAD_OUTSIDE_FLASH, {named, "below flash start"}},
        {"64-bit", "wide.elf", wide, STM32_LOAD_DECODE_ERROR, {"32-bit"}},
        {"big-endian", "be.elf", bigEndian, STM32_LOAD_DECODE_ERROR, {"little-endian"}},
        {"not ARM", "x86.elf", otherMachine, STM32_LOAD_DECODE_ERROR, {"ARM"}},
        {"file size above memory size", "odd.elf", fileOverMemory, STM32_LOAD_DECODE_ERROR, {named}},
    };
    for (const Damaged& file : files) expectRefused(file);
}

TEST(DamagedElf, OverlappingSegmentsNameBoth)
{
    std::vector<uint8_t> sparse = readFile(samplePath("sparse.elf"));
    const unsigned first = loadSegment(sparse);
    const unsigned second = loadSegment(sparse, first + 1);
    // Move the second segment onto the first: their bytes differ.
    setWord(&sparse, programHeader(sparse, second) + 12, word(sparse, programHeader(sparse, first) + 12));
    expectRefused({"overlap", "overlap.elf", sparse, STM32_LOAD_DECODE_ERROR,
                   {"segment " + std::to_string(first), "segment " + std::to_string(second), "differently"}});
}

TEST(DamagedElf, ObjectFileWithoutProgramHeaders)
{
    const std::vector<uint8_t> object = readFile(samplePath("blink.o"));
    expectRefused({"object file", "blink.o", object, STM32_LOAD_DECODE_ERROR, {"program headers"}});
}

TEST(DamagedDfuse, EachRefusedWithWhatIsWrong)
{
    const DfuTarget flash{0, "Internal Flash", {{kFlashStart, {1, 2, 3, 4, 5, 6, 7, 8}}}};
    const std::vector<uint8_t> good = dfuseFile({flash});
    {
        Load load;
        loadBytes(&load, "good.dfu", good);
        ASSERT_EQ(load.result.status, STM32_LOAD_OK) << load.message();
    }
    std::vector<uint8_t> flipped = good;
    flipped[good.size() / 2] ^= 0x01;
    std::vector<uint8_t> cut(good.begin(), good.end() - 20);
    std::vector<uint8_t> noSuffix(good.begin(), good.end() - 16);
    const DfuTarget optionOnly{1, "Option Bytes", {{0x1FFFF800, {1, 2}}}};
    const DfuTarget outside{0, "Internal Flash", {{0x20000000, {1, 2}}}};
    const DfuTarget overlap{0, "Internal Flash", {{kFlashStart, {1, 2, 3}}, {kFlashStart + 1, {9}}}};
    // The element claims more bytes than its target holds; CRC made valid again.
    std::vector<uint8_t> longElement = good;
    setWord(&longElement, 11 + 274 + 4, 9);
    longElement.resize(longElement.size() - 4);
    const uint32_t crc = suffixCrc(longElement);
    for (int i = 0; i < 4; ++i) longElement.push_back(static_cast<uint8_t>(crc >> (8 * i)));

    const std::vector<Damaged> files = {
        {"one bit flipped", "flip.dfu", flipped, STM32_LOAD_DECODE_ERROR, {"CRC"}},
        {"cut short", "cut.dfu", cut, STM32_LOAD_DECODE_ERROR, {"suffix"}},
        {"no suffix", "bare.dfu", noSuffix, STM32_LOAD_DECODE_ERROR, {"suffix"}},
        {"no flash target", "options.dfu", dfuseFile({optionOnly}), STM32_LOAD_DECODE_ERROR, {"alternate setting 0"}},
        {"element outside flash", "ram.dfu", dfuseFile({outside}), STM32_LOAD_OUTSIDE_FLASH,
         {"target 0 element 0", "0x20000000"}},
        {"overlapping elements", "overlap.dfu", dfuseFile({overlap}), STM32_LOAD_DECODE_ERROR,
         {"target 0 element 0", "target 0 element 1"}},
        {"element longer than its target", "long.dfu", longElement, STM32_LOAD_DECODE_ERROR, {"target 0 element 0"}},
    };
    for (const Damaged& file : files) expectRefused(file);
}

TEST(DamagedRaw, EmptyFileDefinesNothing)
{
    expectRefused({"empty", "empty.bin", {}, STM32_LOAD_EMPTY, {"empty"}});
}

} // namespace
} // namespace frontendtest
