// Device against the virtual boards: the poll's reports, every refusal,
// real programming and read-out, and the hand-over between poll and jobs.
#import "test_support.h"
#import "Device.h"
#import "TraceFile.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <algorithm>
#include <memory>

#include "virtual_board.h"

namespace {

NSString* const kNotAvailable = @"STM32 DFU Target not available (enable via User and Reset button).\n";
const uint32_t kFlashStart = 0x08000000;
const int32_t kF1FlashSize = 128 * 2048;

std::vector<uint8_t> pattern(size_t length, uint8_t seed)
{
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = uint8_t(seed + i * 7 + (i >> 8));
    }
    return bytes;
}

void clearDefaults()
{
    NSUserDefaults* defaults = [NSUserDefaults standardUserDefaults];
    for (NSString* key in @[ @"OptionsInUse", @"OptionOffset", @"OptionSize", @"OptionsNotStartTerminal", @"Trace" ]) {
        [defaults removeObjectForKey:key];
    }
}

class DeviceTest : public testing::Test {
protected:
    void SetUp() override
    {
        clearDefaults();
        bus = std::make_unique<vboard::Bus>();
        log = [RecordingLog new];
        prefs = [RecordingPrefs new];
        terminalDir = std::make_unique<TempDir>();
        terminal = [[RecordingTerminal alloc] initWithDeviceDirectory:terminalDir->path()];
    }

    void TearDown() override
    {
        if (device != nil) {
            runUntil([&] { return device.isIdle; }, 20.0);
            stopDevice(device);
            [device release];
        }
        [terminal release];
        [log release];
        [prefs release];
        bus.reset();
    }

    // A device with its delegates, polling until its first report.
    void startDevice()
    {
        device = [Device new];
        device.logDelegate = log;
        device.prefsDelegate = prefs;
        [device start];
        ASSERT_TRUE(runUntil([&] { return [prefs lastFlash] != nil; })) << "the poll reported nothing";
    }

    // Programs and waits for the job to end; answers the log of the job.
    std::string program(NSData* contents, NSString* type)
    {
        [log forget];
        [device upgradeFirmware:contents type:type terminal:terminal];
        runUntil([&] { return device.isIdle; }, 30.0);
        runFor(0.05);
        return str([log logText]);
    }

    std::unique_ptr<vboard::Bus> bus;
    std::unique_ptr<TempDir> terminalDir;
    RecordingLog* log = nil;
    RecordingPrefs* prefs = nil;
    RecordingTerminal* terminal = nil;
    Device* device = nil;
};

TEST_F(DeviceTest, InitReadsTheStoredSettings)
{
    NSUserDefaults* defaults = [NSUserDefaults standardUserDefaults];
    Device* fresh = [[Device new] autorelease];
    EXPECT_FALSE(fresh.optionsValid);
    EXPECT_TRUE(fresh.optionsStartTerminal) << "no stored value opens the terminal";
    EXPECT_EQ(0, fresh.optionOffset);
    EXPECT_EQ(0, fresh.optionSize);
    EXPECT_EQ(-1, fresh.count);
    EXPECT_EQ(0, fresh.flashSize);
    EXPECT_TRUE(fresh.isIdle);
    EXPECT_STREQ("stm32.dipatch.queue", dispatch_queue_get_label(fresh.dispatchQueue));

    [defaults setBool:YES forKey:@"OptionsInUse"];
    [defaults setInteger:4096 forKey:@"OptionOffset"];
    [defaults setInteger:8192 forKey:@"OptionSize"];
    [defaults setBool:YES forKey:@"OptionsNotStartTerminal"];
    Device* stored = [[Device new] autorelease];
    EXPECT_TRUE(stored.optionsValid);
    EXPECT_FALSE(stored.optionsStartTerminal);
    EXPECT_EQ(4096, stored.optionOffset);
    EXPECT_EQ(8192, stored.optionSize);

    [defaults setInteger:-20 forKey:@"OptionOffset"];
    [defaults setInteger:-1 forKey:@"OptionSize"];
    Device* negative = [[Device new] autorelease];
    EXPECT_EQ(0, negative.optionOffset) << "negative values count as 0";
    EXPECT_EQ(0, negative.optionSize);
}

