// The image loader on valid files: each format made by binutils or the test
// writer from the same program, loaded and compared byte by byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <cstdlib>
#include <string>
#include <vector>

#include "dfuse_writer.h"
#include "image_loader.h"
#include "sample_files.h"

namespace frontendtest {
namespace {

std::vector<uint8_t> blinkBinary() { return readFile(SAMPLE_BLINK_BIN); }

// The image must hold expected from position 0 and erased flash after it.
void expectImage(const Load& load, const std::vector<uint8_t>& expected)
{
    ASSERT_EQ(load.result.status, STM32_LOAD_OK) << load.message();
    ASSERT_EQ(load.result.length, expected.size());
    EXPECT_EQ(std::vector<uint8_t>(load.image.begin(), load.image.begin() + expected.size()), expected);
    for (size_t at = expected.size(); at < load.image.size(); ++at) {
        ASSERT_EQ(load.image[at], 0xFF) << "position " << at;
    }
    EXPECT_EQ(load.message(), "");
}

std::vector<uint8_t> blinkDfu(const std::vector<uint8_t>& program)
{
    // Split in two elements so that element boundaries are crossed; an
    // option-byte target beside the flash target must be left alone.
    const size_t half = program.size() / 2;
    DfuTarget flash{0, "Internal Flash", {{kFlashStart, {program.begin(), program.begin() + half}},
                                          {kFlashStart + static_cast<uint32_t>(half), {program.begin() + half, program.end()}}}};
    DfuTarget optionBytes{1, "Option Bytes", {{0x1FFFF800, {0xAA, 0x55, 0xFF, 0x00}}}};
    return dfuseFile({flash, optionBytes});
}

TEST(LoaderFormats, EveryFormatOfTheSampleGivesTheSameImage)
{
    const std::vector<uint8_t> program = blinkBinary();
    ASSERT_GT(program.size(), 1000u);
    writeFile(samplePath("blink.dfu"), blinkDfu(program));
    const struct {
        std::string path;
        Stm32ImageFormat format;
    } files[] = {
        {SAMPLE_BLINK_BIN, STM32_IMAGE_RAW},           {samplePath("blink.elf"), STM32_IMAGE_ELF},
        {samplePath("blink.srec"), STM32_IMAGE_SREC},  {samplePath("blink.hex"), STM32_IMAGE_INTEL_HEX},
        {samplePath("blink.dfu"), STM32_IMAGE_DFUSE},
    };
    for (const auto& file : files) {
        SCOPED_TRACE(file.path);
        Load load;
        loadFile(&load, file.path);
        EXPECT_EQ(load.result.format, file.format);
        expectImage(load, program);
        EXPECT_EQ(load.ranges(), (std::vector<Stm32ByteRange>{{0, static_cast<uint32_t>(program.size())}}));
    }
}

// The bytes of sparse.s as the linker places them.
std::vector<uint8_t> sparseImage()
{
    std::vector<uint8_t> image(0x4018, 0xFF);
    const uint8_t vectors[] = {0x00, 0x10, 0x00, 0x20, 0x01, 0x40, 0x00, 0x08, 0x44, 0x33, 0x22, 0x11};
    std::copy(std::begin(vectors), std::end(vectors), image.begin());
    for (int i = 0; i < 16; ++i) image[0x4000 + static_cast<size_t>(i)] = static_cast<uint8_t>(0xA0 + i);
    // Initialised data at its load address right after .app, not at its RAM address.
    const uint8_t data[] = {0xBE, 0xBA, 0xFE, 0xCA, 0x0D, 0xF0, 0xAD, 0x0B};
    std::copy(std::begin(data), std::end(data), image.begin() + 0x4010);
    return image;
}

TEST(LoaderFormats, SparseProgramDefinesOnlyItsSegments)
{
    for (const char* name : {"sparse.elf", "sparse.srec", "sparse.hex"}) {
        SCOPED_TRACE(name);
        Load load;
        loadFile(&load, samplePath(name));
        expectImage(load, sparseImage());
        EXPECT_EQ(load.ranges(), (std::vector<Stm32ByteRange>{{0, 12}, {0x4000, 0x4018}}));
    }
}

TEST(LoaderFormats, MagicWinsOverTheName)
{
    const std::vector<uint8_t> program = blinkBinary();
    Load elf;
    loadBytes(&elf, "firmware.bin", readFile(samplePath("blink.elf")));
    EXPECT_EQ(elf.result.format, STM32_IMAGE_ELF);
    expectImage(elf, program);
    Load dfu;
    loadBytes(&dfu, "update.hex", blinkDfu(program));
    EXPECT_EQ(dfu.result.format, STM32_IMAGE_DFUSE);
    expectImage(dfu, program);
}

TEST(LoaderFormats, ExtensionChoosesTheFormat)
{
    EXPECT_EQ(stm32ImageFormatFromName("a.hex"), STM32_IMAGE_INTEL_HEX);
    EXPECT_EQ(stm32ImageFormatFromName("a.HEX"), STM32_IMAGE_INTEL_HEX);
    // Other spellings of .hex stay raw binary, as they always were.
    EXPECT_EQ(stm32ImageFormatFromName("a.Hex"), STM32_IMAGE_RAW);
    EXPECT_EQ(stm32ImageFormatFromName("a.hEX"), STM32_IMAGE_RAW);
    for (const char* name : {"a.srec", "a.SREC", "a.s19", "a.S28", "a.s37", "a.mot", "a.mhx", "a.SX"}) {
        EXPECT_EQ(stm32ImageFormatFromName(name), STM32_IMAGE_SREC) << name;
    }
    EXPECT_EQ(stm32ImageFormatFromName("a.elf"), STM32_IMAGE_ELF);
    EXPECT_EQ(stm32ImageFormatFromName("a.AXF"), STM32_IMAGE_ELF);
    EXPECT_EQ(stm32ImageFormatFromName("a.Dfu"), STM32_IMAGE_DFUSE);
    EXPECT_EQ(stm32ImageFormatFromName("a.bin"), STM32_IMAGE_RAW);
    EXPECT_EQ(stm32ImageFormatFromName("firmware"), STM32_IMAGE_RAW);
    EXPECT_EQ(stm32ImageFormatFromName("build.hex/firmware"), STM32_IMAGE_RAW);
    EXPECT_EQ(stm32ImageFormatFromName("C:\\out.srec\\image"), STM32_IMAGE_RAW);
    EXPECT_EQ(stm32ImageFormatFromName(nullptr), STM32_IMAGE_RAW);
}

TEST(LoaderFormats, OpenDialogsOfferEveryKind)
{
    const char* const* extensions = nullptr;
    const int32_t count = stm32ImageFileExtensions(&extensions);
    ASSERT_GT(count, 0);
    std::vector<std::string> listed(extensions, extensions + count);
    for (const char* kind : {"bin", "hex", "srec", "s19", "elf", "dfu"}) {
        EXPECT_NE(std::find(listed.begin(), listed.end(), kind), listed.end()) << kind;
    }
    for (const std::string& extension : listed) {
        if (extension == "bin") continue;
        EXPECT_NE(stm32ImageFormatFromName(("a." + extension).c_str()), STM32_IMAGE_RAW) << extension;
    }
}

TEST(LoaderIntelHex, LastRecordWithoutLineBreakAndSparseRanges)
{
    const std::string text = ":020000040800F2\n"
                             ":0400000001020304F2\n"
                             ":02010000AABB98\n"
                             ":00000001FF";
    Load load;
    loadBytes(&load, "app.hex", bytesOf(text));
    ASSERT_EQ(load.result.status, STM32_LOAD_OK) << load.message();
    EXPECT_EQ(load.result.length, 0x102u);
    EXPECT_EQ(load.ranges(), (std::vector<Stm32ByteRange>{{0, 4}, {0x100, 0x102}}));
    EXPECT_EQ(load.image[3], 0x04);
    EXPECT_EQ(load.image[4], 0xFF);
    EXPECT_EQ(load.image[0x100], 0xAA);
    EXPECT_EQ(load.image[0x101], 0xBB);
}

TEST(LoaderIntelHex, ApplicationBehindABootloaderStartsAtItsAddress)
{
    // An application linked for 0x08008000: the bootloader's pages are not defined.
    const std::string text = ":020000040800F2\n:048000000102030472\n:00000001FF\n";
    Load load;
    loadBytes(&load, "app.hex", bytesOf(text));
    ASSERT_EQ(load.result.status, STM32_LOAD_OK) << load.message();
    EXPECT_EQ(load.ranges(), (std::vector<Stm32ByteRange>{{0x8000, 0x8004}}));
    EXPECT_EQ(load.image[0], 0xFF);
}

TEST(LoaderIntelHex, RepeatedRecordWithTheSameBytesIsHarmless)
{
    const std::string text = ":020000040800F2\n:0400000001020304F2\n:0400000001020304F2\n:00000001FF\n";
    Load load;
    loadBytes(&load, "same.hex", bytesOf(text));
    EXPECT_EQ(load.result.status, STM32_LOAD_OK) << load.message();
    EXPECT_EQ(load.ranges(), (std::vector<Stm32ByteRange>{{0, 4}}));
}

TEST(LoaderSrec, SixteenAndTwentyFourBitAddresses)
{
    // Flash at 0 so that S1 and S2 addresses reach it; S5 counts the two data records.
    const std::string text = "S00600004844521B\n"
                             "S1050010AABB85\n"
                             "S2060000200102D6\n"
                             "S5030002FA\n"
                             "S9030000FC\n";
    Load load;
    loadBytes(&load, "small.s19", bytesOf(text), 0x100, 0);
    ASSERT_EQ(load.result.status, STM32_LOAD_OK) << load.message();
    EXPECT_EQ(load.ranges(), (std::vector<Stm32ByteRange>{{0x10, 0x12}, {0x20, 0x22}}));
    EXPECT_EQ(load.image[0x10], 0xAA);
    EXPECT_EQ(load.image[0x21], 0x02);
    EXPECT_EQ(load.image[0x12], 0xFF);
}

TEST(LoaderSrec, CrLfLinesAndLowerCaseDigits)
{
    const std::string text = "S0030000fc\r\nS1050010aabb85\r\nS9030000fc\r\n";
    Load load;
    loadBytes(&load, "crlf.srec", bytesOf(text), 0x100, 0);
    ASSERT_EQ(load.result.status, STM32_LOAD_OK) << load.message();
    EXPECT_EQ(load.image[0x11], 0xBB);
}

TEST(LoaderRaw, ExactlyTheFlashFitsOneByteMoreDoesNot)
{
    const std::vector<uint8_t> full(kFlashSize, 0x42);
    Load fits;
    loadBytes(&fits, "full.bin", full);
    EXPECT_EQ(fits.result.status, STM32_LOAD_OK);
    EXPECT_EQ(fits.ranges(), (std::vector<Stm32ByteRange>{{0, kFlashSize}}));

    std::vector<uint8_t> longer(kFlashSize + 1, 0x42);
    Load tooBig;
    loadBytes(&tooBig, "long.bin", longer);
    EXPECT_EQ(tooBig.result.status, STM32_LOAD_TOO_BIG);
    EXPECT_EQ(tooBig.result.length, kFlashSize + 1);
    EXPECT_EQ(tooBig.result.rangeCount, 0);

    const std::string path = samplePath("long.bin");
    writeFile(path, longer);
    Load fromDisk;
    loadFile(&fromDisk, path);
    EXPECT_EQ(fromDisk.result.status, STM32_LOAD_TOO_BIG);
    EXPECT_EQ(fromDisk.result.length, kFlashSize + 1);
    EXPECT_NE(fromDisk.message().find(path), std::string::npos) << fromDisk.message();
}

// Every front end reads files through this one rule; stm32cmd from disk,
// the GUIs from memory.
TEST(LoaderLimits, RecordTextHasOneLimitFromMemoryAndFromDisk)
{
    const uint32_t capacity = 256;
    const uint64_t limit = stm32LargestImageFile(STM32_IMAGE_SREC, capacity);
    std::string text = "S0030000fc\nS1050010aabb85\nS9030000fc\n";
    text.resize(limit, '\n');
    Load fits;
    loadBytes(&fits, "exact.srec", bytesOf(text), capacity, 0);
    ASSERT_EQ(fits.result.status, STM32_LOAD_OK) << fits.message();
    EXPECT_EQ(fits.image[0x11], 0xBB);

    const std::vector<uint8_t> longer = bytesOf(text + "\n");
    const std::string path = samplePath("long.srec");
    writeFile(path, longer);
    Load fromMemory;
    loadBytes(&fromMemory, "long.srec", longer, capacity, 0);
    Load fromDisk;
    loadFile(&fromDisk, path, capacity, 0);
    for (const Load* load : {&fromMemory, &fromDisk}) {
        EXPECT_EQ(load->result.status, STM32_LOAD_TOO_BIG);
        EXPECT_EQ(load->result.format, STM32_IMAGE_SREC);
        EXPECT_EQ(load->result.length, limit + 1);
        EXPECT_NE(load->message().find("S-record file of " + std::to_string(limit + 1) + " bytes"), std::string::npos)
            << load->message();
    }
    // Full-flash files as the usual tools write them always fit: objcopy's S3
    // records with CR LF (48 characters for 16 bytes), HEX with one byte a record.
    EXPECT_GT(limit, 3u * capacity + 64);
    EXPECT_GE(stm32LargestImageFile(STM32_IMAGE_INTEL_HEX, capacity), 15u * capacity);
    // A container may carry far more than its flash bytes.
    EXPECT_GT(stm32LargestImageFile(STM32_IMAGE_ELF, capacity), 1000u * capacity);
    EXPECT_EQ(stm32LargestImageFileOfAnyFormat(capacity), stm32LargestImageFile(STM32_IMAGE_ELF, capacity));
}

TEST(LoaderRaw, MissingFileKeepsTheSystemError)
{
    const std::string path = samplePath("no-such-file.bin");
    Load load;
    loadFile(&load, path);
    EXPECT_EQ(load.result.status, STM32_LOAD_READ_ERROR);
    EXPECT_EQ(load.result.systemError, ENOENT);
    EXPECT_EQ(load.message().rfind(path + ": ", 0), 0u) << load.message();
}

TEST(LoaderDfuse, WriterMatchesTheReferenceSuffixCheck)
{
#ifdef DFU_SUFFIX_PROGRAM
    const std::string path = samplePath("check.dfu");
    writeFile(path, blinkDfu(blinkBinary()));
    const std::string command = std::string(DFU_SUFFIX_PROGRAM) + " -c " + path + " >/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0);
#else
    GTEST_SKIP() << "dfu-suffix is not installed";
#endif
}

} // namespace
} // namespace frontendtest

