// The cause of a failed step: which request, at which address, and what the
// board or libusb answered. Kept so that a failure can say more than its
// result code.
#ifndef STM32_CORE_FAILURE_H
#define STM32_CORE_FAILURE_H

#include <cstdint>
#include <string>

namespace stm32 {

// A request, and the flash address it works on when it has one.
struct RequestAt {
    const char* name = nullptr; // "SET_ADDRESS", "ERASE", "WRITE", "UPLOAD", "GETSTATUS", ...
    bool hasAddress = false;
    uint32_t address = 0;
};

struct FailureCause {
    // The board answered the request with this state and status.
    static FailureCause answered(const RequestAt& request, uint32_t state, uint32_t status,
                                 const char* detail = nullptr);
    // libusb failed the request (libusbError), or it went through (0) and
    // detail says what was wrong.
    static FailureCause failed(const RequestAt& request, int libusbError, const char* detail = nullptr);

    const char* request = nullptr; // null: no failure
    bool hasAddress = false;
    uint32_t address = 0;
    int libusbError = 0;           // the request's own libusb error, 0 if it went through
    bool hasStatus = false;        // the board's answer, when there was one
    uint32_t state = 0;
    uint32_t status = 0;
    const char* detail = nullptr;  // what went wrong beyond the answer ("no busy phase", ...)

    bool empty() const { return request == nullptr; }
    // "ERASE at 0x08004000: board answered dfuERROR, errERASE" and the like.
    std::string describe() const;
};

const char* dfuStateName(uint32_t state);
const char* dfuStatusName(uint32_t status);

} // namespace stm32

#endif
