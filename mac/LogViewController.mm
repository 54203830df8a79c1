#import "LogViewController.h"
#import "AppDelegate.h"

static AppDelegate *applicationDelegate(void)
{
    return (AppDelegate *)[NSApp delegate];
}

@implementation LogView

@synthesize device;

- (void)dealloc
{
    STM_RELEASE(device);
    STM_SUPER_DEALLOC();
}

- (NSDragOperation)draggingEntered:(id<NSDraggingInfo>)sender
{
    (void)sender;
    return NSDragOperationCopy;
}

- (NSDragOperation)draggingUpdated:(id<NSDraggingInfo>)sender
{
    (void)sender;
    return NSDragOperationCopy;
}

- (BOOL)prepareForDragOperation:(id<NSDraggingInfo>)sender
{
    (void)sender;
    return YES;
}

- (BOOL)performDragOperation:(id<NSDraggingInfo>)sender
{
    NSPasteboard *pasteboard = [sender draggingPasteboard];
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
    NSArray *paths = [pasteboard propertyListForType:NSFilenamesPboardType];
#pragma clang diagnostic pop
    if (![paths isKindOfClass:[NSArray class]] || [paths count] == 0) {
        return NO;
    }
    NSURL *url = [NSURL URLFromPasteboard:pasteboard];
    if (url != nil) {
        [[NSDocumentController sharedDocumentController] noteNewRecentDocumentURL:url];
    }
    NSString *path = [paths objectAtIndex:0];
    NSData *contents = [NSData dataWithContentsOfFile:path];
    AppDelegate *appDelegate = applicationDelegate();
    self.device = appDelegate.device;
    [self.device upgradeFirmware:contents path:path terminal:appDelegate.terminal];
    return YES;
}

- (void)draggingEnded:(id<NSDraggingInfo>)sender
{
    (void)sender;
}

@end

@implementation LogViewController

@synthesize statusTextField;
@synthesize logTextView;
@synthesize device;

- (void)dealloc
{
    STM_RELEASE(device);
    STM_SUPER_DEALLOC();
}

- (void)initialize
{
    if (initialized) {
        return;
    }
    initialized = YES;
    NSTextView *textView = self.logTextView;
    if ([textView font] == nil) {
        [textView setFont:[NSFont userFontOfSize:0]];
    }
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wdeprecated-declarations"
    [textView registerForDraggedTypes:[NSArray arrayWithObject:NSFilenamesPboardType]];
#pragma clang diagnostic pop
    self.device = applicationDelegate().device;
    [self.device setLogDelegate:self];
    [self.device start];
}

- (void)setView:(NSView *)view
{
    [super setView:view];
    if (NSAppKitVersionNumber < STM_APPKIT_VIEW_LIFECYCLE) {
        [self initialize];
    }
}

- (void)viewDidLoad
{
    [super viewDidLoad];
    if (NSAppKitVersionNumber >= STM_APPKIT_VIEW_LIFECYCLE) {
        [self initialize];
    }
}

- (void)updateLog:(NSString *)text
{
    NSString *kept = [text copy];
    dispatch_async(dispatch_get_main_queue(), ^{
        [self appendToLog:kept];
    });
    STM_RELEASE(kept);
}

- (void)appendToLog:(NSString *)text
{
    NSTextView *textView = self.logTextView;
    NSFont *font = [textView font];
    NSDictionary *attributes = (font != nil) ? [NSDictionary dictionaryWithObject:font forKey:NSFontAttributeName]
                                             : [NSDictionary dictionary];
    NSAttributedString *piece = [[NSAttributedString alloc] initWithString:(text != nil ? text : @"")
                                                                attributes:attributes];
    [[textView textStorage] appendAttributedString:piece];
    STM_RELEASE(piece);
    [textView scrollRangeToVisible:NSMakeRange([[textView string] length], 0)];
}

- (void)updateDeviceStatus:(NSString *)text
{
    NSString *kept = [text copy];
    dispatch_async(dispatch_get_main_queue(), ^{
        [self.statusTextField setStringValue:(kept != nil ? kept : @"")];
    });
    STM_RELEASE(kept);
}

- (IBAction)clear:(id)sender
{
    (void)sender;
    dispatch_async(dispatch_get_main_queue(), ^{
        NSAttributedString *empty = [[NSAttributedString alloc] initWithString:@""];
        [[self.logTextView textStorage] setAttributedString:empty];
        STM_RELEASE(empty);
    });
}

- (void)changeFontSize:(double)change
{
    NSTextView *textView = self.logTextView;
    NSFont *font = [textView font];
    if (font == nil) {
        font = [NSFont userFontOfSize:0];
    }
    double size = [font pointSize] + change;
    if (size < LOG_MINIMUM_FONT_SIZE) {
        size = LOG_MINIMUM_FONT_SIZE;
    }
    NSFont *resized = [[NSFontManager sharedFontManager] convertFont:font toSize:size];
    if (resized != nil) {
        [textView setFont:resized];
    }
}

- (IBAction)decrementFontSize:(id)sender
{
    (void)sender;
    [self changeFontSize:-1.0];
}

- (IBAction)incrementFontSize:(id)sender
{
    (void)sender;
    [self changeFontSize:1.0];
}

@end
