// The option area: its values as operations use them and their stored copy
// in the settings store.
#include "controller_state.h"
#include "option_area.h"

int32_t controller::effectiveOptionSize(FlashController* controller, int32_t flashSize) {
    const int32_t size = controller->optionSize;
    return size > 0 ? size : flashSize;
}

int32_t optionOffset(FlashController* controller) {
    return controller->optionOffset;
}

int32_t optionSize(FlashController* controller) {
    return controller->optionSize;
}

void setOptionArea(FlashController* controller, int32_t offset, int32_t size) {
    controller->optionOffset = offset;
    controller->optionSize = size;
}

int32_t limitOptionOffset(FlashController* controller, int32_t offset) {
    return stm32ClampOptionOffset(offset, controller->flashSize, controller->pageSize);
}

uint32_t readOptionsInUse(FlashController* controller) {
    uint32_t value = 0;
    if (controller->settings == nullptr || !controller->settings->readNumber(kOptionsInUseValue, &value)) return 0;
    return value;
}

int32_t readOptionsOffset(FlashController* controller) {
    uint32_t value = 0;
    if (controller->settings != nullptr && controller->settings->readNumber(kOptionsOffsetValue, &value)) {
        controller->optionOffset = static_cast<int32_t>(value);
    }
    return controller->optionOffset;
}

int32_t readOptionsSize(FlashController* controller) {
    uint32_t value = 0;
    if (controller->settings != nullptr && controller->settings->readNumber(kOptionsSizeValue, &value)) {
        controller->optionSize = static_cast<int32_t>(value);
    }
    return controller->optionSize;
}

bool storeOptions(FlashController* controller, int32_t offset, int32_t size, bool inUse) {
    SettingsStore* settings = controller->settings;
    if (settings == nullptr) return false;
    return settings->writeNumber(kOptionsOffsetValue, static_cast<uint32_t>(offset)) &&
           settings->writeNumber(kOptionsSizeValue, static_cast<uint32_t>(size)) &&
           settings->writeNumber(kOptionsInUseValue, inUse ? 1u : 0u);
}
