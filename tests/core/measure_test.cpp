// Transfer counts of typical uploads, as the board records them. Prints a
// table for the record and checks the counts that follow from the geometry.
#include <cstdio>

#include "board_fixture.h"

namespace {

using coretest::BoardTest;
using coretest::patternBytes;
using coretest::withVector;
using vboard::Profile;
using vboard::Request;

struct Measured {
    int32_t result;
    uint64_t erases, massErases, blocksWritten, blocksRead, statusRequests;
};

class MeasureTest : public BoardTest {
protected:
    Measured upload(Profile profile, uint32_t length, double timeScale = 0.0) {
        bus = std::make_unique<vboard::Bus>();
        log.clear();
        vboard::BoardOptions options;
        options.profile = profile;
        options.timeScale = timeScale;
        auto& board = bus->addBoard(options); // erased, as from the factory
        auto bytes = withVector(patternBytes(length, length), 0x08000101);
        flashBuffer.assign(board.flashSize(), 0);
        image.assign(std::max<size_t>(board.flashSize(), length), 0);
        std::copy(bytes.begin(), bytes.end(), image.begin());
        stm32SetBuffer(ctx, flashBuffer.data(), int32_t(board.flashSize()), image.data(), int32_t(length));
        board.resetCounters();
        Measured m{command(board, STM32_CMD_UPLOAD, 0), board.count(Request::ErasePage),
                   board.count(Request::MassErase), board.count(Request::DataBlock), board.count(Request::Upload),
                   board.count(Request::GetStatus)};
        std::printf("[measure] %s %4u KB: result %d, erase commands %llu, mass erases %llu, blocks written %llu, "
                    "blocks read %llu\n",
                    profile == Profile::F1 ? "F1" : "F4", length / 1024, m.result, (unsigned long long)m.erases,
                    (unsigned long long)m.massErases, (unsigned long long)m.blocksWritten,
                    (unsigned long long)m.blocksRead);
        return m;
    }
};

TEST_F(MeasureTest, SixtyFourKilobytes) {
    Measured f1 = upload(Profile::F1, 65536);
    EXPECT_EQ(f1.result, STM32_RESULT_OK);
    EXPECT_EQ(f1.erases, 32u);          // 2 KB pages
    EXPECT_EQ(f1.blocksWritten, 32u);
    EXPECT_EQ(f1.blocksRead, 64u);      // read-back and verify
    Measured f4 = upload(Profile::F4, 65536);
    EXPECT_EQ(f4.result, STM32_RESULT_OK);
    EXPECT_EQ(f4.erases, 4u);           // the four 16 KB sectors, once each
    EXPECT_EQ(f4.blocksWritten, 32u);
    EXPECT_EQ(f4.blocksRead, 64u);
}

TEST_F(MeasureTest, FiveHundredTwelveKilobytes) {
    Measured f1 = upload(Profile::F1, 524288);
    EXPECT_EQ(f1.result, STM32_RESULT_INVALID_OFFSET) << "the F1 board has 256 KB";
    EXPECT_EQ(f1.blocksRead + f1.blocksWritten + f1.erases, 0u);
    Measured f4 = upload(Profile::F4, 524288);
    EXPECT_EQ(f4.result, STM32_RESULT_OK);
    EXPECT_EQ(f4.massErases, 1u);       // half of the 1 MB flash: whole-flash mode
    EXPECT_EQ(f4.erases, 0u);
    EXPECT_EQ(f4.blocksWritten, 256u);  // the erased rest of flash sends nothing
    EXPECT_EQ(f4.blocksRead, 257u + 256u);
}

TEST_F(MeasureTest, SectorEraseTimeAtRealSpeed) {
    // One erase per sector instead of one per block: with the ROM's real busy
    // times a 64 KB image on the F4 board costs four sector erases.
    stm32::setBusyWaitLimit(std::chrono::seconds(30));
    auto started = std::chrono::steady_clock::now();
    Measured f4 = upload(Profile::F4, 65536, 1.0);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("[measure] F4   64 KB at real speed: %.1f s, %llu status requests\n", seconds,
                (unsigned long long)f4.statusRequests);
    EXPECT_EQ(f4.result, STM32_RESULT_OK);
    EXPECT_EQ(f4.erases, 4u);
    EXPECT_LT(seconds, 10.0);
    // The wait sleeps the board's poll timeout between polls instead of
    // spinning: per block and erase only a few status requests.
    EXPECT_LT(f4.statusRequests, 5u * (f4.erases + f4.blocksWritten + f4.blocksRead));
}

} // namespace
