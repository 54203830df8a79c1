#import "Device.h"
#import "Terminal.h"

#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/time.h>

#include "stm32.h"

static NSString *const TargetNotAvailable = @"STM32 DFU Target not available (enable via User and Reset button).\n";
static NSString *const BusyRefusal = @"Busy: a programming job or read is still running.\n";

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

static double wallClockSeconds(void)
{
    struct timeval now;
    gettimeofday(&now, NULL);
    return (double)now.tv_sec + (double)now.tv_usec / 1000000.0;
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

// A stored size of 0 stands for the whole flash.
- (int32_t)effectiveOptionSize
{
    return optionSize > 0 ? optionSize : flashSize;
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
    id<PrefsProtocol> prefs = [self prefsDelegate];
    [prefs resetPopUp];
    int32_t *indices = (int32_t *)calloc((size_t)n, sizeof(int32_t));
    if (indices == NULL) {
        return;
    }
    stm32GetDeviceIndices(context, indices, n);
    for (int32_t i = 0; i < n; ++i) {
        [prefs addPopUpItem:[NSString stringWithFormat:@"STM32 ID: %d", indices[i]]];
    }
    // One read: the chooser may change the index on the main thread meanwhile.
    int32_t chosen = self.index;
    if (chosen > n - 1 || chosen < 0) {
        chosen = 0;
        self.index = 0;
    }
    int32_t target = indices[chosen];
    FlashInfo info;
    memset(&info, 0, sizeof info);
    if (stm32GetFlashInfo(context, target, &info) != 0) {
        int32_t multiplier = stm32UnitMultiplier(info.unit);
        self.flashSize = info.flashSize;
        self.flashBaseAddress = (int32_t)info.startAddress;
        // The total of all segments, so that boards with mixed sector sizes show their real size.
        NSString *status = [NSString stringWithFormat:@"STM32 (ID:%d) Flash: %d %cB.", target,
                                                      info.flashSize / multiplier, info.unit];
        [[self logDelegate] updateDeviceStatus:status];
        [prefs flashSizeIs:info.flashSize pageSizeIs:info.pageSize * multiplier baseAddressIs:info.startAddress];
    } else {
        self.flashSize = 0;
        self.flashBaseAddress = 0;
        [[self logDelegate] updateDeviceStatus:[NSString stringWithFormat:@"STM32 ID:%d", target]];
        [prefs flashSizeIs:-1 pageSizeIs:0 baseAddressIs:0];
    }
    free(indices);
}

- (void)updateStatus
{
    // Only forces a refresh; a running job keeps the board.
    [lock lock];
    count = -1;
    [lock unlock];
}

#pragma mark Jobs

// The chosen target's index, or -1 (the first target found) when the
// choice no longer exists.
- (int32_t)chosenTargetAmong:(int32_t)n context:(Stm32Context *)context
{
    int32_t chosen = self.index;
    if (chosen < 0 || chosen >= n) {
        return -1;
    }
    int32_t *indices = (int32_t *)calloc((size_t)n, sizeof(int32_t));
    if (indices == NULL) {
        return -1;
    }
    stm32GetDeviceIndices(context, indices, n);
    int32_t target = indices[chosen];
    free(indices);
    return target;
}

- (BOOL)refuseIfTooBig:(long long)length
{
    if (length > flashSize) {
        [self log:[NSString stringWithFormat:@"File too big: %d (max flash size: %d).\n", (int)length, flashSize]];
        return YES;
    }
    if (optionsValid && length > [self effectiveOptionSize]) {
        [self log:[NSString stringWithFormat:@"File too big: %d (max option size: %d).\n", (int)length,
                                             [self effectiveOptionSize]]];
        return YES;
    }
    return NO;
}

// Decodes Intel HEX text into image; answers the decoded length, or -1 when out of memory.
- (long long)decodeHex:(NSData *)contents into:(uint8_t *)image capacity:(int32_t)capacity
{
    NSUInteger length = [contents length];
    char *text = (char *)malloc(length + 1);
    if (text == NULL) {
        return -1;
    }
    memcpy(text, [contents bytes], length);
    text[length] = '\0';
    memset(image, 0xFF, (size_t)capacity);
    uint32_t decoded = 0;
    decodeIntelHex(text, (uint32_t)flashBaseAddress, image, (uint32_t)capacity, &decoded);
    free(text);
    return (long long)decoded;
}

// The two buffers every job lends the core, flash size bytes each; logs and
// frees both when either cannot be had.
- (BOOL)allocateFlashBuffer:(uint8_t **)flashBuffer imageBuffer:(uint8_t **)imageBuffer size:(int32_t)size
{
    *flashBuffer = (uint8_t *)malloc((size_t)size);
    *imageBuffer = (uint8_t *)malloc((size_t)size);
    if (*flashBuffer == NULL || *imageBuffer == NULL) {
        free(*flashBuffer);
        free(*imageBuffer);
        *flashBuffer = NULL;
        *imageBuffer = NULL;
        [self log:@"Out of memory\n"];
        return NO;
    }
    return YES;
}

- (void)upgradeFirmware:(NSData *)contents type:(NSString *)type terminal:(Terminal *)terminal
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
    BOOL isHex = (type != nil && [type isEqualToString:@"hex"]);
    long long length = (long long)[contents length];
    if (!isHex && [self refuseIfTooBig:length]) {
        return;
    }
    int32_t bufferSize = flashSize;
    self.firmwareSize = bufferSize;
    uint8_t *flashBuffer = NULL;
    uint8_t *imageBuffer = NULL;
    if (![self allocateFlashBuffer:&flashBuffer imageBuffer:&imageBuffer size:bufferSize]) {
        return;
    }
    if (isHex) {
        length = [self decodeHex:contents into:imageBuffer capacity:bufferSize];
        BOOL refused = YES;
        if (length < 0) {
            [self log:@"Out of memory\n"];
        } else if (length > bufferSize) {
            [self log:[NSString stringWithFormat:@"File too big: %d (max flash size: %d).\n", (int)length,
                                                 bufferSize]];
        } else if (length == 0) {
            [self log:@"File decoding error.\n"];
        } else {
            refused = [self refuseIfTooBig:length];
        }
        if (refused) {
            free(flashBuffer);
            free(imageBuffer);
            return;
        }
    } else {
        memcpy(imageBuffer, [contents bytes], (size_t)length);
    }
    if (![self claimBoard]) {
        free(flashBuffer);
        free(imageBuffer);
        [self log:BusyRefusal];
        return;
    }
    int32_t imageLength = (int32_t)length;
    self.firmwareSize = imageLength;
    dispatch_async(self.dispatchQueue, ^{
        [self programWithTerminal:terminal flash:flashBuffer image:imageBuffer size:bufferSize length:imageLength];
    });
}

