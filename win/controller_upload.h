// The upload thread: at most one runs; the next upload joins the one before,
// which has handed the target back as its last step.
#ifndef STM32_WIN_CONTROLLER_UPLOAD_H
#define STM32_WIN_CONTROLLER_UPLOAD_H

#include <functional>
#include <thread>

namespace controller {

class UploadThread {
public:
    // false when no thread could be started.
    bool start(std::function<void()> work);
    void join();
    bool wasStarted() const { return thread_.joinable(); }

private:
    std::thread thread_;
};

} // namespace controller

#endif
