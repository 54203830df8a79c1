// Files of every format, loaded by the image loader and uploaded through
// the core to a virtual board: the board ends up holding the program.
#include "board_fixture.h"

#include <string>
#include <vector>

#include "dfuse_writer.h"
#include "image_loader.h"
#include "sample_files.h"

namespace {

using coretest::BoardTest;

class LoaderUpload : public BoardTest {
protected:
    // Loads the file for the board and uploads it at offset 0; answers the core's result.
    int32_t loadAndUpload(const vboard::Board& board, const std::string& path)
    {
        image.assign(board.flashSize(), 0);
        flashBuffer.assign(board.flashSize(), 0);
        stm32LoadImageFile(path.c_str(), image.data(), static_cast<uint32_t>(image.size()), board.flashStart(),
                           &loaded);
        if (loaded.status != STM32_LOAD_OK) {
            ADD_FAILURE() << loaded.message;
            return -100;
        }
        stm32SetBuffer(ctx, flashBuffer.data(), static_cast<int32_t>(flashBuffer.size()), image.data(),
                       static_cast<int32_t>(loaded.length));
        stm32SetImageRanges(ctx, loaded.ranges, loaded.rangeCount);
        return command(board, STM32_CMD_UPLOAD, 0);
    }
    void TearDown() override
    {
        stm32ReleaseLoadedImage(&loaded);
        BoardTest::TearDown();
    }

    Stm32LoadedImage loaded{};
};

TEST_F(LoaderUpload, EveryFormatOfTheSampleProgramsTheBoard)
{
    const std::vector<uint8_t> program = frontendtest::readFile(SAMPLE_BLINK_BIN);
    const std::string dfu = frontendtest::samplePath("upload.dfu");
    frontendtest::writeFile(dfu, frontendtest::dfuseFile({{0, "Internal Flash", {{0x08000000, program}}}}));
    for (const std::string& path : {std::string(SAMPLE_BLINK_BIN), frontendtest::samplePath("blink.elf"),
                                    frontendtest::samplePath("blink.srec"), frontendtest::samplePath("blink.hex"), dfu}) {
        SCOPED_TRACE(path);
        bus.reset(); // one bus at a time
        bus = std::make_unique<vboard::Bus>();
        vboard::Board& board = addBoard(vboard::Profile::F4);
        ASSERT_EQ(loadAndUpload(board, path), STM32_RESULT_OK);
        EXPECT_EQ(board.read(board.flashStart(), static_cast<uint32_t>(program.size())), program);
        stm32ReleaseLoadedImage(&loaded);
    }
}

TEST_F(LoaderUpload, SparseProgramLandsAtItsAddresses)
{
    vboard::Board& board = addBoard(vboard::Profile::F1);
    ASSERT_EQ(loadAndUpload(board, frontendtest::samplePath("sparse.elf")), STM32_RESULT_OK);
    EXPECT_EQ(board.read(board.flashStart() + 4, 4), (std::vector<uint8_t>{0x01, 0x40, 0x00, 0x08}));
    EXPECT_EQ(board.read(board.flashStart() + 0x4010, 4), (std::vector<uint8_t>{0xBE, 0xBA, 0xFE, 0xCA}));
}

} // namespace
