// Menu of the board's USB serial ports and the launcher that opens one in
// the system's terminal application.
#import <AppKit/AppKit.h>
#import "Compat.h"
#import "DirectoryWatcher.h"

@interface Terminal : NSObject <DirectoryWatcherDelegate> {
    STM_WEAK_IVAR NSMenu *terminalMenu;
    NSString *terminalApplicationName;
    NSString *terminalBundleIdentifier;
    NSString *usbDeviceNameStart;
    DirectoryWatcher *directoryWatcher;
    NSArray *usbDeviceList;
    NSString *deviceDirectory;
}
@property (STM_WEAK) NSMenu *terminalMenu;
@property (strong) NSString *terminalApplicationName;
@property (strong) NSString *terminalBundleIdentifier;
@property (strong) NSString *usbDeviceNameStart;
@property (strong) DirectoryWatcher *directoryWatcher;
@property (strong) NSArray *usbDeviceList;
// "/dev" in the application; tests point it at a folder of their own.
@property (strong, readonly) NSString *deviceDirectory;

- (id)init;
- (id)initWithDeviceDirectory:(NSString *)directory;
- (void)setupMenu;
- (NSArray *)devLookup:(NSString *)prefix;
- (BOOL)isRunning:(NSString *)bundleIdentifier;
- (NSString *)getScript:(NSString *)command title:(NSString *)title isRunning:(BOOL)running;
- (void)showMenuItem:(int32_t)position;
- (void)itemClickedAction:(id)sender;
- (void)show:(int32_t)targetIndex;
@end
