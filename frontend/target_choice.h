/*
 * Choosing the board: the front ends count boards from 0 in the order of the
 * core's target list; stm32Command wants the target index at that position.
 */
#ifndef STM32_FRONTEND_TARGET_CHOICE_H
#define STM32_FRONTEND_TARGET_CHOICE_H

#include <stdint.h>

#include "stm32.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The index at position in indices[0..count), or -1 when position is outside. */
int32_t stm32TargetAt(const int32_t *indices, int32_t count, int32_t position);

/*
 * Enumerates now and answers the number of connected targets (0 when none or
 * when the USB library fails). *targetIndex receives the index at position,
 * or -1 when position is outside the list (the caller decides whether that is
 * an error or "the first target found").
 */
int32_t stm32FindTarget(Stm32Context *context, int32_t position, int32_t *targetIndex);

#ifdef __cplusplus
}
#endif

#endif /* STM32_FRONTEND_TARGET_CHOICE_H */
