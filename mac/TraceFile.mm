#import "TraceFile.h"

#include "trace_file.h"

NSString *traceFilePath(void)
{
    NSArray *libraries = NSSearchPathForDirectoriesInDomains(NSLibraryDirectory, NSUserDomainMask, YES);
    NSString *library = [libraries count] > 0 ? [libraries objectAtIndex:0] : NSTemporaryDirectory();
    return [[[library stringByAppendingPathComponent:@"Logs"] stringByAppendingPathComponent:@"TidewireMacUtility"]
        stringByAppendingPathComponent:@"trace.txt"];
}

BOOL traceWanted(NSUserDefaults *defaults, const char *debugVariable)
{
    return stm32TraceWanted(debugVariable, [defaults boolForKey:@"Trace"] ? 1 : 0) != 0;
}

BOOL startTraceFile(NSString *path)
{
    [[NSFileManager defaultManager] createDirectoryAtPath:[path stringByDeletingLastPathComponent]
                              withIntermediateDirectories:YES
                                               attributes:nil
                                                    error:NULL];
    return stm32StartTraceFile([path fileSystemRepresentation]) != 0;
}

void stopTraceFile(void)
{
    stm32StopTraceFile();
}
