#import "AppDelegate.h"
#import "Device.h"
#import "Terminal.h"
#import "TraceFile.h"

#include <stdlib.h>

#include "stm32.h"
#include "stm32frontend.h"

// Every kind of image the loader reads, in both cases: the panel compares
// extensions exactly on some systems.
static NSArray *imageFileTypes(void)
{
    const char *const *extensions = NULL;
    int32_t count = stm32ImageFileExtensions(&extensions);
    NSMutableArray *types = [NSMutableArray arrayWithCapacity:(NSUInteger)count * 2];
    for (int32_t i = 0; i < count; ++i) {
        NSString *type = [NSString stringWithUTF8String:extensions[i]];
        [types addObject:type];
        [types addObject:[type uppercaseString]];
    }
    return types;
}

@implementation AppDelegate

@synthesize terminal;
@synthesize device;
@synthesize aboutPanel;
@synthesize logWindow;
@synthesize appAbout;
@synthesize fileNew;
@synthesize terminalMenuItem;

- (IBAction)showAboutPanel:(id)sender
{
    (void)sender;
    [self.aboutPanel makeKeyAndOrderFront:self];
}

- (IBAction)newDocument:(id)sender
{
    (void)sender;
    [self.logWindow makeKeyAndOrderFront:self];
}

- (NSURL *)chooseFileToOpen
{
    NSOpenPanel *panel = [NSOpenPanel openPanel];
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
    [panel setAllowedFileTypes:imageFileTypes()];
#pragma clang diagnostic pop
    if ([panel runModal] != NSModalResponseOK) {
        return nil;
    }
    NSArray *urls = [panel URLs];
    return [urls count] > 0 ? [urls objectAtIndex:0] : nil;
}

- (NSURL *)chooseFileToSave
{
    NSSavePanel *panel = [NSSavePanel savePanel];
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
    [panel setAllowedFileTypes:[NSArray arrayWithObject:@"bin"]];
#pragma clang diagnostic pop
    [panel setCanSelectHiddenExtension:YES];
    if ([panel runModal] != NSModalResponseOK) {
        return nil;
    }
    return [panel URL];
}

- (void)programFileAtPath:(NSString *)path
{
    NSData *contents = [NSData dataWithContentsOfFile:path];
    [self.device upgradeFirmware:contents path:path terminal:self.terminal];
}

- (IBAction)openDocument:(id)sender
{
    (void)sender;
    NSURL *url = [self chooseFileToOpen];
    if (url == nil) {
        return;
    }
    [[NSDocumentController sharedDocumentController] noteNewRecentDocumentURL:url];
    [self programFileAtPath:[url path]];
}

- (IBAction)saveDocument:(id)sender
{
    (void)sender;
    NSData *flash = [self.device getFlash];
    if (flash == nil) {
        return;
    }
    NSURL *url = [self chooseFileToSave];
    if (url != nil) {
        [flash writeToFile:[url path] atomically:YES];
    }
}

- (BOOL)application:(NSApplication *)application openFile:(NSString *)filename
{
    (void)application;
    [self programFileAtPath:filename];
    return YES;
}

- (BOOL)validateUserInterfaceItem:(id<NSValidatedUserInterfaceItem>)item
{
    id object = (id)item;
    if (object == (id)self.appAbout || object == (id)self.fileNew) {
        return YES;
    }
    return self.device.count >= 1;
}

// GNUstep validates menu items through this one.
- (BOOL)validateMenuItem:(NSMenuItem *)item
{
    return [self validateUserInterfaceItem:item];
}

- (BOOL)applicationShouldTerminateAfterLastWindowClosed:(NSApplication *)application
{
    (void)application;
    return YES;
}

- (void)applicationDidFinishLaunching:(NSNotification *)notification
{
    (void)notification;
    [self.terminal setupMenu];
    if (traceWanted([NSUserDefaults standardUserDefaults], getenv("STM32_DEBUG"))) {
        startTraceFile(traceFilePath());
    }
}

- (void)applicationWillTerminate:(NSNotification *)notification
{
    (void)notification;
    stopTraceFile();
}

@end

NSString *aboutText(NSString *copyright)
{
    NSString *version = [NSString stringWithFormat:@"%d.%d.%d", STM32_VERSION_MAJOR, STM32_VERSION_MINOR,
                                                   STM32_VERSION_PATCH];
    return [NSString stringWithFormat:@"%@ (Version: %@)", copyright, version];
}

@implementation AboutViewController

@synthesize copyrightTextField;

- (void)initialize
{
    if (initialized) {
        return;
    }
    initialized = YES;
    NSString *copyright = [[[NSBundle mainBundle] infoDictionary] objectForKey:@"NSHumanReadableCopyright"];
    [self.copyrightTextField setStringValue:aboutText(copyright)];
}

- (void)awakeFromNib
{
    if (NSAppKitVersionNumber >= STM_APPKIT_VIEW_LIFECYCLE) {
        return; // viewDidLoad does it; not even the inherited step runs
    }
    [super awakeFromNib];
    [self initialize];
}

- (void)viewDidLoad
{
    [super viewDidLoad];
    if (NSAppKitVersionNumber >= STM_APPKIT_VIEW_LIFECYCLE) {
        [self initialize];
    }
}

@end
