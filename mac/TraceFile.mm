#import "TraceFile.h"

#include <stdio.h>
#include <string.h>

#include "stm32.h"

static FILE *traceFile = NULL;

// Called by the core under its trace lock, one line at a time.
static void writeTraceLine(void *userData, const char *line)
{
    FILE *file = (FILE *)userData;
    fputs(line, file);
    fputc('\n', file);
    // A crash or a kill must not lose the lines that tell what happened.
    fflush(file);
}

NSString *traceFilePath(void)
{
    NSArray *libraries = NSSearchPathForDirectoriesInDomains(NSLibraryDirectory, NSUserDomainMask, YES);
    NSString *library = [libraries count] > 0 ? [libraries objectAtIndex:0] : NSTemporaryDirectory();
    return [[[library stringByAppendingPathComponent:@"Logs"] stringByAppendingPathComponent:@"TidewireMacUtility"]
        stringByAppendingPathComponent:@"trace.txt"];
}

BOOL traceWanted(NSUserDefaults *defaults, const char *debugVariable)
{
    if (debugVariable != NULL && strcmp(debugVariable, "1") == 0) return YES;
    return [defaults boolForKey:@"Trace"];
}

BOOL startTraceFile(NSString *path)
{
    stopTraceFile();
    [[NSFileManager defaultManager] createDirectoryAtPath:[path stringByDeletingLastPathComponent]
                              withIntermediateDirectories:YES
                                               attributes:nil
                                                    error:NULL];
    FILE *file = fopen([path fileSystemRepresentation], "ab");
    if (file == NULL) return NO;
    traceFile = file;
    stm32SetTraceCallback(writeTraceLine, file);
    return YES;
}

void stopTraceFile(void)
{
    if (traceFile == NULL) return;
    // Once this returns the core calls the old callback no more.
    stm32SetTraceCallback(NULL, NULL);
    fclose(traceFile);
    traceFile = NULL;
}