namespace frontendtest {
namespace {

// What objcopy -O srec writes for a whole flash, with the CR LF line ends a
// Windows checkout gives it: 48 characters for every 16 bytes, more than
// three times the flash once the S7 line is counted.
TEST(LoaderLimits, AFullFlashSRecordFileWithCrLfLoads)
{
    const uint32_t capacity = 4096;
    const uint32_t start = 0x08000000;
    auto record = [](char type, uint32_t address, const std::vector<uint8_t>& data) {
        std::vector<uint8_t> body{static_cast<uint8_t>(4 + data.size() + 1)};
        for (int i = 3; i >= 0; --i) body.push_back(static_cast<uint8_t>(address >> (8 * i)));
        body.insert(body.end(), data.begin(), data.end());
        uint8_t sum = 0;
        for (uint8_t b : body) sum = static_cast<uint8_t>(sum + b);
        body.push_back(static_cast<uint8_t>(~sum));
        std::string line = std::string("S") + type;
        static const char digits[] = "0123456789ABCDEF";
        for (uint8_t b : body) line += {digits[b >> 4], digits[b & 15]};
        return line + "\r\n";
    };
    std::string text;
    for (uint32_t offset = 0; offset < capacity; offset += 16)
        text += record('3', start + offset, std::vector<uint8_t>(16, static_cast<uint8_t>(offset >> 4)));
    text += record('7', start, {});
    ASSERT_GT(text.size(), 3u * capacity);
    Load load;
    loadBytes(&load, "blink.srec", bytesOf(text), capacity, start);
    ASSERT_EQ(load.result.status, STM32_LOAD_OK) << load.message();
    EXPECT_EQ(load.result.length, capacity);
    EXPECT_EQ(load.image[capacity - 1], 0xFF);
    EXPECT_EQ(load.image[16], 1);
}

} // namespace
} // namespace frontendtest
