// Progress headings and dots on the context's log line.
#include "progress.h"

#include "log.h"

namespace stm32 {

namespace {
constexpr size_t kDotEvery = 5; // one dot per five pages or blocks keeps a console readable
} // namespace

void ProgressLine::begin(const char* heading) {
    logProgress(log_, heading);
    open_ = true;
}

void ProgressLine::stepDone(size_t indexInRun) {
    if (indexInRun % kDotEvery == 0) logProgress(log_, ".");
}

void ProgressLine::end() {
    if (!open_) return;
    logEndProgress(log_);
    open_ = false;
}

} // namespace stm32
