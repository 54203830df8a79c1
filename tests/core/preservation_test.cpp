// Uploads and erases change exactly the bytes asked for, and erase each
// physical page they touch exactly once, at its start.
#include <set>

#include "board_fixture.h"

namespace {

using coretest::BoardTest;
using coretest::patternBytes;
using coretest::withVector;
using vboard::Profile;
using vboard::Request;

// Start addresses of the physical pages that [begin, end) overlaps, from the
// board's own description of its flash.
std::set<uint32_t> pagesTouched(const vboard::Board& board, uint64_t begin, uint64_t end) {
    std::set<uint32_t> pages;
    uint64_t pageStart = 0;
    for (const vboard::Segment& segment : board.flashSegments()) {
        for (uint32_t i = 0; i < segment.count; ++i, pageStart += segment.size) {
            if (pageStart < end && pageStart + segment.size > begin) pages.insert(board.flashStart() + uint32_t(pageStart));
        }
    }
    return pages;
}

uint64_t alignedDown(uint64_t v, uint64_t b) { return v / b * b; }
uint64_t alignedUp(uint64_t v, uint64_t b) { return (v + b - 1) / b * b; }

struct Placement {
    uint32_t offset; // from flash start; values past the flash wrap to its end
    uint32_t length;
};

class PreservationTest : public BoardTest {
public:
    void lendPublic(const vboard::Board& board, const std::vector<uint8_t>& bytes) { lend(board, bytes); }
    int32_t commandPublic(const vboard::Board& board, uint32_t cmd, uint32_t offset) {
        log.clear();
        return command(board, cmd, offset);
    }
};

void checkUploadPreserves(PreservationTest& test, vboard::Board& board, const Placement& p, uint32_t seed) {
    SCOPED_TRACE("offset " + std::to_string(p.offset) + " length " + std::to_string(p.length));
    board.fillFlashPattern(seed);
    board.write(board.flashStart(), coretest::vectorTable(0x08000101));
    board.resetCounters();
    auto before = board.flash();
    auto bytes = withVector(patternBytes(p.length, seed + 1), 0x08000101);
    test.lendPublic(board, bytes);
    ASSERT_EQ(test.commandPublic(board, STM32_CMD_UPLOAD, p.offset), STM32_RESULT_OK);
    auto after = board.flash();
    for (size_t i = 0; i < after.size(); ++i) {
        bool inside = i >= p.offset && i < uint64_t(p.offset) + p.length;
        ASSERT_EQ(after[i], inside ? bytes[i - p.offset] : before[i]) << "byte " << i;
    }
    auto expected = pagesTouched(board, alignedDown(p.offset, board.transferSize()),
                                 alignedUp(uint64_t(p.offset) + p.length, board.transferSize()));
    std::set<uint32_t> erased;
    for (const auto& [address, n] : board.counters().erasesByAddress) {
        EXPECT_EQ(n, 1u) << "page 0x" << std::hex << address << " erased more than once";
        erased.insert(address);
    }
    EXPECT_EQ(erased, expected);
    EXPECT_EQ(board.count(Request::ErasePage), expected.size());
    EXPECT_TRUE(board.hasLeft());
}

TEST_F(PreservationTest, UploadsOnTheF1Board) {
    auto& board = addBoard(Profile::F1);
    const Placement placements[] = {{0x400, 0x400}, {0x800, 0x1800}, {0x1234, 0x2345}, {0x20000, 0x10000},
                                    {0x40000 - 0x900, 0x900}, {4, 0x7FC}};
    uint32_t seed = 100;
    for (const Placement& p : placements) {
        checkUploadPreserves(*this, board, p, seed++);
        if (HasFatalFailure()) return;
        bus->replug(board);
    }
}

TEST_F(PreservationTest, UploadsOnTheF4BoardAcrossSectors) {
    auto& board = addBoard(Profile::F4);
    const Placement placements[] = {{0x400, 0x400},          // inside sector 0
                                    {0x3F00, 0x200},         // across sectors 0 and 1
                                    {0xF000, 0x2000},        // across the 16 KB / 64 KB boundary
                                    {0x30000, 0x100},        // inside a 128 KB sector
                                    {0x100000 - 0x400, 0x400}, // option area at the end
                                    {8, 0x3000}};
    uint32_t seed = 200;
    for (const Placement& p : placements) {
        checkUploadPreserves(*this, board, p, seed++);
        if (HasFatalFailure()) return;
        bus->replug(board);
    }
}

TEST_F(PreservationTest, UploadAcrossTwoSectorsOnTheH7Board) {
    auto& board = addBoard(Profile::H7); // 1 KB blocks, 128 KB sectors
    checkUploadPreserves(*this, board, {0x20000 - 0x300, 0x500}, 250);
}

TEST_F(PreservationTest, PagesSmallerThanABlockAreAllErased) {
    auto& board = addBoard(Profile::SmallPages);
    ASSERT_LT(board.flashSegments().at(0).size, board.transferSize());
    checkUploadPreserves(*this, board, {0x400, 0x400}, 300);
    bus->replug(board);
    checkUploadPreserves(*this, board, {0x1C00, 0x900}, 301);
}

TEST_F(PreservationTest, OffsetUploadLeavesTheResidentProgramUntouched) {
    // A failure in an offset upload must not cost the program at flash start.
    auto& board = addBoard(Profile::F1);
    board.fillFlashPattern(400);
    auto before = board.flash();
    auto bytes = patternBytes(0x400, 401);
    lend(board, bytes);
    board.injectFault({vboard::FaultType::Stall, Request::DataBlock, 0});
    EXPECT_EQ(command(board, STM32_CMD_UPLOAD, 0x30000), STM32_RESULT_WRITE_ERROR);
    auto after = board.flash();
    EXPECT_TRUE(std::equal(after.begin(), after.begin() + 0x30000, before.begin()));
    for (const auto& [address, n] : board.counters().erasesByAddress) EXPECT_GE(address, 0x08030000u);
}

} // namespace
