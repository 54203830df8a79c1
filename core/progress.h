// The progress line of one phase of a command: its heading ("Erasing
// pages."), then a dot for every fifth page erased or block written. The one
// place where progress is shown.
#ifndef STM32_CORE_PROGRESS_H
#define STM32_CORE_PROGRESS_H

#include <cstddef>

#include "stm32.h"

namespace stm32 {

class ProgressLine {
public:
    // log: the context whose log line shows the progress; null shows nothing.
    explicit ProgressLine(Stm32Context* log) : log_(log) {}

    // Opens the line with its heading.
    void begin(const char* heading);
    // One page erased or block written; indexInRun counts from 0 within the
    // run that one transport call handles.
    void stepDone(size_t indexInRun);
    // Closes the line if it is open.
    void end();
    bool open() const { return open_; }

private:
    Stm32Context* log_;
    bool open_ = false;
};

} // namespace stm32

#endif
