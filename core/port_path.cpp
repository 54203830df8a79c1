// USB port paths.
#include "port_path.h"

namespace stm32 {

std::string portPathOf(libusb_device* device) {
    if (device == nullptr) return std::string();
    uint8_t ports[8] = {}; // USB allows at most 7 ports between a device and its root hub
    const int depth = libusb_get_port_numbers(device, ports, sizeof ports);
    if (depth <= 0) return std::string();
    std::string path = std::to_string(libusb_get_bus_number(device)) + "-";
    for (int i = 0; i < depth; ++i) path += (i ? "." : "") + std::to_string(ports[i]);
    return path;
}

} // namespace stm32
