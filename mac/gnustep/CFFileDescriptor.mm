// CFFileDescriptor stand-in over GNUstep's run-loop descriptor watchers.
#import <Foundation/Foundation.h>
#include <CoreFoundation/CoreFoundation.h>
#include <unistd.h>

@interface StandInFileDescriptor : NSObject <RunLoopEvents> {
@public
    int fd;
    BOOL closeOnInvalidate;
    BOOL valid;
    BOOL armed;
    CFFileDescriptorCallBack callout;
    CFFileDescriptorContext context;
    NSRunLoop *runLoop; // not retained: run loops outlive their sources here
    NSString *mode;
}
@end

@interface StandInRunLoopSource : NSObject {
@public
    StandInFileDescriptor *descriptor;
}
@end

@implementation StandInFileDescriptor
- (void)dealloc
{
    [self invalidate];
    if (context.release != NULL && context.info != NULL) {
        context.release(context.info);
    }
    [mode release];
    [super dealloc];
}

- (void)disarm
{
    if (armed) {
        [runLoop removeEvent:(void *)(intptr_t)fd type:ET_RDESC forMode:mode all:YES];
        armed = NO;
    }
}

- (void)arm
{
    if (valid && !armed && runLoop != nil) {
        [runLoop addEvent:(void *)(intptr_t)fd type:ET_RDESC watcher:self forMode:mode];
        armed = YES;
    }
}

- (void)invalidate
{
    if (!valid) {
        return;
    }
    [self disarm];
    valid = NO;
    if (closeOnInvalidate && fd >= 0) {
        close(fd);
    }
    fd = -1;
}

- (void)receivedEvent:(void *)data type:(RunLoopEventType)type extra:(void *)extra forMode:(NSString *)aMode
{
    (void)data;
    (void)type;
    (void)extra;
    (void)aMode;
    // One callback per enabling, as with CoreFoundation.
    [self disarm];
    [self retain];
    if (callout != NULL) {
        callout((CFFileDescriptorRef)self, kCFFileDescriptorReadCallBack, context.info);
    }
    [self release];
}
@end

@implementation StandInRunLoopSource
- (void)dealloc
{
    [descriptor release];
    [super dealloc];
}
@end

const CFStringRef kCFRunLoopDefaultMode = (CFStringRef) @"NSDefaultRunLoopMode";

CFFileDescriptorRef CFFileDescriptorCreate(CFAllocatorRef allocator, CFFileDescriptorNativeDescriptor fd,
                                           Boolean closeOnInvalidate, CFFileDescriptorCallBack callout,
                                           const CFFileDescriptorContext *context)
{
    (void)allocator;
    if (fd < 0) {
        return NULL;
    }
    StandInFileDescriptor *descriptor = [StandInFileDescriptor new];
    descriptor->fd = fd;
    descriptor->closeOnInvalidate = closeOnInvalidate;
    descriptor->valid = YES;
    descriptor->callout = callout;
    if (context != NULL) {
        descriptor->context = *context;
        if (context->retain != NULL && context->info != NULL) {
            descriptor->context.info = (void *)context->retain(context->info);
        }
    }
    return (CFFileDescriptorRef)descriptor;
}

CFFileDescriptorNativeDescriptor CFFileDescriptorGetNativeDescriptor(CFFileDescriptorRef f)
{
    return ((StandInFileDescriptor *)f)->fd;
}

void CFFileDescriptorEnableCallBacks(CFFileDescriptorRef f, CFOptionFlags callBackTypes)
{
    if ((callBackTypes & kCFFileDescriptorReadCallBack) != 0) {
        [(StandInFileDescriptor *)f arm];
    }
}

void CFFileDescriptorInvalidate(CFFileDescriptorRef f)
{
    [(StandInFileDescriptor *)f invalidate];
}

Boolean CFFileDescriptorIsValid(CFFileDescriptorRef f)
{
    return ((StandInFileDescriptor *)f)->valid;
}

CFRunLoopSourceRef CFFileDescriptorCreateRunLoopSource(CFAllocatorRef allocator, CFFileDescriptorRef f,
                                                       CFIndex order)
{
    (void)allocator;
    (void)order;
    if (f == NULL || !((StandInFileDescriptor *)f)->valid) {
        return NULL;
    }
    StandInRunLoopSource *source = [StandInRunLoopSource new];
    source->descriptor = [(StandInFileDescriptor *)f retain];
    return (CFRunLoopSourceRef)source;
}

CFRunLoopRef CFRunLoopGetCurrent(void)
{
    return (CFRunLoopRef)[NSRunLoop currentRunLoop];
}

CFRunLoopRef CFRunLoopGetMain(void)
{
    return (CFRunLoopRef)[NSRunLoop mainRunLoop];
}

void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFStringRef mode)
{
    StandInFileDescriptor *descriptor = ((StandInRunLoopSource *)source)->descriptor;
    BOOL wasArmed = descriptor->armed;
    [descriptor disarm];
    descriptor->runLoop = (NSRunLoop *)rl;
    [descriptor->mode release];
    descriptor->mode = [(NSString *)mode copy];
    if (wasArmed) {
        [descriptor arm];
    }
}

void CFRelease(CFTypeRef object)
{
    [(id)object release];
}
