// The device watch: a thread that looks at the connected targets every
// 250 ms while the controller is idle, keeps the chosen target's geometry
// and reports changes through the status sink and the target-changed handler.
#include <cstring>
#include <new>
#include <system_error>

#include "controller_state.h"
#include "target_choice.h"
#include "text.h"

namespace controller {

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(250);

const char kUnknownFlashStatus[] = "STM32 flash size unknown (might be a driver problem).";

void clearGeometry(FlashController* controller) {
    controller->flashSize = 0;
    controller->flashStartAddress = 0;
    controller->pageSize = 0;
}

void replaceTargetList(FlashController* controller, std::vector<int32_t> list) {
    std::lock_guard<std::mutex> guard(controller->targetListLock);
    controller->targetList.swap(list);
}

NativeString noTarget(FlashController* controller) {
    clearGeometry(controller);
    replaceTargetList(controller, {});
    return nativeFromUtf8(kNoTargetStatus);
}

// Reads the chosen target's layout into the geometry; the status text.
NativeString describeChosenTarget(FlashController* controller, Stm32Context* context) {
    const int32_t index = chosenTargetIndex(controller);
    if (index < 0) {
        // The target went away between counting and listing: look again next time.
        controller->targetCount = -1;
        clearGeometry(controller);
        return nativeFromUtf8(kUnknownFlashStatus);
    }
    FlashInfo info;
    std::memset(&info, 0, sizeof info);
    if (stm32GetFlashInfo(context, index, &info) == 0) {
        clearGeometry(controller);
        return nativeFromUtf8(kUnknownFlashStatus);
    }
    const int32_t unitBytes = stm32UnitMultiplier(info.unit);
    const int64_t pageBytes = static_cast<int64_t>(info.pageSize) * unitBytes;
    if (info.flashSize <= 0 || pageBytes <= 0 || pageBytes > info.flashSize) {
        clearGeometry(controller);
        return nativeFromUtf8(kUnknownFlashStatus);
    }
    controller->pageSize = static_cast<int32_t>(pageBytes);
    controller->flashStartAddress = info.startAddress;
    controller->flashSize = info.flashSize;
    // The total of all segments, not just the first segment's pages.
    const int32_t shownSize = info.flashSize / unitBytes;
    if (info.unit == 'K' || info.unit == 'M') {
        return formatNative("STM32 (ID: %d) Flash: %d %cB.", index, shownSize, info.unit);
    }
    return formatNative("STM32 (ID: %d) Flash: %d B.", index, shownSize);
}

// One look at the targets; true with the status text when anything changed.
bool refreshTargets(FlashController* controller, Stm32Context* context, NativeString* status) {
    const int32_t count = stm32GetDeviceCount();
    if (count == controller->targetCount) return false;
    controller->targetCount = count;
    if (count <= 0) {
        *status = noTarget(controller);
        return true;
    }
    std::vector<int32_t> list;
    try {
        list.assign(static_cast<size_t>(count), -1);
    } catch (const std::bad_alloc&) {
        controller->targetCount = 0; // counts as no target; the next poll tries again
        *status = noTarget(controller);
        return true;
    }
    if (controller->chosenTarget > count - 1) controller->chosenTarget = 0;
    stm32GetDeviceIndices(context, list.data(), count);
    replaceTargetList(controller, std::move(list));
    *status = describeChosenTarget(controller, context);
    return true;
}

void pollOnce(FlashController* controller, Stm32Context* context) {
    if (!beginPoll(controller)) return;
    NativeString status;
    const bool changed = refreshTargets(controller, context, &status);
    endPoll(controller);
    // The sinks reach the window by synchronous messages: never call them
    // while an operation could be waiting for this poll.
    if (changed) reportStatus(controller, status);
}

} // namespace

int32_t chosenTargetIndex(FlashController* controller) {
    std::lock_guard<std::mutex> guard(controller->targetListLock);
    return stm32TargetAt(controller->targetList.data(), static_cast<int32_t>(controller->targetList.size()),
                         controller->chosenTarget);
}

void watchMain(FlashController* controller) {
    ContextHolder context = openContext(controller);
    if (!context) {
        markFirstPollDone(controller);
        return;
    }
    for (;;) {
        // Polls start every 250 ms, however long the previous one took.
        const auto nextPoll = std::chrono::steady_clock::now() + kPollInterval;
        pollOnce(controller, context.get());
        if (!sleepUntil(controller, nextPoll)) return;
    }
}

} // namespace controller

using namespace controller;

void startDeviceWatch(FlashController* controller, void* userData, TargetChangedHandler handler) {
    controller->targetChangedUserData = userData;
    controller->targetChanged = handler;
    {
        std::lock_guard<std::mutex> guard(controller->lock);
        if (!controller->operationRunning) controller->idle = 1;
    }
    if (controller->watchThread.joinable()) return; // one watch for the life of the controller
    try {
        controller->watchThread = std::thread(watchMain, controller);
    } catch (const std::system_error&) {
        markFirstPollDone(controller); // no watch: no target is ever reported
    }
    if (controller->imagePath.empty()) return;
    waitForFirstPoll(controller);
    controller->optionSize = controller->flashSize.load();
    if (loadImageFile(controller, nullptr) == 0) startUpload(controller);
}

TargetGeometry targetGeometry(FlashController* controller) {
    TargetGeometry geometry;
    geometry.flashSize = controller->flashSize;
    geometry.flashStart = controller->flashStartAddress;
    geometry.pageSize = controller->pageSize;
    return geometry;
}

int32_t targetCount(FlashController* controller) {
    return controller->targetCount;
}

int32_t chosenTarget(FlashController* controller) {
    return controller->chosenTarget;
}

std::vector<int32_t> copyTargetList(FlashController* controller) {
    std::lock_guard<std::mutex> guard(controller->targetListLock);
    return controller->targetList;
}

void chooseTarget(FlashController* controller, int32_t position) {
    // A list box without a selection reports -1: take the first target then.
    controller->chosenTarget = position < 0 ? 0 : position;
    controller->targetCount = -1;
}

void recordTargets(FlashController* controller, std::vector<int32_t> indices, int32_t chosen,
                   const TargetGeometry& geometry) {
    controller->flashSize = geometry.flashSize;
    controller->flashStartAddress = geometry.flashStart;
    controller->pageSize = geometry.pageSize;
    controller->targetCount = static_cast<int32_t>(indices.size());
    controller->chosenTarget = chosen;
    replaceTargetList(controller, std::move(indices));
}
