// Intel HEX decoder under hostile text.
//
// Input layout: byte 0 chooses the mode, bytes 1-2 the capacity, bytes 3-6
// the flash start (raw mode); the rest is the text (raw mode) or the recipe
// of a well-formed file (round-trip mode).
//
// Raw mode checks the contract: the image is a capacity-exact heap block, so
// any store past the capacity is an AddressSanitizer report; the result
// equals the length written out; on success nothing at or past the length
// changed; decoding the same text again gives the same image.
//
// Round-trip mode writes a valid file from the recipe with an independent
// encoder and checks that the decoder reproduces the image exactly.
//
// Both modes hand the text to the image loader too, which reads it through
// the same record reader: it must keep the loader's contract, and where it
// accepts the file it must agree with the decoder byte for byte.
#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#else
// No sanitizer headers (the mingw cross build): poisoning does nothing, as
// in any build without AddressSanitizer.
#define ASAN_POISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#endif

#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "fuzz_input.h"
#include "loader_contract.h"
#include "stm32.h"

namespace {

constexpr uint8_t kErased = 0xFF;
// Capacities up to 64 KB keep the rate high; mode bit 0x40 multiplies by 4
// for the occasional large flash.
constexpr uint8_t kLargeCapacity = 0x40;

constexpr uint32_t kMaxCapacity = 0xFFFF * 4;
constexpr uint32_t kBlockSize = 0x40000; // >= kMaxCapacity, a multiple of 8

// The image sits at the very end of a fixed heap block, with the block's
// head poisoned, so the decoder sees exactly capacity bytes and any store
// outside them is an AddressSanitizer report. A fresh allocation per run
// would cost more than the decoding itself. ASan poisons in 8-byte granules,
// so each arena serves one capacity residue modulo 8 and its head is a
// whole number of granules.
class ImageArena {
public:
    ImageArena(uint32_t residue) : size_(kBlockSize + residue), block_(new uint8_t[size_]) {}
    uint8_t* lend(uint32_t capacity) {
        FUZZ_CHECK(capacity <= kMaxCapacity && (size_ - capacity) % 8 == 0);
        unpoison();
        image_ = block_.get() + (size_ - capacity);
        std::memset(image_, kErased, capacity);
        poisoned_ = size_ - capacity;
        ASAN_POISON_MEMORY_REGION(block_.get(), poisoned_);
        return image_;
    }
    void unpoison() {
        ASAN_UNPOISON_MEMORY_REGION(block_.get(), poisoned_);
        poisoned_ = 0;
    }
    const uint8_t* image() const { return image_; }

private:
    uint32_t size_;
    std::unique_ptr<uint8_t[]> block_;
    uint8_t* image_ = nullptr;
    size_t poisoned_ = 0;
};

struct Decoded {
    uint32_t result = 0;
    uint32_t length = 0;
    const uint8_t* image = nullptr;
};

Decoded decode(ImageArena& arena, std::string text, uint32_t flashStart, uint32_t capacity) {
    Decoded out;
    uint8_t* image = arena.lend(capacity);
    out.length = 0xDEADBEEF;
    out.result = decodeIntelHex(text.data(), flashStart, image, capacity, &out.length);
    arena.unpoison();
    out.image = image;
    return out;
}

// Checks a byte range against erased flash without a per-byte loop, which
// the coverage instrumentation would make the slowest part of every run.
bool allErased(const uint8_t* bytes, uint32_t length) {
    static const std::vector<uint8_t> erased(kMaxCapacity, kErased);
    return length == 0 || std::memcmp(bytes, erased.data(), length) == 0;
}

bool sameImage(const Decoded& a, const uint8_t* b, uint32_t capacity) {
    return capacity == 0 || std::memcmp(a.image, b, capacity) == 0;
}

void checkLoaderAgrees(const std::string& text, uint32_t flashStart, uint32_t capacity, const Decoded& decoded) {
    const std::vector<uint8_t> file(text.begin(), text.end());
    fuzz::LoadOutcome loaded;
    fuzz::checkContract("image.hex", file, capacity, flashStart, &loaded);
    // Magic bytes at the start make the loader read another format.
    if (loaded.result.status != STM32_LOAD_OK || loaded.result.format != STM32_IMAGE_INTEL_HEX) return;
    FUZZ_CHECK(decoded.length == loaded.result.length);
    FUZZ_CHECK(sameImage(decoded, loaded.image.data(), capacity));
}

ImageArena& arena(int which, uint32_t capacity) {
    static ImageArena arenas[2][8] = {{0, 1, 2, 3, 4, 5, 6, 7}, {0, 1, 2, 3, 4, 5, 6, 7}};
    return arenas[which][capacity % 8];
}

void checkRawText(fuzz::Input& in, uint32_t capacity) {
    const uint32_t flashStart = in.word(4);
    const std::string text = in.rest();
    const Decoded first = decode(arena(0, capacity), text, flashStart, capacity);
    FUZZ_CHECK(first.result == first.length);
    if (first.length != 0 && first.length <= capacity) {
        FUZZ_CHECK(allErased(first.image + first.length, capacity - first.length));
    }
    const Decoded second = decode(arena(1, capacity), text, flashStart, capacity);
    FUZZ_CHECK(second.length == first.length);
    FUZZ_CHECK(sameImage(second, first.image, capacity));
    checkLoaderAgrees(text, flashStart, capacity, first);
}

// ---- round trip -------------------------------------------------------

class HexWriter {
public:
    HexWriter(bool upperCase, bool crlf) : digits_(upperCase ? "0123456789ABCDEF" : "0123456789abcdef"), crlf_(crlf) {}

