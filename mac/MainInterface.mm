#import "MainInterface.h"
#import "AppDelegate.h"
#import "Device.h"
#import "LogViewController.h"
#import "PreferencesViewController.h"
#import "Terminal.h"

static MainInterface *loadedInterface = nil;

static NSTextField *makeLabel(NSRect frame, NSString *text)
{
    NSTextField *label = STM_AUTORELEASE([[NSTextField alloc] initWithFrame:frame]);
    [label setStringValue:text];
    [label setEditable:NO];
    [label setSelectable:NO];
    [label setBezeled:NO];
    [label setDrawsBackground:NO];
    return label;
}

static NSTextField *makeField(NSRect frame)
{
    NSTextField *field = STM_AUTORELEASE([[NSTextField alloc] initWithFrame:frame]);
    [field setEditable:YES];
    [field setBezeled:YES];
    return field;
}

static NSButton *makeButton(NSRect frame, NSString *title, id target, SEL action, BOOL checkBox)
{
    NSButton *button = STM_AUTORELEASE([[NSButton alloc] initWithFrame:frame]);
    [button setTitle:title];
    if (checkBox) {
        [button setButtonType:NSButtonTypeSwitch];
    } else {
        [button setBezelStyle:NSBezelStyleRounded];
    }
    [button setTarget:target];
    [button setAction:action];
    return button;
}

static NSMenuItem *addItem(NSMenu *menu, NSString *title, SEL action, NSString *key, id target)
{
    NSMenuItem *item = (NSMenuItem *)[menu addItemWithTitle:title action:action keyEquivalent:key];
    [item setTarget:target];
    return item;
}

static NSMenu *addSubmenu(NSMenu *mainMenu, NSString *title)
{
    NSMenuItem *holder = (NSMenuItem *)[mainMenu addItemWithTitle:title action:NULL keyEquivalent:@""];
    NSMenu *menu = STM_AUTORELEASE([[NSMenu alloc] initWithTitle:title]);
    [mainMenu setSubmenu:menu forItem:holder];
    return menu;
}

static NSWindow *makeWindow(NSRect frame, NSString *title, BOOL panel)
{
    NSUInteger style = NSWindowStyleMaskTitled | NSWindowStyleMaskClosable;
    Class windowClass = panel ? [NSPanel class] : [NSWindow class];
    NSWindow *window = [[windowClass alloc] initWithContentRect:frame
                                                      styleMask:style
                                                        backing:NSBackingStoreBuffered
                                                          defer:NO];
    [window setTitle:title];
    [window setReleasedWhenClosed:NO];
    return STM_AUTORELEASE(window);
}

@implementation LogViewController (Interface)
- (void)loadView
{
    NSView *content = STM_AUTORELEASE([[NSView alloc] initWithFrame:NSMakeRect(0, 0, 640, 420)]);
    [content setAutoresizingMask:NSViewWidthSizable | NSViewHeightSizable];
    NSTextField *status = makeLabel(NSMakeRect(10, 392, 620, 22), @"");
    [status setAutoresizingMask:NSViewWidthSizable | NSViewMinYMargin];
    [content addSubview:status];

    NSScrollView *scroll = STM_AUTORELEASE([[NSScrollView alloc] initWithFrame:NSMakeRect(0, 0, 640, 386)]);
    [scroll setHasVerticalScroller:YES];
    [scroll setBorderType:NSBezelBorder];
    [scroll setAutoresizingMask:NSViewWidthSizable | NSViewHeightSizable];
    NSSize size = [scroll contentSize];
    LogView *text = STM_AUTORELEASE([[LogView alloc] initWithFrame:NSMakeRect(0, 0, size.width, size.height)]);
    [text setEditable:NO];
    [text setRichText:NO];
    [text setVerticallyResizable:YES];
    [text setHorizontallyResizable:NO];
    [text setAutoresizingMask:NSViewWidthSizable];
    [[text textContainer] setWidthTracksTextView:YES];
    [text setFont:[NSFont userFixedPitchFontOfSize:12]];
    [scroll setDocumentView:text];
    [content addSubview:scroll];

    self.statusTextField = status;
    self.logTextView = text;
    [self setView:content];
}
@end

