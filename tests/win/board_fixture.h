// A controller watching a virtual bus, with its sinks recorded.
#ifndef STM32_TESTS_WIN_BOARD_FIXTURE_H
#define STM32_TESTS_WIN_BOARD_FIXTURE_H

#include <gtest/gtest.h>

#include "controller_testing.h"
#include "recorder.h"
#include "temp_files.h"
#include "text.h"
#include "virtual_board.h"

constexpr const char* kNotAvailableStatus = "STM32 DFU Target not available (enable via User and Reset button).";
constexpr const char* kUnknownStatus = "STM32 flash size unknown (might be a driver problem).";
constexpr const char* kF1Status = "STM32 (ID: 0) Flash: 256 KB.";
constexpr const char* kBusyText = "An upload or download is running: wait until it has finished.";
constexpr uint32_t kFlashStart = 0x08000000;
constexpr int32_t kF1Flash = 256 * 1024;
constexpr int32_t kF1Page = 2048;

class ControllerOnBus : public ::testing::Test {
protected:
    void SetUp() override {
        controller = createFlashController(&store);
        ASSERT_NE(controller, nullptr);
        recorder.attach(controller);
    }
    void TearDown() override { destroyFlashController(controller); }

    vboard::Board& addBoard(vboard::Profile profile = vboard::Profile::F1) {
        vboard::BoardOptions options;
        options.profile = profile;
        return bus.addBoard(options);
    }
    void startWatch() { startTargetWatch(controller, &recorder, &Recorder::onTargetChanged); }
    void startWatchAndWaitFor(const std::string& status) {
        startWatch();
        ASSERT_TRUE(recorder.waitForStatus(status)) << recorder.lastStatus();
    }
    int load(const std::string& path) {
        const NativeString native = nativeFromUtf8(path, 4096);
        return loadImageFile(controller, &native);
    }
    void useOptions(int32_t offset, int32_t size) {
        store.writeNumber("OptionsInUse", 1);
        setOptionArea(controller, offset, size);
    }
    bool loggedTotalTime() { return recorder.hasLineStartingWith("Total time: "); }

    vboard::Bus bus;
    MemorySettingsStore store;
    FlashController* controller = nullptr;
    Recorder recorder;
    TempFolder folder;
};

#endif