TEST_F(DeviceTest, NoBoardShowsNotAvailableAndRefusesEveryOperation)
{
    startDevice();
    EXPECT_EQ(str(kNotAvailable), str([log lastStatus]));
    NSArray* expected = @[ @"reset", @"add:not available", @"flash:0,0,0x00000000" ];
    EXPECT_TRUE([[prefs calls] isEqualToArray:expected]) << str([[prefs calls] description]);
    EXPECT_EQ(0, device.count);

    [device upgradeFirmware:bytesData(pattern(16, 1)) type:@"bin" terminal:terminal];
    EXPECT_EQ(str(kNotAvailable), str([log logText]));
    EXPECT_TRUE(device.isIdle);

    [log forget];
    EXPECT_TRUE([device getFlash] == nil);
    EXPECT_EQ(str(kNotAvailable), str([log logText]));
}

TEST_F(DeviceTest, OneBoardReportsItsGeometry)
{
    bus->addBoard();
    startDevice();
    EXPECT_EQ("STM32 (ID:0) Flash: 256 KB.", str([log lastStatus]));
    EXPECT_TRUE([[prefs popUpItems] isEqualToArray:@[ @"STM32 ID: 0" ]]);
    EXPECT_EQ("flash:262144,2048,0x08000000", str([prefs lastFlash]));
    EXPECT_EQ(kF1FlashSize, device.flashSize);
    EXPECT_EQ(int32_t(kFlashStart), device.flashBaseAddress);
    EXPECT_EQ(1, device.count);

    // Nothing changed: later passes stay quiet.
    NSUInteger calls = [[prefs calls] count];
    runFor(0.6);
    EXPECT_EQ(calls, [[prefs calls] count]);
}

TEST_F(DeviceTest, MixedSectorBoardShowsItsTotalFlash)
{
    vboard::BoardOptions options;
    options.profile = vboard::Profile::F4;
    bus->addBoard(options);
    startDevice();
    EXPECT_EQ("STM32 (ID:0) Flash: 1024 KB.", str([log lastStatus]));
    EXPECT_EQ("flash:1048576,16384,0x08000000", str([prefs lastFlash]));
}

TEST_F(DeviceTest, UnreadableLayoutShowsTheIdAndRefusesProgramming)
{
    vboard::BoardOptions options;
    options.profile = vboard::Profile::NoInternalFlash;
    bus->addBoard(options);
    startDevice();
    EXPECT_EQ("STM32 ID:0", str([log lastStatus]));
    EXPECT_EQ("flash:-1,0,0x00000000", str([prefs lastFlash]));
    EXPECT_EQ(0, device.flashSize);
    [device upgradeFirmware:bytesData(pattern(16, 1)) type:@"bin" terminal:terminal];
    EXPECT_EQ(str(kNotAvailable), str([log logText]));
}

TEST_F(DeviceTest, ChooserFollowsBoardsAndTheChosenIndex)
{
    bus->addBoard();
    startDevice();
    EXPECT_TRUE([[prefs popUpItems] isEqualToArray:(@[ @"STM32 ID: 0" ])]);
    vboard::Board& second = bus->addBoard(); // attached while the first is chosen
    ASSERT_TRUE(runUntil([&] { return [[prefs popUpItems] count] == 2; }));
    EXPECT_TRUE([[prefs popUpItems] isEqualToArray:(@[ @"STM32 ID: 0", @"STM32 ID: 1" ])]);
    EXPECT_EQ(0, device.index);

    device.index = 1;
    [device updateStatus];
    ASSERT_TRUE(runUntil([&] { return str([log lastStatus]) == "STM32 (ID:1) Flash: 256 KB."; }));
    EXPECT_EQ(1, device.index);

    bus->unplug(second);
    ASSERT_TRUE(runUntil([&] { return [[prefs popUpItems] count] == 1; }));
    EXPECT_EQ(0, device.index) << "an index past the end goes back to the first board";
    EXPECT_TRUE(runUntil([&] { return str([log lastStatus]) == "STM32 (ID:0) Flash: 256 KB."; }));
}

