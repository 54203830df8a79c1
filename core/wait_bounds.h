// The bounds of every wait on a board. Process-wide: production uses the
// defaults, and only tests shorten them (test_bounds.h).
#ifndef STM32_CORE_WAIT_BOUNDS_H
#define STM32_CORE_WAIT_BOUNDS_H

#include <chrono>

namespace stm32 {

// The whole wait for one operation's verdict (default 120 s).
std::chrono::milliseconds busyWaitLimit();
// Every control request but a status request that may be held (default 9000 ms).
unsigned controlTimeout();
// A sector erase still busy this long is taken as stuck (default 15 s).
std::chrono::milliseconds stuckBusyThreshold();
// A status request the board may hold until its work is over (default 40 s).
std::chrono::milliseconds heldStatusTimeout();

} // namespace stm32

#endif
