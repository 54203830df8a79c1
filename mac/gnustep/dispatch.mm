// Stand-in libdispatch over NSThread and the main run loop (GNUstep build only).
#import <Foundation/Foundation.h>
#include <Block.h>
#include <stdlib.h>
#include <string.h>
#include <dispatch/dispatch.h>

// Owns one copied block until it has run.
@interface StandInDispatchJob : NSObject {
    dispatch_block_t block;
}
- (id)initWithBlock:(dispatch_block_t)aBlock;
- (void)run;
@end

@implementation StandInDispatchJob
- (id)initWithBlock:(dispatch_block_t)aBlock
{
    if ((self = [super init]) != nil) {
        block = Block_copy(aBlock);
    }
    return self;
}

- (void)dealloc
{
    Block_release(block);
    [super dealloc];
}

- (void)run
{
    NSAutoreleasePool *pool = [NSAutoreleasePool new];
    block();
    [pool release];
}
@end

@implementation StandInDispatchAttribute
@end

@implementation StandInDispatchQueue
- (id)initWithLabel:(const char *)aLabel concurrent:(BOOL)isConcurrent main:(BOOL)isMain
{
    if ((self = [super init]) != nil) {
        label = strdup(aLabel != NULL ? aLabel : "");
        concurrent = isConcurrent;
        mainQueue = isMain;
    }
    return self;
}

- (void)dealloc
{
    free(label);
    [super dealloc];
}

- (const char *)label
{
    return label;
}

- (void)submit:(dispatch_block_t)block
{
    StandInDispatchJob *job = [[StandInDispatchJob alloc] initWithBlock:block];
    if (mainQueue) {
        // Common modes, so that blocks also run while a modal panel is up.
        NSArray *modes = [NSArray arrayWithObjects:NSDefaultRunLoopMode, NSModalPanelRunLoopMode,
                                                   NSEventTrackingRunLoopMode, nil];
        [job performSelectorOnMainThread:@selector(run) withObject:nil waitUntilDone:NO modes:modes];
    } else {
        // A serial queue would need its own worker; the application only
        // creates concurrent queues, where one thread per block is faithful.
        [NSThread detachNewThreadSelector:@selector(run) toTarget:job withObject:nil];
    }
    [job release];
}
@end

extern "C" void standInAppKitInstall(void);

static void installStandInsOnce(void)
{
    static BOOL installed = NO;
    if (!installed && [NSThread isMainThread]) {
        installed = YES;
        standInAppKitInstall();
    }
}

static StandInDispatchAttribute *concurrentAttribute(void)
{
    static StandInDispatchAttribute *attribute = nil;
    @synchronized([StandInDispatchAttribute class]) {
        if (attribute == nil) {
            attribute = [StandInDispatchAttribute new];
        }
    }
    return attribute;
}

dispatch_queue_attr_t standInDispatchConcurrentAttribute(void)
{
    return concurrentAttribute();
}

dispatch_queue_t dispatch_queue_create(const char *label, dispatch_queue_attr_t attr)
{
    installStandInsOnce();
    BOOL isConcurrent = (attr == concurrentAttribute());
    return [[StandInDispatchQueue alloc] initWithLabel:label concurrent:isConcurrent main:NO];
}

dispatch_queue_t dispatch_get_main_queue(void)
{
    installStandInsOnce();
    static StandInDispatchQueue *mainQueue = nil;
    @synchronized([StandInDispatchQueue class]) {
        if (mainQueue == nil) {
            mainQueue = [[StandInDispatchQueue alloc] initWithLabel:"com.apple.main-thread" concurrent:NO main:YES];
        }
    }
    return mainQueue;
}

void dispatch_async(dispatch_queue_t queue, dispatch_block_t block)
{
    [queue submit:block];
}

const char *dispatch_queue_get_label(dispatch_queue_t queue)
{
    return [queue label];
}
