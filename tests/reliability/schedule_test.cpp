// Fault schedules from fixed seeds on the F1, F4 and H7 boards, and a longer
// run from a seed given on the command line:
//   reliability_schedules --seed=N [--schedules=N]
// STM32_SCHEDULES sets how many fixed-seed schedules run (default 300).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "schedule.h"
#include "virtual_board.h"

namespace {

using reliability::Outcome;
using reliability::Schedule;
using vboard::Profile;

uint64_t commandLineSeed = 0;
bool haveCommandLineSeed = false;
int commandLineSchedules = 2000;

int fixedScheduleCount() {
    const char* text = std::getenv("STM32_SCHEDULES");
    const int count = text ? std::atoi(text) : 300;
    return count > 0 ? count : 300;
}

struct Tally {
    int schedules = 0;
    int faultsFired = 0;
    int failedSchedules = 0;
    std::map<int32_t, int> results;
    std::chrono::milliseconds slowest{0};
};

// Runs count schedules from seeds first, first + 1, ...; reports every
// schedule that broke an invariant with its seed, so it can be replayed.
Tally runSeeds(Profile profile, uint64_t first, int count) {
    Tally tally;
    for (int i = 0; i < count; ++i) {
        const uint64_t seed = first + static_cast<uint64_t>(i);
        const Outcome outcome = reliability::runSchedule(seed, profile);
        ++tally.schedules;
        tally.faultsFired += outcome.faultFired ? 1 : 0;
        ++tally.results[outcome.result];
        tally.slowest = std::max(tally.slowest, outcome.elapsed);
        if (outcome.violations.empty()) continue;
        ++tally.failedSchedules;
        const Schedule s = reliability::drawSchedule(seed, profile, reliability::Geometry::of(profile));
        std::string text = s.describe() + " -> result " + std::to_string(outcome.result);
        for (const std::string& v : outcome.violations) text += "\n    " + v;
        ADD_FAILURE() << text;
        if (tally.failedSchedules >= 10) break; // enough to go on
    }
    std::printf("%s: %d schedules, %d faults fired, slowest command %lld ms, results:", reliability::profileName(profile),
                tally.schedules, tally.faultsFired, static_cast<long long>(tally.slowest.count()));
    for (const auto& [result, n] : tally.results) std::printf(" %d x%d", result, n);
    std::printf("\n");
    return tally;
}

// Half of the schedules on the F1 board, a third on the F4, the rest on the
// H7, whose 128 KB sectors make every run the slowest.
TEST(FaultSchedules, F1FixedSeeds) { runSeeds(Profile::F1, 0xF1000000, fixedScheduleCount() / 2); }
TEST(FaultSchedules, F4FixedSeeds) { runSeeds(Profile::F4, 0xF4000000, fixedScheduleCount() / 3); }
TEST(FaultSchedules, H7FixedSeeds) {
    runSeeds(Profile::H7, 0x47000000, fixedScheduleCount() - fixedScheduleCount() / 2 - fixedScheduleCount() / 3);
}

TEST(FaultSchedules, CommandLineSeed) {
    if (!haveCommandLineSeed) GTEST_SKIP() << "no --seed given";
    const int each = commandLineSchedules / 3;
    runSeeds(Profile::F1, commandLineSeed, commandLineSchedules - 2 * each);
    runSeeds(Profile::F4, commandLineSeed, each);
    runSeeds(Profile::H7, commandLineSeed, each);
}

// Single faults aimed at each step of a command, with the result the
// command must give. The invariants of the random schedules hold for each.
struct AimedFault {
    const char* name;
    Profile profile;
    reliability::Operation operation;
    uint32_t offset;
    uint32_t length;
    vboard::FaultType type;
    vboard::Request on;
    int skip;
    int32_t expected;
};

void PrintTo(const AimedFault& c, std::ostream* out) { *out << c.name; }

class AimedFaults : public testing::TestWithParam<AimedFault> {};

TEST_P(AimedFaults, GiveTheirResultAndKeepTheInvariants) {
    const AimedFault& c = GetParam();
    Schedule s;
    s.seed = 7;
    s.profile = c.profile;
    s.operation = c.operation;
    s.offset = c.offset;
    s.length = c.length;
    vboard::Fault fault;
    fault.type = c.type;
    fault.on = c.on;
    fault.skip = c.skip;
    fault.status = vboard::errUNKNOWN;
    s.fault = fault;
    const reliability::Bounds bounds;
    const Outcome outcome = reliability::runSchedule(s, bounds);
    EXPECT_TRUE(outcome.faultFired) << s.describe();
    EXPECT_EQ(outcome.result, c.expected) << s.describe();
    for (const std::string& v : outcome.violations) ADD_FAILURE() << s.describe() << ": " << v;
    if (c.type == vboard::FaultType::Timeout) {
        EXPECT_GE(outcome.elapsed.count(), bounds.controlTimeoutMs) << "the timeout did not happen";
    }
    if (c.type == vboard::FaultType::StayBusy) {
        EXPECT_GE(outcome.elapsed, bounds.busyWaitLimit) << "the board was not busy";
        EXPECT_LT(outcome.elapsed, bounds.busyWaitLimit * 4) << "the busy wait is not bounded";
    }
}

using reliability::Operation;
using vboard::FaultType;
using vboard::Request;

// F1: blocks of 2 KB = pages. The upload at 0x800 of 3000 bytes rewrites
// pages 1 and 2; before it the engine reads the block at flash start for
// the resident reset vector (one Upload request).
INSTANTIATE_TEST_SUITE_P(
    Steps, AimedFaults,
    testing::Values(
        AimedFault{"EraseErrorStatus", Profile::F1, Operation::Upload, 0x800, 3000, FaultType::ErrorStatus,
                   Request::ErasePage, 0, 4},
        AimedFault{"SecondEraseStalled", Profile::F1, Operation::Upload, 0x800, 3000, FaultType::Stall,
                   Request::ErasePage, 1, 4},
        AimedFault{"WriteStalled", Profile::F1, Operation::Upload, 0x800, 3000, FaultType::Stall,
                   Request::DataBlock, 1, 3},
        AimedFault{"WriteShort", Profile::F1, Operation::Upload, 0x800, 3000, FaultType::ShortReply,
                   Request::DataBlock, 0, 3},
        AimedFault{"UnplugWhileWriting", Profile::F1, Operation::Upload, 0x800, 3000, FaultType::Unplug,
                   Request::DataBlock, 0, 3},
        AimedFault{"ReadBackShort", Profile::F1, Operation::Upload, 0x800, 3000, FaultType::ShortReply,
                   Request::Upload, 1, 2},
        AimedFault{"VerifyReadStalled", Profile::F1, Operation::Upload, 0x800, 3000, FaultType::Stall,
                   Request::Upload, 3, 2},
        AimedFault{"EraseStaysBusy", Profile::F1, Operation::Upload, 0x800, 3000, FaultType::StayBusy,
                   Request::ErasePage, 0, 4},
        AimedFault{"WriteTimesOut", Profile::F1, Operation::Upload, 0x800, 3000, FaultType::Timeout,
                   Request::DataBlock, 0, 3},
        AimedFault{"DownloadReadStalled", Profile::F4, Operation::Download, 0x4000, 5000, FaultType::Stall,
                   Request::Upload, 1, 2},
        AimedFault{"DownloadTimesOut", Profile::F4, Operation::Download, 0x4000, 5000, FaultType::Timeout,
                   Request::Upload, 0, 2},
        AimedFault{"SectorEraseError", Profile::F4, Operation::Erase, 0x4100, 100, FaultType::ErrorStatus,
                   Request::ErasePage, 0, 4},
        // The sector is erased, but the bytes around the range do not go back.
        AimedFault{"SectorRewriteStalled", Profile::F4, Operation::Erase, 0x4100, 100, FaultType::Stall,
                   Request::DataBlock, 2, 3},
        AimedFault{"H7UnplugWhileErasing", Profile::H7, Operation::Upload, 0x20000, 1000, FaultType::Unplug,
                   Request::ErasePage, 0, 4}),
    [](const testing::TestParamInfo<AimedFault>& info) { return std::string(info.param.name); });

// A byte that does not take shows only in the verify: result 5, and the
// program stays unstarted (the invariants check that and the flash).
TEST(FaultSchedules, BadFlashByteFailsTheVerify) {
    for (Profile profile : {Profile::F1, Profile::F4}) {
        Schedule s;
        s.seed = 11;
        s.profile = profile;
        s.operation = reliability::Operation::Upload;
        s.offset = 0x400;
        s.length = 5000;
        s.corruptAtVerify = 4321;
        const Outcome outcome = reliability::runSchedule(s);
        EXPECT_EQ(outcome.result, 5) << s.describe();
        for (const std::string& v : outcome.violations) ADD_FAILURE() << s.describe() << ": " << v;
    }
}

void parseArguments(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--seed=", 7) == 0) {
            commandLineSeed = std::strtoull(argv[i] + 7, nullptr, 0);
            haveCommandLineSeed = true;
        } else if (std::strncmp(argv[i], "--schedules=", 12) == 0) {
            commandLineSchedules = std::atoi(argv[i] + 12);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    vboard::ensurePreload(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    parseArguments(argc, argv);
    if (haveCommandLineSeed) testing::GTEST_FLAG(filter) = "FaultSchedules.CommandLineSeed";
    return RUN_ALL_TESTS();
}
