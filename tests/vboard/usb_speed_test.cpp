// How many control transfers per second the emulated bus carries; the
// benchmarks and the timing model depend on it staying in this range.
#include "usb_helpers.h"
#include "virtual_board.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

using namespace vboardtest;

TEST(UsbSpeed, ControlTransfersPerSecond) {
    vboard::Bus bus;
    vboard::Board& board = bus.addBoard();
    auto context = openContext();
    auto handle = openAt(context.get(), 0);
    constexpr int kRequests = 2000;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kRequests; ++i) ASSERT_EQ(getStatus(handle.get()).transferred, 6);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double rate = kRequests / seconds;

    std::vector<uint8_t> block(2048);
    ASSERT_EQ(command(handle.get(), setAddressCommand(0x08000000)).state, vboard::dfuDNLOAD_IDLE);
    ASSERT_EQ(abortRequest(handle.get()), 0);
    start = std::chrono::steady_clock::now();
    for (uint16_t i = 0; i < 128; ++i) ASSERT_EQ(upload(handle.get(), uint16_t(2 + i), block), 2048);
    double uploadSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::printf("control transfers per second (GETSTATUS): %.0f\n", rate);
    std::printf("256 KB upload in 2048-byte blocks: %.1f ms (%.0f KB/s)\n", uploadSeconds * 1000,
                256 / uploadSeconds);
    RecordProperty("transfersPerSecond", int(rate));
    EXPECT_EQ(board.count(vboard::Request::GetStatus), uint64_t(kRequests) + 2);
    // Far below what the bus does on a loaded 2-core machine; catches a
    // handler that sleeps or a reap loop that stalls.
    EXPECT_GT(rate, 200.0);
}
