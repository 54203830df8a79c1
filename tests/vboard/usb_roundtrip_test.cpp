// The board as plain libusb sees it: enumeration, descriptors, DfuSe traffic.
#include "usb_helpers.h"
#include "virtual_board.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

using namespace vboardtest;

namespace {

std::string stringDescriptor(libusb_device_handle* handle, uint8_t index) {
    unsigned char text[256] = {};
    int length = libusb_get_string_descriptor_ascii(handle, index, text, sizeof text);
    return length < 0 ? std::string("<error ") + libusb_error_name(length) + ">"
                      : std::string(reinterpret_cast<char*>(text), size_t(length));
}

} // namespace

TEST(UsbEnumeration, ListOrderIsAdditionOrderWithForeignDeviceFirst) {
    vboard::Bus bus;
    bus.addForeignDevice();
    vboard::Board& f1 = bus.addBoard({});
    vboard::Board& f4 = bus.addBoard(vboard::BoardOptions{vboard::Profile::F4, 0.0, 0xFF, "", false, false, vboard::UsbAccess::Normal, ""});
    auto context = openContext();
    auto devices = listDevices(context.get());
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_NE(devices[0].vendor, 0x0483);
    EXPECT_EQ(devices[1].vendor, 0x0483);
    EXPECT_EQ(devices[1].product, 0xDF11);
    EXPECT_EQ(devices[2].product, 0xDF11);
    EXPECT_EQ(f1.listPosition(), 1);
    EXPECT_EQ(f4.listPosition(), 2);

    // Profiles are told apart by their layout strings.
    auto handle = openAt(context.get(), 2);
    EXPECT_EQ(stringDescriptor(handle.get(), 4), "@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg");
}

TEST(UsbDescriptors, F1ConfigurationCarriesDfuAltSettingsAndFunctionalDescriptor) {
    vboard::Bus bus;
    bus.addBoard({});
    auto context = openContext();
    libusb_device** rawList = nullptr;
    ASSERT_EQ(libusb_get_device_list(context.get(), &rawList), 1);
    std::unique_ptr<libusb_device*, void (*)(libusb_device**)> list(
        rawList, [](libusb_device** l) { libusb_free_device_list(l, 1); });
    libusb_config_descriptor* rawConfig = nullptr;
    ASSERT_EQ(libusb_get_config_descriptor(list.get()[0], 0, &rawConfig), 0);
    std::unique_ptr<libusb_config_descriptor, void (*)(libusb_config_descriptor*)> config(
        rawConfig, libusb_free_config_descriptor);
    ASSERT_EQ(config->bNumInterfaces, 1);
    const libusb_interface& interface = config->interface[0];
    ASSERT_EQ(interface.num_altsetting, 2);
    for (int alt = 0; alt < 2; ++alt) {
        EXPECT_EQ(interface.altsetting[alt].bInterfaceClass, 0xFE);
        EXPECT_EQ(interface.altsetting[alt].bInterfaceSubClass, 0x01);
        EXPECT_EQ(interface.altsetting[alt].bInterfaceProtocol, 0x02);
        EXPECT_NE(interface.altsetting[alt].iInterface, 0);
    }
    const libusb_interface_descriptor& last = interface.altsetting[1];
    const uint8_t expected[] = {0x09, 0x21, 0x0B, 0xFF, 0x00, 0x00, 0x08, 0x1A, 0x01};
    ASSERT_EQ(last.extra_length, 9);
    EXPECT_EQ(std::memcmp(last.extra, expected, 9), 0);

    libusb_device_handle* raw = nullptr;
    ASSERT_EQ(libusb_open(list.get()[0], &raw), 0);
    Handle handle(raw);
    EXPECT_EQ(stringDescriptor(raw, interface.altsetting[0].iInterface), "@Internal Flash  /0x08000000/128*002Kg");
    EXPECT_EQ(stringDescriptor(raw, interface.altsetting[1].iInterface), "@Option Bytes  /0x1FFFF800/01*016 g");
    // As the F105/F107 ROM dump shows.
    EXPECT_EQ(stringDescriptor(raw, 2), "STM32 0x418 DFU Bootloader");
    EXPECT_EQ(stringDescriptor(raw, 3), "STM32");
}

TEST(UsbDfuSe, SetAddressDownloadUploadRoundTrip) {
    vboard::Bus bus;
    vboard::Board& board = bus.addBoard({});
    auto context = openContext();
    auto handle = openAt(context.get(), 0);

    Status status = command(handle.get(), erasePageCommand(0x08000800));
    EXPECT_EQ(status.status, vboard::OK);
    EXPECT_EQ(status.state, vboard::dfuDNLOAD_IDLE);
    status = command(handle.get(), setAddressCommand(0x08000800));
    EXPECT_EQ(status.state, vboard::dfuDNLOAD_IDLE);

    auto data = pattern(2048, 3);
    status = downloadBlock(handle.get(), 2, data);
    EXPECT_EQ(status.status, vboard::OK);
    EXPECT_EQ(board.read(0x08000800, 2048), data);

    ASSERT_EQ(abortRequest(handle.get()), 0);
    std::vector<uint8_t> readBack(2048);
    ASSERT_EQ(upload(handle.get(), 2, readBack), 2048);
    EXPECT_EQ(readBack, data);
    EXPECT_EQ(getStatus(handle.get()).state, vboard::dfuUPLOAD_IDLE);

    EXPECT_EQ(board.count(vboard::Request::SetAddress), 1u);
    EXPECT_EQ(board.count(vboard::Request::ErasePage), 1u);
    EXPECT_EQ(board.count(vboard::Request::DataBlock), 1u);
    EXPECT_EQ(board.count(vboard::Request::Upload), 1u);
    EXPECT_EQ(board.counters().bytesDownloaded, 2048u);
    EXPECT_EQ(board.counters().bytesUploaded, 2048u);
}
