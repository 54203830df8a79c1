// The jobs the benchmark runs on every board, and the flash geometry of a
// board model as its profile describes it.
#ifndef STM32_BENCH_JOBS_H
#define STM32_BENCH_JOBS_H

#include <cstdint>
#include <string>
#include <vector>

#include "physical_minimum.h"
#include "virtual_board.h"

namespace bench {

enum class JobKind { Upload, Download, EraseAll, List };

struct Job {
    std::string name;    // row label, stable: the test looks rows up by it
    std::string detail;  // what exactly was done, for the reader
    JobKind kind = JobKind::Upload;
    std::vector<uint8_t> image; // uploads: the image file's bytes
    uint64_t offset = 0;        // uploads: -o
    // Uploads: what the board already holds at the offset before the run
    // (empty: only the older program), for re-uploads.
    std::vector<uint8_t> resident;
    bool skipUnchanged = false; // uploads: -k
};

std::vector<Job> makeJobs(uint32_t flashStart, uint64_t flashSize);

// stm32cmd's arguments for a job; `imagePath` and `downloadPath` are the
// files it reads or writes.
std::vector<std::string> stm32cmdArguments(const Job& job, const std::string& imagePath,
                                           const std::string& downloadPath);

// The same job for dfu-util (DfuSe, alternate setting 0); empty when it has
// no such job.
std::vector<std::string> dfuUtilArguments(const Job& job, uint32_t flashStart, uint64_t flashSize,
                                          const std::string& imagePath, const std::string& downloadPath);

FlashGeometry geometryOf(const vboard::Board& board);

// The least time of the job on a board whose flash held `before`.
Minimum minimumOf(const Job& job, const FlashGeometry& geometry, const std::vector<uint8_t>& before);

// Sum of the bwPollTimeout values the board's ROM puts in the first status
// reply after each command counted (scaled by the time scale).
double romPollSeconds(vboard::Profile profile, const vboard::Counters& counters, double timeScale);

// Deterministic bytes that look like code: few of them are 0xFF.
std::vector<uint8_t> codeBytes(uint64_t length, uint32_t seed);
// A program: code whose vector table points its reset handler into flash, so
// that the board can be started after the upload.
std::vector<uint8_t> programBytes(uint64_t length, uint32_t seed, uint32_t flashStart);

} // namespace bench

#endif
