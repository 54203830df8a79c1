#import "Terminal.h"

#include <stdio.h>
#include <unistd.h>

@implementation Terminal

@synthesize terminalMenu;
@synthesize terminalApplicationName;
@synthesize terminalBundleIdentifier;
@synthesize usbDeviceNameStart;
@synthesize directoryWatcher;
@synthesize usbDeviceList;
@synthesize deviceDirectory;

- (id)init
{
    return [self initWithDeviceDirectory:@"/dev"];
}

- (id)initWithDeviceDirectory:(NSString *)directory
{
    if ((self = [super init]) != nil) {
        deviceDirectory = [directory copy];
        self.terminalApplicationName = @"Terminal";
        self.terminalBundleIdentifier = @"com.apple.Terminal";
        self.usbDeviceNameStart = @"tty.usbmodem";
        self.usbDeviceList = [NSArray array];
        self.directoryWatcher = [DirectoryWatcher watchFolderWithPath:deviceDirectory delegate:self];
    }
    return self;
}

- (void)dealloc
{
    [directoryWatcher invalidate];
    STM_RELEASE(directoryWatcher);
    STM_RELEASE(terminalApplicationName);
    STM_RELEASE(terminalBundleIdentifier);
    STM_RELEASE(usbDeviceNameStart);
    STM_RELEASE(usbDeviceList);
    STM_RELEASE(deviceDirectory);
    STM_SUPER_DEALLOC();
}

- (NSArray *)devLookup:(NSString *)prefix
{
    NSMutableArray *names = [NSMutableArray arrayWithCapacity:1];
    NSArray *entries = [[NSFileManager defaultManager] contentsOfDirectoryAtPath:deviceDirectory error:NULL];
    if (entries == nil) {
        return names;
    }
    NSUInteger prefixLength = [prefix length];
    for (NSString *entry in entries) {
        if ([entry length] > prefixLength &&
            [entry compare:prefix options:NSLiteralSearch range:NSMakeRange(0, prefixLength)] == NSOrderedSame) {
            [names addObject:entry];
        }
    }
    return names;
}

- (void)setupMenu
{
    [self setupMenuWithNames:[self devLookup:self.usbDeviceNameStart]];
}

- (void)setupMenuWithNames:(NSArray *)names
{
    NSMenu *menu = self.terminalMenu;
    while ([menu numberOfItems] > 0) {
        [menu removeItemAtIndex:0];
    }
    self.usbDeviceList = names;
    for (NSUInteger i = 0; i < [names count]; ++i) {
        NSMenuItem *item = (NSMenuItem *)[menu insertItemWithTitle:[names objectAtIndex:i]
                                              action:@selector(itemClickedAction:)
                                       keyEquivalent:@""
                                             atIndex:(NSInteger)i];
        [item setTag:(NSInteger)i];
        [item setTarget:self];
    }
    if ([names count] == 0) {
        // No target answers the action, so automatic enabling shows it disabled.
        [menu insertItemWithTitle:@"No device" action:@selector(itemClickedAction:) keyEquivalent:@"" atIndex:0];
    }
}

- (void)itemClickedAction:(id)sender
{
    [self showMenuItem:(int32_t)[sender tag]];
}

- (void)directoryDidChange:(DirectoryWatcher *)folderWatcher
{
    (void)folderWatcher;
    [self setupMenu];
}

- (BOOL)isRunning:(NSString *)bundleIdentifier
{
    for (NSRunningApplication *application in [[NSWorkspace sharedWorkspace] runningApplications]) {
        NSString *identifier = [application bundleIdentifier];
        if (identifier != nil && [identifier compare:bundleIdentifier options:NSLiteralSearch] == NSOrderedSame) {
            return YES;
        }
    }
    return NO;
}

