#include "elapsed_time.h"

#include <chrono>
#include <cstdio>

int64_t stm32NowMicroseconds(void)
{
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::microseconds>(now).count();
}

int32_t stm32FormatTotalTime(int64_t startMicroseconds, int64_t endMicroseconds, char* buffer, size_t capacity)
{
    if (buffer == nullptr || capacity == 0) return 0;
    const double seconds = static_cast<double>(endMicroseconds - startMicroseconds) * 0.000001;
    const int written = std::snprintf(buffer, capacity, "Total time: %1.1f s", seconds);
    if (written < 0) {
        buffer[0] = '\0';
        return 0;
    }
    const size_t length = static_cast<size_t>(written) < capacity ? static_cast<size_t>(written) : capacity - 1;
    return static_cast<int32_t>(length);
}
