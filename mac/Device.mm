#import "Device.h"
#import "Terminal.h"

#include <stdlib.h>
#include <string.h>
#include <sys/select.h>

#include "stm32.h"
#include "stm32frontend.h"

static NSString *const TargetNotAvailable = @"STM32 DFU Target not available (enable via User and Reset button).\n";
static NSString *const BusyRefusal = @"Busy: a programming job or read is still running.\n";
static NSString *const FileDecodingError = @"File decoding error.\n";

// Lossless for the core's ASCII and UTF-8 text, and never nil for other bytes.
static NSString *stringFromBytes(const char *bytes, size_t length)
{
    if (bytes == NULL || length == 0) {
        return @"";
    }
    NSString *text = [[NSString alloc] initWithBytes:bytes length:length encoding:NSUTF8StringEncoding];
    if (text == nil) {
        text = [[NSString alloc] initWithBytes:bytes length:length encoding:NSISOLatin1StringEncoding];
    }
    return STM_AUTORELEASE(text);
}

int appendLog(void *userData, const char *text, uint32_t length, int continuation)
{
    Device *device = (STM_BRIDGE Device *)userData;
    size_t textLength = (text == NULL) ? 0 : (length != 0 ? length : strlen(text));
    NSString *line;
    if (continuation != 0) {
        line = stringFromBytes(text, textLength);
    } else if (length != 0) {
        line = [stringFromBytes(text, textLength) stringByAppendingString:@"\n"];
    } else {
        line = @"\n";
    }
    [[device logDelegate] updateLog:line];
    return 0;
}

void waitMilliSeconds(uint32_t milliseconds)
{
    // select() refuses a microsecond part of a second or more.
    struct timeval timeout;
    timeout.tv_sec = (time_t)(milliseconds / 1000);
    timeout.tv_usec = (suseconds_t)(milliseconds % 1000) * 1000;
    select(0, NULL, NULL, NULL, &timeout);
}

// Negative preference values are treated as 0.
static int32_t nonNegative(NSInteger value)
{
    if (value < 0) {
        return 0;
    }
    return value > INT32_MAX ? INT32_MAX : (int32_t)value;
}

@implementation Device

@synthesize flashBaseAddress;
@synthesize flashSize;
@synthesize firmwareSize;
@synthesize lock;
@synthesize dispatchQueue;
@synthesize count;
@synthesize index;
@synthesize optionOffset;
@synthesize optionSize;
@synthesize optionsValid;
@synthesize optionsStartTerminal;
@synthesize logDelegate;
@synthesize prefsDelegate;

- (id)init
{
    self = [super init];
    if (self == nil) {
        return nil;
    }
    lock = [[NSLock alloc] init];
    dispatchQueue = dispatch_queue_create("stm32.dipatch.queue", DISPATCH_QUEUE_CONCURRENT);
    count = -1;
    NSUserDefaults *defaults = [NSUserDefaults standardUserDefaults];
    optionsStartTerminal = ![defaults boolForKey:@"OptionsNotStartTerminal"];
    optionsValid = [defaults boolForKey:@"OptionsInUse"];
    optionOffset = nonNegative([defaults integerForKey:@"OptionOffset"]);
    optionSize = nonNegative([defaults integerForKey:@"OptionSize"]);
    isIdle = YES;
    return self;
}

- (void)dealloc
{
    STM_RELEASE(lock);
    STM_RELEASE(dispatchQueue);
    STM_RELEASE(logDelegate);
    STM_RELEASE(prefsDelegate);
    STM_SUPER_DEALLOC();
}

- (BOOL)isIdle
{
    [lock lock];
    BOOL idle = isIdle;
    [lock unlock];
    return idle;
}

- (void)setIsIdle:(BOOL)idle
{
    [lock lock];
    isIdle = idle;
    [lock unlock];
}

// Takes the board for a job: only one job or read may drive it at a time.
- (BOOL)claimBoard
{
    [lock lock];
    BOOL claimed = isIdle;
    isIdle = NO;
    [lock unlock];
    return claimed;
}

- (void)log:(NSString *)text
{
    [[self logDelegate] updateLog:text];
}

- (void)setOptionOffset:(int32_t)offset
{
    optionOffset = offset < 0 ? 0 : offset;
}

