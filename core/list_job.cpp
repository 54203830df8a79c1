// The list command: one line per target whose layout reads.
#include <cstddef>
#include <vector>

#include "jobs.h"
#include "log.h"

namespace stm32 {

int32_t runList(Stm32Context* context) {
    int32_t count = stm32GetDeviceCount();
    if (count <= 0) {
        logLine(context, "STM32 not connected or not in bootload mode.");
        return STM32_RESULT_OK;
    }
    std::vector<int32_t> indices(static_cast<size_t>(count), -1);
    stm32GetDeviceIndices(context, indices.data(), count);
    for (int32_t index : indices) {
        FlashInfo info{};
        // A layout that does not read (size still 0) is skipped like a missing one.
        // No context: every board by its list position, whatever board the context is pinned to.
        if (stm32GetFlashInfo(nullptr, index, &info) == 0 || info.flashSize <= 0) continue;
        logLine(context, "STM32 (ID:%d) Flash: %d%cB Flash Start: %08X", index,
                info.flashSize / stm32UnitMultiplier(info.unit), info.unit, info.startAddress);
    }
    return STM32_RESULT_OK;
}

} // namespace stm32
