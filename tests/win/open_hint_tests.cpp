// The hint line after a failed open or claim, on the platform it is built
// for: under wine this is the Windows build, whose users must bind WinUSB.
#include <gtest/gtest.h>
#include <libusb.h>

#include <string>
#include <vector>

#include "log.h"
#include "open_failure.h"
#include "stm32.h"

namespace {

int recordLine(void* userData, const char* text, uint32_t length, int continuation) {
    if (continuation == 0 && length > 0) static_cast<std::vector<std::string>*>(userData)->emplace_back(text, length);
    return 0;
}

std::vector<std::string> hintFor(int libusbError) {
    std::vector<std::string> lines;
    Stm32Context* context = stm32Init();
    stm32RegisterLogCallback(context, &lines, recordLine);
    stm32::logOpenHint(context, libusbError);
    stm32Exit(context);
    return lines;
}

TEST(OpenHint, EachLibusbErrorGetsOneLineThatSaysWhatToDo) {
    const std::vector<std::string> driver = hintFor(LIBUSB_ERROR_NOT_SUPPORTED);
    ASSERT_EQ(driver.size(), 1u);
#ifdef _WIN32
    EXPECT_NE(driver[0].find("bind WinUSB to \"STM32 BOOTLOADER\" (USB\\VID_0483&PID_DF11)"), std::string::npos)
        << driver[0];
    EXPECT_EQ(hintFor(LIBUSB_ERROR_NOT_FOUND), driver) << "a missing driver reads the same";
#else
    EXPECT_NE(driver[0].find("LIBUSB_ERROR_NOT_SUPPORTED"), std::string::npos) << driver[0];
#endif
    const std::vector<std::string> busy = hintFor(LIBUSB_ERROR_BUSY);
    ASSERT_EQ(busy.size(), 1u);
    EXPECT_NE(busy[0].find("another program holds it"), std::string::npos) << busy[0];
    const std::vector<std::string> access = hintFor(LIBUSB_ERROR_ACCESS);
    ASSERT_EQ(access.size(), 1u);
#ifdef __linux__
    EXPECT_NE(access[0].find("install the udev rule"), std::string::npos) << access[0];
#endif
}

// stm32cmd prints the hint and the words itself: they must be the library's.
TEST(OpenHint, FrontEndsShowTheLibrarysOwnWording) {
    for (int error : {LIBUSB_ERROR_ACCESS, LIBUSB_ERROR_BUSY, LIBUSB_ERROR_NOT_SUPPORTED, LIBUSB_ERROR_NOT_FOUND,
                      LIBUSB_ERROR_NO_DEVICE, LIBUSB_ERROR_IO}) {
        const std::vector<std::string> logged = hintFor(error);
        ASSERT_EQ(logged.size(), 1u) << error;
        if (const char* hint = stm32OpenFailureHint(error)) {
            EXPECT_EQ(logged[0], hint);
        } else {
            EXPECT_NE(logged[0].find(libusb_error_name(error)), std::string::npos) << logged[0];
        }
    }
    EXPECT_STREQ(stm32OpenFailureWords(LIBUSB_ERROR_ACCESS), "access denied");
    EXPECT_STREQ(stm32OpenFailureWords(LIBUSB_ERROR_NOT_FOUND), stm32OpenFailureWords(LIBUSB_ERROR_NOT_SUPPORTED));
    EXPECT_STREQ(stm32OpenFailureWords(LIBUSB_ERROR_IO), "LIBUSB_ERROR_IO");
    EXPECT_EQ(stm32OpenFailureHint(LIBUSB_ERROR_IO), nullptr) << "nothing the user can change";
    EXPECT_NE(stm32OpenFailureHint(LIBUSB_ERROR_ACCESS), nullptr);
#ifdef _WIN32
    EXPECT_NE(stm32OpenFailureHint(LIBUSB_ERROR_NOT_FOUND), nullptr) << "bind WinUSB";
#else
    EXPECT_EQ(stm32OpenFailureHint(LIBUSB_ERROR_NOT_FOUND), nullptr);
#endif
}

} // namespace
