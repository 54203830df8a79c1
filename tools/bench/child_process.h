// Runs a program as a child and measures it: wall time from fork to reaping,
// exit status and peak resident memory as the kernel reports it to wait4.
#ifndef STM32_BENCH_CHILD_PROCESS_H
#define STM32_BENCH_CHILD_PROCESS_H

#include <string>
#include <vector>

namespace bench {

struct ChildResult {
    int exitStatus = -1;     // 128 + signal when killed, -1 when it could not start
    double seconds = 0;
    long maxRssKilobytes = 0;
};

// Standard output and error of the child go to `logPath` (appended).
ChildResult runChild(const std::vector<std::string>& argv, const std::string& logPath);

} // namespace bench

#endif
