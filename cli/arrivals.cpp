#include "arrivals.h"

#include <algorithm>

namespace cli {

std::vector<std::string> ArrivalTracker::update(const std::vector<std::string>& present)
{
    const auto isPresent = [&present](const std::string& path) {
        return std::find(present.begin(), present.end(), path) != present.end();
    };
    for (auto it = known_.begin(); it != known_.end();) {
        Board& board = it->second;
        if (isPresent(it->first)) {
            ++it;
        } else if (board.busy) {
            board.leftWhileBusy = true;
            ++it;
        } else {
            it = known_.erase(it); // gone: the next time it is seen, it has arrived
        }
    }
    std::vector<std::string> arrived;
    for (const std::string& path : present) {
        auto found = known_.find(path);
        if (found == known_.end()) {
            known_[path].busy = true;
            arrived.push_back(path);
        }
    }
    return arrived;
}

void ArrivalTracker::finished(const std::string& path)
{
    auto found = known_.find(path);
    if (found == known_.end()) return;
    // Gone and back while it was programmed: forgetting it makes the next
    // poll that sees it an arrival; still gone: the next poll forgets it anyway.
    if (found->second.leftWhileBusy) {
        known_.erase(found);
        return;
    }
    found->second.busy = false;
}

size_t ArrivalTracker::busy() const
{
    return static_cast<size_t>(
        std::count_if(known_.begin(), known_.end(), [](const auto& entry) { return entry.second.busy; }));
}

} // namespace cli
