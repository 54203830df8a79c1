// The option area: the offset and size operations use, and their stored
// copy ("OptionsInUse", "OptionsOffset", "OptionsSize") in the settings
// store. Whether the area is in use is never cached: every operation reads
// it afresh.
#ifndef STM32_WIN_CONTROLLER_OPTION_AREA_H
#define STM32_WIN_CONTROLLER_OPTION_AREA_H

#include <atomic>
#include <cstdint>

#include "flash_controller.h"
#include "option_area.h"

namespace controller {

class OptionArea {
public:
    explicit OptionArea(SettingsStore* settings) : settings_(settings) {}

    int32_t offset() const { return offset_; }
    int32_t size() const { return size_; }
    void set(int32_t offset, int32_t size);
    void setSize(int32_t size) { size_ = size; }

    uint32_t readInUse() const;
    int32_t reloadOffset();
    int32_t reloadSize();
    bool store(int32_t offset, int32_t size, bool inUse) const;

    // As the operations use them, for the target's geometry.
    int32_t clampOffset(int32_t offset, const TargetGeometry& geometry) const;
    int32_t effectiveSize(int32_t flashSize) const;
    Stm32FlashArea uploadArea(const TargetGeometry& geometry) const;
    Stm32FlashArea downloadArea(const TargetGeometry& geometry) const;
    // true when an image of length bytes is too long for the area in use.
    bool refusesImage(int32_t length, int32_t flashSize) const;

private:
    SettingsStore* const settings_; // not owned; may be null
    std::atomic<int32_t> offset_{0};
    std::atomic<int32_t> size_{0};
};

} // namespace controller

#endif
