#include "report.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace bench {

namespace {

using vboard::Request;

uint64_t count(const vboard::Counters& counters, Request kind) {
    auto it = counters.requests.find(kind);
    return it == counters.requests.end() ? 0 : it->second;
}

std::string fixed(double value, int decimals) {
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

double wall(const JobResult& r) { return median(r.seconds); }

std::string ratio(const JobResult& r, double timeScale) {
    double minimum = r.minimum.seconds(timeScale);
    if (minimum <= 0) return "-";
    return fixed(wall(r) / minimum, 1) + "x";
}

std::string minimumText(const JobResult& r, double timeScale) {
    if (r.job.kind == JobKind::List) return "-";
    std::string text = fixed(r.minimum.seconds(timeScale), 3);
    if (r.minimum.massErase) text += " (mass erase)";
    return text;
}

std::string dfuUtilCell(const JobResult& r) {
    if (!r.dfuUtilRan) return "-";
    if (!r.dfuUtilFailure.empty()) return "FAILED: " + r.dfuUtilFailure;
    return fixed(median(r.dfuUtilSeconds), 3);
}

void row(std::ostringstream& out, const std::vector<std::string>& cells) {
    out << "|";
    for (const auto& cell : cells) out << " " << cell << " |";
    out << "\n";
}

void mainTable(std::ostringstream& out, const Report& report) {
    row(out, {"Board", "Job", "What", "Runs", "Wall (s)", "dfu-util (s)", "Erase cmds", "Mass erases",
              "Blocks written", "Blocks read", "Status requests", "Bytes sent", "Minimum (s)", "Ratio"});
    row(out, {"---", "---", "---", "---:", "---:", "---:", "---:", "---:", "---:", "---:", "---:", "---:", "---:",
              "---:"});
    for (const JobResult& r : report.results) {
        if (!r.failure.empty()) {
            row(out, {r.board, r.job.name, r.job.detail, std::to_string(r.seconds.size()), "FAILED: " + r.failure,
                      dfuUtilCell(r), "", "", "", "", "", "", "", ""});
            continue;
        }
        const auto& c = r.counters;
        row(out, {r.board, r.job.name, r.job.detail, std::to_string(r.seconds.size()), fixed(wall(r), 3),
                  dfuUtilCell(r), std::to_string(count(c, Request::ErasePage)), std::to_string(count(c, Request::MassErase)),
                  std::to_string(count(c, Request::DataBlock)), std::to_string(count(c, Request::Upload)),
                  std::to_string(count(c, Request::GetStatus)), std::to_string(c.bytesDownloaded),
                  minimumText(r, report.timeScale), ratio(r, report.timeScale)});
    }
}

struct TimeShares {
    double wall = 0, busy = 0, romPolls = 0, allPolls = 0, bus = 0;
    void add(const TimeShares& o) {
        wall += o.wall;
        busy += o.busy;
        romPolls += o.romPolls;
        allPolls += o.allPolls;
        bus += o.bus;
    }
};

TimeShares sharesOf(const JobResult& r, double timeScale) {
    const auto& c = r.counters;
    TimeShares s;
    s.wall = wall(r);
    s.busy = timeScale * double(c.busyMicroseconds) / 1e6;
    s.romPolls = r.romPollSeconds;
    s.allPolls = double(c.pollTimeoutMilliseconds) / 1e3;
    s.bus = double(c.bytesDownloaded + c.bytesUploaded) / kControlBytesPerSecond;
    return s;
}

void timeRow(std::ostringstream& out, const std::string& board, const std::string& job, const TimeShares& s) {
    row(out, {board, job, fixed(s.wall, 3), fixed(s.busy, 3), fixed(s.romPolls, 3), fixed(s.allPolls, 3),
              fixed(s.bus, 3), fixed(s.wall - s.busy, 3)});
}

void timeTable(std::ostringstream& out, const Report& report) {
    row(out, {"Board", "Job", "Wall (s)", "True busy (s)", "ROM's first poll timeouts (s)",
              "All poll timeouts reported (s)", "Bus at 832 KB/s (s)", "Wall - true busy (s)"});
    row(out, {"---", "---", "---:", "---:", "---:", "---:", "---:", "---:"});
    TimeShares total;
    std::string board;
    for (const JobResult& r : report.results) {
        if (!r.failure.empty()) continue;
        if (r.board != board) {
            if (!board.empty()) timeRow(out, board, "all jobs", total);
            board = r.board;
            total = {};
        }
        TimeShares shares = sharesOf(r, report.timeScale);
        timeRow(out, r.board, r.job.name, shares);
        total.add(shares);
    }
    if (!board.empty()) timeRow(out, board, "all jobs", total);
}

void hostTable(std::ostringstream& out, const Report& report) {
    row(out, {"Board", "One list call (ms)", "Peak RSS of a full-flash upload (KB)"});
    row(out, {"---", "---:", "---:"});
    std::vector<std::string> boards;
    for (const JobResult& r : report.results)
        if (std::find(boards.begin(), boards.end(), r.board) == boards.end()) boards.push_back(r.board);
    for (const std::string& board : boards) {
        std::string list = "-", rss = "-";
        for (const JobResult& r : report.results) {
            if (r.board != board || !r.failure.empty()) continue;
            if (r.job.kind == JobKind::List) list = fixed(wall(r) * 1e3, 1);
            if (r.job.name == "upload full flash" && !r.maxRssKilobytes.empty())
                rss = std::to_string(*std::max_element(r.maxRssKilobytes.begin(), r.maxRssKilobytes.end()));
        }
        row(out, {board, list, rss});
    }
}

} // namespace

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::string markdown(const Report& report) {
    std::ostringstream out;
    out << "Time scale " << fixed(report.timeScale, 2) << "; wall time is the median of the runs.\n\n";
    mainTable(out, report);
    out << "\nWhere the time goes (last run of each job):\n\n";
    timeTable(out, report);
    out << "\nHost-side cost:\n\n";
    hostTable(out, report);
    out << "\nPeak RSS of stm32cmd -h (the program and the USB stack, no board): " << report.baselineRssKilobytes
        << " KB\n";
    return out.str();
}

} // namespace bench
