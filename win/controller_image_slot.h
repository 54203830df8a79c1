// The image slot: the loaded image and the flash buffer (both flash size
// bytes once allocated), the byte ranges the file defines, the path it came
// from, and how many bytes of the flash buffer a download read. Changed on
// the interface thread only while no operation holds the target; an upload
// thread reads it while it holds the target.
#ifndef STM32_WIN_CONTROLLER_IMAGE_SLOT_H
#define STM32_WIN_CONTROLLER_IMAGE_SLOT_H

#include <cstdint>
#include <vector>

#include "image_loader.h"
#include "native_text.h"
#include "stm32.h"

namespace controller {

class ImageSlot {
public:
    void setPath(const NativeString& path) { path_ = path; }
    const NativeString& path() const { return path_; }

    // Both buffers of flashSize bytes for a target whose flash starts at
    // flashStart, the image erased (0xFF); false when memory is short, with
    // nothing kept. Whatever was loaded or read before is gone either way.
    bool allocate(int32_t flashSize, uint32_t flashStart);
    void release();
    // Takes the loader's ranges and length for the bytes already in image();
    // false when memory is short.
    bool take(const Stm32LoadedImage& loaded);
    // The buffers still fit a target of this flash: a target that changed
    // since loading must not be written with them.
    bool preparedFor(int32_t flashSize, uint32_t flashStart) const;

    uint8_t* image() { return image_.data(); }
    const std::vector<uint8_t>& imageBytes() const { return image_; }
    int32_t imageLength() const { return imageLength_; }
    const Stm32ByteRange* ranges() const { return ranges_.data(); }
    int32_t rangeCount() const { return static_cast<int32_t>(ranges_.size()); }
    uint8_t* flashBuffer() { return flashBuffer_.data(); }
    const uint8_t* flashBytes() const { return flashBuffer_.data(); }
    size_t bufferSize() const { return flashBuffer_.size(); }

    // The first size bytes of the flash buffer are a download's.
    void keepDownload(int32_t size) { downloadSize_ = size; }
    // The flash buffer holds anything but a download's bytes now.
    void forgetDownload() { downloadSize_ = 0; }
    int32_t downloadSize() const { return downloadSize_; }

private:
    NativeString path_;
    std::vector<uint8_t> image_;
    int32_t imageLength_ = 0;
    std::vector<Stm32ByteRange> ranges_; // lent to the upload
    std::vector<uint8_t> flashBuffer_;
    uint32_t flashStart_ = 0; // of the target the buffers were made for
    int32_t downloadSize_ = 0;
};

} // namespace controller

#endif
