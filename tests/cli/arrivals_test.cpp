// Which boards of a station arrived: once per arrival, never while gone,
// again after being seen gone or after coming back during their programming.
#include "arrivals.h"

#include <gtest/gtest.h>

namespace {

using Paths = std::vector<std::string>;

TEST(ArrivalTracker, BoardsThereAtTheStartArriveOnceAndStayHandledWhilePresent)
{
    cli::ArrivalTracker tracker;
    EXPECT_EQ(tracker.update({"1-1", "1-2"}), (Paths{"1-1", "1-2"}));
    EXPECT_EQ(tracker.busy(), 2u);
    EXPECT_EQ(tracker.update({"1-1", "1-2"}), Paths{}) << "being programmed";
    tracker.finished("1-1");
    tracker.finished("1-2");
    EXPECT_EQ(tracker.busy(), 0u);
    // A board that stays (it failed, or was told not to start) is not programmed again.
    EXPECT_EQ(tracker.update({"1-1", "1-2"}), Paths{});
    EXPECT_EQ(tracker.update({"1-2", "1-1"}), Paths{});
}

TEST(ArrivalTracker, ABoardSeenGoneArrivesAgainWhenItComesBack)
{
    cli::ArrivalTracker tracker;
    EXPECT_EQ(tracker.update({"1-1"}), Paths{"1-1"});
    tracker.finished("1-1");
    EXPECT_EQ(tracker.update({"1-1"}), Paths{}) << "still there after its programming";
    EXPECT_EQ(tracker.update({}), Paths{});
    EXPECT_EQ(tracker.update({}), Paths{}) << "never while gone";
    EXPECT_EQ(tracker.update({"1-3", "1-1"}), (Paths{"1-3", "1-1"}));
}

TEST(ArrivalTracker, LeavingDuringItsProgrammingCountsWhenItEnds)
{
    cli::ArrivalTracker tracker;
    EXPECT_EQ(tracker.update({"1-1", "1-2"}), (Paths{"1-1", "1-2"}));
    // 1-1 started its new program and left before its worker ended.
    EXPECT_EQ(tracker.update({"1-2"}), Paths{});
    EXPECT_EQ(tracker.busy(), 2u);
    // Back in DFU mode (held in its bootloader) while the worker still runs: not yet.
    EXPECT_EQ(tracker.update({"1-1", "1-2"}), Paths{});
    tracker.finished("1-1");
    EXPECT_EQ(tracker.update({"1-1", "1-2"}), Paths{"1-1"}) << "it came back: a new arrival";

    // Gone during its programming and still gone afterwards: forgotten, and
    // programmed when it comes.
    tracker.finished("1-2");
    EXPECT_EQ(tracker.update({"1-1"}), Paths{});
    tracker.finished("1-1");
    EXPECT_EQ(tracker.update({"1-1"}), Paths{});
    EXPECT_EQ(tracker.update({"1-1", "1-2"}), Paths{"1-2"});
    tracker.finished("not-known"); // harmless
    EXPECT_EQ(tracker.busy(), 1u);
}

} // namespace