TEST_F(DeviceTest, ForeignDeviceFirstKeepsListPositionsAsIds)
{
    bus->addForeignDevice();
    bus->addBoard();
    startDevice();
    EXPECT_TRUE([[prefs popUpItems] isEqualToArray:@[ @"STM32 ID: 1" ]]);
    EXPECT_EQ("STM32 (ID:1) Flash: 256 KB.", str([log lastStatus]));
    std::vector<uint8_t> image = pattern(2048, 3);
    std::string output = program(bytesData(image), @"bin");
    EXPECT_NE(std::string::npos, output.find("Total time: ")) << output;
    EXPECT_EQ(image, bus->boards()[0]->read(kFlashStart, 2048));
}

TEST_F(DeviceTest, RefusalsOfProgrammingRequests)
{
    bus->addBoard();
    startDevice();
    [log forget];
    [device upgradeFirmware:nil type:@"bin" terminal:terminal];
    EXPECT_EQ("File read error.\n", str([log logText]));

    [log forget];
    [device upgradeFirmware:bytesData(pattern(kF1FlashSize + 1, 0)) type:@"bin" terminal:terminal];
    EXPECT_EQ("File too big: 262145 (max flash size: 262144).\n", str([log logText]));

    // The line this application has always shown, then the loader's line naming the fault.
    [log forget];
    [device upgradeFirmware:[@"not intel hex" dataUsingEncoding:NSASCIIStringEncoding] type:@"hex" terminal:terminal];
    EXPECT_EQ("File decoding error.\nfirmware.hex: line 1: the file does not begin with a record (':')\n",
              str([log logText]));

    [log forget];
    device.optionsValid = YES;
    device.optionSize = 1024;
    [device upgradeFirmware:bytesData(pattern(1025, 0)) type:nil terminal:terminal];
    EXPECT_EQ("File too big: 1025 (max option size: 1024).\n", str([log logText]));

    // For Intel HEX the decoded length counts, not the text's: 16 bytes at 0x3F8 end at 1032.
    [log forget];
    NSString* hex = @":10000000000102030405060708090A0B0C0D0E0F78\n"
                    @":1003F800000102030405060708090A0B0C0D0E0F7D\n"
                    @":00000001FF\n";
    [device upgradeFirmware:[hex dataUsingEncoding:NSASCIIStringEncoding] type:@"hex" terminal:terminal];
    EXPECT_EQ("File too big: 1032 (max option size: 1024).\n", str([log logText]));
    // Decoded past the end of flash: 16 bytes at 0x08040000.
    [log forget];
    device.optionsValid = NO;
    NSString* beyond = @":020000040804EE\n"
                       @":10000000000102030405060708090A0B0C0D0E0F78\n"
                       @":00000001FF\n";
    [device upgradeFirmware:[beyond dataUsingEncoding:NSASCIIStringEncoding] type:@"hex" terminal:terminal];
    EXPECT_EQ("File too big: 262160 (max flash size: 262144).\n"
              "firmware.hex: line 2: data at 0x08040000..0x0804000F lies past the end of flash 0x0803FFFF "
              "(262144 bytes)\n",
              str([log logText]));
    EXPECT_TRUE(device.isIdle) << "a refusal leaves the device idle";
    EXPECT_EQ(0u, [[terminal shows] count]);
}

TEST_F(DeviceTest, ExactFlashSizeImageIsProgrammedAndTheTerminalShownOnTheMainThread)
{
    vboard::Board& board = bus->addBoard();
    startDevice();
    std::vector<uint8_t> image = pattern(size_t(kF1FlashSize), 9);
    // A plausible vector table (stack in SRAM, odd reset handler in flash), so the board is started.
    const uint8_t table[8] = {0x00, 0x50, 0x00, 0x20, 0x41, 0x01, 0x00, 0x08};
    std::copy(table, table + 8, image.begin());
    std::string output = program(bytesData(image), @"bin");
    EXPECT_NE(std::string::npos, output.find("Total time: ")) << output;
    EXPECT_EQ(image, board.flash());
    EXPECT_EQ(1u, board.count(vboard::Request::Leave)) << "the new program is started";
    ASSERT_TRUE(runUntil([&] { return [[terminal shows] count] == 1; }));
    EXPECT_TRUE([[[terminal shows] objectAtIndex:0] boolValue]) << "show: must run on the main thread";
}

