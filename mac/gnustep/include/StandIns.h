// Force-included into every application source of the GNUstep build: the
// declarations that macOS's SDK provides and GNUstep lacks.
#ifndef TIDEWIRE_STANDINS_H
#define TIDEWIRE_STANDINS_H
#ifdef __OBJC__
#import <Foundation/Foundation.h>
#import <AppKit/AppKit.h>
#include <dispatch/dispatch.h>
#import "../AppleScript.h"

// Names of macOS 10.12+ that GNUstep spells the older way.
#ifndef NSButtonTypeSwitch
#define NSButtonTypeSwitch NSSwitchButton
#endif
#ifndef NSBezelStyleRounded
#define NSBezelStyleRounded NSRoundedBezelStyle
#endif

// Occlusion: GNUstep has none; the stand-in reports a window as visible when
// it becomes key and tells its delegate, as macOS does.
enum { NSWindowOcclusionStateVisible = 1UL << 1 };
typedef NSUInteger NSWindowOcclusionState;
@interface NSWindow (StandInOcclusion)
- (NSWindowOcclusionState)occlusionState;
@end

// Sent from AppKit 1343 on; GNUstep's view controllers never receive them.
@interface NSViewController (StandInLifecycle)
- (void)viewDidLoad;
- (void)viewWillAppear;
@end
#endif
#endif
