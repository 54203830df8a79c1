#include "controller_target_watch.h"

#include <chrono>
#include <cstring>
#include <new>
#include <system_error>

#include "flash_geometry.h"
#include "target_choice.h"
#include "text.h"

namespace controller {

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(250);

const char kNoTargetStatus[] = "STM32 DFU Target not available (enable via User and Reset button).";
const char kUnknownFlashStatus[] = "STM32 flash size unknown (might be a driver problem).";

} // namespace

bool TargetWatch::start() {
    if (thread_.joinable()) return true;
    try {
        thread_ = std::thread(&TargetWatch::run, this);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void TargetWatch::join() {
    if (thread_.joinable()) thread_.join();
}

TargetGeometry TargetWatch::geometry() const {
    TargetGeometry geometry;
    geometry.flashSize = flashSize_;
    geometry.flashStart = flashStart_;
    geometry.pageSize = pageSize_;
    return geometry;
}

std::vector<int32_t> TargetWatch::indices() const {
    std::lock_guard<std::mutex> guard(listLock_);
    return list_;
}

int32_t TargetWatch::chosenIndex() const {
    std::lock_guard<std::mutex> guard(listLock_);
    return stm32TargetAt(list_.data(), static_cast<int32_t>(list_.size()), chosen_);
}

void TargetWatch::choose(int32_t position) {
    // A list box without a selection reports -1: take the first target then.
    chosen_ = position < 0 ? 0 : position;
    count_ = -1;
}

void TargetWatch::record(std::vector<int32_t> indices, int32_t chosen, const TargetGeometry& geometry) {
    flashSize_ = geometry.flashSize;
    flashStart_ = geometry.flashStart;
    pageSize_ = geometry.pageSize;
    count_ = static_cast<int32_t>(indices.size());
    chosen_ = chosen;
    replaceList(std::move(indices));
}

void TargetWatch::clearGeometry() {
    flashSize_ = 0;
    flashStart_ = 0;
    pageSize_ = 0;
}

void TargetWatch::replaceList(std::vector<int32_t> list) {
    std::lock_guard<std::mutex> guard(listLock_);
    list_.swap(list);
}

NativeString TargetWatch::noTarget() {
    clearGeometry();
    replaceList({});
    return nativeFromUtf8(kNoTargetStatus);
}

// Reads the chosen target's layout into the geometry; the status text.
NativeString TargetWatch::describeChosenTarget(Stm32Context* context) {
    const int32_t index = chosenIndex();
    FlashInfo info;
    std::memset(&info, 0, sizeof info);
    Stm32FlashGeometry flash;
    if (stm32GetFlashInfo(context, index, &info) == 0 || stm32FlashGeometryFrom(&info, &flash) == 0) {
        clearGeometry();
        return nativeFromUtf8(kUnknownFlashStatus);
    }
    pageSize_ = flash.pageSize;
    flashStart_ = flash.startAddress;
    flashSize_ = flash.flashSize;
    char size[32];
    stm32FormatFlashSize(&info, size, sizeof size);
    return formatNative("STM32 (ID: %d) Flash: %s.", index, size);
}

// One look at the targets; true with the status text when anything changed.
bool TargetWatch::refresh(Stm32Context* context, NativeString* status) {
    const int32_t count = stm32GetDeviceCount();
    if (count == count_) return false;
    Stm32ScopedTargetList targets;
    const int32_t listed = stm32ListCountedTargets(context, count, &targets.list);
    // Out of memory counts as no target; a board gone since counting leaves
    // fewer listed. Either way the next poll looks again.
    count_ = listed < 0 ? 0 : listed;
    if (listed <= 0) {
        *status = noTarget();
        return true;
    }
    chosen_ = stm32KeepChosenPosition(chosen_, listed);
    try {
        replaceList(std::vector<int32_t>(targets.list.indices, targets.list.indices + listed));
    } catch (const std::bad_alloc&) {
        count_ = 0;
        *status = noTarget();
        return true;
    }
    *status = describeChosenTarget(context);
    return true;
}

void TargetWatch::pollOnce(Stm32Context* context) {
    if (!gate_.beginPoll()) return;
    NativeString status;
    const bool changed = refresh(context, &status);
    gate_.endPoll();
    // The sinks reach the window by synchronous messages: never call them
    // while an operation could be waiting for this poll.
    if (changed) output_.reportTargetChange(status);
}

void TargetWatch::run() {
    ContextHolder context = output_.openContext();
    if (!context) {
        gate_.markFirstPollDone();
        return;
    }
    for (;;) {
        // Polls start every 250 ms, however long the previous one took.
        const auto nextPoll = std::chrono::steady_clock::now() + kPollInterval;
        pollOnce(context.get());
        if (!gate_.sleepUntil(nextPoll)) return;
    }
}

} // namespace controller