    void record(uint8_t type, uint16_t address, const std::vector<uint8_t>& data) {
        text_ += ':';
        uint8_t sum = 0;
        auto put = [&](uint8_t b) {
            text_ += digits_[b >> 4];
            text_ += digits_[b & 15];
            sum = static_cast<uint8_t>(sum + b);
        };
        put(static_cast<uint8_t>(data.size()));
        put(static_cast<uint8_t>(address >> 8));
        put(static_cast<uint8_t>(address));
        put(type);
        for (uint8_t b : data) put(b);
        put(static_cast<uint8_t>(-sum));
        text_ += crlf_ ? "\r\n" : "\n";
    }
    const std::string& text() const { return text_; }

private:
    const char* digits_;
    bool crlf_;
    std::string text_;
};

// What a correct decoder must produce for the records written so far.
struct Model {
    uint32_t capacity = 0;
    uint64_t base = 0; // relative to flash start
    uint32_t size = 0;
    bool tooBig = false;
    std::map<uint32_t, uint8_t> bytes;

    void data(uint16_t address, const std::vector<uint8_t>& values) {
        for (size_t i = 0; i < values.size(); ++i) {
            const uint32_t position = static_cast<uint32_t>(base + address + i);
            if (position + 1 > size) size = position + 1;
            if (position < capacity) bytes[position] = values[i];
        }
        if (size > capacity) tooBig = true; // the decoder stops after this record
    }
};

void checkRoundTrip(fuzz::Input& in, uint32_t capacity, uint8_t mode) {
    // Flash start 0 allows segment records; 0x08000000 is the usual STM32 case.
    const bool atZero = (mode & 0x01) != 0;
    const uint32_t flashStart = atZero ? 0 : 0x08000000;
    HexWriter writer((mode & 0x02) != 0, (mode & 0x04) != 0);
    Model model;
    model.capacity = capacity;

    for (int records = 0; !in.empty() && !model.tooBig && records < 200; ++records) {
        const uint8_t kind = in.byte() % 8;
        if (kind <= 3) { // data, the common case
            const uint16_t address = static_cast<uint16_t>(in.word(2));
            std::vector<uint8_t> values(1 + in.byte() % 32);
            for (auto& v : values) v = in.byte();
            writer.record(0x00, address, values);
            model.data(address, values);
        } else if (kind == 4) { // extended linear address, never below flash start
            const uint16_t high = atZero ? static_cast<uint16_t>(in.byte() % 8) : static_cast<uint16_t>(0x0800 + in.byte() % 4);
            writer.record(0x04, 0, {static_cast<uint8_t>(high >> 8), static_cast<uint8_t>(high)});
            model.base = (uint64_t{high} << 16) - flashStart;
        } else if (kind == 5 && atZero) { // extended segment address
            const uint16_t segment = static_cast<uint16_t>(in.word(2));
            writer.record(0x02, 0, {static_cast<uint8_t>(segment >> 8), static_cast<uint8_t>(segment)});
            model.base = uint64_t{segment} * 16;
        } else { // start addresses change nothing
            const uint32_t entry = in.word(4);
            writer.record(kind == 6 ? 0x03 : 0x05, 0,
                          {static_cast<uint8_t>(entry >> 24), static_cast<uint8_t>(entry >> 16),
                           static_cast<uint8_t>(entry >> 8), static_cast<uint8_t>(entry)});
        }
    }
    writer.record(0x01, 0, {});

    const Decoded got = decode(arena(0, capacity), writer.text(), flashStart, capacity);
    FUZZ_CHECK(got.result == got.length);
    FUZZ_CHECK(got.length == model.size);
    uint8_t* expected = arena(1, capacity).lend(capacity);
    for (const auto& [position, value] : model.bytes) expected[position] = value;
    FUZZ_CHECK(sameImage(got, expected, capacity));
    checkLoaderAgrees(writer.text(), flashStart, capacity, got);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint8_t mode = in.byte();
    uint32_t capacity = in.word(2);
    if (mode & kLargeCapacity) capacity *= 4;
    if (mode & 0x80) {
        checkRoundTrip(in, capacity, mode);
    } else {
        checkRawText(in, capacity);
    }
    return 0;
}
