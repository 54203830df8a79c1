#include "target_choice.h"

#include <cstdlib>

int32_t stm32ListCountedTargets(Stm32Context* context, int32_t count, Stm32TargetList* list)
{
    list->indices = nullptr;
    list->count = 0;
    if (count <= 0) return 0;
    auto* indices = static_cast<int32_t*>(std::malloc(static_cast<size_t>(count) * sizeof(int32_t)));
    if (indices == nullptr) return -1;
    // Entries the core leaves at -1 belong to boards that are gone by now.
    stm32GetDeviceIndices(context, indices, count);
    int32_t listed = 0;
    for (int32_t i = 0; i < count; ++i) {
        if (indices[i] >= 0) indices[listed++] = indices[i];
    }
    if (listed == 0) {
        std::free(indices);
        return 0;
    }
    list->indices = indices;
    list->count = listed;
    return listed;
}

int32_t stm32ListTargets(Stm32Context* context, Stm32TargetList* list)
{
    return stm32ListCountedTargets(context, stm32GetDeviceCount(), list);
}

void stm32ReleaseTargetList(Stm32TargetList* list)
{
    if (list == nullptr) return;
    std::free(list->indices);
    list->indices = nullptr;
    list->count = 0;
}

int32_t stm32TargetAt(const int32_t* indices, int32_t count, int32_t position)
{
    if (indices == nullptr || position < 0 || position >= count) return -1;
    return indices[position];
}

int32_t stm32KeepChosenPosition(int32_t position, int32_t count)
{
    return position >= 0 && position < count ? position : 0;
}

int32_t stm32FindTarget(Stm32Context* context, int32_t position, int32_t* targetIndex)
{
    Stm32TargetList list;
    const int32_t count = stm32ListTargets(context, &list);
    *targetIndex = stm32TargetAt(list.indices, list.count, position);
    stm32ReleaseTargetList(&list);
    return count < 0 ? 0 : count;
}
