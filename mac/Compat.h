// Dual-target helpers: the same sources build with ARC on macOS and with
// manual reference counting on GNUstep (gcc's libobjc has no ARC or weak).
#ifndef TIDEWIRE_MAC_COMPAT_H
#define TIDEWIRE_MAC_COMPAT_H

#if __has_feature(objc_arc)
#define STM_WEAK weak
#define STM_WEAK_IVAR __weak
#define STM_RETAIN(x) (x)
#define STM_RELEASE(x)
#define STM_AUTORELEASE(x) (x)
#define STM_SUPER_DEALLOC()
#define STM_BRIDGE __bridge
#else
#define STM_WEAK assign
#define STM_WEAK_IVAR
#define STM_RETAIN(x) [(x) retain]
#define STM_RELEASE(x) [(x) release]
#define STM_AUTORELEASE(x) [(x) autorelease]
#define STM_SUPER_DEALLOC() [super dealloc]
#define STM_BRIDGE
#endif

// The AppKit version from which view controllers get viewDidLoad and
// viewWillAppear; earlier systems use setView:/awakeFromNib and occlusion.
#define STM_APPKIT_VIEW_LIFECYCLE 1343

#endif
