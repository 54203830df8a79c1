/* A stand-in libusb-1.0.dll for running the Windows programs under wine in
 * tests: each export takes the Windows x64 calling convention (what
 * LIBUSB_CALL means there) and calls the same function of the host's
 * libusb-1.0.so.0 (System V convention), so the unchanged .exe reaches the
 * host's USB bus, a umockdev testbed included. Never shipped.
 *
 * The structures passed through (descriptors, opaque handles) have the same
 * layout on both sides: no long, no timeval, no callback. */

/* winegcc defines _WIN32; the host header must then declare the System V
 * functions of the host library, not WINAPI ones. */
#undef _WIN32
#undef WIN32
#undef __CYGWIN__
#include <libusb.h>

#include <stdlib.h>

#define EXPORT __attribute__((ms_abi))

/* STM32_WINE_USB_OPEN_ERROR=<libusb error code> makes every open fail with
 * it, as Windows' libusb fails on a board without the WinUSB driver
 * (LIBUSB_ERROR_NOT_SUPPORTED), which no Linux bus can produce. */
static int forcedOpenError(void)
{
    const char* text = getenv("STM32_WINE_USB_OPEN_ERROR");
    return text != NULL && *text != '\0' ? atoi(text) : 0;
}

EXPORT int bridge_init(libusb_context** context) { return libusb_init(context); }
EXPORT void bridge_exit(libusb_context* context) { libusb_exit(context); }

EXPORT ssize_t bridge_get_device_list(libusb_context* context, libusb_device*** list)
{
    return libusb_get_device_list(context, list);
}

EXPORT void bridge_free_device_list(libusb_device** list, int unreference)
{
    libusb_free_device_list(list, unreference);
}

EXPORT int bridge_get_device_descriptor(libusb_device* device, struct libusb_device_descriptor* descriptor)
{
    return libusb_get_device_descriptor(device, descriptor);
}

EXPORT int bridge_get_config_descriptor(libusb_device* device, uint8_t index, struct libusb_config_descriptor** config)
{
    return libusb_get_config_descriptor(device, index, config);
}

EXPORT void bridge_free_config_descriptor(struct libusb_config_descriptor* config)
{
    libusb_free_config_descriptor(config);
}

EXPORT uint8_t bridge_get_bus_number(libusb_device* device) { return libusb_get_bus_number(device); }
EXPORT uint8_t bridge_get_device_address(libusb_device* device) { return libusb_get_device_address(device); }

EXPORT int bridge_get_port_numbers(libusb_device* device, uint8_t* numbers, int length)
{
    return libusb_get_port_numbers(device, numbers, length);
}

EXPORT int bridge_open(libusb_device* device, libusb_device_handle** handle)
{
    const int forced = forcedOpenError();
    return forced < 0 ? forced : libusb_open(device, handle);
}
EXPORT void bridge_close(libusb_device_handle* handle) { libusb_close(handle); }

EXPORT int bridge_claim_interface(libusb_device_handle* handle, int interface_number)
{
    return libusb_claim_interface(handle, interface_number);
}

EXPORT int bridge_release_interface(libusb_device_handle* handle, int interface_number)
{
    return libusb_release_interface(handle, interface_number);
}

EXPORT int bridge_set_interface_alt_setting(libusb_device_handle* handle, int interface_number, int alternate)
{
    return libusb_set_interface_alt_setting(handle, interface_number, alternate);
}

EXPORT int bridge_control_transfer(libusb_device_handle* handle, uint8_t request_type, uint8_t request,
                                   uint16_t value, uint16_t index, unsigned char* data, uint16_t length,
                                   unsigned int timeout)
{
    return libusb_control_transfer(handle, request_type, request, value, index, data, length, timeout);
}

EXPORT int bridge_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index, unsigned char* data,
                                              int length)
{
    return libusb_get_string_descriptor_ascii(handle, index, data, length);
}

EXPORT const char* bridge_error_name(int code) { return libusb_error_name(code); }