- (void)setOptionSize:(int32_t)size
{
    optionSize = size < 0 ? 0 : size;
}

- (int32_t)effectiveOptionSize
{
    return stm32EffectiveOptionSize(optionSize, flashSize);
}

#pragma mark Presence poll

- (void)start
{
    [lock lock];
    BOOL already = pollStarted;
    pollStarted = YES;
    pollRunning = !already;
    [lock unlock];
    if (already) {
        return;
    }
    dispatch_async(self.dispatchQueue, ^{
        [self runPoll];
    });
}

- (BOOL)pollShouldStop
{
    [lock lock];
    BOOL stopRequested = pollStopRequested;
    [lock unlock];
    return stopRequested;
}

- (void)runPoll
{
    Stm32Context *context = stm32Init();
    if (context != NULL) {
        stm32RegisterLogCallback(context, (STM_BRIDGE void *)self, appendLog);
        while (![self pollShouldStop]) {
            @autoreleasepool {
                [self pollPass:context];
            }
            waitMilliSeconds(250);
        }
        stm32Exit(context);
    }
    [lock lock];
    pollRunning = NO;
    [lock unlock];
}

- (void)stop
{
    [lock lock];
    pollStopRequested = YES;
    [lock unlock];
    for (;;) {
        [lock lock];
        BOOL running = pollRunning;
        [lock unlock];
        if (!running) {
            return;
        }
        waitMilliSeconds(10);
    }
}

- (void)pollPass:(Stm32Context *)context
{
    if (![self isIdle]) {
        return;
    }
    int32_t n = stm32GetDeviceCount();
    if (n < 0) {
        n = 0; // the USB library failed: as good as no board
    }
    if (n == self.count) {
        return;
    }
    self.count = n;
    if (n == 0) {
        [self reportNoTarget];
    } else {
        [self reportTargets:n context:context];
    }
}

- (void)reportNoTarget
{
    self.flashSize = 0;
    self.flashBaseAddress = 0;
    [[self logDelegate] updateDeviceStatus:TargetNotAvailable];
    id<PrefsProtocol> prefs = [self prefsDelegate];
    [prefs resetPopUp];
    [prefs addPopUpItem:@"not available"];
    [prefs flashSizeIs:0 pageSizeIs:0 baseAddressIs:0];
}

- (void)reportTargets:(int32_t)n context:(Stm32Context *)context
{
    Stm32TargetList targets;
    int32_t listed = stm32ListCountedTargets(context, n, &targets);
    // A board gone since counting, or no memory for the list (as good as no
    // board): what was listed is remembered, so the next pass looks again.
    self.count = listed < 0 ? 0 : listed;
    if (listed <= 0) {
        [self reportNoTarget];
        return;
    }
    id<PrefsProtocol> prefs = [self prefsDelegate];
    [prefs resetPopUp];
    for (int32_t i = 0; i < listed; ++i) {
        [prefs addPopUpItem:[NSString stringWithFormat:@"STM32 ID: %d", targets.indices[i]]];
    }
    // One read: the chooser may change the index on the main thread meanwhile.
    int32_t wanted = self.index;
    int32_t chosen = stm32KeepChosenPosition(wanted, listed);
    if (chosen != wanted) {
        self.index = chosen;
    }
    int32_t target = targets.indices[chosen];
    stm32ReleaseTargetList(&targets);
    [self reportFlashOf:target context:context];
}

- (void)reportFlashOf:(int32_t)target context:(Stm32Context *)context
{
    id<PrefsProtocol> prefs = [self prefsDelegate];
    FlashInfo info;
    memset(&info, 0, sizeof info);
    Stm32FlashGeometry geometry;
    if (stm32GetFlashInfo(context, target, &info) != 0 && stm32FlashGeometryFrom(&info, &geometry) != 0) {
        self.flashSize = geometry.flashSize;
        self.flashBaseAddress = (int32_t)geometry.startAddress;
        char size[32];
        stm32FormatFlashSize(&info, size, sizeof size);
        [[self logDelegate] updateDeviceStatus:[NSString stringWithFormat:@"STM32 (ID:%d) Flash: %s.", target, size]];
        [prefs flashSizeIs:geometry.flashSize pageSizeIs:geometry.pageSize baseAddressIs:geometry.startAddress];
    } else {
        self.flashSize = 0;
        self.flashBaseAddress = 0;
        [[self logDelegate] updateDeviceStatus:[NSString stringWithFormat:@"STM32 ID:%d", target]];
        [prefs flashSizeIs:-1 pageSizeIs:0 baseAddressIs:0];
    }
}