TEST_F(DeviceTest, IntelHexIsDecodedRelativeToTheFlashStart)
{
    vboard::Board& board = bus->addBoard();
    startDevice();
    device.optionsStartTerminal = NO;
    NSString* hex = @":020000040800F2\n"
                    @":10000000000102030405060708090A0B0C0D0E0F78\n"
                    @":00000001FF\n";
    std::string output = program([hex dataUsingEncoding:NSASCIIStringEncoding], @"hex");
    EXPECT_NE(std::string::npos, output.find("Total time: ")) << output;
    std::vector<uint8_t> expected(16);
    for (int i = 0; i < 16; ++i) {
        expected[size_t(i)] = uint8_t(i);
    }
    EXPECT_EQ(expected, board.read(kFlashStart, 16));
    runFor(0.1);
    EXPECT_EQ(0u, [[terminal shows] count]) << "the terminal was switched off";
}

TEST_F(DeviceTest, UpperCaseHexExtensionIsDecodedLikeTheLowerCaseOne)
{
    // The application once flashed a ".HEX" file as raw text; stm32cmd never did.
    vboard::Board& board = bus->addBoard();
    startDevice();
    device.optionsStartTerminal = NO;
    NSString* hex = @":020000040800F2\n:0400000001020304F2\n:00000001FF\n";
    std::string output = program([hex dataUsingEncoding:NSASCIIStringEncoding], @"HEX");
    EXPECT_NE(std::string::npos, output.find("Total time: ")) << output;
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 4}), board.read(kFlashStart, 4));
}

// S-record and DfuSe files are programmed at their own addresses, named by
// the path the open panel or a drop hands over.
TEST_F(DeviceTest, SrecordAndDfuseFilesProgramAtTheirAddresses)
{
    vboard::Board& board = bus->addBoard();
    startDevice();
    device.optionsStartTerminal = NO;
    // 4 bytes at 0x08000400, S3 records with 32-bit addresses.
    NSString* srec = @"S00600004844521B\nS30908000400A1A2A3A460\nS70508000000F2\n";
    [log forget];
    [device upgradeFirmware:[srec dataUsingEncoding:NSASCIIStringEncoding] path:@"/tmp/app.s37" terminal:terminal];
    runUntil([&] { return device.isIdle; }, 30.0);
    runFor(0.05);
    EXPECT_NE(std::string::npos, str([log logText]).find("Total time: ")) << str([log logText]);
    EXPECT_EQ((std::vector<uint8_t>{0xA1, 0xA2, 0xA3, 0xA4}), board.read(kFlashStart + 0x400, 4));
}

TEST_F(DeviceTest, DamagedFileIsRefusedWithItsLineAndReachesNoBoard)
{
    vboard::Board& board = bus->addBoard();
    startDevice();
    auto flashWrites = [&] {
        return board.count(vboard::Request::DataBlock) + board.count(vboard::Request::ErasePage) +
               board.count(vboard::Request::MassErase);
    };
    const uint64_t before = flashWrites();
    NSString* srec = @"S30908000400A1A2A3A461\nS70508000000F2\n"; // checksum off by one
    [log forget];
    [device upgradeFirmware:[srec dataUsingEncoding:NSASCIIStringEncoding] path:@"/tmp/app.srec" terminal:terminal];
    EXPECT_EQ("File decoding error.\n/tmp/app.srec: line 1: checksum 0x61 is wrong (0x60 expected)\n",
              str([log logText]));
    EXPECT_TRUE(device.isIdle);
    runFor(0.3);
    EXPECT_EQ(before, flashWrites());
}

