// The host's ROM table against the virtual board's ROM behaviours: every
// behaviour a board can show has its host counterpart, and for every ROM
// model the host's row copes with what that board does. A behaviour added to
// the board without a counterpart here fails the field count.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "layout.h"
#include "profiles.h"
#include "rom_knowledge.h"

namespace {

// The number of fields of an aggregate: the most initializers it takes.
struct AnyField {
    template <typename T>
    operator T() const;
};

// Chosen when one more initializer is too many.
template <typename T, typename... Fields>
constexpr std::size_t fieldCount(long) {
    return sizeof...(Fields);
}

template <typename T, typename... Fields>
constexpr auto fieldCount(int) -> decltype(T{Fields{}..., AnyField{}}, std::size_t()) {
    return fieldCount<T, Fields..., AnyField>(0);
}

// How a host field answers its board behaviour.
enum class Rule {
    Copes,       // a board that shows the behaviour needs the field set in its row
    OnlyIfShown, // a row may set the field only for boards that show the behaviour
    EveryRom,    // no field: the host copes the same way with every ROM
};

struct Pair {
    const char* board; // vboard::RomBehaviour field
    bool (*shows)(const vboard::RomBehaviour&);
    const char* host;  // stm32::RomKnowledge field, or how the host copes with every ROM
    bool (*field)(const stm32::RomKnowledge&);
    Rule rule;
};

const std::vector<Pair>& pairs() {
    static const std::vector<Pair> all = {
        // Polling at once a ROM that does not hold the request floods it, or trips its stalls.
        {"holdsRequestsWhileBusy", [](const vboard::RomBehaviour& b) { return b.holdsRequestsWhileBusy; },
         "holdsRequestsWhileBusy", [](const stm32::RomKnowledge& r) { return r.holdsRequestsWhileBusy; },
         Rule::OnlyIfShown},
        {"stallsEarlyStatus", [](const vboard::RomBehaviour& b) { return b.stallsEarlyStatus; }, "stallsEarlyStatus",
         [](const stm32::RomKnowledge& r) { return r.stallsEarlyStatus; }, Rule::Copes},
        {"setAddressWithoutBusy", [](const vboard::RomBehaviour& b) { return b.setAddressWithoutBusy; },
         "setAddressWithoutBusy", [](const stm32::RomKnowledge& r) { return r.setAddressWithoutBusy; }, Rule::Copes},
        {"stuckBusyEraseFrom", [](const vboard::RomBehaviour& b) { return b.stuckBusyEraseFrom != 0; },
         "stuckBusyErase", [](const stm32::RomKnowledge& r) { return r.stuckBusyErase; }, Rule::Copes},
        {"clearStatusStallKeepsState", [](const vboard::RomBehaviour& b) { return b.clearStatusStallKeepsState; },
         "clearStatusStallKeepsState", [](const stm32::RomKnowledge& r) { return r.clearStatusStallKeepsState; },
         Rule::Copes},
        {"protectedSetAddressRefused", [](const vboard::RomBehaviour& b) { return !b.protectedSetAddressRefused; },
         "errVENDOR in any status marks read protection (requestStatus)", nullptr, Rule::EveryRom},
        {"leaveStatusFails", [](const vboard::RomBehaviour& b) { return b.leaveStatusFails; },
         "nothing after the leave request is checked (leave)", nullptr, Rule::EveryRom},
        {"ignoresFunctionalDescriptorRequest",
         [](const vboard::RomBehaviour& b) { return b.ignoresFunctionalDescriptorRequest; },
         "the functional descriptor is read from the configuration (dfuGetFunctionalDescriptor)", nullptr,
         Rule::EveryRom},
        {"realFlashSize", [](const vboard::RomBehaviour& b) { return b.realFlashSize != 0; }, "realFlashSmaller",
         [](const stm32::RomKnowledge& r) { return r.realFlashSmaller; }, Rule::Copes},
    };
    return all;
}

// What the host reads of a profile before a command.
struct Identified {
    stm32::FlashLayout layout;
    stm32::RomIdentity identity;
};

Identified identify(const vboard::ProfileDescription& profile) {
    Identified out;
    const bool parsed =
        !profile.alternates.empty() && stm32::parseFlashLayout(profile.alternates[0].name.c_str(), &out.layout);
    out.identity.bcdDevice = profile.bcdDevice;
    out.identity.transferSize = profile.hasFunctionalDescriptor ? profile.transferSize : 0;
    out.identity.layout = parsed ? &out.layout : nullptr;
    return out;
}

TEST(RomProfilePairing, EveryBoardBehaviourHasAHostCounterpart) {
    EXPECT_EQ(fieldCount<vboard::RomBehaviour>(0), pairs().size())
        << "a behaviour of vboard::RomBehaviour has no host counterpart in this table";
    std::size_t hostFields = 1; // the family name
    for (const Pair& pair : pairs()) hostFields += pair.field != nullptr ? 1 : 0;
    EXPECT_EQ(fieldCount<stm32::RomKnowledge>(0), hostFields)
        << "a field of stm32::RomKnowledge pairs with no board behaviour";
}

TEST(RomProfilePairing, EachRomsRowCopesWithWhatItsBoardDoes) {
    int checked = 0;
    for (vboard::Profile model : vboard::romProfiles()) {
        const vboard::ProfileDescription& profile = vboard::describe(model);
        const Identified board = identify(profile);
        ASSERT_NE(board.identity.layout, nullptr) << profile.shortName;
        const stm32::RomKnowledge row = stm32::knownRom(board.identity);
        const char* family = row.family != nullptr ? row.family : "default";
        for (const Pair& pair : pairs()) {
            const bool shown = pair.shows(profile.rom);
            if (pair.rule == Rule::Copes && shown) {
                ++checked;
                EXPECT_TRUE(pair.field(row)) << profile.shortName << " shows " << pair.board << " but its row "
                                             << family << " does not allow for it";
            } else if (pair.rule == Rule::OnlyIfShown && pair.field(row)) {
                ++checked;
                EXPECT_TRUE(shown) << profile.shortName << " is taken for " << family << " (" << pair.host
                                   << ") but does not show " << pair.board;
            }
        }
    }
    EXPECT_GT(checked, 8) << "the ROM models show almost none of the behaviours: the pairing checks nothing";
}

TEST(RomProfilePairing, HoldingFamiliesAreKnownByTheirRows) {
    for (vboard::Profile model : {vboard::Profile::F4, vboard::Profile::F411, vboard::Profile::F7}) {
        const Identified board = identify(vboard::describe(model));
        EXPECT_TRUE(stm32::knownRom(board.identity).holdsRequestsWhileBusy) << vboard::describe(model).shortName;
    }
}

} // namespace
