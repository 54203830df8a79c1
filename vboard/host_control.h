// Boards that arrive and leave while the host's command runs: at times
// given on the command line, and on the commands of a control FIFO.
#ifndef STM32_VBOARD_HOST_CONTROL_H
#define STM32_VBOARD_HOST_CONTROL_H

#include "host_options.h"
#include "virtual_board.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vboard {

class PlugControl {
public:
    // boards[i] is the board of requests[i].
    PlugControl(Bus& bus, std::vector<Board*> boards, const std::vector<BoardRequest>& requests);
    ~PlugControl();
    PlugControl(const PlugControl&) = delete;
    PlugControl& operator=(const PlugControl&) = delete;

    // Takes the boards that start unplugged off the bus and opens the FIFO
    // (made when missing); false with a message when it cannot be used.
    bool prepare(const std::string& controlFifo, std::string& error);
    // From now on the timed events run, and the FIFO is read.
    void start();
    void stop();

private:
    struct Timed {
        double seconds;
        size_t board;
        bool plug;
    };
    void runTimed();
    void readControl();
    void apply(const ControlCommand& command);

    Bus& bus_;
    std::vector<Board*> boards_;
    std::vector<Timed> timed_;
    std::vector<bool> startsUnplugged_;
    int fifo_ = -1;
    std::atomic<bool> stopping_{false};
    std::mutex waitMutex_;
    std::condition_variable wake_;
    std::thread timedThread_;
    std::thread controlThread_;
};

} // namespace vboard

#endif