TEST_F(DeviceTest, OptionAreaUploadWritesAtTheOffset)
{
    vboard::Board& board = bus->addBoard();
    startDevice();
    device.optionsValid = YES;
    device.optionOffset = 0x4000;
    device.optionSize = 0x2000;
    std::vector<uint8_t> image = pattern(0x2000, 5);
    std::string output = program(bytesData(image), @"bin");
    EXPECT_NE(std::string::npos, output.find("Total time: ")) << output;
    EXPECT_EQ(image, board.read(kFlashStart + 0x4000, 0x2000));
    EXPECT_EQ(std::vector<uint8_t>(0x4000, 0xFF), board.read(kFlashStart, 0x4000)) << "nothing before the area";

    // A stored size of 0 stands for the whole flash, not for "nothing fits".
    device.optionOffset = 0;
    device.optionSize = 0;
    std::vector<uint8_t> small = pattern(1024, 6);
    output = program(bytesData(small), @"bin");
    EXPECT_NE(std::string::npos, output.find("Total time: ")) << output;
    EXPECT_EQ(small, board.read(kFlashStart, 1024));
}

TEST_F(DeviceTest, FailedUploadDoesNotOpenTheTerminal)
{
    vboard::Board& board = bus->addBoard();
    startDevice();
    vboard::Fault fault;
    fault.type = vboard::FaultType::Stall;
    fault.on = vboard::Request::DataBlock;
    board.injectFault(fault);
    std::string output = program(bytesData(pattern(4096, 1)), @"bin");
    EXPECT_EQ(std::string::npos, output.find("Total time: ")) << output;
    EXPECT_FALSE(output.empty()) << "the core reports its error";
    runFor(0.3);
    EXPECT_EQ(0u, [[terminal shows] count]);
}

TEST_F(DeviceTest, GetFlashReadsWholeFlashOrTheOptionArea)
{
    vboard::Board& board = bus->addBoard();
    board.fillFlashPattern(42);
    startDevice();
    NSData* whole = [device getFlash];
    ASSERT_TRUE(whole != nil) << str([log logText]);
    std::vector<uint8_t> read((const uint8_t*)[whole bytes], (const uint8_t*)[whole bytes] + [whole length]);
    EXPECT_EQ(board.flash(), read);
    EXPECT_NE(std::string::npos, str([log logText]).find("Total time: "));

    device.optionsValid = YES;
    device.optionOffset = 0x1000;
    device.optionSize = 0x2000;
    NSData* area = [device getFlash];
    ASSERT_TRUE(area != nil);
    std::vector<uint8_t> areaBytes((const uint8_t*)[area bytes], (const uint8_t*)[area bytes] + [area length]);
    EXPECT_EQ(board.read(kFlashStart + 0x1000, 0x2000), areaBytes);

    // An area running past the end is cut at the end of flash.
    device.optionOffset = kF1FlashSize - 0x800;
    device.optionSize = 0x2000;
    NSData* tail = [device getFlash];
    ASSERT_TRUE(tail != nil);
    EXPECT_EQ(0x800u, [tail length]);

    // Size 0 stands for the whole flash from the offset.
    device.optionOffset = 0;
    device.optionSize = 0;
    EXPECT_EQ(NSUInteger(kF1FlashSize), [[device getFlash] length]);
    EXPECT_TRUE(device.isIdle);
}

TEST_F(DeviceTest, FailedReadAnswersNothing)
{
    vboard::Board& board = bus->addBoard();
    startDevice();
    vboard::Fault fault;
    fault.type = vboard::FaultType::Stall;
    fault.on = vboard::Request::Upload;
    board.injectFault(fault);
    EXPECT_TRUE([device getFlash] == nil);
    EXPECT_TRUE(device.isIdle);
}

