// Runs a program as a child and measures it: wall time from fork to reaping,
// exit status and peak resident memory as the kernel reports it to wait4.
//
// A forked child counts the pages it shares with its parent until it execs,
// and the kernel keeps that high-water mark; children of a big parent would
// show the parent's memory. startLauncher() therefore forks a small helper
// first thing, and every later child is started from there.
#ifndef STM32_BENCH_CHILD_PROCESS_H
#define STM32_BENCH_CHILD_PROCESS_H

#include <string>
#include <utility>
#include <vector>

namespace bench {

struct ChildResult {
    int exitStatus = -1;     // 128 + signal when killed, -1 when it could not start
    double seconds = 0;
    long maxRssKilobytes = 0;
    double cpuSeconds = 0;   // user + system time of the child
};

using Environment = std::vector<std::pair<std::string, std::string>>;

// Call before the process grows; false when the helper could not start
// (children are then forked from this process).
bool startLauncher();
// Ends the helper and waits for it.
void stopLauncher();

// Standard output and error of the child go to `logPath` (appended);
// `environment` is set in the child on top of the inherited one.
ChildResult runChild(const std::vector<std::string>& argv, const std::string& logPath,
                     const Environment& environment = {});

} // namespace bench

#endif