- (void)updateStatus
{
    // Only forces a refresh; a running job keeps the board.
    [lock lock];
    count = -1;
    [lock unlock];
}

#pragma mark Jobs

// What one job lends the core: the two buffers of flash size bytes and what
// the loader made of the file (its defined ranges). Owned by the job.
typedef struct DeviceJob {
    uint8_t *flashBuffer;
    uint8_t *imageBuffer;
    int32_t bufferSize;
    Stm32LoadedImage loaded;
} DeviceJob;

static void releaseJob(DeviceJob *job)
{
    if (job == NULL) {
        return;
    }
    stm32ReleaseLoadedImage(&job->loaded);
    free(job->flashBuffer);
    free(job->imageBuffer);
    free(job);
}

// The job record and its two buffers; logs and answers NULL when memory is short.
- (DeviceJob *)newJobWithBuffersOfSize:(int32_t)size
{
    DeviceJob *job = (DeviceJob *)calloc(1, sizeof(DeviceJob));
    if (job != NULL) {
        job->bufferSize = size;
        job->flashBuffer = (uint8_t *)malloc((size_t)size);
        job->imageBuffer = (uint8_t *)malloc((size_t)size);
    }
    if (job == NULL || job->flashBuffer == NULL || job->imageBuffer == NULL) {
        releaseJob(job);
        [self log:@"Out of memory\n"];
        return NULL;
    }
    return job;
}

- (void)logLoaderDetail:(const Stm32LoadedImage *)loaded
{
    size_t length = strlen(loaded->message);
    if (length != 0) {
        [self log:[stringFromBytes(loaded->message, length) stringByAppendingString:@"\n"]];
    }
}

// The log lines of a load the device refuses; YES when it may be programmed.
// The first line of each refusal is the one this application has always
// shown; for a file with addresses the loader's line follows it, naming the
// line, segment or element at fault.
- (BOOL)acceptLoad:(const Stm32LoadedImage *)loaded
{
    BOOL addressed = loaded->format != STM32_IMAGE_RAW;
    switch (loaded->status) {
    case STM32_LOAD_OK:
        break;
    case STM32_LOAD_READ_ERROR:
        [self log:@"File read error.\n"];
        return NO;
    case STM32_LOAD_OUT_OF_MEMORY:
        [self log:@"Out of memory\n"];
        return NO;
    case STM32_LOAD_TOO_BIG:
    case STM32_LOAD_OUTSIDE_FLASH:
        if ((long long)loaded->length > flashSize) {
            [self log:[NSString stringWithFormat:@"File too big: %d (max flash size: %d).\n", (int)loaded->length,
                                                 flashSize]];
            if (addressed) {
                [self logLoaderDetail:loaded];
            }
            return NO;
        }
        [self log:FileDecodingError];
        [self logLoaderDetail:loaded];
        return NO;
    default:
        [self log:FileDecodingError];
        [self logLoaderDetail:loaded];
        return NO;
    }
    if (stm32ImageExceedsOptionArea(optionsValid, loaded->length, [self effectiveOptionSize])) {
        [self log:[NSString stringWithFormat:@"File too big: %d (max option size: %d).\n", (int)loaded->length,
                                             [self effectiveOptionSize]]];
        return NO;
    }
    return YES;
}

- (void)upgradeFirmware:(NSData *)contents type:(NSString *)type terminal:(Terminal *)terminal
{
    // Without the file's name its extension alone chooses the format.
    NSString *name = (type != nil) ? [@"firmware." stringByAppendingString:type] : @"firmware";
    [self upgradeFirmware:contents path:name terminal:terminal];
}

