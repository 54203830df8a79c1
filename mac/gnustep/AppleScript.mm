// NSAppleScript stand-in: records each executed script (GNUstep build only).
#import "AppleScript.h"

static NSMutableArray *executedScripts = nil;
static BOOL scriptsFail = NO;

@interface StandInAppleScript : NSAppleScript {
    NSString *sourceText;
}
- (id)initStandInWithSource:(NSString *)source;
@end

@implementation StandInAppleScript
- (id)initStandInWithSource:(NSString *)source
{
    if ((self = [super init]) != nil) {
        sourceText = [source copy];
    }
    return self;
}

- (void)dealloc
{
    [sourceText release];
    [super dealloc];
}

- (NSString *)source
{
    return sourceText;
}

- (NSAppleEventDescriptor *)executeAndReturnError:(NSDictionary **)errorInfo
{
    @synchronized([NSAppleScript class]) {
        if (executedScripts == nil) {
            executedScripts = [NSMutableArray new];
        }
        [executedScripts addObject:(sourceText != nil ? sourceText : @"")];
    }
    if (scriptsFail) {
        if (errorInfo != NULL) {
            *errorInfo = [NSDictionary dictionaryWithObject:@"stand-in failure" forKey:@"NSAppleScriptErrorMessage"];
        }
        return nil;
    }
    return [[NSAppleEventDescriptor new] autorelease];
}
@end

@implementation NSAppleScript (StandIn)
- (id)initWithSource:(NSString *)source
{
    [self release];
    return [[StandInAppleScript alloc] initStandInWithSource:source];
}

- (NSAppleEventDescriptor *)executeAndReturnError:(NSDictionary **)errorInfo
{
    if (errorInfo != NULL) {
        *errorInfo = nil;
    }
    return nil;
}

- (NSString *)source
{
    return nil;
}

+ (NSArray *)standInExecutedScripts
{
    @synchronized([NSAppleScript class]) {
        return [NSArray arrayWithArray:(executedScripts != nil ? executedScripts : [NSArray array])];
    }
}

+ (void)standInForgetScripts
{
    @synchronized([NSAppleScript class]) {
        [executedScripts removeAllObjects];
    }
}

+ (void)standInSetFailing:(BOOL)failing
{
    scriptsFail = failing;
}
@end
