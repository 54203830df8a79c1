// Preferences window: the texts it shows, number entry and stored keys.
#import "test_support.h"
#import "Device.h"
#import "PreferencesViewController.h"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace {

class PreferencesTest : public testing::Test {
protected:
    void SetUp() override
    {
        NSUserDefaults* defaults = [NSUserDefaults standardUserDefaults];
        for (NSString* key in @[ @"OptionsInUse", @"OptionOffset", @"OptionSize", @"OptionsNotStartTerminal" ]) {
            [defaults removeObjectForKey:key];
        }
        device = [Device new]; // not started: the test plays the poll
        controller = [PreferencesViewController new];
        [controller view];
        controller.device = device;
    }

    void TearDown() override
    {
        [controller release];
        [device release];
    }

    void report(int32_t flash, int32_t page, uint32_t base)
    {
        [controller flashSizeIs:flash pageSizeIs:page baseAddressIs:base];
        runFor(0.05);
    }

    std::string text(NSTextField* field) { return str([field stringValue]); }

    Device* device = nil;
    PreferencesViewController* controller = nil;
};

TEST(PreferenceNumber, HexDecimalAndRubbish)
{
    EXPECT_EQ(4096, preferenceNumber(@"0x1000"));
    EXPECT_EQ(0x7FFFF, preferenceNumber(@"0x7FFFF"));
    EXPECT_EQ(1234, preferenceNumber(@"1234"));
    EXPECT_EQ(12, preferenceNumber(@"12abc"));
    EXPECT_EQ(0, preferenceNumber(@"abc"));
    EXPECT_EQ(0, preferenceNumber(@"0xZZ"));
    EXPECT_EQ(0, preferenceNumber(@"0X10")) << "only a lowercase x marks hexadecimal";
    EXPECT_EQ(0, preferenceNumber(@""));
    EXPECT_EQ(0, preferenceNumber(@"-5")) << "negative numbers count as 0";
    EXPECT_EQ(0, preferenceNumber(@"0x-10"));
}

TEST_F(PreferencesTest, NoTargetDisablesEverythingAndEmptiesTheLimits)
{
    [controller resetPopUp];
    [controller addPopUpItem:@"not available"];
    report(0, 0, 0);
    NSPopUpButton* popUp = controller.targetPopUp;
    ASSERT_EQ(1, [popUp numberOfItems]);
    EXPECT_EQ("not available", str([popUp itemTitleAtIndex:0]));
    EXPECT_FALSE([controller.optionsCheckBox isEnabled]);
    EXPECT_FALSE([controller.offsetTextField isEnabled]);
    EXPECT_FALSE([controller.sizeTextField isEnabled]);
    EXPECT_FALSE([controller.startTerminalCheckBox isEnabled]);
    EXPECT_EQ("", text(controller.maxOffsetTextField));
    EXPECT_EQ("", text(controller.maxSizeTextField));
    EXPECT_EQ("", text(controller.flashStartTextField));
}

TEST_F(PreferencesTest, UnreadableLayoutCountsAsNoTarget)
{
    report(-1, 0, 0);
    EXPECT_FALSE([controller.optionsCheckBox isEnabled]);
    EXPECT_EQ("", text(controller.maxSizeTextField));
    EXPECT_EQ(0, device.optionSize);
}

TEST_F(PreferencesTest, LimitsAndFlashStartOfATarget)
{
    [controller resetPopUp];
    [controller addPopUpItem:@"STM32 ID: 0"];
    [controller addPopUpItem:@"STM32 ID: 0"]; // equal titles are kept
    report(524288, 2048, 0x08000000);
    EXPECT_EQ(2, [controller.targetPopUp numberOfItems]);
    EXPECT_EQ("max 510KB (522240 / 0x7F800)", text(controller.maxOffsetTextField));
    EXPECT_EQ("max 512KB (524288 / 0x80000)", text(controller.maxSizeTextField));
    EXPECT_EQ("0x08000000", text(controller.flashStartTextField));
    EXPECT_EQ(522240, controller.maxOffset);
    EXPECT_TRUE([controller.optionsCheckBox isEnabled]);
    EXPECT_EQ(NSOffState, [controller.optionsCheckBox state]);
    EXPECT_FALSE([controller.offsetTextField isEnabled]);
    EXPECT_TRUE([controller.startTerminalCheckBox isEnabled]);
    EXPECT_EQ(NSOnState, [controller.startTerminalCheckBox state]) << "no stored value: ticked";
    // A stored size of 0 shows and uses the flash size.
    EXPECT_EQ("524288", text(controller.sizeTextField));
    EXPECT_EQ(524288, device.optionSize);
    EXPECT_EQ("0", text(controller.offsetTextField));
}

