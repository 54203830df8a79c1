#import "PreferencesViewController.h"
#import "AppDelegate.h"

#include "stm32frontend.h"

int32_t preferenceNumber(NSString *text)
{
    // A field that holds no number reads as 0.
    int32_t value = 0;
    stm32ReadFieldNumber([text UTF8String], &value);
    return value;
}

NSString *limitText(int32_t bytes)
{
    return [NSString stringWithFormat:@"max %dKB (%d / 0x%X)", bytes / 1024, bytes, (unsigned)bytes];
}

static NSString *flashAddressText(uint32_t address)
{
    return [NSString stringWithFormat:@"0x%08X", address];
}

@implementation PreferencesViewController

@synthesize targetPopUp;
@synthesize optionsCheckBox;
@synthesize offsetTextField;
@synthesize sizeTextField;
@synthesize maxOffsetTextField;
@synthesize maxSizeTextField;
@synthesize flashStartTextField;
@synthesize startTerminalCheckBox;
@synthesize device;
@synthesize baseAddress;
@synthesize maxOffset;

- (void)dealloc
{
    STM_RELEASE(device);
    STM_SUPER_DEALLOC();
}

#pragma mark Lifecycle

- (void)initialize
{
    if (initialized) {
        return;
    }
    initialized = YES;
    AppDelegate *appDelegate = (AppDelegate *)[NSApp delegate];
    self.device = appDelegate.device;
    [self.device setPrefsDelegate:self];
}

- (void)viewDidLoad
{
    [super viewDidLoad];
    if (NSAppKitVersionNumber >= STM_APPKIT_VIEW_LIFECYCLE) {
        [self initialize];
    }
}

- (void)awakeFromNib
{
    [super awakeFromNib];
    if (NSAppKitVersionNumber < STM_APPKIT_VIEW_LIFECYCLE) {
        [self initialize];
    }
}

- (void)appear
{
    Device *target = self.device;
    NSPopUpButton *popUp = self.targetPopUp;
    if (target.index >= 0 && target.index < [popUp numberOfItems]) {
        [popUp selectItemAtIndex:target.index];
    }
    [self updatePrefs];
}

- (void)viewWillAppear
{
    [super viewWillAppear];
    if (NSAppKitVersionNumber >= STM_APPKIT_VIEW_LIFECYCLE) {
        [self appear];
    }
}

- (void)windowDidChangeOcclusionState:(NSNotification *)notification
{
    if (NSAppKitVersionNumber >= STM_APPKIT_VIEW_LIFECYCLE) {
        return; // viewWillAppear does it
    }
    NSWindow *window = [notification object];
    if (([window occlusionState] & NSWindowOcclusionStateVisible) != 0) {
        [self appear];
    }
}

- (void)updatePrefs
{
    [self.device updateStatus];
}

#pragma mark PrefsProtocol

- (void)resetPopUp
{
    dispatch_async(dispatch_get_main_queue(), ^{
        [self.targetPopUp removeAllItems];
    });
}

- (void)addPopUpItem:(NSString *)title
{
    NSString *kept = [title copy];
    dispatch_async(dispatch_get_main_queue(), ^{
        // Through the menu: the pop-up's own methods drop a title already present.
        NSPopUpButton *popUp = self.targetPopUp;
        [[popUp menu] addItemWithTitle:kept action:NULL keyEquivalent:@""];
        // A rebuilt chooser shows the device's target once that entry exists.
        if ([popUp numberOfItems] == self.device.index + 1) {
            [popUp selectItemAtIndex:self.device.index];
        }
        [popUp synchronizeTitleAndSelectedItem];
    });
    STM_RELEASE(kept);
}

- (void)flashSizeIs:(int32_t)flashSize pageSizeIs:(int32_t)pageSize baseAddressIs:(uint32_t)address
{
    self.baseAddress = address;
    dispatch_async(dispatch_get_main_queue(), ^{
        [self refreshWithFlashSize:flashSize pageSize:pageSize baseAddress:address];
    });
}

