// Reports changes of one directory through a kernel event queue attached
// to the current run loop.
#import <Foundation/Foundation.h>
#include <CoreFoundation/CoreFoundation.h>
#import "Compat.h"

@class DirectoryWatcher;

@protocol DirectoryWatcherDelegate <NSObject>
- (void)directoryDidChange:(DirectoryWatcher *)folderWatcher;
@end

@interface DirectoryWatcher : NSObject {
    STM_WEAK_IVAR id<DirectoryWatcherDelegate> delegate;
    int dirFD;
    int kq;
    CFFileDescriptorRef dirKQRef;
}
@property (STM_WEAK) id<DirectoryWatcherDelegate> delegate;

+ (DirectoryWatcher *)watchFolderWithPath:(NSString *)watchPath delegate:(id<DirectoryWatcherDelegate>)watchDelegate;
- (BOOL)startMonitoringDirectory:(NSString *)dirPath;
- (void)kqueueFired;
- (void)invalidate;
@end
