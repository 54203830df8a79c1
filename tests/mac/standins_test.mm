// The GNUstep stand-ins the application relies on: dispatch order and
// threads, blocks keeping their captured objects, and the kqueue stand-in.
#import "test_support.h"

#include <gtest/gtest.h>
#include <sys/event.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>

static std::atomic<int> trackedAlive(0);
// Shared with the blocks through globals: __block variables cannot be
// used by the lambdas that wait for them.
static NSMutableArray* order = nil;
static std::atomic<bool> allOnMain(true);
static std::atomic<int> started(0);
static std::atomic<bool> releaseWorkers(false);
static std::atomic<int> offMain(0);
static std::atomic<bool> sawIt(false);

@interface Tracked : NSObject
@end

@implementation Tracked
- (id)init
{
    if ((self = [super init]) != nil) {
        ++trackedAlive;
    }
    return self;
}

- (void)dealloc
{
    --trackedAlive;
    [super dealloc];
}
@end

namespace {

TEST(DispatchStandIn, MainQueueRunsBlocksInOrderOnTheMainThread)
{
    order = [NSMutableArray array];
    for (int i = 0; i < 20; ++i) {
        dispatch_async(dispatch_get_main_queue(), ^{
            [order addObject:[NSNumber numberWithInt:i]];
            if (![NSThread isMainThread]) {
                allOnMain = false;
            }
        });
    }
    EXPECT_EQ(0u, [order count]) << "asynchronous: nothing runs before the run loop does";
    ASSERT_TRUE(runUntil([&] { return [order count] == 20; }));
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(i, [[order objectAtIndex:NSUInteger(i)] intValue]);
    }
    EXPECT_TRUE(allOnMain.load());
}

TEST(DispatchStandIn, ConcurrentQueueRunsBlocksSideBySide)
{
    dispatch_queue_t queue = dispatch_queue_create("stm32.dipatch.queue", DISPATCH_QUEUE_CONCURRENT);
    EXPECT_STREQ("stm32.dipatch.queue", dispatch_queue_get_label(queue));
    for (int i = 0; i < 2; ++i) {
        dispatch_async(queue, ^{
            ++started;
            if (![NSThread isMainThread]) {
                ++offMain;
            }
            while (!releaseWorkers) {
                usleep(1000);
            }
        });
    }
    // Both run at once: the first one blocks until the second has started.
    EXPECT_TRUE(runUntil([&] { return started == 2; }, 5.0));
    releaseWorkers = true;
    EXPECT_EQ(2, offMain.load());
    [queue release];
}

TEST(BlocksStandIn, CapturedObjectsLiveUntilTheBlockHasRun)
{
    int before = trackedAlive;
    Tracked* tracked = [Tracked new];
    dispatch_async(dispatch_get_main_queue(), ^{
        sawIt = [tracked isKindOfClass:[Tracked class]];
    });
    [tracked release]; // the block's copy is now the only owner
    EXPECT_EQ(before + 1, trackedAlive.load());
    ASSERT_TRUE(runUntil([&] { return sawIt.load(); }));
    runFor(0.05);
    EXPECT_EQ(before, trackedAlive.load()) << "the block releases what it captured";
}

TEST(KqueueStandIn, ReportsAWriteToTheDirectoryOnce)
{
    TempDir dir;
    int folder = open([dir.path() fileSystemRepresentation], O_EVTONLY);
    ASSERT_GE(folder, 0);
    int kq = kqueue();
    ASSERT_GE(kq, 0);
    struct kevent change;
    EV_SET(&change, uintptr_t(folder), EVFILT_VNODE, EV_ADD | EV_CLEAR, NOTE_WRITE, 0, NULL);
    ASSERT_EQ(0, kevent(kq, &change, 1, NULL, 0, NULL));
    struct kevent event;
    struct timespec none = {0, 0};
    EXPECT_EQ(0, kevent(kq, NULL, 0, &event, 1, &none));
    dir.touch(@"tty.usbmodem1");
    dir.touch(@"cu.usbmodem1");
    struct timespec wait = {1, 0};
    EXPECT_EQ(1, kevent(kq, NULL, 0, &event, 1, &wait));
    EXPECT_EQ(EVFILT_VNODE, event.filter);
    EXPECT_TRUE((event.fflags & NOTE_WRITE) != 0);
    EXPECT_EQ(0, kevent(kq, NULL, 0, &event, 1, &none)) << "cleared: both changes came as one event";
    close(kq);
    close(folder);
}

} // namespace
