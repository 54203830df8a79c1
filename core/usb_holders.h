// RAII holders for every libusb resource the core takes, so that each public
// call closes everything it opened on every return path.
#ifndef STM32_CORE_USB_HOLDERS_H
#define STM32_CORE_USB_HOLDERS_H

#include <libusb.h>

#include <cstddef>

namespace stm32 {

class UsbContext {
public:
    UsbContext() = default;
    ~UsbContext() { reset(); }
    UsbContext(const UsbContext&) = delete;
    UsbContext& operator=(const UsbContext&) = delete;

    // libusb_init result: 0 on success.
    int init() {
        reset();
        return libusb_init(&context_);
    }
    void reset() {
        if (context_ != nullptr) {
            libusb_exit(context_);
            context_ = nullptr;
        }
    }
    libusb_context* get() const { return context_; }

private:
    libusb_context* context_ = nullptr;
};

class DeviceList {
public:
    DeviceList() = default;
    ~DeviceList() { reset(); }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;

    // Number of devices, or a negative libusb error.
    ssize_t take(libusb_context* context) {
        reset();
        ssize_t n = libusb_get_device_list(context, &list_);
        count_ = n > 0 ? static_cast<size_t>(n) : 0;
        if (n < 0) list_ = nullptr;
        return n;
    }
    void reset() {
        if (list_ != nullptr) {
            libusb_free_device_list(list_, 1);
            list_ = nullptr;
        }
        count_ = 0;
    }
    size_t size() const { return count_; }
    libusb_device* at(size_t i) const { return list_[i]; }

private:
    libusb_device** list_ = nullptr;
    size_t count_ = 0;
};

class DeviceHandle {
public:
    DeviceHandle() = default;
    ~DeviceHandle() { reset(); }
    DeviceHandle(const DeviceHandle&) = delete;
    DeviceHandle& operator=(const DeviceHandle&) = delete;

    int open(libusb_device* device) {
        reset();
        int rc = libusb_open(device, &handle_);
        if (rc != 0) handle_ = nullptr;
        return rc;
    }
    void reset() {
        if (handle_ != nullptr) {
            libusb_close(handle_);
            handle_ = nullptr;
        }
    }
    libusb_device_handle* get() const { return handle_; }

private:
    libusb_device_handle* handle_ = nullptr;
};

class ConfigDescriptor {
public:
    ConfigDescriptor() = default;
    ~ConfigDescriptor() { reset(); }
    ConfigDescriptor(const ConfigDescriptor&) = delete;
    ConfigDescriptor& operator=(const ConfigDescriptor&) = delete;

    int read(libusb_device* device, uint8_t index) {
        reset();
        int rc = libusb_get_config_descriptor(device, index, &config_);
        if (rc != 0) config_ = nullptr;
        return rc;
    }
    void reset() {
        if (config_ != nullptr) {
            libusb_free_config_descriptor(config_);
            config_ = nullptr;
        }
    }
    const libusb_config_descriptor* operator->() const { return config_; }
    const libusb_config_descriptor* get() const { return config_; }

private:
    libusb_config_descriptor* config_ = nullptr;
};

} // namespace stm32

#endif
