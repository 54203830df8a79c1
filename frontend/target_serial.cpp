// Kept apart from target_choice.cpp: it needs the device details of the
// core, and a program that chooses by position alone should not link them.
#include "target_choice.h"

#include <cstring>
#include <vector>

int32_t stm32FindTargetBySerial(Stm32Context* context, const char* serial, int32_t* targetIndex)
{
    *targetIndex = -1;
    const int32_t count = stm32GetDeviceCount();
    if (serial == nullptr || count <= 0) return -1;
    try {
        std::vector<int32_t> indices(static_cast<size_t>(count), -1);
        stm32GetDeviceIndices(context, indices.data(), count);
        for (int32_t position = 0; position < count; ++position) {
            Stm32DeviceDetails details;
            std::memset(&details, 0, sizeof details);
            if (stm32GetDeviceDetails(context, indices[position], &details) == 0) continue;
            if (std::strcmp(details.serial, serial) != 0) continue;
            *targetIndex = indices[position];
            return position;
        }
    } catch (...) { // out of memory: no target can be named
    }
    return -1;
}
