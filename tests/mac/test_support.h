// Helpers shared by the application tests: run-loop waiting, recording
// delegates and a terminal launcher that remembers what it was asked.
#import <Foundation/Foundation.h>
#import "Device.h"
#import "Terminal.h"

#include <functional>
#include <string>
#include <vector>

// Runs the main run loop (so main-queue blocks execute) until done() is
// true or the time is up; answers done().
bool runUntil(const std::function<bool()>& done, double seconds = 5.0);
// Runs the main run loop for a while, for things that must not happen.
void runFor(double seconds);

std::string str(NSString* text);
NSString* ns(const std::string& text);
NSData* bytesData(const std::vector<uint8_t>& bytes);

// A temporary folder, removed with its contents at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    NSString* path() const { return path_; }
    NSString* file(NSString* name) const;
    void touch(NSString* name) const;
    void remove(NSString* name) const;

private:
    NSString* path_;
};

@interface RecordingLog : NSObject <LogProtocol> {
    NSLock* recordLock;
    NSMutableString* log;
    NSMutableArray* statuses;
}
- (NSString*)logText;
- (NSString*)lastStatus;
- (NSUInteger)statusCount;
- (void)forget;
@end

@interface RecordingPrefs : NSObject <PrefsProtocol> {
    NSLock* recordLock;
    NSMutableArray* calls;
}
// "reset", "add:<title>", "flash:<size>,<page>,<base hex>"
- (NSArray*)calls;
- (NSArray*)popUpItems; // the chooser as the calls so far build it
- (NSString*)lastFlash;
- (void)forget;
@end

@interface RecordingTerminal : Terminal {
    NSLock* recordLock;
    NSMutableArray* shows;
}
// One entry per show:, YES when it ran on the main thread.
- (NSArray*)shows;
@end

// The Device's poll must not outlive a test: stops it and waits.
void stopDevice(Device* device);
