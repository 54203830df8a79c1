// Where a device sits on the USB: bus and port chain, written as lsusb -t and
// dfu-util's -p write it ("1-2.3"). It names a board that shares its serial
// number with others, as long as it stays in the same socket.
#ifndef STM32_CORE_PORT_PATH_H
#define STM32_CORE_PORT_PATH_H

#include <libusb.h>

#include <string>

namespace stm32 {

// "1-2.3"; empty when libusb does not know the ports (a root hub, or a
// platform that cannot tell).
std::string portPathOf(libusb_device* device);

} // namespace stm32

#endif
