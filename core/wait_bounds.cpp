// Wait bounds, atomics so that commands on several threads read them safely.
#include "wait_bounds.h"

#include <atomic>

#include "test_bounds.h"

namespace {

using Milliseconds = std::chrono::milliseconds;

std::atomic<long long> g_busyWaitLimitMs{120000}; // far above the slowest real mass erase (~35 s)
std::atomic<unsigned> g_controlTimeoutMs{9000};
// The slowest real sector erase we know of is a few seconds (a 256 KB F7 or
// 128 KB H7 sector, about 4 s at most by the parts' data, not measured here);
// 15 s is far beyond it and far below the 120 s bound, so only a board that
// really stays busy reaches it.
std::atomic<long long> g_stuckBusyMs{15000};
// The slowest real operation is a 2 MB F4 mass erase of up to 32 s (dfu-util
// sleeps 35 s for it). A request that still times out reads as "still busy"
// until the busy bound.
std::atomic<long long> g_heldStatusMs{40000};

} // namespace

namespace stm32 {

Milliseconds busyWaitLimit() { return Milliseconds(g_busyWaitLimitMs.load()); }
unsigned controlTimeout() { return g_controlTimeoutMs.load(); }
Milliseconds stuckBusyThreshold() { return Milliseconds(g_stuckBusyMs.load()); }
Milliseconds heldStatusTimeout() { return Milliseconds(g_heldStatusMs.load()); }

void setBusyWaitLimit(Milliseconds limit) { g_busyWaitLimitMs = limit.count(); }
void setControlTimeout(unsigned milliseconds) { g_controlTimeoutMs = milliseconds; }
void setStuckBusyThreshold(Milliseconds limit) { g_stuckBusyMs = limit.count(); }
void setHeldStatusTimeout(Milliseconds limit) { g_heldStatusMs = limit.count(); }

} // namespace stm32