- (void)logTotalTimeFrom:(double)start to:(double)end
{
    [self log:[NSString stringWithFormat:@"Total time: %1.1f s\n", end - start]];
}

- (void)programWithTerminal:(Terminal *)terminal
                      flash:(uint8_t *)flashBuffer
                      image:(uint8_t *)imageBuffer
                       size:(int32_t)bufferSize
                     length:(int32_t)imageLength
{
    int32_t offset = optionsValid ? optionOffset : 0;
    int32_t target = -1;
    int32_t result = [self runCommand:STM32_CMD_UPLOAD
                                flash:flashBuffer
                                image:imageBuffer
                           bufferSize:bufferSize
                          imageLength:imageLength
                               offset:offset
                                 size:0
                               target:&target];
    if (result == STM32_RESULT_OK && optionsStartTerminal) {
        dispatch_async(dispatch_get_main_queue(), ^{
            [terminal show:target];
        });
    }
    free(flashBuffer);
    free(imageBuffer);
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
    int32_t bufferSize = flashSize;
    uint8_t *flashBuffer = NULL;
    uint8_t *imageBuffer = NULL;
    if (![self allocateFlashBuffer:&flashBuffer imageBuffer:&imageBuffer size:bufferSize]) {
        return nil;
    }
    int32_t offset = optionsValid ? optionOffset : 0;
    int32_t size = optionsValid ? [self effectiveOptionSize] : bufferSize;
    if ((long long)offset + size > bufferSize) {
        size = offset < bufferSize ? bufferSize - offset : 0;
    }
    if (![self claimBoard]) {
        free(flashBuffer);
        free(imageBuffer);
        [self log:BusyRefusal];
        return nil;
    }
    int32_t result = [self readInto:flashBuffer image:imageBuffer bufferSize:bufferSize offset:offset size:size];
    self.isIdle = YES;
    NSData *answer = nil;
    if (result == STM32_RESULT_OK) {
        answer = [NSData dataWithBytes:flashBuffer length:(NSUInteger)size];
    }
    free(flashBuffer);
    free(imageBuffer);
    return answer;
}

// Answers the core's result, or 8 when the read did not run.
- (int32_t)readInto:(uint8_t *)flashBuffer
              image:(uint8_t *)imageBuffer
         bufferSize:(int32_t)bufferSize
             offset:(int32_t)offset
               size:(int32_t)size
{
    int32_t target = -1;
    return [self runCommand:STM32_CMD_DOWNLOAD
                      flash:flashBuffer
                      image:imageBuffer
                 bufferSize:bufferSize
                imageLength:0
                     offset:offset
                       size:size
                     target:&target];
}

// One core command on the chosen target with a context of its own, timed;
// answers the core's result, or 8 when it did not run (no context, no board).
- (int32_t)runCommand:(uint32_t)command
                flash:(uint8_t *)flashBuffer
                image:(uint8_t *)imageBuffer
           bufferSize:(int32_t)bufferSize
          imageLength:(int32_t)imageLength
               offset:(int32_t)offset
                 size:(int32_t)size
               target:(int32_t *)target
{
    int32_t result = 8;
    Stm32Context *context = stm32Init();
    if (context == NULL) {
        return result;
    }
    stm32SetBuffer(context, flashBuffer, bufferSize, imageBuffer, imageLength);
    stm32RegisterLogCallback(context, (STM_BRIDGE void *)self, appendLog);
    int32_t n = stm32GetDeviceCount();
    if (n > 0) {
        *target = [self chosenTargetAmong:n context:context];
        double started = wallClockSeconds();
        result = stm32Command(context, *target, (uint32_t)flashBaseAddress, (uint32_t)offset, size, command);
        double ended = wallClockSeconds();
        if (result == STM32_RESULT_OK) {
            [self logTotalTimeFrom:started to:ended];
        }
    }
    stm32Exit(context);
    return result;
}

@end
