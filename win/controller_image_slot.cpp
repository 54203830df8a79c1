#include "controller_image_slot.h"

#include <new>

namespace controller {

void ImageSlot::release() {
    std::vector<uint8_t>().swap(image_);
    std::vector<uint8_t>().swap(flashBuffer_);
    std::vector<Stm32ByteRange>().swap(ranges_);
    imageLength_ = 0;
    downloadSize_ = 0;
}

bool ImageSlot::allocate(int32_t flashSize, uint32_t flashStart) {
    release();
    try {
        flashBuffer_.assign(static_cast<size_t>(flashSize), 0);
        image_.assign(static_cast<size_t>(flashSize), 0xFF);
    } catch (const std::bad_alloc&) {
        release();
        return false;
    }
    flashStart_ = flashStart;
    return true;
}

bool ImageSlot::take(const Stm32LoadedImage& loaded) {
    try {
        ranges_.assign(loaded.ranges, loaded.ranges + loaded.rangeCount);
    } catch (const std::bad_alloc&) {
        return false;
    }
    imageLength_ = static_cast<int32_t>(loaded.length);
    return true;
}

bool ImageSlot::preparedFor(int32_t flashSize, uint32_t flashStart) const {
    return flashBuffer_.size() == static_cast<size_t>(flashSize) && flashStart_ == flashStart;
}

} // namespace controller
