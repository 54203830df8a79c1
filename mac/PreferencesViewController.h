// The Preferences window: target choice, option area and terminal setting.
#import <AppKit/AppKit.h>
#import "Compat.h"
#import "Device.h"

@interface PreferencesViewController : NSViewController <PrefsProtocol, NSWindowDelegate> {
    STM_WEAK_IVAR NSPopUpButton *targetPopUp;
    STM_WEAK_IVAR NSButton *optionsCheckBox;
    STM_WEAK_IVAR NSTextField *offsetTextField;
    STM_WEAK_IVAR NSTextField *sizeTextField;
    STM_WEAK_IVAR NSTextField *maxOffsetTextField;
    STM_WEAK_IVAR NSTextField *maxSizeTextField;
    STM_WEAK_IVAR NSTextField *flashStartTextField;
    STM_WEAK_IVAR NSButton *startTerminalCheckBox;
    Device *device;
    uint32_t baseAddress;
    int32_t maxOffset;
    BOOL initialized;
}
@property (STM_WEAK) NSPopUpButton *targetPopUp;
@property (STM_WEAK) NSButton *optionsCheckBox;
@property (STM_WEAK) NSTextField *offsetTextField;
@property (STM_WEAK) NSTextField *sizeTextField;
@property (STM_WEAK) NSTextField *maxOffsetTextField;
@property (STM_WEAK) NSTextField *maxSizeTextField;
@property (STM_WEAK) NSTextField *flashStartTextField;
@property (STM_WEAK) NSButton *startTerminalCheckBox;
@property (strong) Device *device;
@property uint32_t baseAddress;
@property (nonatomic) int32_t maxOffset;

- (void)initialize;
- (void)updatePrefs;
- (IBAction)optionsChangedAction:(id)sender;
- (IBAction)offsetChangedAction:(id)sender;
- (IBAction)confirmAction:(id)sender;
- (IBAction)cancelAction:(id)sender;
- (void)windowDidChangeOcclusionState:(NSNotification *)notification;
@end

// A typed number: hexadecimal after "0x", else a leading decimal integer;
// negative values and unreadable text give 0.
int32_t preferenceNumber(NSString *text);

// "max %dKB (%d / 0x%X)"
NSString *limitText(int32_t bytes);
