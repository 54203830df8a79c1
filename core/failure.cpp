// Names of DFU states and status codes, and the text of a failure cause.
#include "failure.h"

#include <libusb.h>

#include <cstdio>

namespace stm32 {

const char* dfuStateName(uint32_t state) {
    static const char* const names[] = {"appIDLE",         "appDETACH",        "dfuIDLE",       "dfuDNLOAD-SYNC",
                                        "dfuDNBUSY",       "dfuDNLOAD-IDLE",   "dfuMANIFEST-SYNC", "dfuMANIFEST",
                                        "dfuMANIFEST-WAIT-RESET", "dfuUPLOAD-IDLE", "dfuERROR"};
    return state < sizeof names / sizeof names[0] ? names[state] : "unknown-state";
}

const char* dfuStatusName(uint32_t status) {
    static const char* const names[] = {"OK",       "errTARGET", "errFILE",     "errWRITE",  "errERASE",
                                        "errCHECK_ERASED", "errPROG", "errVERIFY", "errADDRESS", "errNOTDONE",
                                        "errFIRMWARE", "errVENDOR", "errUSBR",   "errPOR",    "errUNKNOWN",
                                        "errSTALLEDPKT"};
    return status < sizeof names / sizeof names[0] ? names[status] : "unknown-status";
}

namespace {

FailureCause causeOf(const RequestAt& request, const char* detail) {
    FailureCause cause;
    cause.request = request.name;
    cause.hasAddress = request.hasAddress;
    cause.address = request.address;
    cause.detail = detail;
    return cause;
}

} // namespace

FailureCause FailureCause::answered(const RequestAt& request, uint32_t state, uint32_t status, const char* detail) {
    FailureCause cause = causeOf(request, detail);
    cause.hasStatus = true;
    cause.state = state;
    cause.status = status;
    return cause;
}

FailureCause FailureCause::failed(const RequestAt& request, int libusbError, const char* detail) {
    FailureCause cause = causeOf(request, detail);
    cause.libusbError = libusbError;
    return cause;
}

std::string FailureCause::describe() const {
    if (empty()) return "no failure recorded";
    char text[256];
    int used = std::snprintf(text, sizeof text, "%s", request);
    if (hasAddress) used += std::snprintf(text + used, sizeof text - used, " at 0x%08X", address);
    if (libusbError != 0) {
        used += std::snprintf(text + used, sizeof text - used, ": %s", libusb_error_name(libusbError));
    } else if (hasStatus) {
        used += std::snprintf(text + used, sizeof text - used, ": board answered %s, %s", dfuStateName(state),
                              dfuStatusName(status));
    }
    if (detail != nullptr && used < static_cast<int>(sizeof text)) {
        std::snprintf(text + used, sizeof text - used, " (%s)", detail);
    }
    return text;
}

} // namespace stm32
