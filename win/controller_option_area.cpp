#include "controller_option_area.h"

namespace controller {

void OptionArea::set(int32_t offset, int32_t size) {
    offset_ = offset;
    size_ = size;
}

uint32_t OptionArea::readInUse() const {
    uint32_t value = 0;
    if (settings_ == nullptr || !settings_->readNumber(kOptionsInUseValue, &value)) return 0;
    return value;
}

int32_t OptionArea::reloadOffset() {
    uint32_t value = 0;
    if (settings_ != nullptr && settings_->readNumber(kOptionsOffsetValue, &value)) {
        offset_ = static_cast<int32_t>(value);
    }
    return offset_;
}

int32_t OptionArea::reloadSize() {
    uint32_t value = 0;
    if (settings_ != nullptr && settings_->readNumber(kOptionsSizeValue, &value)) {
        size_ = static_cast<int32_t>(value);
    }
    return size_;
}

bool OptionArea::store(int32_t offset, int32_t size, bool inUse) const {
    if (settings_ == nullptr) return false;
    return settings_->writeNumber(kOptionsOffsetValue, static_cast<uint32_t>(offset)) &&
           settings_->writeNumber(kOptionsSizeValue, static_cast<uint32_t>(size)) &&
           settings_->writeNumber(kOptionsInUseValue, inUse ? 1u : 0u);
}

int32_t OptionArea::clampOffset(int32_t offset, const TargetGeometry& geometry) const {
    return stm32ClampOptionOffset(offset, geometry.flashSize, geometry.pageSize);
}

int32_t OptionArea::effectiveSize(int32_t flashSize) const {
    return stm32EffectiveOptionSize(size_, flashSize);
}

Stm32FlashArea OptionArea::uploadArea(const TargetGeometry& geometry) const {
    return stm32UploadArea(readInUse() != 0, offset_, geometry.flashSize, geometry.pageSize);
}

Stm32FlashArea OptionArea::downloadArea(const TargetGeometry& geometry) const {
    return stm32DownloadArea(readInUse() != 0, offset_, effectiveSize(geometry.flashSize), geometry.flashSize,
                             geometry.pageSize);
}

bool OptionArea::refusesImage(int32_t length, int32_t flashSize) const {
    return stm32ImageExceedsOptionArea(readInUse() != 0, length, effectiveSize(flashSize)) != 0;
}

} // namespace controller
