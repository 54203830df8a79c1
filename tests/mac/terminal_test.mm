// Terminal launcher and directory watcher over a folder standing in for /dev.
#import "test_support.h"
#import "gnustep/AppleScript.h"
#import "DirectoryWatcher.h"
#import "Terminal.h"

#include <gtest/gtest.h>

namespace {

NSString* const kRunningScript =
    @"tell application \"Terminal\" to activate\n"
    @"tell application \"Terminal\"\n"
    @"     try\n"
    @"         set winID to (id of first window whose name contains \"tty.usbmodem1411\")\n"
    @"         do script with command \"screen /dev/tty.usbmodem1411 230000\" in window id winID\n"
    @"     on error\n"
    @"         do script with command \"screen /dev/tty.usbmodem1411 230000\"\n"
    @"     end try\n"
    @"     delay 1.0\n"
    @"     tell window frontmost\n"
    @"         set title displays device name to false\n"
    @"         set title displays shell path to false\n"
    @"         set title displays window size to false\n"
    @"         set title displays file name to false\n"
    @"         set custom title to \"tty.usbmodem1411\"\n"
    @"         set title displays custom title to true\n"
    @"     end tell\n"
    @"end tell\n";

NSString* const kStartingScript =
    @"tell application \"Terminal\" to activate\n"
    @"     delay 1.0\n"
    @"set needsCloseWindow to true\n"
    @"try\n"
    @"     tell application \"Terminal\" to set initWindow to window 1\n"
    @"on error\n"
    @"     set needsCloseWindow to false\n"
    @"end try\n"
    @"tell application \"Terminal\"\n"
    @"     try\n"
    @"         set winID to (id of first window whose name contains \"tty.usbmodem1411\")\n"
    @"         do script with command \"screen /dev/tty.usbmodem1411 230000\" in window id winID\n"
    @"     on error\n"
    @"         do script with command \"screen /dev/tty.usbmodem1411 230000\"\n"
    @"     end try\n"
    @"     delay 1.0\n"
    @"     tell window frontmost\n"
    @"         set title displays device name to false\n"
    @"         set title displays shell path to false\n"
    @"         set title displays window size to false\n"
    @"         set title displays file name to false\n"
    @"         set custom title to \"tty.usbmodem1411\"\n"
    @"         set title displays custom title to true\n"
    @"     end tell\n"
    @"end tell\n"
    @"if needsCloseWindow then\n"
    @"     set closeTime to current date\n"
    @"     repeat while (current date) - closeTime < 5\n"
    @"          tell application \"Terminal\" to set bsy to busy of initWindow\n"
    @"          if not bsy then\n"
    @"              tell application \"Terminal\" to close initWindow\n"
    @"              exit repeat\n"
    @"          end if\n"
    @"          delay 1\n"
    @"     end repeat\n"
    @"     if bsy then tell application \"Terminal\" to close initWindow\n"
    @"end if\n";

class TerminalTest : public testing::Test {
protected:
    void SetUp() override
    {
        [NSAppleScript standInForgetScripts];
        [NSAppleScript standInSetFailing:NO];
        menu = [[NSMenu alloc] initWithTitle:@"Serial Terminal"];
        [menu setAutoenablesItems:YES];
    }

    void TearDown() override
    {
        [terminal release];
        [menu release];
    }

    Terminal* makeTerminal()
    {
        terminal = [[Terminal alloc] initWithDeviceDirectory:dev.path()];
        terminal.terminalMenu = menu;
        return terminal;
    }

    NSArray* titles()
    {
        NSMutableArray* list = [NSMutableArray array];
        for (NSMenuItem* item in [menu itemArray]) {
            [list addObject:[item title]];
        }
        return list;
    }

    std::string lastScript()
    {
        NSArray* scripts = [NSAppleScript standInExecutedScripts];
        return [scripts count] == 0 ? std::string() : str([scripts lastObject]);
    }

