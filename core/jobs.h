// The commands of stm32Command, each a job of its own file. A job runs its
// steps on an open target in order and ends with its closing line; a step
// that fails maps to the job's result and ends it.
#ifndef STM32_CORE_JOBS_H
#define STM32_CORE_JOBS_H

#include <cstdint>

#include "stm32.h"

namespace stm32 {

class TargetSession;

// One log line per connected target.
int32_t runList(Stm32Context* context);
// The context's image into flash at flash start + offset, verified, then started.
int32_t runUpload(TargetSession& target, uint32_t offset);
// size bytes (0: up to the end of flash) at flash start + offset into the flash buffer.
int32_t runDownload(TargetSession& target, uint32_t offset, int32_t size);
// size bytes at flash start + offset erased (both 0: the whole flash).
int32_t runErase(TargetSession& target, uint32_t offset, int32_t size);

} // namespace stm32

#endif
