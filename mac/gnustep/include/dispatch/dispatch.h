// Stand-in for the part of libdispatch the application uses: a concurrent
// queue that runs each block on a thread of its own, and the main queue,
// whose blocks run in order on the main run loop.
#ifndef TIDEWIRE_STANDIN_DISPATCH_H
#define TIDEWIRE_STANDIN_DISPATCH_H

#import <Foundation/NSObject.h>

@interface StandInDispatchQueue : NSObject {
    char *label;
    BOOL concurrent;
    BOOL mainQueue;
}
@end

@interface StandInDispatchAttribute : NSObject
@end

typedef StandInDispatchQueue *dispatch_queue_t;
typedef StandInDispatchAttribute *dispatch_queue_attr_t;
typedef void (^dispatch_block_t)(void);

#ifdef __cplusplus
extern "C" {
#endif
dispatch_queue_attr_t standInDispatchConcurrentAttribute(void);
dispatch_queue_t dispatch_queue_create(const char *label, dispatch_queue_attr_t attr);
dispatch_queue_t dispatch_get_main_queue(void);
void dispatch_async(dispatch_queue_t queue, dispatch_block_t block);
const char *dispatch_queue_get_label(dispatch_queue_t queue);
#ifdef __cplusplus
}
#endif

#define DISPATCH_QUEUE_CONCURRENT standInDispatchConcurrentAttribute()
#define DISPATCH_QUEUE_SERIAL ((dispatch_queue_attr_t)0)

#endif