- (NSString *)getScript:(NSString *)command title:(NSString *)title isRunning:(BOOL)running
{
    NSString *app = self.terminalApplicationName;
    NSMutableString *script = [NSMutableString stringWithCapacity:1000];
    [script appendFormat:@"tell application \"%@\" to activate\n", app];
    if (!running) {
        [script appendString:@"     delay 1.0\n"];
        [script appendString:@"set needsCloseWindow to true\n"];
        [script appendString:@"try\n"];
        [script appendFormat:@"     tell application \"%@\" to set initWindow to window 1\n", app];
        [script appendString:@"on error\n"];
        [script appendString:@"     set needsCloseWindow to false\n"];
        [script appendString:@"end try\n"];
    }
    [script appendFormat:@"tell application \"%@\"\n", app];
    [script appendString:@"     try\n"];
    [script appendFormat:@"         set winID to (id of first window whose name contains \"%@\")\n", title];
    [script appendFormat:@"         do script with command \"%@\" in window id winID\n", command];
    [script appendString:@"     on error\n"];
    [script appendFormat:@"         do script with command \"%@\"\n", command];
    [script appendString:@"     end try\n"];
    [script appendString:@"     delay 1.0\n"];
    [script appendString:@"     tell window frontmost\n"];
    [script appendString:@"         set title displays device name to false\n"];
    [script appendString:@"         set title displays shell path to false\n"];
    [script appendString:@"         set title displays window size to false\n"];
    [script appendString:@"         set title displays file name to false\n"];
    [script appendFormat:@"         set custom title to \"%@\"\n", title];
    [script appendString:@"         set title displays custom title to true\n"];
    [script appendString:@"     end tell\n"];
    [script appendString:@"end tell\n"];
    if (!running) {
        [script appendString:@"if needsCloseWindow then\n"];
        [script appendString:@"     set closeTime to current date\n"];
        [script appendString:@"     repeat while (current date) - closeTime < 5\n"];
        [script appendFormat:@"          tell application \"%@\" to set bsy to busy of initWindow\n", app];
        [script appendString:@"          if not bsy then\n"];
        [script appendFormat:@"              tell application \"%@\" to close initWindow\n", app];
        [script appendString:@"              exit repeat\n"];
        [script appendString:@"          end if\n"];
        [script appendString:@"          delay 1\n"];
        [script appendString:@"     end repeat\n"];
        [script appendFormat:@"     if bsy then tell application \"%@\" to close initWindow\n", app];
        [script appendString:@"end if\n"];
    }
    return script;
}

- (void)reportScriptFailure:(NSString *)script error:(NSDictionary *)errorInfo
{
    printf("An error occurred while the script was running.\n");
    printf("%s\n", [script UTF8String]);
    for (id key in errorInfo) {
        printf("\tError info: %s: %p", [[key description] UTF8String], (STM_BRIDGE void *)[errorInfo objectForKey:key]);
    }
    fflush(stdout);
}

- (void)showMenuItem:(int32_t)position
{
    if ((NSUInteger)(uint32_t)position >= [self.usbDeviceList count]) {
        self.usbDeviceList = [self devLookup:self.usbDeviceNameStart];
    }
    NSArray *names = self.usbDeviceList;
    if ((NSUInteger)(uint32_t)position >= [names count]) {
        return;
    }
    NSString *name = [names objectAtIndex:(NSUInteger)position];
    NSString *command = [NSString stringWithFormat:@"screen /dev/%@ 230000", name];
    BOOL running = [self isRunning:self.terminalBundleIdentifier];
    NSString *script = [self getScript:command title:name isRunning:running];
    NSAppleScript *appleScript = [[NSAppleScript alloc] initWithSource:script];
    NSDictionary *errorInfo = nil;
    if ([appleScript executeAndReturnError:&errorInfo] == nil) {
        [self reportScriptFailure:script error:errorInfo];
    }
    STM_RELEASE(appleScript);
}

- (void)show:(int32_t)targetIndex
{
    (void)targetIndex;
    sleep(1); // gives the board's new serial port time to appear
    NSArray *current = [self devLookup:self.usbDeviceNameStart];
    int32_t position = 0;
    for (NSUInteger i = 0; i < [current count]; ++i) {
        if (![self.usbDeviceList containsObject:[current objectAtIndex:i]]) {
            position = (int32_t)i;
            break;
        }
    }
    // Positions index the stored list: store the one the position came from,
    // or a port added meanwhile would shift the choice onto its neighbour.
    if (![current isEqualToArray:self.usbDeviceList]) {
        [self setupMenuWithNames:current];
    }
    [self showMenuItem:position];
}

@end
