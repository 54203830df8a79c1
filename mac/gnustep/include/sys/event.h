/*
 * Stand-in for the BSD kernel event queue, reduced to what a directory
 * watcher needs (EVFILT_VNODE with NOTE_WRITE) and built on inotify
 * (GNUstep build only). The queue descriptor is an inotify descriptor, so
 * it becomes readable when the watched directory changes.
 */
#ifndef TIDEWIRE_STANDIN_SYS_EVENT_H
#define TIDEWIRE_STANDIN_SYS_EVENT_H

#include <stdint.h>
#include <fcntl.h>
#include <time.h>

#ifndef O_EVTONLY
#define O_EVTONLY O_RDONLY
#endif

#define EVFILT_VNODE (-4)
#define EV_ADD 0x0001
#define EV_DELETE 0x0002
#define EV_CLEAR 0x0020
#define NOTE_DELETE 0x0001
#define NOTE_WRITE 0x0002

struct kevent {
    uintptr_t ident;
    int16_t filter;
    uint16_t flags;
    uint32_t fflags;
    intptr_t data;
    void *udata;
};

#define EV_SET(kevp, a, b, c, d, e, f)                                                                  \
    do {                                                                                               \
        struct kevent *ev_ = (kevp);                                                                   \
        ev_->ident = (a);                                                                              \
        ev_->filter = (b);                                                                             \
        ev_->flags = (c);                                                                              \
        ev_->fflags = (d);                                                                             \
        ev_->data = (e);                                                                               \
        ev_->udata = (f);                                                                              \
    } while (0)

#ifdef __cplusplus
extern "C" {
#endif
int kqueue(void);
int kevent(int kq, const struct kevent *changelist, int nchanges, struct kevent *eventlist, int nevents,
           const struct timespec *timeout);
#ifdef __cplusplus
}
#endif

#endif