TEST_F(PreferencesTest, OptionAreaShownWhenInUse)
{
    device.optionsValid = YES;
    device.optionOffset = 0x2000;
    device.optionSize = 0x1000;
    report(524288, 2048, 0x08000000);
    EXPECT_EQ(NSOnState, [controller.optionsCheckBox state]);
    EXPECT_TRUE([controller.offsetTextField isEnabled]);
    EXPECT_TRUE([controller.sizeTextField isEnabled]);
    EXPECT_EQ("0x08002000", text(controller.flashStartTextField));
    EXPECT_EQ("8192", text(controller.offsetTextField));
    EXPECT_EQ("4096", text(controller.sizeTextField));
}

TEST_F(PreferencesTest, TypedOffsetPreviewAndCheckBoxToggle)
{
    device.optionOffset = 0x400;
    report(524288, 2048, 0x08000000);
    [controller.offsetTextField setStringValue:@"0x1000"];
    [controller offsetChangedAction:controller.offsetTextField];
    EXPECT_EQ("0x8001000", text(controller.flashStartTextField)) << "no leading zero here";

    [controller.optionsCheckBox setState:NSOnState];
    [controller optionsChangedAction:controller.optionsCheckBox];
    EXPECT_EQ("0x08000400", text(controller.flashStartTextField)) << "the stored offset, not the typed one";
    EXPECT_TRUE([controller.offsetTextField isEnabled]);

    [controller.optionsCheckBox setState:NSOffState];
    [controller optionsChangedAction:controller.optionsCheckBox];
    EXPECT_EQ("0x08000000", text(controller.flashStartTextField));
    EXPECT_FALSE([controller.sizeTextField isEnabled]);
}

TEST_F(PreferencesTest, ConfirmStoresTheChoicesAndCutsTheOffset)
{
    [controller resetPopUp];
    [controller addPopUpItem:@"STM32 ID: 0"];
    [controller addPopUpItem:@"STM32 ID: 3"];
    report(524288, 2048, 0x08000000);
    [controller.targetPopUp selectItemAtIndex:1];
    [controller.optionsCheckBox setState:NSOnState];
    [controller.offsetTextField setStringValue:@"0x7FFFF"];
    [controller.sizeTextField setStringValue:@"0x2000"];
    [controller.startTerminalCheckBox setState:NSOffState];
    [controller confirmAction:nil];

    NSUserDefaults* defaults = [NSUserDefaults standardUserDefaults];
    EXPECT_EQ(522240, [defaults integerForKey:@"OptionOffset"]);
    EXPECT_EQ(8192, [defaults integerForKey:@"OptionSize"]);
    EXPECT_TRUE([defaults boolForKey:@"OptionsInUse"]);
    EXPECT_TRUE([defaults boolForKey:@"OptionsNotStartTerminal"]);
    EXPECT_EQ(1, device.index);
    EXPECT_TRUE(device.optionsValid);
    EXPECT_EQ(522240, device.optionOffset);
    EXPECT_EQ(8192, device.optionSize);
    EXPECT_FALSE(device.optionsStartTerminal);
    EXPECT_EQ(-1, device.count) << "the next poll refreshes";

    // Stored in this test program's own defaults folder, not the user's.
    [defaults synchronize];
    NSString* config = [NSString stringWithUTF8String:getenv("GNUSTEP_CONFIG_FILE")];
    NSString* folder = [[config stringByDeletingLastPathComponent] stringByAppendingPathComponent:@"Defaults"];
    EXPECT_TRUE([[NSFileManager defaultManager] fileExistsAtPath:folder]) << str(folder);

    // A new Device reads back what was stored.
    Device* next = [[Device new] autorelease];
    EXPECT_EQ(522240, next.optionOffset);
    EXPECT_FALSE(next.optionsStartTerminal);
}

TEST_F(PreferencesTest, NegativeEntriesAndNoTargetStoreZero)
{
    [controller.offsetTextField setStringValue:@"-4096"];
    [controller.sizeTextField setStringValue:@"-1"];
    [controller.startTerminalCheckBox setState:NSOnState];
    [controller confirmAction:nil];
    NSUserDefaults* defaults = [NSUserDefaults standardUserDefaults];
    EXPECT_EQ(0, [defaults integerForKey:@"OptionOffset"]);
    EXPECT_EQ(0, [defaults integerForKey:@"OptionSize"]);
    EXPECT_FALSE([defaults boolForKey:@"OptionsNotStartTerminal"]) << "the ticked box is stored inverted";
}

TEST_F(PreferencesTest, CancelKeepsTheDeviceValues)
{
    device.optionOffset = 0x800;
    report(524288, 2048, 0x08000000);
    [controller.offsetTextField setStringValue:@"0x1000"];
    [controller cancelAction:nil];
    EXPECT_EQ(0x800, device.optionOffset);
    EXPECT_TRUE([[NSUserDefaults standardUserDefaults] objectForKey:@"OptionOffset"] == nil);
}

} // namespace
