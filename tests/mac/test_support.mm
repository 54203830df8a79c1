#import "test_support.h"

#include <stdlib.h>
#include <unistd.h>

bool runUntil(const std::function<bool()>& done, double seconds)
{
    NSDate* deadline = [NSDate dateWithTimeIntervalSinceNow:seconds];
    while (!done()) {
        if ([deadline timeIntervalSinceNow] <= 0) {
            return done();
        }
        [[NSRunLoop currentRunLoop] runMode:NSDefaultRunLoopMode
                                 beforeDate:[NSDate dateWithTimeIntervalSinceNow:0.02]];
    }
    return true;
}

void runFor(double seconds)
{
    runUntil([] { return false; }, seconds);
}

std::string str(NSString* text)
{
    return text == nil ? std::string("(nil)") : std::string([text UTF8String]);
}

NSString* ns(const std::string& text)
{
    return [NSString stringWithUTF8String:text.c_str()];
}

NSData* bytesData(const std::vector<uint8_t>& bytes)
{
    return [NSData dataWithBytes:bytes.data() length:bytes.size()];
}

TempDir::TempDir()
{
    char pattern[] = "/tmp/mac-test.XXXXXX";
    path_ = [[NSString alloc] initWithUTF8String:mkdtemp(pattern)];
}

TempDir::~TempDir()
{
    [[NSFileManager defaultManager] removeItemAtPath:path_ error:NULL];
    [path_ release];
}

NSString* TempDir::file(NSString* name) const
{
    return [path_ stringByAppendingPathComponent:name];
}

void TempDir::touch(NSString* name) const
{
    [[NSData data] writeToFile:file(name) atomically:NO];
}

void TempDir::remove(NSString* name) const
{
    unlink([file(name) fileSystemRepresentation]);
}

@implementation RecordingLog
- (id)init
{
    if ((self = [super init]) != nil) {
        recordLock = [NSLock new];
        log = [NSMutableString new];
        statuses = [NSMutableArray new];
    }
    return self;
}

- (void)dealloc
{
    [recordLock release];
    [log release];
    [statuses release];
    [super dealloc];
}

- (void)updateLog:(NSString*)text
{
    [recordLock lock];
    [log appendString:text];
    [recordLock unlock];
}

- (void)updateDeviceStatus:(NSString*)text
{
    [recordLock lock];
    [statuses addObject:text];
    [recordLock unlock];
}

- (NSString*)logText
{
    [recordLock lock];
    NSString* copy = [NSString stringWithString:log];
    [recordLock unlock];
    return copy;
}

- (NSString*)lastStatus
{
    [recordLock lock];
    NSString* last = [[[statuses lastObject] retain] autorelease];
    [recordLock unlock];
    return last;
}

- (NSUInteger)statusCount
{
    [recordLock lock];
    NSUInteger n = [statuses count];
    [recordLock unlock];
    return n;
}

- (void)forget
{
    [recordLock lock];
    [log setString:@""];
    [statuses removeAllObjects];
    [recordLock unlock];
}
@end

@implementation RecordingPrefs
- (id)init
{
    if ((self = [super init]) != nil) {
        recordLock = [NSLock new];
        calls = [NSMutableArray new];
    }
    return self;
}

- (void)dealloc
{
    [recordLock release];
    [calls release];
    [super dealloc];
}

- (void)record:(NSString*)call
{
    [recordLock lock];
    [calls addObject:call];
    [recordLock unlock];
}

- (void)resetPopUp
{
    [self record:@"reset"];
}

- (void)addPopUpItem:(NSString*)title
{
    [self record:[@"add:" stringByAppendingString:title]];
}

- (void)flashSizeIs:(int32_t)flashSize pageSizeIs:(int32_t)pageSize baseAddressIs:(uint32_t)baseAddress
{
    [self record:[NSString stringWithFormat:@"flash:%d,%d,0x%08X", flashSize, pageSize, baseAddress]];
}

- (NSArray*)calls
{
    [recordLock lock];
    NSArray* copy = [NSArray arrayWithArray:calls];
    [recordLock unlock];
    return copy;
}

- (NSArray*)popUpItems
{
    NSMutableArray* items = [NSMutableArray array];
    for (NSString* call in [self calls]) {
        if ([call isEqualToString:@"reset"]) {
            [items removeAllObjects];
        } else if ([call hasPrefix:@"add:"]) {
            [items addObject:[call substringFromIndex:4]];
        }
    }
    return items;
}

- (NSString*)lastFlash
{
    NSString* last = nil;
    for (NSString* call in [self calls]) {
        if ([call hasPrefix:@"flash:"]) {
            last = call;
        }
    }
    return last;
}

- (void)forget
{
    [recordLock lock];
    [calls removeAllObjects];
    [recordLock unlock];
}
@end

@implementation RecordingTerminal
- (id)initWithDeviceDirectory:(NSString*)directory
{
    if ((self = [super initWithDeviceDirectory:directory]) != nil) {
        recordLock = [NSLock new];
        shows = [NSMutableArray new];
    }
    return self;
}

- (void)dealloc
{
    [recordLock release];
    [shows release];
    [super dealloc];
}

- (void)show:(int32_t)targetIndex
{
    (void)targetIndex;
    [recordLock lock];
    [shows addObject:[NSNumber numberWithBool:[NSThread isMainThread]]];
    [recordLock unlock];
}

- (NSArray*)shows
{
    [recordLock lock];
    NSArray* copy = [NSArray arrayWithArray:shows];
    [recordLock unlock];
    return copy;
}
@end

void stopDevice(Device* device)
{
    [device stop];
    runFor(0.05); // lets queued main-queue blocks of the poll run
}
