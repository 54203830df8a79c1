// Application delegate: opening, saving and the menu commands.
#import <AppKit/AppKit.h>
#import "Compat.h"

@class Device;
@class Terminal;

@interface AppDelegate : NSObject <NSApplicationDelegate> {
    STM_WEAK_IVAR Terminal *terminal;
    STM_WEAK_IVAR Device *device;
    STM_WEAK_IVAR NSPanel *aboutPanel;
    STM_WEAK_IVAR NSWindow *logWindow;
    STM_WEAK_IVAR NSMenuItem *appAbout;
    STM_WEAK_IVAR NSMenuItem *fileNew;
    STM_WEAK_IVAR NSMenuItem *terminalMenuItem;
}
@property (STM_WEAK) Terminal *terminal;
@property (STM_WEAK) Device *device;
@property (STM_WEAK) NSPanel *aboutPanel;
@property (STM_WEAK) NSWindow *logWindow;
@property (STM_WEAK) NSMenuItem *appAbout;
@property (STM_WEAK) NSMenuItem *fileNew;
@property (STM_WEAK) NSMenuItem *terminalMenuItem;

- (IBAction)showAboutPanel:(id)sender;
- (IBAction)newDocument:(id)sender;
- (IBAction)openDocument:(id)sender;
- (IBAction)saveDocument:(id)sender;
- (BOOL)application:(NSApplication *)application openFile:(NSString *)filename;
- (BOOL)validateUserInterfaceItem:(id<NSValidatedUserInterfaceItem>)item;
- (BOOL)applicationShouldTerminateAfterLastWindowClosed:(NSApplication *)application;
- (void)applicationDidFinishLaunching:(NSNotification *)notification;
- (void)applicationWillTerminate:(NSNotification *)notification;

// Panels, replaceable by tests: the chosen URL, or nil when cancelled.
- (NSURL *)chooseFileToOpen;
- (NSURL *)chooseFileToSave;
@end

// Fills the About panel's text once.
@interface AboutViewController : NSViewController {
    STM_WEAK_IVAR NSTextField *copyrightTextField;
    BOOL initialized;
}
@property (STM_WEAK) NSTextField *copyrightTextField;
- (void)initialize;
@end

// "%@ (Version: %@)" from the copyright line and the library's version.
NSString *aboutText(NSString *copyright);