- (void)enableOptionFields:(BOOL)enabled
{
    [self.offsetTextField setEnabled:enabled];
    [self.sizeTextField setEnabled:enabled];
}

- (void)refreshWithFlashSize:(int32_t)flashSize pageSize:(int32_t)pageSize baseAddress:(uint32_t)address
{
    Device *target = self.device;
    if (flashSize > 0) { // -1: a board whose layout cannot be read
        [self.optionsCheckBox setEnabled:YES];
        [self.optionsCheckBox setState:target.optionsValid ? NSControlStateValueOn : NSControlStateValueOff];
        [self enableOptionFields:target.optionsValid];
        int32_t shownOffset = target.optionsValid ? target.optionOffset : 0;
        self.maxOffset = stm32LastPageOffset(flashSize, pageSize);
        [self.maxOffsetTextField setStringValue:limitText(self.maxOffset)];
        [self.maxSizeTextField setStringValue:limitText(flashSize)];
        [self.flashStartTextField setStringValue:flashAddressText(address + (uint32_t)shownOffset)];
        [self.startTerminalCheckBox setState:target.optionsStartTerminal ? NSControlStateValueOn : NSControlStateValueOff];
        [self.startTerminalCheckBox setEnabled:YES];
    } else {
        [self.optionsCheckBox setEnabled:NO];
        [self enableOptionFields:NO];
        [self.startTerminalCheckBox setEnabled:NO];
        [self.maxOffsetTextField setStringValue:@""];
        [self.maxSizeTextField setStringValue:@""];
        [self.flashStartTextField setStringValue:@""];
    }
    target.optionSize = stm32EffectiveOptionSize(target.optionSize, flashSize);
    [self.offsetTextField setStringValue:[NSString stringWithFormat:@"%d", target.optionOffset]];
    [self.sizeTextField setStringValue:[NSString stringWithFormat:@"%d", target.optionSize]];
}

#pragma mark Actions

- (IBAction)optionsChangedAction:(id)sender
{
    (void)sender;
    BOOL on = ([self.optionsCheckBox state] == NSControlStateValueOn);
    [self enableOptionFields:on];
    int32_t offset = on ? self.device.optionOffset : 0;
    [self.flashStartTextField setStringValue:flashAddressText(self.baseAddress + (uint32_t)offset)];
}

- (IBAction)offsetChangedAction:(id)sender
{
    (void)sender;
    int32_t offset = preferenceNumber([self.offsetTextField stringValue]);
    [self.flashStartTextField setStringValue:[NSString stringWithFormat:@"0x%X", self.baseAddress + (uint32_t)offset]];
}

- (IBAction)confirmAction:(id)sender
{
    (void)sender;
    Device *target = self.device;
    NSInteger selected = [self.targetPopUp indexOfSelectedItem];
    target.index = selected < 0 ? 0 : (int32_t)selected;
    target.optionsValid = ([self.optionsCheckBox state] == NSControlStateValueOn);
    int32_t offset = preferenceNumber([self.offsetTextField stringValue]);
    target.optionOffset = offset > self.maxOffset ? self.maxOffset : offset;
    target.optionSize = preferenceNumber([self.sizeTextField stringValue]);
    NSUserDefaults *defaults = [NSUserDefaults standardUserDefaults];
    [defaults setInteger:target.optionOffset forKey:@"OptionOffset"];
    [defaults setInteger:target.optionSize forKey:@"OptionSize"];
    [defaults setBool:target.optionsValid forKey:@"OptionsInUse"];
    [target updateStatus];
    target.optionsStartTerminal = ([self.startTerminalCheckBox state] == NSControlStateValueOn);
    [defaults setBool:!target.optionsStartTerminal forKey:@"OptionsNotStartTerminal"];
    [[[self view] window] close];
}

- (IBAction)cancelAction:(id)sender
{
    (void)sender;
    [[[self view] window] close];
}

@end
