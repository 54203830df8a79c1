#include "target_choice.h"

#include <cstring>
#include <vector>

namespace {

// The connected targets' indices, enumerated now; empty when none.
std::vector<int32_t> connectedTargets(Stm32Context* context)
{
    const int32_t count = stm32GetDeviceCount();
    if (count <= 0) return {};
    std::vector<int32_t> indices(static_cast<size_t>(count), -1);
    stm32GetDeviceIndices(context, indices.data(), count);
    return indices;
}

} // namespace

int32_t stm32TargetAt(const int32_t* indices, int32_t count, int32_t position)
{
    if (indices == nullptr || position < 0 || position >= count) return -1;
    return indices[position];
}

int32_t stm32FindTarget(Stm32Context* context, int32_t position, int32_t* targetIndex)
{
    *targetIndex = -1;
    try {
        const std::vector<int32_t> indices = connectedTargets(context);
        const int32_t count = static_cast<int32_t>(indices.size());
        *targetIndex = stm32TargetAt(indices.data(), count, position);
        return count;
    } catch (...) { // out of memory: as good as no list
        return 0;
    }
}