@implementation PreferencesViewController (Interface)
- (void)loadView
{
    NSView *content = STM_AUTORELEASE([[NSView alloc] initWithFrame:NSMakeRect(0, 0, 470, 300)]);
    [content addSubview:makeLabel(NSMakeRect(20, 258, 90, 22), @"Target:")];
    NSPopUpButton *popUp = STM_AUTORELEASE([[NSPopUpButton alloc] initWithFrame:NSMakeRect(115, 258, 220, 26)
                                                                      pullsDown:NO]);
    [content addSubview:popUp];

    NSButton *options = makeButton(NSMakeRect(18, 226, 300, 22), @"Options", self, @selector(optionsChangedAction:), YES);
    [content addSubview:options];

    [content addSubview:makeLabel(NSMakeRect(20, 189, 90, 22), @"Offset:")];
    NSTextField *offset = makeField(NSMakeRect(115, 192, 110, 22));
    [offset setTarget:self];
    [offset setAction:@selector(offsetChangedAction:)];
    [[offset cell] setSendsActionOnEndEditing:YES];
    [content addSubview:offset];
    NSTextField *maxOffsetLine = makeLabel(NSMakeRect(235, 189, 225, 22), @"");
    [content addSubview:maxOffsetLine];

    [content addSubview:makeLabel(NSMakeRect(20, 155, 90, 22), @"Size:")];
    NSTextField *size = makeField(NSMakeRect(115, 158, 110, 22));
    [content addSubview:size];
    NSTextField *maxSizeLine = makeLabel(NSMakeRect(235, 155, 225, 22), @"");
    [content addSubview:maxSizeLine];

    [content addSubview:makeLabel(NSMakeRect(20, 124, 90, 22), @"Flash start:")];
    NSTextField *flashStart = makeLabel(NSMakeRect(115, 124, 200, 22), @"");
    [content addSubview:flashStart];

    NSButton *terminal = makeButton(NSMakeRect(18, 88, 430, 22), @"Open the serial terminal after programming", nil,
                                    NULL, YES);
    [content addSubview:terminal];

    NSButton *cancel = makeButton(NSMakeRect(260, 18, 95, 30), @"Cancel", self, @selector(cancelAction:), NO);
    [cancel setKeyEquivalent:@"\e"];
    [content addSubview:cancel];
    NSButton *confirm = makeButton(NSMakeRect(360, 18, 95, 30), @"OK", self, @selector(confirmAction:), NO);
    [confirm setKeyEquivalent:@"\r"];
    [content addSubview:confirm];

    self.targetPopUp = popUp;
    self.optionsCheckBox = options;
    self.offsetTextField = offset;
    self.sizeTextField = size;
    self.maxOffsetTextField = maxOffsetLine;
    self.maxSizeTextField = maxSizeLine;
    self.flashStartTextField = flashStart;
    self.startTerminalCheckBox = terminal;
    [self setView:content];
}
@end

@implementation AboutViewController (Interface)
- (void)loadView
{
    NSView *content = STM_AUTORELEASE([[NSView alloc] initWithFrame:NSMakeRect(0, 0, 480, 110)]);
    NSTextField *copyright = makeLabel(NSMakeRect(20, 30, 440, 50), @"");
    [copyright setAlignment:NSTextAlignmentCenter];
    [content addSubview:copyright];
    self.copyrightTextField = copyright;
    [self setView:content];
}
@end

@implementation MainInterface

@synthesize appDelegate;
@synthesize device;
@synthesize terminal;
@synthesize logWindow;
@synthesize logViewController;
@synthesize preferencesWindow;
@synthesize preferencesViewController;
@synthesize aboutPanel;
@synthesize aboutViewController;
@synthesize mainMenu;
@synthesize terminalMenu;

+ (MainInterface *)loaded
{
    return loadedInterface;
}

+ (MainInterface *)loadWithDeviceDirectory:(NSString *)deviceDirectory
{
    if (loadedInterface == nil) {
        loadedInterface = [[MainInterface alloc] initWithDeviceDirectory:deviceDirectory];
    }
    return loadedInterface;
}

- (id)initWithDeviceDirectory:(NSString *)deviceDirectory
{
    if ((self = [super init]) == nil) {
        return nil;
    }
    [NSApplication sharedApplication];
    appDelegate = [[AppDelegate alloc] init];
    device = [[Device alloc] init];
    terminal = [[Terminal alloc] initWithDeviceDirectory:deviceDirectory];
    [NSApp setDelegate:appDelegate];
    appDelegate.device = device;
    appDelegate.terminal = terminal;

    [self buildAboutPanel];
    [self buildPreferencesWindow];
    [self buildLogWindow];
    [self buildMenus];
    [self awakeObjects];
    [logWindow makeKeyAndOrderFront:nil];
    return self;
}

- (void)buildAboutPanel
{
    aboutPanel = (NSPanel *)STM_RETAIN(makeWindow(NSMakeRect(280, 300, 480, 110), @"About TidewireMacUtility", YES));
    aboutViewController = [[AboutViewController alloc] init];
    [aboutPanel setContentView:[aboutViewController view]];
    appDelegate.aboutPanel = aboutPanel;
}

