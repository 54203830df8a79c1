#import "DirectoryWatcher.h"

#include <fcntl.h>
#include <sys/event.h>
#include <unistd.h>

@implementation DirectoryWatcher

@synthesize delegate;

- (id)init
{
    if ((self = [super init]) != nil) {
        dirFD = -1;
        kq = -1;
        dirKQRef = NULL;
    }
    return self;
}

- (void)dealloc
{
    [self invalidate];
    STM_SUPER_DEALLOC();
}

+ (DirectoryWatcher *)watchFolderWithPath:(NSString *)watchPath delegate:(id<DirectoryWatcherDelegate>)watchDelegate
{
    if (watchPath == nil || watchDelegate == nil) {
        return nil;
    }
    DirectoryWatcher *watcher = STM_AUTORELEASE([[DirectoryWatcher alloc] init]);
    watcher.delegate = watchDelegate;
    if ([watcher startMonitoringDirectory:watchPath]) {
        return watcher;
    }
    return nil;
}

- (void)invalidate
{
    if (dirKQRef != NULL) {
        CFFileDescriptorInvalidate(dirKQRef); // closes kq
        CFRelease(dirKQRef);
        dirKQRef = NULL;
        kq = -1;
    }
    if (dirFD != -1) {
        close(dirFD);
        dirFD = -1;
    }
}

- (void)kqueueFired
{
    struct kevent event;
    struct timespec timeout = {0, 0};
    int eventCount = kevent(kq, NULL, 0, &event, 1, &timeout);
    if (eventCount >= 0) {
        [delegate directoryDidChange:self];
    }
    // The watcher may have been invalidated by its delegate meanwhile.
    if (dirKQRef != NULL) {
        CFFileDescriptorEnableCallBacks(dirKQRef, kCFFileDescriptorReadCallBack);
    }
}

static void KQCallback(CFFileDescriptorRef kqRef, CFOptionFlags callBackTypes, void *info)
{
    (void)callBackTypes;
    id object = (STM_BRIDGE id)info;
    if (![object isKindOfClass:[DirectoryWatcher class]]) {
        return;
    }
    DirectoryWatcher *watcher = (DirectoryWatcher *)object;
    if (kqRef == watcher->dirKQRef) {
        [watcher kqueueFired];
    }
}

- (void)closeDescriptors
{
    if (kq != -1) {
        close(kq);
        kq = -1;
    }
    if (dirFD != -1) {
        close(dirFD);
        dirFD = -1;
    }
}

- (BOOL)startMonitoringDirectory:(NSString *)dirPath
{
    if (dirKQRef != NULL || dirFD != -1 || kq != -1) {
        return NO;
    }
    dirFD = open([dirPath fileSystemRepresentation], O_EVTONLY);
    if (dirFD < 0) {
        dirFD = -1;
        return NO;
    }
    kq = kqueue();
    if (kq < 0) {
        kq = -1;
        close(dirFD);
        dirFD = -1;
        return NO;
    }
    struct kevent change;
    EV_SET(&change, (uintptr_t)dirFD, EVFILT_VNODE, EV_ADD | EV_CLEAR, NOTE_WRITE, 0, NULL);
    if (kevent(kq, &change, 1, NULL, 0, NULL) != 0) {
        [self closeDescriptors];
        return NO;
    }
    CFFileDescriptorContext context = {0, (STM_BRIDGE void *)self, NULL, NULL, NULL};
    dirKQRef = CFFileDescriptorCreate(NULL, kq, true, KQCallback, &context);
    if (dirKQRef == NULL) {
        [self closeDescriptors];
        return NO;
    }
    CFRunLoopSourceRef source = CFFileDescriptorCreateRunLoopSource(NULL, dirKQRef, 0);
    if (source == NULL) {
        CFFileDescriptorInvalidate(dirKQRef); // closes kq
        CFRelease(dirKQRef);
        dirKQRef = NULL;
        kq = -1;
        [self closeDescriptors];
        return NO;
    }
    CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
    CFRelease(source);
    CFFileDescriptorEnableCallBacks(dirKQRef, kCFFileDescriptorReadCallBack);
    return YES;
}

@end
