// The main window: the log and the one-line board status.
#import <AppKit/AppKit.h>
#import "Compat.h"
#import "Device.h"

// Smallest log font size the font steps go down to.
#define LOG_MINIMUM_FONT_SIZE 6.0

// The log text view; programs the first file dropped on it.
@interface LogView : NSTextView {
    Device *device;
}
@property (strong) Device *device;
@end

@interface LogViewController : NSViewController <LogProtocol> {
    STM_WEAK_IVAR NSTextField *statusTextField;
    __unsafe_unretained NSTextView *logTextView;
    Device *device;
    BOOL initialized;
}
@property (STM_WEAK) NSTextField *statusTextField;
@property (assign) NSTextView *logTextView;
@property (strong) Device *device;

- (void)initialize;
- (void)updateLog:(NSString *)text;
- (void)updateDeviceStatus:(NSString *)text;
- (IBAction)clear:(id)sender;
- (void)changeFontSize:(double)change;
- (IBAction)decrementFontSize:(id)sender;
- (IBAction)incrementFontSize:(id)sender;
@end