- (void)buildPreferencesWindow
{
    preferencesWindow = STM_RETAIN(makeWindow(NSMakeRect(260, 260, 470, 300), @"Preferences", NO));
    preferencesViewController = [[PreferencesViewController alloc] init];
    [preferencesWindow setContentView:[preferencesViewController view]];
    [preferencesWindow setDelegate:preferencesViewController];
}

- (void)buildLogWindow
{
    logWindow = [[NSWindow alloc] initWithContentRect:NSMakeRect(200, 200, 640, 420)
                                            styleMask:NSWindowStyleMaskTitled | NSWindowStyleMaskClosable |
                                                      NSWindowStyleMaskMiniaturizable | NSWindowStyleMaskResizable
                                              backing:NSBackingStoreBuffered
                                                defer:NO];
    [logWindow setTitle:@"TidewireMacUtility"];
    [logWindow setReleasedWhenClosed:NO];
    logViewController = [[LogViewController alloc] init];
    [logWindow setContentView:[logViewController view]];
    appDelegate.logWindow = logWindow;
}

- (void)buildMenus
{
    mainMenu = [[NSMenu alloc] initWithTitle:@"TidewireMacUtility"];

    NSMenu *application = addSubmenu(mainMenu, @"TidewireMacUtility");
    appDelegate.appAbout = addItem(application, @"About TidewireMacUtility", @selector(showAboutPanel:), @"", nil);
    addItem(application, @"Preferences\u2026", @selector(makeKeyAndOrderFront:), @",", preferencesWindow);
    [application addItem:[NSMenuItem separatorItem]];
    addItem(application, @"Quit TidewireMacUtility", @selector(terminate:), @"q", nil);

    NSMenu *file = addSubmenu(mainMenu, @"File");
    appDelegate.fileNew = addItem(file, @"New", @selector(newDocument:), @"n", nil);
    addItem(file, @"Open\u2026", @selector(openDocument:), @"o", nil);
    NSMenuItem *recentHolder = (NSMenuItem *)[file addItemWithTitle:@"Open Recent" action:NULL keyEquivalent:@""];
    NSMenu *recent = STM_AUTORELEASE([[NSMenu alloc] initWithTitle:@"Open Recent"]);
    addItem(recent, @"Clear Menu", @selector(clearRecentDocuments:), @"", nil);
    [file setSubmenu:recent forItem:recentHolder];
    addItem(file, @"Save\u2026", @selector(saveDocument:), @"s", nil);
    [file addItem:[NSMenuItem separatorItem]];
    addItem(file, @"Close", @selector(performClose:), @"w", nil);

    NSMenu *edit = addSubmenu(mainMenu, @"Edit");
    addItem(edit, @"Copy", @selector(copy:), @"c", nil);
    addItem(edit, @"Select All", @selector(selectAll:), @"a", nil);

    NSMenu *log = addSubmenu(mainMenu, @"Log");
    addItem(log, @"Clear Log", @selector(clear:), @"k", logViewController);
    addItem(log, @"Bigger", @selector(incrementFontSize:), @"+", logViewController);
    addItem(log, @"Smaller", @selector(decrementFontSize:), @"-", logViewController);

    NSMenuItem *terminalHolder = (NSMenuItem *)[mainMenu addItemWithTitle:@"Serial Terminal" action:NULL keyEquivalent:@""];
    terminalMenu = [[NSMenu alloc] initWithTitle:@"Serial Terminal"];
    [mainMenu setSubmenu:terminalMenu forItem:terminalHolder];
    terminal.terminalMenu = terminalMenu;
    appDelegate.terminalMenuItem = terminalHolder;

    [NSApp setMainMenu:mainMenu];
}

// Like a nib loader: every object is told once all are connected.
- (void)awakeObjects
{
    NSArray *objects = [NSArray arrayWithObjects:appDelegate, device, terminal, aboutViewController,
                                                 preferencesViewController, logViewController, nil];
    for (id object in objects) {
        if ([object respondsToSelector:@selector(awakeFromNib)]) {
            [object awakeFromNib];
        }
    }
}

- (NSMenuItem *)menuItemWithAction:(SEL)action
{
    NSMutableArray *menus = [NSMutableArray arrayWithObject:mainMenu];
    while ([menus count] > 0) {
        NSMenu *menu = [menus objectAtIndex:0];
        [menus removeObjectAtIndex:0];
        for (NSMenuItem *item in [menu itemArray]) {
            if ([item action] != NULL && sel_isEqual([item action], action)) {
                return item;
            }
            if ([item submenu] != nil) {
                [menus addObject:[item submenu]];
            }
        }
    }
    return nil;
}

@end
