// The application's one link to the board: presence poll, programming and
// read-out, all through the core library's C interface.
#import <Foundation/Foundation.h>
#include <dispatch/dispatch.h>
#include <stdint.h>
#import "Compat.h"

@class Terminal;

@protocol LogProtocol <NSObject>
- (void)updateLog:(NSString *)text;
- (void)updateDeviceStatus:(NSString *)text;
@end

@protocol PrefsProtocol <NSObject>
- (void)resetPopUp;
- (void)addPopUpItem:(NSString *)title;
- (void)flashSizeIs:(int32_t)flashSize pageSizeIs:(int32_t)pageSize baseAddressIs:(uint32_t)baseAddress;
@end

#ifdef __cplusplus
extern "C" {
#endif
// The core's log sink; userData is the Device.
int appendLog(void *userData, const char *text, uint32_t length, int continuation);
void waitMilliSeconds(uint32_t milliseconds);
#ifdef __cplusplus
}
#endif

@interface Device : NSObject {
    int32_t flashBaseAddress;
    int32_t flashSize;
    int32_t firmwareSize;
    NSLock *lock;
    dispatch_queue_t dispatchQueue;
    BOOL isIdle;
    int32_t count;
    int32_t index;
    int32_t optionOffset;
    int32_t optionSize;
    BOOL optionsValid;
    BOOL optionsStartTerminal;
    id<LogProtocol> logDelegate;
    id<PrefsProtocol> prefsDelegate;
    BOOL pollStarted;
    BOOL pollStopRequested;
    BOOL pollRunning;
}

@property (nonatomic) int32_t flashBaseAddress;
@property (nonatomic) int32_t flashSize;
@property (nonatomic) int32_t firmwareSize;
@property (strong) NSLock *lock;
@property (strong) dispatch_queue_t dispatchQueue;
@property BOOL isIdle;
@property (nonatomic) int32_t count;
@property (nonatomic) int32_t index;
@property (nonatomic) int32_t optionOffset;
@property (nonatomic) int32_t optionSize;
@property (nonatomic) BOOL optionsValid;
@property (nonatomic) BOOL optionsStartTerminal;
@property (strong) id<LogProtocol> logDelegate;
@property (strong) id<PrefsProtocol> prefsDelegate;

- (id)init;
- (void)start;
- (void)updateStatus;
- (void)upgradeFirmware:(NSData *)contents type:(NSString *)type terminal:(Terminal *)terminal;
// The same with the file's path: it chooses the format (an ELF or DfuSe file
// also by its contents) and names the file in the log.
- (void)upgradeFirmware:(NSData *)contents path:(NSString *)path terminal:(Terminal *)terminal;
- (NSData *)getFlash;

// Ends the poll after its current pass and waits for it (tests and
// orderly shutdown; the application itself polls for its whole life).
- (void)stop;
@end
