/*
 * Why a board could not be opened, claimed or switched to its alternate
 * setting, from the libusb error (stm32Command's result 6, or openResult of
 * Stm32DeviceDetails): one wording of the fact for the library's log and for
 * every front end. Plain C; the texts are static.
 */
#ifndef STM32_CORE_OPEN_FAILURE_H
#define STM32_CORE_OPEN_FAILURE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A few words for the error ("access denied", "busy: another program holds it"), or libusb's name of it. */
const char *stm32OpenFailureWords(int32_t libusbError);

/*
 * One sentence, without its line break, that says what the user can change
 * ("Access to the board was denied: install the udev rule (...)."); null
 * when there is nothing the user can change on this platform.
 */
const char *stm32OpenFailureHint(int32_t libusbError);

#ifdef __cplusplus
}
#endif

#endif /* STM32_CORE_OPEN_FAILURE_H */