TEST_F(DeviceTest, BusyDeviceRefusesASecondJobAndTheReadAndThePollWaits)
{
    bus->addBoard();
    startDevice();
    device.isIdle = NO; // as while a job owns the board
    [log forget];
    [prefs forget];
    [device upgradeFirmware:bytesData(pattern(16, 1)) type:@"bin" terminal:terminal];
    EXPECT_TRUE([device getFlash] == nil);
    EXPECT_EQ("Busy: a programming job or read is still running.\n"
              "Busy: a programming job or read is still running.\n",
              str([log logText]));

    bus->addBoard();
    [device updateStatus];
    runFor(0.8);
    EXPECT_EQ(0u, [[prefs calls] count]) << "a busy device's poll touches nothing";
    EXPECT_FALSE(device.isIdle) << "a refresh request does not end a job's hold";

    device.isIdle = YES;
    EXPECT_TRUE(runUntil([&] { return [[prefs popUpItems] count] == 2; }));
}

TEST(AppendLog, PiecesLinesAndLineEnds)
{
    RecordingLog* log = [[RecordingLog new] autorelease];
    Device* device = [[Device new] autorelease];
    device.logDelegate = log;
    void* user = (void*)device;
    appendLog(user, "Erasing pages.", 14, 1);
    appendLog(user, ".", 1, 1);
    appendLog(user, ".", 1, 1);
    appendLog(user, "", 0, 0);
    appendLog(user, "Verify OK.", 10, 0);
    EXPECT_EQ("Erasing pages...\nVerify OK.\n", str([log logText]));

    [log forget];
    appendLog(user, "caf\xE9", 4, 0); // not UTF-8: kept, not dropped
    EXPECT_EQ("caf\xC3\xA9\n", str([log logText]));
}

TEST(WaitMilliSeconds, BlocksForTheGivenTime)
{
    for (uint32_t milliseconds : {250u, 1100u}) {
        struct timeval before, after;
        gettimeofday(&before, nullptr);
        waitMilliSeconds(milliseconds);
        gettimeofday(&after, nullptr);
        double elapsed = (after.tv_sec - before.tv_sec) * 1000.0 + (after.tv_usec - before.tv_usec) / 1000.0;
        EXPECT_GE(elapsed, milliseconds - 5.0);
        EXPECT_LT(elapsed, milliseconds + 500.0); // generous: the machine may be busy
    }
}

} // namespace

TEST_F(DeviceTest, TraceFileRecordsTheRequestsOfAJobWhenAsked)
{
    NSUserDefaults* defaults = [NSUserDefaults standardUserDefaults];
    EXPECT_FALSE(traceWanted(defaults, nullptr));
    EXPECT_FALSE(traceWanted(defaults, "0"));
    EXPECT_TRUE(traceWanted(defaults, "1"));
    [defaults setBool:YES forKey:@"Trace"];
    EXPECT_TRUE(traceWanted(defaults, nullptr));
    EXPECT_TRUE([traceFilePath() hasSuffix:@"Logs/TidewireMacUtility/trace.txt"]) << str(traceFilePath());

    vboard::Board& board = bus->addBoard();
    startDevice();
    device.optionsStartTerminal = NO;
    TempDir dir;
    NSString* path = [dir.file(@"logs") stringByAppendingPathComponent:@"trace.txt"];
    ASSERT_TRUE(startTraceFile(path)) << "the folder is made on the way";
    std::string output = program(bytesData(pattern(2048, 4)), @"bin");
    stopTraceFile();
    EXPECT_NE(std::string::npos, output.find("Total time: ")) << output;
    EXPECT_GT(board.count(vboard::Request::DataBlock), 0u);

    NSString* text = [NSString stringWithContentsOfFile:path encoding:NSUTF8StringEncoding error:NULL];
    ASSERT_NE(nil, text);
    const std::string trace = str(text);
    EXPECT_NE(std::string::npos, trace.find("req    DNLOAD wValue=2 len=")) << trace.substr(0, 400);
    EXPECT_NE(std::string::npos, trace.find("reply  GETSTATUS")) << trace.substr(0, 400);
    const size_t length = trace.size();
    program(bytesData(pattern(2048, 5)), @"bin");
    NSString* after = [NSString stringWithContentsOfFile:path encoding:NSUTF8StringEncoding error:NULL];
    EXPECT_EQ(length, str(after).size()) << "nothing is written once the trace is stopped";
}
