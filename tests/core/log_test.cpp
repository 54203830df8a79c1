// Context record, buffers and the log line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log.h"
#include "stm32.h"

namespace {

struct Captured {
    std::string text;
    uint32_t length;
    int continuation;
};

int capture(void* user, const char* text, uint32_t length, int continuation) {
    static_cast<std::vector<Captured>*>(user)->push_back({std::string(text, length), length, continuation});
    return 0;
}

class ContextTest : public ::testing::Test {
protected:
    void SetUp() override {
        ctx = stm32Init();
        ASSERT_NE(ctx, nullptr);
    }
    void TearDown() override { stm32Exit(ctx); }
    Stm32Context* ctx = nullptr;
    std::vector<Captured> lines;
};

TEST_F(ContextTest, InitIsZeroFilled) {
    EXPECT_EQ(ctx->flashBuffer, nullptr);
    EXPECT_EQ(ctx->logCallback, nullptr);
    EXPECT_EQ(ctx->logLineLength, 0);
    EXPECT_EQ(ctx->logLine[0], '\0');
}

TEST_F(ContextTest, SetBufferPadsImageTailWithErasedBytes) {
    std::vector<uint8_t> flash(16, 0x11), image(16, 0x22);
    stm32SetBuffer(ctx, flash.data(), 16, image.data(), 5);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(image[i], i < 5 ? 0x22 : 0xFF) << i;
    EXPECT_EQ(flash, std::vector<uint8_t>(16, 0x11)) << "flash buffer must not be touched";
    EXPECT_EQ(ctx->imageLength, 5);
    EXPECT_EQ(ctx->flashBufferSize, 16);

    std::fill(image.begin(), image.end(), 0x33);
    stm32SetBuffer(ctx, flash.data(), 16, image.data(), 16);
    EXPECT_EQ(image, std::vector<uint8_t>(16, 0x33));

    stm32SetBuffer(ctx, flash.data(), 16, image.data(), 0);
    EXPECT_EQ(image, std::vector<uint8_t>(16, 0xFF));
}

TEST_F(ContextTest, MessagesProgressPiecesAndEndOfLine) {
    stm32RegisterLogCallback(ctx, &lines, capture);
    stm32::logLine(ctx, "Address: 0x%08X", 0x08000400u);
    stm32::logProgress(ctx, "Erasing pages.");
    stm32::logProgress(ctx, ".");
    stm32::logEndProgress(ctx);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].text, "Address: 0x08000400");
    EXPECT_EQ(lines[0].continuation, 0);
    EXPECT_EQ(lines[1].text, "Erasing pages.");
    EXPECT_EQ(lines[1].continuation, 1);
    EXPECT_EQ(lines[2].text, ".");
    EXPECT_EQ(lines[3].length, 0u);
    EXPECT_EQ(lines[3].continuation, 0);
    EXPECT_EQ(ctx->logLineLength, 0);
}

TEST_F(ContextTest, AppendsAccumulateUntilFlush) {
    stm32RegisterLogCallback(ctx, &lines, capture);
    logAppend(ctx, "Error ");
    logAppend(ctx, "at");
    EXPECT_EQ(ctx->logLineLength, 8);
    logFlush(ctx, 0);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "Error at");
}

TEST_F(ContextTest, FlushWithoutCallbackStillEmptiesTheLine) {
    logAppend(ctx, "dropped");
    logFlush(ctx, 0);
    EXPECT_EQ(ctx->logLineLength, 0);
    stm32RegisterLogCallback(ctx, &lines, capture);
    logAppend(ctx, "kept");
    logFlush(ctx, 0);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "kept");
}

TEST_F(ContextTest, OverlongTextIsTruncatedAndTheLineStaysTerminated) {
    std::string longText(700, 'x');
    logAppend(ctx, longText.c_str());
    EXPECT_EQ(ctx->logLineLength, STM32_LOG_LINE_SIZE - 1);
    logAppend(ctx, "more");
    EXPECT_EQ(ctx->logLineLength, STM32_LOG_LINE_SIZE - 1);
    EXPECT_EQ(ctx->logLine[STM32_LOG_LINE_SIZE - 1], '\0');
    stm32RegisterLogCallback(ctx, &lines, capture);
    logFlush(ctx, 0);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, std::string(511, 'x'));
}

TEST_F(ContextTest, RegistrationReplacesTheEarlierOne) {
    std::vector<Captured> other;
    stm32RegisterLogCallback(ctx, &other, capture);
    stm32RegisterLogCallback(ctx, &lines, capture);
    stm32::logLine(ctx, "one");
    EXPECT_TRUE(other.empty());
    EXPECT_EQ(lines.size(), 1u);
    stm32RegisterLogCallback(ctx, nullptr, nullptr);
    stm32::logLine(ctx, "discarded");
    EXPECT_EQ(lines.size(), 1u);
}

TEST(UnitMultiplier, OnlyUpperCaseKAndMScale) {
    EXPECT_EQ(stm32UnitMultiplier('K'), 1024);
    EXPECT_EQ(stm32UnitMultiplier('M'), 1048576);
    EXPECT_EQ(stm32UnitMultiplier('k'), 1);
    EXPECT_EQ(stm32UnitMultiplier(' '), 1);
    EXPECT_EQ(stm32UnitMultiplier('B'), 1);
}

TEST(CommandWithoutBoard, NullContextAndBadCommandCodeAreRefused) {
    EXPECT_EQ(stm32Command(nullptr, -1, 0x08000000, 0, 0, STM32_CMD_LIST), STM32_RESULT_NO_TARGET);
}

} // namespace