- (void)upgradeFirmware:(NSData *)contents path:(NSString *)path terminal:(Terminal *)terminal
{
    if (![self isIdle]) {
        [self log:BusyRefusal];
        return;
    }
    if (contents == nil) {
        [self log:@"File read error.\n"];
        return;
    }
    if (flashSize <= 0) {
        [self log:TargetNotAvailable];
        return;
    }
    int32_t bufferSize = flashSize;
    self.firmwareSize = bufferSize;
    DeviceJob *job = [self newJobWithBuffersOfSize:bufferSize];
    if (job == NULL) {
        return;
    }
    const char *name = (path != nil) ? [path UTF8String] : "firmware";
    stm32LoadImageBytes(name, (const uint8_t *)[contents bytes], (size_t)[contents length], job->imageBuffer,
                        (uint32_t)bufferSize, (uint32_t)flashBaseAddress, &job->loaded);
    if (![self acceptLoad:&job->loaded]) {
        releaseJob(job);
        return;
    }
    if (![self claimBoard]) {
        releaseJob(job);
        [self log:BusyRefusal];
        return;
    }
    self.firmwareSize = (int32_t)job->loaded.length;
    dispatch_async(self.dispatchQueue, ^{
        [self runProgrammingJob:job terminal:terminal];
    });
}

- (void)logTotalTimeFrom:(int64_t)started to:(int64_t)ended
{
    char line[64];
    stm32FormatTotalTime(started, ended, line, sizeof line);
    [self log:[NSString stringWithFormat:@"%s\n", line]];
}

- (void)runProgrammingJob:(DeviceJob *)job terminal:(Terminal *)terminal
{
    // The preferences keep the offset inside the flash; the core refuses any other.
    Stm32FlashArea area = stm32UploadArea(optionsValid, optionOffset, job->bufferSize, 0);
    int32_t target = -1;
    BOOL programmed = [self runCommand:STM32_CMD_UPLOAD
                                   job:job
                           imageLength:(int32_t)job->loaded.length
                                  area:area
                                target:&target];
    if (programmed && optionsStartTerminal) {
        dispatch_async(dispatch_get_main_queue(), ^{
            [terminal show:target];
        });
    }
    releaseJob(job);
    self.isIdle = YES;
}

- (NSData *)getFlash
{
    if (![self isIdle]) {
        [self log:BusyRefusal];
        return nil;
    }
    if (flashSize <= 0) {
        [self log:TargetNotAvailable];
        return nil;
    }
    self.firmwareSize = 0;
    DeviceJob *job = [self newJobWithBuffersOfSize:flashSize];
    if (job == NULL) {
        return nil;
    }
    Stm32FlashArea area =
        stm32DownloadArea(optionsValid, optionOffset, [self effectiveOptionSize], job->bufferSize, 0);
    if (![self claimBoard]) {
        releaseJob(job);
        [self log:BusyRefusal];
        return nil;
    }
    int32_t target = -1;
    BOOL read = [self runCommand:STM32_CMD_DOWNLOAD job:job imageLength:0 area:area target:&target];
    self.isIdle = YES;
    NSData *answer = nil;
    if (read) {
        answer = [NSData dataWithBytes:job->flashBuffer length:(NSUInteger)area.size];
    }
    releaseJob(job);
    return answer;
}

// One core command on the chosen target with a context of its own, timed.
// Answers YES only when it ran and the core reported success.
- (BOOL)runCommand:(uint32_t)command
               job:(DeviceJob *)job
       imageLength:(int32_t)imageLength
              area:(Stm32FlashArea)area
            target:(int32_t *)target
{
    Stm32Context *context = stm32Init();
    if (context == NULL) {
        return NO;
    }
    stm32SetBuffer(context, job->flashBuffer, job->bufferSize, job->imageBuffer, imageLength);
    if (job->loaded.rangeCount > 0) {
        // Only the bytes the file defines are written; the rest of flash is kept.
        stm32SetImageRanges(context, job->loaded.ranges, job->loaded.rangeCount);
    }
    stm32RegisterLogCallback(context, (STM_BRIDGE void *)self, appendLog);
    BOOL succeeded = NO;
    if (stm32FindTarget(context, self.index, target) > 0) {
        int64_t started = stm32NowMicroseconds();
        int32_t result = stm32Command(context, *target, (uint32_t)flashBaseAddress, area.offset, area.size, command);
        int64_t ended = stm32NowMicroseconds();
        succeeded = (result == STM32_RESULT_OK);
        if (succeeded) {
            [self logTotalTimeFrom:started to:ended];
        }
    }
    stm32Exit(context);
    return succeeded;
}

@end
