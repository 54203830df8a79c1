// stm32Command: checks the command and its target, then hands it to its job.
#include <new>

#include "dfu.h"
#include "jobs.h"
#include "log.h"
#include "stm32.h"
#include "target_session.h"

namespace {

using stm32::logLine;

int32_t runCommand(Stm32Context* context, int32_t targetIndex, uint32_t flashStart, uint32_t offset, int32_t size,
                   uint32_t command) {
    stm32::TargetSession target(context, flashStart);
    if (!target.startUsb()) {
        logLine(context, "Problem with USB.");
        return STM32_RESULT_USB_INIT;
    }
    if (command > STM32_CMD_LIST) return STM32_RESULT_NO_TARGET;
    if (command == STM32_CMD_LIST) return stm32::runList(context);
    if (!target.select(targetIndex)) {
        logLine(context, "STM32 not connected or not in bootload mode.");
        return STM32_RESULT_NO_TARGET;
    }
    const DfuFunctionalInfo info = target.functionalDescriptor();
    if (info.bDescriptorType != stm32::kFunctionalDescriptorType) return STM32_RESULT_NO_TARGET;
    if (info.wTransferSize <= 0 || info.wTransferSize > stm32::kMaxTransferSize) {
        logLine(context, "Unsupported transfer size %d (1 to %d bytes).", info.wTransferSize, stm32::kMaxTransferSize);
        return STM32_RESULT_NO_TARGET;
    }
    target.setBlockSize(static_cast<uint32_t>(info.wTransferSize));
    switch (command) {
    case STM32_CMD_UPLOAD: return stm32::runUpload(target, offset);
    case STM32_CMD_DOWNLOAD: return stm32::runDownload(target, offset, size);
    default: return stm32::runErase(target, offset, size);
    }
}

} // namespace

extern "C" int32_t stm32Command(Stm32Context* context, int32_t targetIndex, uint32_t flashStart, uint32_t offset,
                                int32_t size, uint32_t command) {
    if (context == nullptr) return STM32_RESULT_NO_TARGET;
    context->report = Stm32CommandReport{};
    try {
        return runCommand(context, targetIndex, flashStart, offset, size, command);
    } catch (const std::bad_alloc&) {
        context->logLineLength = 0;
        logLine(context, "Out of memory.");
        return STM32_RESULT_OUT_OF_MEMORY;
    } catch (...) {
        context->logLineLength = 0;
        return STM32_RESULT_NO_TARGET;
    }
}
