// Command line of stm32-vboard: which board each option lands on, and the
// values that must be refused.
#include "host_options.h"
#include "profiles.h"

#include <gtest/gtest.h>

using namespace vboard;

namespace {

std::optional<HostOptions> parse(std::vector<std::string> args, std::string* errorOut = nullptr) {
    std::string error;
    auto options = parseHostOptions(args, error);
    if (errorOut) *errorOut = error;
    return options;
}

} // namespace

TEST(HostOptions, PerBoardOptionsApplyToTheLastBoardAndGlobalsToAll) {
    auto options = parse({"--fill", "0x00", "--board", "f4", "--pattern", "7", "--dump", "a.bin", "--board", "h7",
                          "--flash", "img.bin", "--time-scale", "0.5", "--foreign", "--counts-json", "c.json", "--",
                          "dfu-util", "-l"});
    ASSERT_TRUE(options);
    ASSERT_EQ(options->boards.size(), 2u);
    // Options before the first --board belong to it.
    EXPECT_EQ(options->boards[0].options.profile, Profile::F4);
    EXPECT_EQ(options->boards[0].initial, InitialFlash::Pattern);
    EXPECT_EQ(options->boards[0].patternSeed, 7u);
    EXPECT_EQ(options->boards[0].dumpFile, "a.bin");
    EXPECT_EQ(options->boards[1].options.profile, Profile::H7);
    EXPECT_EQ(options->boards[1].initial, InitialFlash::File);
    EXPECT_EQ(options->boards[1].flashFile, "img.bin");
    EXPECT_TRUE(options->boards[1].dumpFile.empty());
    for (const auto& board : options->boards) EXPECT_DOUBLE_EQ(board.options.timeScale, 0.5);
    EXPECT_TRUE(options->foreignFirst);
    EXPECT_EQ(options->countsJsonFile, "c.json");
    EXPECT_EQ(options->command, (std::vector<std::string>{"dfu-util", "-l"}));
}

TEST(HostOptions, RomPropertiesBelongToTheirBoard) {
    auto options = parse({"--board", "f4", "--read-protected", "--deny-open", "--port", "1-2.3", "--board", "c5",
                          "--blank-starts-in-error", "--claim-busy", "--board", "h7-rev-v", "--", "true"});
    ASSERT_TRUE(options);
    ASSERT_EQ(options->boards.size(), 3u);
    EXPECT_TRUE(options->boards[0].options.readProtected);
    EXPECT_EQ(options->boards[0].options.usbAccess, UsbAccess::OpenDenied);
    EXPECT_EQ(options->boards[0].options.portPath, "1-2.3");
    EXPECT_EQ(options->boards[1].options.portPath, "");
    EXPECT_FALSE(options->boards[0].options.blankStartsInError);
    EXPECT_EQ(options->boards[1].options.profile, Profile::C5);
    EXPECT_TRUE(options->boards[1].options.blankStartsInError);
    EXPECT_EQ(options->boards[1].options.usbAccess, UsbAccess::ClaimBusy);
    EXPECT_FALSE(options->boards[1].options.readProtected);
    EXPECT_EQ(options->boards[2].options.profile, Profile::H7RevV);
    EXPECT_EQ(options->boards[2].options.usbAccess, UsbAccess::Normal);

    // Every profile is listed, and the listing needs no command.
    auto listing = parse({"--list-profiles"});
    ASSERT_TRUE(listing);
    EXPECT_TRUE(listing->listProfiles);
    std::string text = profileListing();
    for (Profile profile : allProfiles())
        EXPECT_NE(text.find(std::string(describe(profile).shortName) + " "), std::string::npos);
}

TEST(HostOptions, WithoutABoardOneF1BoardServesTheCommand) {
    auto options = parse({"--fill", "255", "--", "true"});
    ASSERT_TRUE(options);
    ASSERT_EQ(options->boards.size(), 1u);
    EXPECT_EQ(options->boards[0].options.profile, Profile::F1);
    EXPECT_EQ(options->boards[0].options.fillByte, 0xFF);
    // Arguments after -- are the command's, even when they look like ours.
    auto passthrough = parse({"--", "prog", "--board", "x"});
    ASSERT_TRUE(passthrough);
    EXPECT_EQ(passthrough->command.size(), 3u);
}

