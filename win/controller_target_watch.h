// The target watch: a thread that looks at the connected targets every
// 250 ms while the idle gate lets it, keeps the chosen target's geometry and
// the target list, and reports each change through the output sinks.
// Geometry, count and list are written by the watch thread (or by a test's
// record) and read by any thread.
#ifndef STM32_WIN_CONTROLLER_TARGET_WATCH_H
#define STM32_WIN_CONTROLLER_TARGET_WATCH_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "controller_idle_gate.h"
#include "controller_output.h"
#include "flash_controller.h"

namespace controller {

class TargetWatch {
public:
    TargetWatch(IdleGate& gate, OutputSinks& output) : gate_(gate), output_(output) {}

    // Starts the thread once for the life of the watch; false when none
    // could be started.
    bool start();
    // After the idle gate has stopped.
    void join();

    TargetGeometry geometry() const;
    int32_t count() const { return count_; }
    int32_t chosen() const { return chosen_; }
    std::vector<int32_t> indices() const;
    // The chosen target's index in the core's list, or -1.
    int32_t chosenIndex() const;
    void choose(int32_t position);
    void record(std::vector<int32_t> indices, int32_t chosen, const TargetGeometry& geometry);

private:
    void run();
    void pollOnce(Stm32Context* context);
    bool refresh(Stm32Context* context, NativeString* status);
    NativeString describeChosenTarget(Stm32Context* context);
    NativeString noTarget();
    void clearGeometry();
    void replaceList(std::vector<int32_t> list);

    IdleGate& gate_;
    OutputSinks& output_;
    std::atomic<int32_t> flashSize_{0};
    std::atomic<uint32_t> flashStart_{0};
    std::atomic<int32_t> pageSize_{0};
    std::atomic<int32_t> count_{-1}; // -1: unknown, the next poll looks afresh
    std::atomic<int32_t> chosen_{0};
    mutable std::mutex listLock_;
    std::vector<int32_t> list_;
    std::thread thread_;
};

} // namespace controller

#endif
