// Entry point: the interface is built in code, then AppKit runs the application.
#import <AppKit/AppKit.h>
#import "MainInterface.h"

int main(int argc, const char *argv[])
{
    @autoreleasepool {
        [NSApplication sharedApplication];
        [MainInterface loadWithDeviceDirectory:@"/dev"];
    }
    return NSApplicationMain(argc, argv);
}
