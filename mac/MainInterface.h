// Builds the application's interface in code: the objects an interface file
// would hold, created and connected in the same order a nib loader uses.
#import <AppKit/AppKit.h>
#import "Compat.h"

@class AppDelegate;
@class Device;
@class Terminal;
@class LogViewController;
@class LogView;
@class PreferencesViewController;
@class AboutViewController;

// The top-level objects; keeps them alive for the application's life.
@interface MainInterface : NSObject {
    AppDelegate *appDelegate;
    Device *device;
    Terminal *terminal;
    NSWindow *logWindow;
    LogViewController *logViewController;
    NSWindow *preferencesWindow;
    PreferencesViewController *preferencesViewController;
    NSPanel *aboutPanel;
    AboutViewController *aboutViewController;
    NSMenu *mainMenu;
    NSMenu *terminalMenu;
}
@property (strong, readonly) AppDelegate *appDelegate;
@property (strong, readonly) Device *device;
@property (strong, readonly) Terminal *terminal;
@property (strong, readonly) NSWindow *logWindow;
@property (strong, readonly) LogViewController *logViewController;
@property (strong, readonly) NSWindow *preferencesWindow;
@property (strong, readonly) PreferencesViewController *preferencesViewController;
@property (strong, readonly) NSPanel *aboutPanel;
@property (strong, readonly) AboutViewController *aboutViewController;
@property (strong, readonly) NSMenu *mainMenu;
@property (strong, readonly) NSMenu *terminalMenu;

// Loads the interface into the shared application; deviceDirectory is
// where the serial ports are looked up ("/dev" in the application).
+ (MainInterface *)loadWithDeviceDirectory:(NSString *)deviceDirectory;
+ (MainInterface *)loaded;

- (NSMenuItem *)menuItemWithAction:(SEL)action;
@end
