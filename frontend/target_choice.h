/*
 * The connected boards as every front end finds and chooses them: counted
 * from 0 in the order of the core's target list; stm32Command wants the
 * target index at that position.
 */
#ifndef STM32_FRONTEND_TARGET_CHOICE_H
#define STM32_FRONTEND_TARGET_CHOICE_H

#include <stdint.h>

#include "stm32.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The target indices of the connected boards, in list order. */
typedef struct Stm32TargetList {
    int32_t *indices; /* owned by the record; null when count is 0 */
    int32_t count;
} Stm32TargetList;

/*
 * Enumerates now: counts the targets, then lists them. A board that left
 * between counting and listing is left out. Answers the number listed (0
 * when none, or when the USB library fails), or -1 when memory is short
 * (the list is then empty). Release the list with stm32ReleaseTargetList.
 */
int32_t stm32ListTargets(Stm32Context *context, Stm32TargetList *list);

/* The same for a caller that has counted already (to see whether anything changed): only the listing. */
int32_t stm32ListCountedTargets(Stm32Context *context, int32_t count, Stm32TargetList *list);

/* Frees the indices; the record can be listed into again. Null is fine. */
void stm32ReleaseTargetList(Stm32TargetList *list);

/* The index at position in indices[0..count), or -1 when position is outside. */
int32_t stm32TargetAt(const int32_t *indices, int32_t count, int32_t position);

/* A chosen position that no longer names one of count targets falls back to the first (0). */
int32_t stm32KeepChosenPosition(int32_t position, int32_t count);

/*
 * Enumerates now and answers the number of connected targets (0 when none,
 * when the USB library fails or when memory is short). *targetIndex
 * receives the index at position, or -1 when position is outside the list
 * (the caller decides whether that is an error or "the first target found").
 */
int32_t stm32FindTarget(Stm32Context *context, int32_t position, int32_t *targetIndex);

#ifdef __cplusplus
}

/* For C++ callers: a target list released at the end of its scope. */
struct Stm32ScopedTargetList {
    Stm32TargetList list = {nullptr, 0};
    Stm32ScopedTargetList() = default;
    ~Stm32ScopedTargetList() { stm32ReleaseTargetList(&list); }
    Stm32ScopedTargetList(const Stm32ScopedTargetList &) = delete;
    Stm32ScopedTargetList &operator=(const Stm32ScopedTargetList &) = delete;
};
#endif

#endif /* STM32_FRONTEND_TARGET_CHOICE_H */
