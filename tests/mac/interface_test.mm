// The interface as the application builds it: connections, the once-only
// lifecycle steps, the log window, drops, menus, documents and About.
#import "test_support.h"
#import "AppDelegate.h"
#import "Device.h"
#import "LogViewController.h"
#import "MainInterface.h"
#import "PreferencesViewController.h"
#import "Terminal.h"

#include <gtest/gtest.h>

#include <memory>

#include "virtual_board.h"

// Panels replaced by answers prepared in the test.
@interface ScriptedAppDelegate : AppDelegate {
@public
    NSURL* openAnswer;
    NSURL* saveAnswer;
    int savePanelsShown;
}
@end

@implementation ScriptedAppDelegate
- (NSURL*)chooseFileToOpen
{
    return openAnswer;
}

- (NSURL*)chooseFileToSave
{
    ++savePanelsShown;
    return saveAnswer;
}
@end

// What a drag hands to its destination.
@interface FakeDrag : NSObject {
@public
    NSPasteboard* pasteboard;
}
- (NSPasteboard*)draggingPasteboard;
@end

@implementation FakeDrag
- (NSPasteboard*)draggingPasteboard
{
    return pasteboard;
}
@end

namespace {

const uint32_t kFlashStart = 0x08000000;

class InterfaceTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        bus = new vboard::Bus();
        board = &bus->addBoard();
        dev = new TempDir();
        ui = [MainInterface loadWithDeviceDirectory:dev->path()];
        ASSERT_TRUE(runUntil([] { return ui.device.count == 1 && ui.device.flashSize > 0; }));
    }

    static void TearDownTestSuite()
    {
        runUntil([] { return ui.device.isIdle; }, 20.0);
        stopDevice(ui.device);
        delete dev;
        delete bus;
    }

    void SetUp() override
    {
        [ui.logViewController clear:nil];
        runFor(0.02);
    }

    static NSString* logText() { return [[ui.logViewController.logTextView textStorage] string]; }

    static void waitIdle()
    {
        runUntil([] { return ui.device.isIdle; }, 30.0);
        runFor(0.05);
    }

    static NSData* writeFile(NSString* name, const std::vector<uint8_t>& bytes)
    {
        NSData* data = bytesData(bytes);
        [data writeToFile:dev->file(name) atomically:NO];
        return data;
    }

    static vboard::Bus* bus;
    static vboard::Board* board;
    static TempDir* dev;
    static MainInterface* ui;
};

vboard::Bus* InterfaceTest::bus = nullptr;
vboard::Board* InterfaceTest::board = nullptr;
TempDir* InterfaceTest::dev = nullptr;
MainInterface* InterfaceTest::ui = nil;

std::vector<uint8_t> pattern(size_t length, uint8_t seed)
{
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = uint8_t(seed * 31 + i * 13 + (i >> 9));
    }
    return bytes;
}

TEST_F(InterfaceTest, ObjectsAreConnectedAsTheInterfaceFileWould)
{
    AppDelegate* app = ui.appDelegate;
    EXPECT_EQ((id)app, (id)[NSApp delegate]);
    EXPECT_EQ(ui.device, app.device);
    EXPECT_EQ(ui.terminal, app.terminal);
    EXPECT_EQ(ui.logWindow, app.logWindow);
    EXPECT_EQ((NSWindow*)ui.aboutPanel, (NSWindow*)app.aboutPanel);
    EXPECT_TRUE(app.appAbout != nil && app.fileNew != nil && app.terminalMenuItem != nil);
    EXPECT_EQ(ui.terminalMenu, [app.terminalMenuItem submenu]);
    EXPECT_EQ(ui.terminalMenu, ui.terminal.terminalMenu);
    EXPECT_EQ((id)ui.logViewController, (id)ui.device.logDelegate);
    EXPECT_EQ((id)ui.preferencesViewController, (id)ui.device.prefsDelegate);
    EXPECT_EQ(ui.device, ui.logViewController.device);
    EXPECT_EQ(ui.device, ui.preferencesViewController.device);
    EXPECT_TRUE([ui.logViewController.logTextView isKindOfClass:[LogView class]]);
    EXPECT_TRUE([ui.logViewController.logTextView font] != nil);
    EXPECT_TRUE(ui.preferencesViewController.targetPopUp != nil);
    EXPECT_EQ((id)ui.preferencesViewController, (id)[ui.preferencesWindow delegate]);
    for (SEL action : {@selector(openDocument:), @selector(saveDocument:), @selector(newDocument:),
                       @selector(showAboutPanel:), @selector(clear:), @selector(incrementFontSize:),
                       @selector(decrementFontSize:)}) {
        EXPECT_TRUE([ui menuItemWithAction:action] != nil) << sel_getName(action);
    }
    EXPECT_TRUE([app applicationShouldTerminateAfterLastWindowClosed:NSApp]);
}

