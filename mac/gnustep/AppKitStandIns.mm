// AppKit stand-ins. Occlusion: macOS tells a window's delegate when the window
// becomes visible; GNUstep does not, so a window becoming key or being
// ordered out is reported as a change of its occlusion state.
#import <AppKit/AppKit.h>
#include "include/StandIns.h"

static NSString *const OcclusionNotification = @"NSWindowDidChangeOcclusionStateNotification";
static NSMutableSet *visibleWindows = nil;

@interface StandInOcclusionReporter : NSObject
@end

@implementation StandInOcclusionReporter
+ (void)report:(NSWindow *)window
{
    id delegate = [window delegate];
    NSNotification *note = [NSNotification notificationWithName:OcclusionNotification object:window];
    if ([delegate respondsToSelector:@selector(windowDidChangeOcclusionState:)]) {
        [delegate performSelector:@selector(windowDidChangeOcclusionState:) withObject:note];
    }
}

+ (void)windowBecameKey:(NSNotification *)note
{
    NSWindow *window = [note object];
    NSValue *key = [NSValue valueWithNonretainedObject:window];
    if (![visibleWindows containsObject:key]) {
        [visibleWindows addObject:key];
        [self report:window];
    }
}

+ (void)windowWentAway:(NSNotification *)note
{
    NSWindow *window = [note object];
    NSValue *key = [NSValue valueWithNonretainedObject:window];
    if ([visibleWindows containsObject:key]) {
        [visibleWindows removeObject:key];
        [self report:window];
    }
}

+ (void)install
{
    static BOOL installed = NO;
    if (installed) {
        return;
    }
    installed = YES;
    visibleWindows = [NSMutableSet new];
    NSNotificationCenter *center = [NSNotificationCenter defaultCenter];
    [center addObserver:self selector:@selector(windowBecameKey:) name:NSWindowDidBecomeKeyNotification object:nil];
    [center addObserver:self selector:@selector(windowWentAway:) name:NSWindowWillCloseNotification object:nil];
    [center addObserver:self selector:@selector(windowWentAway:) name:NSWindowDidMiniaturizeNotification object:nil];
}
@end

// Called by the dispatch stand-in on first use, which the application makes
// before it creates a window; not from +load, which would start GNUstep
// (and read its configuration) before main().
extern "C" void standInAppKitInstall(void)
{
    [StandInOcclusionReporter install];
}

@implementation NSWindow (StandInOcclusion)

- (NSWindowOcclusionState)occlusionState
{
    return [self isVisible] ? NSWindowOcclusionStateVisible : 0;
}
@end

@implementation NSViewController (StandInLifecycle)
- (void)viewDidLoad
{
}

- (void)viewWillAppear
{
}
@end

// GNUstep declares awakeFromNib without implementing it on NSObject, so the
// inherited step that AppKit offers every object would raise here.
@implementation NSObject (StandInNibAwaking)
- (void)awakeFromNib
{
}
@end
