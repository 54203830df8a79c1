// Shared fixture for core tests against fresh virtual boards.
#ifndef STM32_TESTS_CORE_BOARD_FIXTURE_H
#define STM32_TESTS_CORE_BOARD_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "dfu.h"
#include "stm32.h"
#include "target_session.h"
#include "test_bounds.h"
#include "usb_holders.h"
#include "virtual_board.h"

namespace coretest {

struct LogEntry {
    std::string text;
    int continuation;
    uint32_t length;
};

inline int captureLog(void* user, const char* text, uint32_t length, int continuation) {
    static_cast<std::vector<LogEntry>*>(user)->push_back({std::string(text, length), continuation, length});
    return 0;
}

// Flash bytes that differ from the erased value everywhere, so that every
// block of an image is really written.
inline std::vector<uint8_t> patternBytes(size_t length, uint32_t seed) {
    std::vector<uint8_t> bytes(length);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x % 255); // never 0xFF
    }
    return bytes;
}

constexpr uint32_t kStackTop = 0x20005000; // a plausible initial stack pointer (SRAM)

// Puts a vector table as a real program has at bytes 0..7: a stack pointer in
// SRAM, then the reset handler (a flash address).
inline std::vector<uint8_t> withVector(std::vector<uint8_t> bytes, uint32_t vector) {
    for (int i = 0; i < 8 && i < static_cast<int>(bytes.size()); ++i) {
        uint32_t word = i < 4 ? kStackTop : vector;
        bytes[i] = static_cast<uint8_t>(word >> (8 * (i % 4)));
    }
    return bytes;
}

// The same eight bytes, for writing a resident program's table into a board.
inline std::vector<uint8_t> vectorTable(uint32_t resetHandler) {
    return withVector(std::vector<uint8_t>(8, 0xFF), resetHandler);
}

inline uint32_t wordAt(const std::vector<uint8_t>& bytes, size_t at) {
    return bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) | (static_cast<uint32_t>(bytes[at + 3]) << 24);
}

class BoardTest : public ::testing::Test {
protected:
    void SetUp() override {
        bus = std::make_unique<vboard::Bus>();
        ctx = stm32Init();
        ASSERT_NE(ctx, nullptr);
        stm32RegisterLogCallback(ctx, &log, captureLog);
        // Short bounds keep hang and stuck-busy cases quick.
        stm32::setControlTimeout(400);
        stm32::setBusyWaitLimit(std::chrono::milliseconds(400));
    }
    void TearDown() override {
        stm32Exit(ctx);
        stm32::setControlTimeout(9000);
        stm32::setBusyWaitLimit(std::chrono::milliseconds(120000));
        bus.reset();
    }

    vboard::Board& addBoard(vboard::Profile profile, uint8_t fill = 0xFF) {
        vboard::BoardOptions options;
        options.profile = profile;
        options.fillByte = fill;
        return bus->addBoard(options);
    }

    // Lends buffers sized to the board's flash; image as given.
    void lend(const vboard::Board& board, const std::vector<uint8_t>& imageBytes) {
        flashBuffer.assign(board.flashSize(), 0);
        image.assign(board.flashSize(), 0);
        std::copy(imageBytes.begin(), imageBytes.end(), image.begin());
        stm32SetBuffer(ctx, flashBuffer.data(), static_cast<int32_t>(flashBuffer.size()), image.data(),
                       static_cast<int32_t>(imageBytes.size()));
    }

    int32_t command(const vboard::Board& board, uint32_t cmd, uint32_t offset, int32_t size = 0) {
        return stm32Command(ctx, board.listPosition(), board.flashStart(), offset, size, cmd);
    }

    // The log as a user sees it: pieces joined into their line.
    std::vector<std::string> transcript() const {
        std::vector<std::string> lines;
        std::string open;
        bool pieces = false;
        for (const LogEntry& e : log) {
            if (e.continuation == 1) {
                open += e.text;
                pieces = true;
            } else if (e.length == 0) {
                lines.push_back(open);
                open.clear();
                pieces = false;
            } else {
                if (pieces) lines.push_back(open + "<unterminated>");
                open.clear();
                pieces = false;
                lines.push_back(e.text);
            }
        }
        if (pieces) lines.push_back(open + "<unterminated>");
        return lines;
    }

    static uint64_t classRequests(const vboard::Board& board) {
        uint64_t total = 0;
        for (const auto& [kind, n] : board.counters().requests) {
            if (kind != vboard::Request::Standard) total += n;
        }
        return total;
    }

    std::unique_ptr<vboard::Bus> bus;
    Stm32Context* ctx = nullptr;
    std::vector<LogEntry> log;
    std::vector<uint8_t> flashBuffer;
    std::vector<uint8_t> image;
};

// An open handle on a board for transport-level tests.
class OpenTarget {
public:
    explicit OpenTarget(const vboard::Board& board) {
        if (usb_.init() != 0 || list_.take(usb_.get()) <= 0) return;
        size_t position = static_cast<size_t>(board.listPosition());
        if (position >= list_.size()) return;
        device_ = list_.at(position);
        libusb_get_device_descriptor(device_, &descriptor_);
        if (stm32::openTarget(session_, device_, handle_) != 0) device_ = nullptr;
    }
    bool ok() const { return device_ != nullptr && handle_.get() != nullptr; }
    libusb_device_handle* handle() const { return handle_.get(); }
    // A session on the open handle, for the transport's own forms.
    stm32::Session& session() { return session_; }
    libusb_device* device() const { return device_; }
    const libusb_device_descriptor* descriptor() const { return &descriptor_; }

private:
    stm32::UsbContext usb_;
    stm32::DeviceList list_;
    stm32::DeviceHandle handle_;
    stm32::Session session_;
    libusb_device* device_ = nullptr;
    libusb_device_descriptor descriptor_{};
};

} // namespace coretest

#endif