TEST_F(InterfaceTest, VersionTiedLifecycleStepsRunOnlyOnTheirPath)
{
    ASSERT_LT(NSAppKitVersionNumber, 1343.0);
    // Log window controller: viewDidLoad does nothing on this AppKit, setView: sets it up.
    Device* device = ui.device;
    LogViewController* log = [[LogViewController new] autorelease];
    [log viewDidLoad];
    EXPECT_EQ((id)ui.logViewController, (id)device.logDelegate);
    [log view];
    EXPECT_EQ((id)log, (id)device.logDelegate) << "setView: ran the set-up";
    device.logDelegate = ui.logViewController;

    // Preferences: awakeFromNib, not viewDidLoad.
    PreferencesViewController* prefs = [[PreferencesViewController new] autorelease];
    [prefs view];
    [prefs viewDidLoad];
    EXPECT_EQ((id)ui.preferencesViewController, (id)device.prefsDelegate);
    [prefs awakeFromNib];
    EXPECT_EQ((id)prefs, (id)device.prefsDelegate);
    device.prefsDelegate = ui.preferencesViewController;

    AboutViewController* about = [[AboutViewController new] autorelease];
    [about view];
    [about viewDidLoad];
    EXPECT_EQ("", str([about.copyrightTextField stringValue]));
    [about awakeFromNib];
    EXPECT_NE("", str([about.copyrightTextField stringValue]));
}

TEST_F(InterfaceTest, AboutText)
{
    EXPECT_EQ("Copyright 2026 Tidewire (Version: 1.1.1)", str(aboutText(@"Copyright 2026 Tidewire")));
    EXPECT_TRUE([[ui.aboutViewController.copyrightTextField stringValue] hasSuffix:@" (Version: 1.1.1)"]);
}

TEST_F(InterfaceTest, StatusLineNamesTheBoard)
{
    EXPECT_TRUE(runUntil([] {
        return [[ui.logViewController.statusTextField stringValue] isEqualToString:@"STM32 (ID:0) Flash: 256 KB."];
    })) << str([ui.logViewController.statusTextField stringValue]);
}

TEST_F(InterfaceTest, ProgressPiecesShowAsOneLine)
{
    LogViewController* log = ui.logViewController;
    [log updateLog:@"Erasing pages."];
    [log updateLog:@"."];
    [log updateLog:@"."];
    [log updateLog:@"\n"];
    [log updateLog:@"Done.\n"];
    ASSERT_TRUE(runUntil([] { return [logText() hasSuffix:@"Done.\n"]; }));
    EXPECT_EQ("Erasing pages...\nDone.\n", str(logText()));
}

TEST_F(InterfaceTest, ClearRemovesPendingTextAndLaterTextContinues)
{
    LogViewController* log = ui.logViewController;
    [log updateLog:@"old line\n"];
    [log clear:nil];
    [log updateLog:@"new line\n"];
    [log updateLog:@"x"];
    runFor(0.1);
    EXPECT_EQ("new line\nx", str(logText()));
    NSString* status = [log.statusTextField stringValue];
    EXPECT_TRUE([status length] > 0) << "clearing leaves the status line";
}

