// Pure knowledge about real boards: which ROMs hold status requests, and
// which vector tables a ROM could start.
#include <gtest/gtest.h>

#include "layout.h"
#include "rom_knowledge.h"
#include "vector_table.h"

namespace {

stm32::FlashLayout layoutOf(const char* name) {
    stm32::FlashLayout layout;
    EXPECT_TRUE(stm32::parseFlashLayout(name, &layout)) << name;
    return layout;
}

TEST(RomKnowledge, OnlyTheSectorLayoutsOfHoldingRomsMatch) {
    struct Case {
        const char* layout;
        uint16_t bcdDevice;
        int32_t transfer;
        bool holds;
    };
    const Case cases[] = {
        {"@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg", 0x2200, 2048, true},  // F405 newer ROM
        {"@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg", 0x2100, 2048, true},  // F407 older ROM
        {"@Internal Flash  /0x08000000/04*016Kg,01*064Kg,03*128Kg", 0x2200, 2048, true},  // F411 class
        {"@Internal Flash  /0x08000000/04*032Kg,01*128Kg,03*256Kg", 0x2200, 2048, true},  // F74x
        {"@Internal Flash  /0x08000000/128*002Kg", 0x2200, 2048, false},                  // F1: no evidence
        {"@Internal Flash  /0x08000000/064*0002Kg", 0x2200, 2048, false},                 // F0 stalls early polls
        {"@Internal Flash  /0x08000000/512*0002Kg", 0x2200, 2048, false},                 // L4 stalls early polls
        {"@Internal Flash   /0x08000000/16*128Kg", 0x0200, 1024, false},                  // H7
        {"@Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg", 0x0200, 1024, false}, // not an F4 ROM's descriptor
        {"@Internal Flash  /0x20000000/04*016Kg,01*064Kg,07*128Kg", 0x2200, 2048, false}, // not the main flash
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.layout);
        stm32::FlashLayout layout = layoutOf(c.layout);
        stm32::RomIdentity rom{c.bcdDevice, c.transfer, &layout};
        EXPECT_EQ(stm32::knownRom(rom).holdsRequestsWhileBusy, c.holds);
    }
    EXPECT_FALSE(stm32::knownRom(stm32::RomIdentity{0x2200, 2048, nullptr}).holdsRequestsWhileBusy)
        << "without a layout nothing is known";
}

TEST(VectorTable, WhatARomCouldStart) {
    const uint32_t flash = 0x08000000;
    const uint64_t end = flash + 0x40000;
    auto why = [&](uint32_t sp, uint32_t pc) {
        return stm32::whyNotStartable(stm32::VectorTable{sp, pc, true}, flash, flash, end);
    };
    EXPECT_EQ(why(0x20005000, 0x08000101), "");
    EXPECT_EQ(why(0x10000000, 0x0803FFFF), "") << "CCM RAM and the last odd flash address";
    EXPECT_EQ(why(0x3FFFFFFC, 0x08000001), "");
    EXPECT_NE(why(0xFFFFFFFF, 0xFFFFFFFF), "") << "erased flash";
    EXPECT_NE(why(0x0FFFFFFC, 0x08000101), "") << "below SRAM";
    EXPECT_NE(why(0x40000000, 0x08000101), "") << "peripheral space";
    EXPECT_NE(why(0x20005002, 0x08000101), "") << "unaligned stack";
    EXPECT_NE(why(0x20005000, 0x08000100), "") << "even handler (not Thumb)";
    EXPECT_NE(why(0x20005000, 0x08040001), "") << "past the end of flash";
    EXPECT_NE(why(0x20005000, 0x07FFFFFF), "") << "before flash";
    EXPECT_NE(stm32::whyNotStartable(stm32::VectorTable{}, flash, flash, end), "") << "unread";
}

TEST(VectorTable, ShortImagesReadAsErasedPastTheirEnd) {
    const uint8_t bytes[6] = {0x00, 0x50, 0x00, 0x20, 0x01, 0x01};
    stm32::VectorTable table = stm32::vectorTableAt(bytes, sizeof bytes);
    EXPECT_EQ(table.stackPointer, 0x20005000u);
    EXPECT_EQ(table.resetHandler, 0xFFFF0101u);
    EXPECT_FALSE(stm32::vectorTableAt(nullptr, 0).holdsProgram());
}

} // namespace
