/* Drops one file on an X window as a file manager would (the XDND
 * protocol, text/uri-list), for the end-to-end test of dropping an image on
 * the dialog program: wine hands such a drop to a window that accepts
 * dropped files as WM_DROPFILES.
 *   xdnd_drop WINDOW PATH      WINDOW: X window id; exit 0 when the drop was taken */
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <time.h>

static Display* display;
static Atom aware, enter, position, status, drop, finished, leave, selection, copy, uriList;

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void sendMessage(Window target, Atom type, long a, long b, long c, long d, long e)
{
    XEvent event;
    memset(&event, 0, sizeof event);
    event.xclient.type = ClientMessage;
    event.xclient.window = target;
    event.xclient.message_type = type;
    event.xclient.format = 32;
    event.xclient.data.l[0] = a;
    event.xclient.data.l[1] = b;
    event.xclient.data.l[2] = c;
    event.xclient.data.l[3] = d;
    event.xclient.data.l[4] = e;
    XSendEvent(display, target, False, NoEventMask, &event);
    XFlush(display);
}

/* Answers the target's request for the data: the file as a URI. */
static void answerSelection(const XSelectionRequestEvent* request, const char* uri)
{
    XEvent reply;
    memset(&reply, 0, sizeof reply);
    reply.xselection.type = SelectionNotify;
    reply.xselection.requestor = request->requestor;
    reply.xselection.selection = request->selection;
    reply.xselection.target = request->target;
    reply.xselection.time = request->time;
    reply.xselection.property = None;
    if (request->target == uriList) {
        XChangeProperty(display, request->requestor, request->property, uriList, 8, PropModeReplace,
                        (const unsigned char*)uri, (int)strlen(uri));
        reply.xselection.property = request->property;
    }
    XSendEvent(display, request->requestor, False, NoEventMask, &reply);
    XFlush(display);
}

/* The next event within the deadline; 0 when none came. */
static int nextEvent(XEvent* event, double deadline)
{
    while (!XPending(display)) {
        double left = deadline - now();
        if (left <= 0) return 0;
        fd_set fds;
        FD_ZERO(&fds);
        FD_SET(ConnectionNumber(display), &fds);
        struct timeval wait = {(time_t)left, (suseconds_t)((left - (double)(time_t)left) * 1e6)};
        select(ConnectionNumber(display) + 1, &fds, NULL, NULL, &wait);
    }
    XNextEvent(display, event);
    return 1;
}

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: xdnd_drop WINDOW PATH\n");
        return 2;
    }
    display = XOpenDisplay(NULL);
    if (display == NULL) {
        fprintf(stderr, "xdnd_drop: no X display\n");
        return 1;
    }
    Window target = (Window)strtoul(argv[1], NULL, 0);
    char uri[4200];
    snprintf(uri, sizeof uri, "file://%s\r\n", argv[2]);
#define ATOM(name) XInternAtom(display, name, False)
    aware = ATOM("XdndAware");
    enter = ATOM("XdndEnter");
    position = ATOM("XdndPosition");
    status = ATOM("XdndStatus");
    drop = ATOM("XdndDrop");
    finished = ATOM("XdndFinished");
    leave = ATOM("XdndLeave");
    selection = ATOM("XdndSelection");
    copy = ATOM("XdndActionCopy");
    uriList = ATOM("text/uri-list");

    Atom type;
    int format;
    unsigned long count, rest;
    unsigned char* data = NULL;
    if (XGetWindowProperty(display, target, aware, 0, 1, False, AnyPropertyType, &type, &format, &count, &rest,
                           &data) != Success || count == 0) {
        fprintf(stderr, "xdnd_drop: window 0x%lx takes no drops\n", target);
        return 1;
    }
    long version = *(long*)data < 5 ? *(long*)data : 5;
    XFree(data);

    Window root = DefaultRootWindow(display);
    Window source = XCreateSimpleWindow(display, root, 0, 0, 1, 1, 0, 0, 0);
    XSetSelectionOwner(display, selection, source, CurrentTime);
    XWindowAttributes attributes;
    XGetWindowAttributes(display, target, &attributes);
    int x = 0, y = 0;
    Window child;
    XTranslateCoordinates(display, target, root, attributes.width / 2, attributes.height / 2, &x, &y, &child);

    sendMessage(target, enter, (long)source, version << 24, (long)uriList, 0, 0);
    sendMessage(target, position, (long)source, 0, ((long)x << 16) | (y & 0xFFFF), CurrentTime, (long)copy);
    const double deadline = now() + 15;
    int accepted = -1;
    XEvent event;
    while (nextEvent(&event, deadline)) {
        if (event.type == SelectionRequest) {
            answerSelection(&event.xselectionrequest, uri);
        } else if (event.type == ClientMessage && event.xclient.message_type == status && accepted < 0) {
            accepted = (int)(event.xclient.data.l[1] & 1);
            if (!accepted) {
                sendMessage(target, leave, (long)source, 0, 0, 0, 0);
                fprintf(stderr, "xdnd_drop: the window refused the file\n");
                return 1;
            }
            sendMessage(target, drop, (long)source, 0, CurrentTime, 0, 0);
        } else if (event.type == ClientMessage && event.xclient.message_type == finished) {
            return 0;
        }
    }
    fprintf(stderr, "xdnd_drop: no answer from window 0x%lx\n", target);
    return 1;
}
