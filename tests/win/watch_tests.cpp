// The device watch against virtual boards: status texts, geometry,
// target-changed calls, plugging and choosing targets.
#include <chrono>
#include <thread>

#include "board_fixture.h"

namespace {

using std::chrono::milliseconds;

// Long enough for two more polls; used only to show that nothing else happens.
void letTwoPollsPass() { std::this_thread::sleep_for(milliseconds(600)); }

TEST_F(ControllerOnBus, NoTargetIsReportedOnce) {
    startWatchAndWaitFor(kNotAvailableStatus);
    EXPECT_TRUE(recorder.waitUntil([&] { return recorder.targetChanges() == 1; }));
    EXPECT_EQ(watchedTargetCount(controller), 0);
    EXPECT_EQ(watchedGeometry(controller).flashSize, 0);
    EXPECT_EQ(controllerIsIdle(controller), 1);
    letTwoPollsPass();
    EXPECT_EQ(recorder.statusCount(), 1u);
    EXPECT_EQ(recorder.targetChanges(), 1);
}

TEST_F(ControllerOnBus, F1TargetStatusAndGeometry) {
    addBoard();
    startWatchAndWaitFor(kF1Status);
    EXPECT_EQ(watchedGeometry(controller).flashSize, kF1Flash);
    EXPECT_EQ(watchedGeometry(controller).pageSize, kF1Page);
    EXPECT_EQ(watchedGeometry(controller).flashStart, kFlashStart);
    EXPECT_EQ(watchedTargetCount(controller), 1);
    EXPECT_EQ(watchedTargetIndices(controller), std::vector<int32_t>{0});
    EXPECT_TRUE(recorder.waitUntil([&] { return recorder.targetChanges() == 1; }));
}

TEST_F(ControllerOnBus, SectoredFlashShowsTheTotalOfAllSegments) {
    addBoard(vboard::Profile::F4);
    startWatchAndWaitFor("STM32 (ID: 0) Flash: 1024 KB.");
    EXPECT_EQ(watchedGeometry(controller).flashSize, 1024 * 1024);
    EXPECT_EQ(watchedGeometry(controller).pageSize, 16 * 1024); // first segment's sectors
}

TEST_F(ControllerOnBus, TargetWithoutInternalFlashLayoutIsUnknown) {
    addBoard(vboard::Profile::NoInternalFlash);
    startWatchAndWaitFor(kUnknownStatus);
    EXPECT_EQ(watchedGeometry(controller).flashSize, 0);
    EXPECT_EQ(watchedTargetCount(controller), 1);
    EXPECT_EQ(load(folder.write("a.bin", patternBytes(16, 1))), -1);
    EXPECT_TRUE(recorder.hasLine("STM32 DFU Target not available(enable via User and Reset button)."));
}

TEST_F(ControllerOnBus, TheIdIsTheListPosition) {
    bus.addForeignDevice();
    addBoard();
    startWatchAndWaitFor("STM32 (ID: 1) Flash: 256 KB.");
    EXPECT_EQ(watchedTargetIndices(controller), std::vector<int32_t>{1});
}

TEST_F(ControllerOnBus, UnplugAndReplugEachChangeTheStatusOnce) {
    vboard::Board& board = addBoard();
    startWatchAndWaitFor(kF1Status);
    ASSERT_TRUE(recorder.waitUntil([&] { return recorder.targetChanges() == 1; }));

    bus.unplug(board);
    ASSERT_TRUE(recorder.waitForStatus(kNotAvailableStatus, milliseconds(1500)));
    EXPECT_TRUE(recorder.waitUntil([&] { return recorder.targetChanges() == 2; }));
    EXPECT_EQ(watchedGeometry(controller).flashSize, 0);

    bus.replug(board);
    ASSERT_TRUE(recorder.waitForStatus(kF1Status, milliseconds(1500)));
    EXPECT_TRUE(recorder.waitUntil([&] { return recorder.targetChanges() == 3; }));
    letTwoPollsPass();
    EXPECT_EQ(recorder.targetChanges(), 3);
    EXPECT_EQ(recorder.statusCount(), 3u);
}

TEST_F(ControllerOnBus, ChoosingTheSecondTargetReadsItsFlash) {
    addBoard(vboard::Profile::F1);
    addBoard(vboard::Profile::F4);
    startWatchAndWaitFor(kF1Status);
    EXPECT_EQ(watchedTargetIndices(controller), (std::vector<int32_t>{0, 1}));

    chooseTargetPosition(controller, 1);
    ASSERT_TRUE(recorder.waitForStatus("STM32 (ID: 1) Flash: 1024 KB.", milliseconds(1500)));
    EXPECT_EQ(watchedGeometry(controller).flashSize, 1024 * 1024);
    EXPECT_TRUE(recorder.waitUntil([&] { return recorder.targetChanges() == 2; }));
}

TEST_F(ControllerOnBus, ChosenTargetPastTheEndFallsBackToTheFirst) {
    vboard::Board& first = addBoard(vboard::Profile::F1);
    addBoard(vboard::Profile::F4);
    startWatchAndWaitFor(kF1Status);
    chooseTargetPosition(controller, 1);
    ASSERT_TRUE(recorder.waitForStatus("STM32 (ID: 1) Flash: 1024 KB.", milliseconds(1500)));

    bus.unplug(first);
    ASSERT_TRUE(recorder.waitForStatus("STM32 (ID: 0) Flash: 1024 KB.", milliseconds(1500)))
        << recorder.lastStatus();
    EXPECT_EQ(chosenTargetPosition(controller), 0);
    EXPECT_EQ(watchedTargetCount(controller), 1);
}

TEST_F(ControllerOnBus, ChosenTargetUnpluggedLeavesTheOther) {
    addBoard(vboard::Profile::F1);
    vboard::Board& second = addBoard(vboard::Profile::F4);
    startWatchAndWaitFor(kF1Status);
    chooseTargetPosition(controller, 1);
    ASSERT_TRUE(recorder.waitForStatus("STM32 (ID: 1) Flash: 1024 KB.", milliseconds(1500)));

    bus.unplug(second);
    ASSERT_TRUE(recorder.waitForStatus(kF1Status, milliseconds(1500))) << recorder.lastStatus();
    EXPECT_EQ(chosenTargetPosition(controller), 0);
    EXPECT_EQ(watchedGeometry(controller).flashSize, kF1Flash);
}

TEST_F(ControllerOnBus, DestroyingStopsTheWatchPromptly) {
    addBoard();
    startWatchAndWaitFor(kF1Status);
    const auto start = std::chrono::steady_clock::now();
    destroyFlashController(controller);
    controller = nullptr;
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(200));
}

} // namespace
