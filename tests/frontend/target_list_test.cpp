// The target list every front end enumerates, on a virtual bus.
#include "target_choice.h"

#include <gtest/gtest.h>

#include <vector>

#include "virtual_board.h"

namespace {

std::vector<int32_t> indicesOf(const Stm32TargetList& list)
{
    return std::vector<int32_t>(list.indices, list.indices + list.count);
}

class TargetList : public ::testing::Test {
protected:
    void SetUp() override { context = stm32Init(); }
    void TearDown() override { stm32Exit(context); }
    vboard::Bus bus;
    Stm32Context* context = nullptr;
};

TEST_F(TargetList, TargetsInListOrderWithTheirListPositions)
{
    Stm32ScopedTargetList none;
    EXPECT_EQ(stm32ListTargets(context, &none.list), 0);
    EXPECT_EQ(none.list.indices, nullptr);

    bus.addForeignDevice();
    vboard::Board& first = bus.addBoard(vboard::BoardOptions{});
    vboard::Board& second = bus.addBoard(vboard::BoardOptions{});
    Stm32ScopedTargetList targets;
    ASSERT_EQ(stm32ListTargets(context, &targets.list), 2);
    EXPECT_EQ(indicesOf(targets.list), (std::vector<int32_t>{first.listPosition(), second.listPosition()}));
    EXPECT_NE(first.listPosition(), 0) << "the foreign device keeps its place in the list";

    int32_t chosen = -1;
    EXPECT_EQ(stm32FindTarget(context, 1, &chosen), 2);
    EXPECT_EQ(chosen, second.listPosition());
    EXPECT_EQ(stm32FindTarget(context, 2, &chosen), 2);
    EXPECT_EQ(chosen, -1);
}

TEST_F(TargetList, ABoardGoneSinceCountingIsLeftOut)
{
    vboard::Board& first = bus.addBoard(vboard::BoardOptions{});
    vboard::Board& second = bus.addBoard(vboard::BoardOptions{});
    const int32_t counted = stm32GetDeviceCount();
    ASSERT_EQ(counted, 2);
    bus.unplug(first);
    Stm32ScopedTargetList targets;
    ASSERT_EQ(stm32ListCountedTargets(context, counted, &targets.list), 1);
    EXPECT_EQ(indicesOf(targets.list), std::vector<int32_t>{second.listPosition()});

    bus.unplug(second);
    Stm32ScopedTargetList empty;
    EXPECT_EQ(stm32ListCountedTargets(context, counted, &empty.list), 0);
    EXPECT_EQ(empty.list.count, 0);
}

} // namespace
