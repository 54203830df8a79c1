// What the benchmark measured, and its markdown tables.
#ifndef STM32_BENCH_REPORT_H
#define STM32_BENCH_REPORT_H

#include <string>
#include <vector>

#include "jobs.h"
#include "virtual_board.h"

namespace bench {

struct JobResult {
    std::string board;           // profile short name
    Job job;                     // image dropped; name, detail and kind kept
    std::vector<double> seconds; // wall time of each run
    std::vector<long> maxRssKilobytes;
    vboard::Counters counters;   // of the last run (the counts do not vary)
    Minimum minimum;
    // What the ROM announced in the first status reply after each command
    // of the last run (the profile's bwPollTimeout times the commands sent).
    double romPollSeconds = 0;
    std::string failure;         // empty when every run did what it should
    // The same job with dfu-util on the same board model, when it has one.
    bool dfuUtilRan = false;
    std::vector<double> dfuUtilSeconds;
    std::string dfuUtilFailure;
};

struct Report {
    double timeScale = 1;
    std::vector<JobResult> results;
    long baselineRssKilobytes = 0; // stm32cmd -h: the program without a board
};

double median(std::vector<double> values);

std::string markdown(const Report& report);

} // namespace bench

#endif