TEST(HostOptions, BadValuesAreRefusedWithAReason) {
    const std::vector<std::vector<std::string>> bad = {
        {"--board", "f9", "--", "true"},   {"--fill", "256", "--", "true"},  {"--fill", "-1", "--", "true"},
        {"--pattern", "x1", "--", "true"}, {"--time-scale", "-1", "--", "true"},
        {"--time-scale", "nan", "--", "true"}, {"--bogus", "--", "true"}, {"--board"}, {"--board", "f1"},
        {"--dump"}, {"--port", "1.2", "--", "true"}, {"--port", "1-0", "--", "true"}};
    for (const auto& args : bad) {
        std::string error;
        EXPECT_FALSE(parse(args, &error)) << args[0];
        EXPECT_FALSE(error.empty()) << args[0];
    }
}

TEST(HostOptions, PlugEventsBelongToTheirBoardInTimeOrder) {
    auto options = parse({"--board", "f1", "--unplug-after", "2", "--plug-after", "0.5", "--board", "f4",
                          "--unplug-after", "1", "--plug-after", "3", "--board", "h7", "--unplugged", "--control",
                          "ctl", "--", "true"});
    ASSERT_TRUE(options);
    ASSERT_EQ(options->boards.size(), 3u);
    // Arrives at 0.5 s, so it is not there at the start; leaves at 2 s.
    const auto& arriving = options->boards[0];
    ASSERT_EQ(arriving.plugEvents.size(), 2u);
    EXPECT_TRUE(arriving.startsUnplugged);
    EXPECT_DOUBLE_EQ(arriving.plugEvents[0].seconds, 0.5);
    EXPECT_TRUE(arriving.plugEvents[0].plug);
    EXPECT_FALSE(arriving.plugEvents[1].plug);
    // Leaves at 1 s and comes back at 3 s: there at the start.
    const auto& leaving = options->boards[1];
    EXPECT_FALSE(leaving.startsUnplugged);
    ASSERT_EQ(leaving.plugEvents.size(), 2u);
    EXPECT_FALSE(leaving.plugEvents[0].plug);
    EXPECT_DOUBLE_EQ(leaving.plugEvents[1].seconds, 3.0);
    EXPECT_TRUE(options->boards[2].startsUnplugged);
    EXPECT_TRUE(options->boards[2].plugEvents.empty());
    EXPECT_EQ(options->controlFifo, "ctl");

    std::string error;
    for (const char* bad : {"-1", "x", "", "1e9", "nan"}) {
        EXPECT_FALSE(parse({"--plug-after", bad, "--", "true"}, &error)) << bad;
        EXPECT_NE(error.find("seconds"), std::string::npos) << error;
    }
}

TEST(HostOptions, ControlLinesNameAnActionAndAGivenBoard) {
    std::string error;
    auto plug = parseControlLine("plug 2", 3, error);
    ASSERT_TRUE(plug);
    EXPECT_EQ(plug->action, ControlCommand::Action::Plug);
    EXPECT_EQ(plug->board, 2u);
    auto replug = parseControlLine("  replug 0 \r", 1, error);
    ASSERT_TRUE(replug);
    EXPECT_EQ(replug->action, ControlCommand::Action::Replug);
    auto unplug = parseControlLine("unplug 1", 2, error);
    ASSERT_TRUE(unplug);
    EXPECT_EQ(unplug->action, ControlCommand::Action::Unplug);

    for (const char* bad : {"plug 3", "plug", "plug -1", "plug 0 1", "eject 0", "unplug x"}) {
        EXPECT_FALSE(parseControlLine(bad, 3, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    EXPECT_FALSE(parseControlLine("plug 0", 0, error));
}
