// The download command: flash into the context's flash buffer.
#include <algorithm>

#include "jobs.h"
#include "log.h"
#include "target_session.h"

namespace stm32 {

namespace {

int32_t downloadSteps(TargetSession& target, uint64_t offset, int32_t size) {
    Stm32Context* ctx = target.context();
    if (offset != 0 || static_cast<int64_t>(size) < static_cast<int64_t>(ctx->flashBufferSize)) {
        // Size 0 (the whole flash) is shown as given: the lines echo the request.
        logLine(ctx, "Address: 0x%08X", target.address(offset));
        logLine(ctx, "Size: %d", size);
    }
    if (size < 0) {
        logLine(ctx, "Invalid size.");
        return STM32_RESULT_INVALID_OFFSET;
    }
    if (ctx->flashBuffer == nullptr || offset >= target.usable() || target.flashStart() + offset > 0xFFFFFFFFULL) {
        logLine(ctx, "Invalid offset.");
        return STM32_RESULT_INVALID_OFFSET;
    }
    // Size 0 means up to the end of flash; never past it.
    uint64_t rest = target.usable() - offset;
    uint64_t length = size == 0 ? rest : std::min<uint64_t>(static_cast<uint64_t>(size), rest);
    if (!target.open()) return STM32_RESULT_OPEN_ERROR;
    logLine(ctx, "Reading flash.");
    if (target.readToBufferStart(offset, length) != 0) return target.failed(STM32_RESULT_READ_ERROR);
    ctx->report.bytes = static_cast<uint32_t>(length);
    return STM32_RESULT_OK;
}

} // namespace

int32_t runDownload(TargetSession& target, uint32_t offset, int32_t size) {
    return target.finish(downloadSteps(target, offset, size), "Error while reading STM32 flash.");
}

} // namespace stm32
