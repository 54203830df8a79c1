// For tests only: shorter bounds for the waits of wait_bounds.h, so that hang
// and stuck-busy cases run quickly. They change the bounds for the whole
// process; a test that changes one sets it back.
#ifndef STM32_CORE_TEST_BOUNDS_H
#define STM32_CORE_TEST_BOUNDS_H

#include <chrono>

namespace stm32 {

void setBusyWaitLimit(std::chrono::milliseconds limit);
void setControlTimeout(unsigned milliseconds);
void setStuckBusyThreshold(std::chrono::milliseconds limit);
void setHeldStatusTimeout(std::chrono::milliseconds limit);

} // namespace stm32

#endif
