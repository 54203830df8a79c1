// Which boards of a station have just arrived, from what the bus shows poll
// after poll. Pure, so that the rules can be tested without a bus.
#ifndef STM32_CLI_ARRIVALS_H
#define STM32_CLI_ARRIVALS_H

#include <map>
#include <string>
#include <vector>

namespace cli {

// Boards are keyed by their USB port path. A board is programmed once per
// arrival: it arrives when it is seen where it was not, and again only after
// it has been seen gone. A board that leaves while it is being programmed
// (it started its new program) and is back by the time that ends has come
// back: it arrives again.
class ArrivalTracker {
public:
    // The paths on the bus now; returns those that arrived, which count as
    // being programmed until finished() is called for them.
    std::vector<std::string> update(const std::vector<std::string>& present);

    // The board's programming is over (whatever its result).
    void finished(const std::string& path);

    // Boards being programmed now.
    size_t busy() const;

private:
    struct Board {
        bool busy = false;
        bool leftWhileBusy = false;
    };
    std::map<std::string, Board> known_; // seen on the bus and not seen gone since, or busy
};

} // namespace cli

#endif