TEST_F(InterfaceTest, FontStepsAndTheMinimum)
{
    LogViewController* log = ui.logViewController;
    NSTextView* view = log.logTextView;
    [view setFont:[[NSFontManager sharedFontManager] convertFont:[view font] toSize:12]];
    [log decrementFontSize:nil];
    [log decrementFontSize:nil];
    EXPECT_DOUBLE_EQ(10.0, [[view font] pointSize]);
    for (int i = 0; i < 10; ++i) {
        [log decrementFontSize:nil];
    }
    EXPECT_DOUBLE_EQ(6.0, [[view font] pointSize]) << "6 points is the smallest";
    [log incrementFontSize:nil];
    EXPECT_DOUBLE_EQ(7.0, [[view font] pointSize]);

    [log updateLog:@"sized"];
    ASSERT_TRUE(runUntil([] { return [logText() hasSuffix:@"sized"]; }));
    NSFont* used = [[view textStorage] attribute:NSFontAttributeName atIndex:[logText() length] - 1 effectiveRange:NULL];
    EXPECT_DOUBLE_EQ(7.0, [used pointSize]) << "appends carry the current font";
    [view setFont:[[NSFontManager sharedFontManager] convertFont:[view font] toSize:12]];
}

NSPasteboard* filesPasteboard(NSArray* paths)
{
    NSPasteboard* pasteboard = [NSPasteboard pasteboardWithUniqueName];
    [pasteboard declareTypes:@[ NSFilenamesPboardType ] owner:nil];
    [pasteboard setPropertyList:paths forType:NSFilenamesPboardType];
    return pasteboard;
}

TEST_F(InterfaceTest, DropProgramsOnlyTheFirstFile)
{
    std::vector<uint8_t> first = pattern(4096, 1);
    writeFile(@"first.bin", first);
    writeFile(@"second.bin", pattern(4096, 2));
    FakeDrag* drag = [[FakeDrag new] autorelease];
    drag->pasteboard = filesPasteboard(@[ dev->file(@"first.bin"), dev->file(@"second.bin") ]);
    LogView* view = (LogView*)ui.logViewController.logTextView;
    EXPECT_EQ(NSDragOperationCopy, [view draggingEntered:(id<NSDraggingInfo>)drag]);
    EXPECT_EQ(NSDragOperationCopy, [view draggingUpdated:(id<NSDraggingInfo>)drag]);
    EXPECT_TRUE([view prepareForDragOperation:(id<NSDraggingInfo>)drag]);
    ui.device.optionsStartTerminal = NO;
    EXPECT_TRUE([view performDragOperation:(id<NSDraggingInfo>)drag]);
    EXPECT_EQ(ui.device, view.device);
    waitIdle();
    EXPECT_TRUE(runUntil([] { return [logText() rangeOfString:@"Total time: "].location != NSNotFound; }))
        << str(logText());
    EXPECT_EQ(first, board->read(kFlashStart, 4096));
}

TEST_F(InterfaceTest, DropOfAFolderOrOfNothing)
{
    FakeDrag* drag = [[FakeDrag new] autorelease];
    drag->pasteboard = filesPasteboard(@[ dev->path() ]);
    LogView* view = (LogView*)ui.logViewController.logTextView;
    EXPECT_TRUE([view performDragOperation:(id<NSDraggingInfo>)drag]);
    EXPECT_TRUE(runUntil([] { return [logText() isEqualToString:@"File read error.\n"]; })) << str(logText());

    drag->pasteboard = filesPasteboard(@[]);
    EXPECT_FALSE([view performDragOperation:(id<NSDraggingInfo>)drag]);
}

TEST_F(InterfaceTest, MenuItemsNeedABoardExceptAboutAndNew)
{
    ScriptedAppDelegate* app = [[ScriptedAppDelegate new] autorelease];
    Device* device = [[Device new] autorelease]; // not polling: count stays as set
    app.device = device;
    app.appAbout = ui.appDelegate.appAbout;
    app.fileNew = ui.appDelegate.fileNew;
    NSMenuItem* open = [ui menuItemWithAction:@selector(openDocument:)];
    NSMenuItem* save = [ui menuItemWithAction:@selector(saveDocument:)];
    for (int32_t count : {-1, 0}) {
        device.count = count;
        EXPECT_FALSE([app validateUserInterfaceItem:open]) << count;
        EXPECT_FALSE([app validateUserInterfaceItem:save]) << count;
        EXPECT_TRUE([app validateUserInterfaceItem:app.appAbout]);
        EXPECT_TRUE([app validateUserInterfaceItem:app.fileNew]);
    }
    device.count = 1;
    EXPECT_TRUE([app validateUserInterfaceItem:open]);
    EXPECT_TRUE([app validateUserInterfaceItem:save]);

    // The real menu, validated by AppKit, with the board attached.
    [[open menu] update];
    EXPECT_TRUE([open isEnabled]);
}

