// The benchmark of several boards at once: N F4 boards on one bus, one image,
// stm32cmd --all against one board alone and against dfu-util run once per
// board.
#ifndef STM32_BENCH_MANY_BOARDS_H
#define STM32_BENCH_MANY_BOARDS_H

#include <cstdint>
#include <string>
#include <vector>

#include "virtual_board.h"

namespace bench {

struct ManyBoardsSettings {
    std::string stm32cmd;
    std::string dfuUtil; // empty: no dfu-util column
    std::string workDir;
    double timeScale = 1;
    std::vector<int> boardCounts{1, 4, 8};
    uint64_t imageBytes = 256 * 1024;
    vboard::Profile profile = vboard::Profile::F4;
};

struct ManyBoardsRow {
    int boards = 0;
    double seconds = 0;           // stm32cmd --all, wall
    double cpuSeconds = 0;        // of stm32cmd
    double boardCpuSeconds = 0;   // of the process that serves the virtual boards, meanwhile
    uint64_t statusRequests = 0;  // on all boards
    double dfuUtilSeconds = 0;    // one dfu-util per board, one after the other
    std::string failure;          // empty when every board holds the image and started it
    std::string dfuUtilFailure;
};

struct ManyBoardsReport {
    ManyBoardsSettings settings;
    ManyBoardsRow alone;          // stm32cmd without --all on one board
    std::vector<ManyBoardsRow> rows;
};

ManyBoardsReport runManyBoards(const ManyBoardsSettings& settings);

std::string manyBoardsMarkdown(const ManyBoardsReport& report);

} // namespace bench

#endif
