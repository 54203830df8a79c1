/* kqueue stand-in over inotify: see include/sys/event.h. */
#define _GNU_SOURCE
#include <sys/event.h>

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <unistd.h>

enum { WATCHED_CHANGES = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB };

int kqueue(void)
{
    return inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
}

/* inotify watches paths, kqueue descriptors: find the descriptor's path. */
static int pathOfDescriptor(int fd, char *path, size_t capacity)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t length = readlink(link, path, capacity - 1);
    if (length <= 0) {
        return -1;
    }
    path[length] = '\0';
    return 0;
}

static int applyChange(int kq, const struct kevent *change)
{
    if (change->filter != EVFILT_VNODE || (change->flags & EV_ADD) == 0) {
        errno = EINVAL;
        return -1;
    }
    char path[PATH_MAX];
    if (pathOfDescriptor((int)change->ident, path, sizeof path) != 0) {
        errno = EBADF;
        return -1;
    }
    return inotify_add_watch(kq, path, WATCHED_CHANGES) < 0 ? -1 : 0;
}

/* Drains every pending inotify record; they all mean "the directory was written". */
static int drainChanges(int kq)
{
    char records[4096] __attribute__((aligned(__alignof__(struct inotify_event))));
    int seen = 0;
    for (;;) {
        ssize_t got = read(kq, records, sizeof records);
        if (got > 0) {
            seen = 1;
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && errno != EAGAIN) {
            return -1;
        }
        return seen;
    }
}

static int waitReadable(int kq, const struct timespec *timeout)
{
    int milliseconds = -1;
    if (timeout != NULL) {
        milliseconds = (int)(timeout->tv_sec * 1000 + timeout->tv_nsec / 1000000);
    }
    struct pollfd entry = {kq, POLLIN, 0};
    return poll(&entry, 1, milliseconds);
}

int kevent(int kq, const struct kevent *changelist, int nchanges, struct kevent *eventlist, int nevents,
           const struct timespec *timeout)
{
    for (int i = 0; i < nchanges; ++i) {
        if (applyChange(kq, &changelist[i]) != 0) {
            return -1;
        }
    }
    if (nevents <= 0 || eventlist == NULL) {
        return 0;
    }
    if (waitReadable(kq, timeout) < 0) {
        return -1;
    }
    int seen = drainChanges(kq);
    if (seen <= 0) {
        return seen;
    }
    memset(&eventlist[0], 0, sizeof eventlist[0]);
    eventlist[0].filter = EVFILT_VNODE;
    eventlist[0].fflags = NOTE_WRITE;
    return 1;
}