    TempDir dev;
    NSMenu* menu = nil;
    Terminal* terminal = nil;
};

TEST_F(TerminalTest, LauncherTexts)
{
    makeTerminal();
    EXPECT_EQ("Terminal", str(terminal.terminalApplicationName));
    EXPECT_EQ("com.apple.Terminal", str(terminal.terminalBundleIdentifier));
    EXPECT_EQ("tty.usbmodem", str(terminal.usbDeviceNameStart));
    EXPECT_TRUE(terminal.directoryWatcher != nil);
    EXPECT_EQ("/dev", str([[[Terminal new] autorelease] deviceDirectory]));
}

TEST_F(TerminalTest, EmptyFolderGivesOneDisabledNoDeviceEntry)
{
    dev.touch(@"cu.usbmodem1411");
    dev.touch(@"tty.usbmodem"); // the bare prefix is not a port
    dev.touch(@"TTY.usbmodem7");
    makeTerminal();
    [terminal setupMenu];
    EXPECT_TRUE([titles() isEqualToArray:@[ @"No device" ]]) << str([titles() description]);
    [menu update];
    EXPECT_FALSE([[menu itemAtIndex:0] isEnabled]);
    EXPECT_EQ(0u, [terminal.usbDeviceList count]);
}

TEST_F(TerminalTest, PortsAreListedWithTheirPositionAsTag)
{
    dev.touch(@"tty.usbmodem1411");
    dev.touch(@"cu.usbmodem1411");
    dev.touch(@"tty.usbmodem2");
    makeTerminal();
    [terminal setupMenu];
    NSArray* sorted = [titles() sortedArrayUsingSelector:@selector(compare:)];
    EXPECT_TRUE([sorted isEqualToArray:(@[ @"tty.usbmodem1411", @"tty.usbmodem2" ])]) << str([titles() description]);
    EXPECT_TRUE([titles() isEqualToArray:terminal.usbDeviceList]) << "menu order is lookup order";
    for (NSInteger i = 0; i < [menu numberOfItems]; ++i) {
        NSMenuItem* item = (NSMenuItem*)[menu itemAtIndex:i];
        EXPECT_EQ(i, [item tag]);
        EXPECT_EQ((id)terminal, [item target]);
    }
    [menu update];
    EXPECT_TRUE([[menu itemAtIndex:0] isEnabled]);
}

TEST_F(TerminalTest, WatcherRebuildsTheMenuWhenAPortAppearsOrGoes)
{
    makeTerminal();
    [terminal setupMenu];
    dev.touch(@"tty.usbmodem1411");
    ASSERT_TRUE(runUntil([&] { return [titles() isEqualToArray:@[ @"tty.usbmodem1411" ]]; }))
        << str([titles() description]);
    dev.remove(@"tty.usbmodem1411");
    EXPECT_TRUE(runUntil([&] { return [titles() isEqualToArray:@[ @"No device" ]]; }));
    // Still watching after several changes (the callback is enabled again each time).
    dev.touch(@"tty.usbmodem9");
    EXPECT_TRUE(runUntil([&] { return [titles() isEqualToArray:@[ @"tty.usbmodem9" ]]; }));
}

TEST_F(TerminalTest, WatcherRefusesMissingArgumentsAndFolders)
{
    makeTerminal();
    EXPECT_TRUE([DirectoryWatcher watchFolderWithPath:nil delegate:terminal] == nil);
    EXPECT_TRUE([DirectoryWatcher watchFolderWithPath:dev.path() delegate:nil] == nil);
    EXPECT_TRUE([DirectoryWatcher watchFolderWithPath:dev.file(@"missing") delegate:terminal] == nil);
    DirectoryWatcher* watcher = [DirectoryWatcher watchFolderWithPath:dev.path() delegate:terminal];
    ASSERT_TRUE(watcher != nil);
    EXPECT_FALSE([watcher startMonitoringDirectory:dev.path()]) << "already monitoring";
    [watcher invalidate];
    EXPECT_TRUE([watcher startMonitoringDirectory:dev.path()]) << "invalidate releases everything";
    [watcher invalidate];
}

TEST_F(TerminalTest, ScriptTextForBothRunningStates)
{
    makeTerminal();
    NSString* command = @"screen /dev/tty.usbmodem1411 230000";
    EXPECT_EQ(str(kRunningScript), str([terminal getScript:command title:@"tty.usbmodem1411" isRunning:YES]));
    EXPECT_EQ(str(kStartingScript), str([terminal getScript:command title:@"tty.usbmodem1411" isRunning:NO]));
}

TEST_F(TerminalTest, ShowMenuItemRunsScreenOnThePort)
{
    dev.touch(@"tty.usbmodem1411");
    makeTerminal();
    [terminal setupMenu];
    [terminal itemClickedAction:[menu itemAtIndex:0]];
    std::string script = lastScript();
    EXPECT_NE(std::string::npos, script.find("do script with command \"screen /dev/tty.usbmodem1411 230000\""));
    EXPECT_NE(std::string::npos, script.find("set custom title to \"tty.usbmodem1411\""));
    // Nothing called Terminal runs here, so the script starts it and closes its first window.
    EXPECT_NE(std::string::npos, script.find("if needsCloseWindow then"));

    [NSAppleScript standInForgetScripts];
    [terminal showMenuItem:1];
    [terminal showMenuItem:-1];
    EXPECT_EQ(0u, [[NSAppleScript standInExecutedScripts] count]) << "positions outside the list do nothing";
}

TEST_F(TerminalTest, ShowMenuItemRefreshesAStaleList)
{
    makeTerminal();
    [terminal setupMenu];
    dev.touch(@"tty.usbmodemA");
    [terminal showMenuItem:0]; // before the watcher had a chance to run
    EXPECT_NE(std::string::npos, lastScript().find("screen /dev/tty.usbmodemA 230000"));
}

TEST_F(TerminalTest, ShowAfterProgrammingOpensTheNewPortElseTheFirst)
{
    dev.touch(@"tty.usbmodemA");
    dev.touch(@"tty.usbmodemC");
    makeTerminal();
    [terminal setupMenu];
    NSArray* before = [[terminal.usbDeviceList copy] autorelease];
    dev.touch(@"tty.usbmodemB");
    [terminal show:0];
    EXPECT_NE(std::string::npos, lastScript().find("screen /dev/tty.usbmodemB 230000")) << lastScript();
    EXPECT_EQ(3u, [terminal.usbDeviceList count]);
    EXPECT_EQ(3, [menu numberOfItems]) << "menu and list stay in step";

    [NSAppleScript standInForgetScripts];
    [terminal show:0]; // nothing new: the first listed port
    NSString* first = [terminal.usbDeviceList objectAtIndex:0];
    EXPECT_NE(std::string::npos, lastScript().find("screen /dev/" + str(first) + " 230000")) << lastScript();
    (void)before;
}

TEST_F(TerminalTest, FailingScriptIsReportedOnStandardOutputOnly)
{
    dev.touch(@"tty.usbmodem1411");
    makeTerminal();
    [terminal setupMenu];
    [NSAppleScript standInSetFailing:YES];
    testing::internal::CaptureStdout();
    [terminal showMenuItem:0];
    std::string output = testing::internal::GetCapturedStdout();
    [NSAppleScript standInSetFailing:NO];
    EXPECT_EQ(0u, output.find("An error occurred while the script was running.\n"));
    EXPECT_NE(std::string::npos, output.find("\tError info: NSAppleScriptErrorMessage: 0x"));
}

} // namespace