TEST_F(InterfaceTest, SaveWritesTheFlashAndNothingWithoutABoard)
{
    board->fillFlashPattern(77);
    ScriptedAppDelegate* app = [[ScriptedAppDelegate new] autorelease];
    app.device = ui.device;
    app->saveAnswer = [NSURL fileURLWithPath:dev->file(@"saved.bin")];
    [app saveDocument:nil];
    NSData* saved = [NSData dataWithContentsOfFile:dev->file(@"saved.bin")];
    ASSERT_TRUE(saved != nil);
    std::vector<uint8_t> bytes((const uint8_t*)[saved bytes], (const uint8_t*)[saved bytes] + [saved length]);
    EXPECT_EQ(board->flash(), bytes);
    EXPECT_EQ(1, app->savePanelsShown);

    Device* absent = [[Device new] autorelease]; // no board known
    app.device = absent;
    app->saveAnswer = [NSURL fileURLWithPath:dev->file(@"never.bin")];
    [app saveDocument:nil];
    EXPECT_EQ(1, app->savePanelsShown) << "no save panel after a failed read";
    EXPECT_FALSE([[NSFileManager defaultManager] fileExistsAtPath:dev->file(@"never.bin")]);
}

TEST_F(InterfaceTest, OpenProgramsTheChosenFileAndNotesItAsRecent)
{
    std::vector<uint8_t> image = pattern(2048, 9);
    writeFile(@"opened.dat", image);
    ScriptedAppDelegate* app = [[ScriptedAppDelegate new] autorelease];
    app.device = ui.device;
    app.terminal = ui.terminal;
    ui.device.optionsStartTerminal = NO;
    app->openAnswer = [NSURL fileURLWithPath:dev->file(@"opened.dat")];
    [app openDocument:nil];
    waitIdle();
    EXPECT_EQ(image, board->read(kFlashStart, 2048));
    NSArray* recent = [[NSDocumentController sharedDocumentController] recentDocumentURLs];
    EXPECT_TRUE([recent containsObject:app->openAnswer]) << str([recent description]);

    app->openAnswer = nil; // cancelled
    [ui.logViewController clear:nil];
    runFor(0.02);
    [app openDocument:nil];
    runFor(0.05);
    EXPECT_EQ("", str(logText()));
}

TEST_F(InterfaceTest, OpenFileProgramsAndAlwaysAnswersYes)
{
    std::vector<uint8_t> image = pattern(1024, 4);
    writeFile(@"finder.bin", image);
    ui.device.optionsStartTerminal = NO;
    EXPECT_TRUE([ui.appDelegate application:NSApp openFile:dev->file(@"finder.bin")]);
    waitIdle();
    EXPECT_EQ(image, board->read(kFlashStart, 1024));
    EXPECT_TRUE([ui.appDelegate application:NSApp openFile:dev->file(@"missing.bin")]);
    EXPECT_TRUE(runUntil([] { return [logText() hasSuffix:@"File read error.\n"]; }));
}

TEST_F(InterfaceTest, PreferencesWindowRefreshesWhenItAppears)
{
    PreferencesViewController* prefs = ui.preferencesViewController;
    [prefs.targetPopUp removeAllItems];
    [prefs.maxSizeTextField setStringValue:@""];
    [ui.preferencesWindow makeKeyAndOrderFront:nil];
    EXPECT_TRUE(runUntil([&] { return [[prefs.maxSizeTextField stringValue] isEqualToString:@"max 256KB (262144 / 0x40000)"]; }))
        << str([prefs.maxSizeTextField stringValue]);
    ASSERT_EQ(1, [prefs.targetPopUp numberOfItems]);
    EXPECT_EQ("STM32 ID: 0", str([prefs.targetPopUp itemTitleAtIndex:0]));
    EXPECT_EQ("0x08000000", str([prefs.flashStartTextField stringValue]));
    [prefs cancelAction:nil];
    EXPECT_FALSE([ui.preferencesWindow isVisible]);
}

TEST_F(InterfaceTest, LaunchBuildsTheTerminalMenu)
{
    [ui.appDelegate applicationDidFinishLaunching:nil];
    ASSERT_EQ(1, [ui.terminalMenu numberOfItems]);
    EXPECT_EQ("No device", str([[ui.terminalMenu itemAtIndex:0] title]));
}

} // namespace
