// Shows the log window after a real upload and the preferences window of a
// virtual board, for scripts/screenshots-mac.sh. Each phase is announced by
// a file in the folder given as argument and ends when the script answers.
#import "test_support.h"
#import "Device.h"
#import "MainInterface.h"

#include <stdio.h>

#include "virtual_board.h"

static bool fileExists(NSString* path)
{
    return [[NSFileManager defaultManager] fileExistsAtPath:path];
}

static bool handOver(NSString* folder, NSString* phase)
{
    [[NSData data] writeToFile:[folder stringByAppendingPathComponent:[phase stringByAppendingString:@"-ready"]]
                    atomically:NO];
    NSString* done = [folder stringByAppendingPathComponent:[phase stringByAppendingString:@"-done"]];
    return runUntil([&] { return fileExists(done); }, 60.0);
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s <handshake folder>\n", argv[0]);
        return 2;
    }
    vboard::ensurePreload(argc, argv);
    NSAutoreleasePool* pool = [NSAutoreleasePool new];
    NSString* folder = [NSString stringWithUTF8String:argv[1]];
    [NSApplication sharedApplication];
    vboard::Bus bus;
    bus.addBoard();
    MainInterface* ui = [MainInterface loadWithDeviceDirectory:@"/dev"];
    [ui.appDelegate applicationDidFinishLaunching:nil];
    if (!runUntil([&] { return ui.device.flashSize > 0; })) {
        fprintf(stderr, "the virtual board did not show up\n");
        return 1;
    }
    std::vector<uint8_t> image(20 * 1024);
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = uint8_t(i * 37 + 11);
    }
    [ui.device upgradeFirmware:bytesData(image) type:@"bin" terminal:ui.terminal];
    runUntil([&] { return ui.device.isIdle; }, 30.0);
    runFor(0.5);
    bool ok = handOver(folder, @"log");
    [ui.preferencesWindow makeKeyAndOrderFront:nil];
    runFor(1.0);
    [ui.preferencesWindow display];
    runFor(0.3);
    ok = ok && handOver(folder, @"prefs");
    stopDevice(ui.device);
    [pool release];
    return ok ? 0 : 1;
}
