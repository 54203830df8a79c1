// Stand-in for NSAppleScript (GNUstep build only): the class exists in
// GNUstep without methods. Scripts are recorded, not run, so tests can read
// the exact text that would reach the terminal application.
#import <Foundation/Foundation.h>

@interface NSAppleScript (StandIn)
- (id)initWithSource:(NSString *)source;
- (NSAppleEventDescriptor *)executeAndReturnError:(NSDictionary **)errorInfo;
- (NSString *)source;
+ (NSArray *)standInExecutedScripts;
+ (void)standInForgetScripts;
+ (void)standInSetFailing:(BOOL)failing;
@end
