// Exit statuses of stm32cmd that the program itself decides; the others are
// the core's result codes passed through.
#ifndef STM32_CLI_EXIT_STATUS_H
#define STM32_CLI_EXIT_STATUS_H

namespace cli {

enum ExitStatus {
    kExitSuccess = 0,
    kExitNoDevice = 1,
    kExitParameterError = 7,
    kExitSystemError = 8,
    kExitReadFileError = 11,
    kExitWriteFileError = 12,
    kExitFirmwareTooBig = 13,
    kExitReadProtected = 14,
};

} // namespace cli

#endif
