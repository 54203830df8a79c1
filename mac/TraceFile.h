// The application's debug trace: the core's trace lines (every DFU request,
// reply and decision) appended to a file that a user can send us. The
// application has no console, so STM32_DEBUG=1 alone would print them nowhere.
#import <Foundation/Foundation.h>

// ~/Library/Logs/TidewireMacUtility/trace.txt (beside the other per-user data).
NSString *traceFilePath(void);
// True when STM32_DEBUG is "1" or the user default "Trace" is set.
BOOL traceWanted(NSUserDefaults *defaults, const char *debugVariable);
// Appends the trace to the file at path from now on; NO when it cannot be opened.
BOOL startTraceFile(NSString *path);
// Ends the trace and closes the file.
void stopTraceFile(void);
