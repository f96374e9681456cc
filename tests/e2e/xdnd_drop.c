/* xdnd_drop.c: drops files onto another X client's window through XDND, as a file manager would.
 *
 * Usage: xdnd_drop TITLE FILE...
 * Finds the top-level window named TITLE that advertises XdndAware, drags the files to its centre
 * as text/uri-list, drops them and waits until the target reports the drop finished. Exits 0 when
 * the target accepted and finished the drop, 1 otherwise. Waits at most 20 seconds in all. */
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <time.h>

enum { kXdndVersion = 5, kTimeoutSeconds = 20 };

/* The atoms of the protocol, interned together in main. */
enum { aAware, aSelection, aEnter, aPosition, aStatus, aDrop, aFinished, aLeave, aCopy, aUriList,
       aTargets, kAtoms };
static char* atomNames[kAtoms] = {"XdndAware", "XdndSelection", "XdndEnter", "XdndPosition",
                                  "XdndStatus", "XdndDrop", "XdndFinished", "XdndLeave",
                                  "XdndActionCopy", "text/uri-list", "TARGETS"};
static Atom atom[kAtoms];
static Display* dpy;
static Window source;
static char uriList[65536];

static double Now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static int IsAware(Window w) {
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = NULL;
    int aware = XGetWindowProperty(dpy, w, atom[aAware], 0, 1, False, AnyPropertyType, &type,
                                   &format, &count, &after, &data) == Success &&
                type != None;
    if (data) XFree(data);
    return aware;
}

/* The first window below `w`, depth first, that is named `title` and takes drops. */
static Window FindTarget(Window w, const char* title) {
    char* name = NULL;
    if (XFetchName(dpy, w, &name) && name) {
        int match = strcmp(name, title) == 0;
        XFree(name);
        if (match && IsAware(w)) return w;
    }
    Window rootReturn, parent, *children = NULL;
    unsigned int n = 0;
    Window found = None;
    if (XQueryTree(dpy, w, &rootReturn, &parent, &children, &n)) {
        for (unsigned int i = 0; i < n && found == None; ++i) found = FindTarget(children[i], title);
        if (children) XFree(children);
    }
    return found;
}

static void Send(Window target, Atom type, long l1, long l2, long l3, long l4) {
    XEvent e = {.xclient = {.type = ClientMessage, .display = dpy, .window = target,
                            .message_type = type, .format = 32}};
    const long data[5] = {(long)source, l1, l2, l3, l4};
    memcpy(e.xclient.data.l, data, sizeof data);
    XSendEvent(dpy, target, False, NoEventMask, &e);
    XFlush(dpy);
}

/* Hands the dragged data to whoever asks for it. */
static void AnswerSelection(XSelectionRequestEvent* req) {
    XEvent reply = {.xselection = {.type = SelectionNotify, .requestor = req->requestor,
                                   .selection = req->selection, .target = req->target,
                                   .time = req->time,
                                   .property = req->property != None ? req->property : req->target}};
    if (req->target == atom[aUriList]) {
        XChangeProperty(dpy, req->requestor, reply.xselection.property, atom[aUriList], 8,
                        PropModeReplace, (unsigned char*)uriList, (int)strlen(uriList));
    } else if (req->target == atom[aTargets]) {
        Atom targets[2] = {atom[aTargets], atom[aUriList]};
        XChangeProperty(dpy, req->requestor, reply.xselection.property, XA_ATOM, 32,
                        PropModeReplace, (unsigned char*)targets, 2);
    } else {
        reply.xselection.property = None;
    }
    XSendEvent(dpy, req->requestor, False, NoEventMask, &reply);
    XFlush(dpy);
}

/* Serves selection requests until a client message of `type` arrives or time runs out; stores
 * its data in *got. Returns 1 when it arrived. */
static int WaitFor(Atom type, XClientMessageEvent* got, double deadline) {
    int fd = ConnectionNumber(dpy);
    while (Now() < deadline) {
        while (XPending(dpy)) {
            XEvent e;
            XNextEvent(dpy, &e);
            if (e.type == SelectionRequest) {
                AnswerSelection(&e.xselectionrequest);
            } else if (e.type == ClientMessage && e.xclient.message_type == type) {
                *got = e.xclient;
                return 1;
            }
        }
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fd, &set);
        struct timeval tv = {0, 50000};
        select(fd + 1, &set, NULL, NULL, &tv);
    }
    return 0;
}

static void AppendUri(const char* path) {
    static const char hex[] = "0123456789ABCDEF";
    size_t at = strlen(uriList);
    at += (size_t)snprintf(uriList + at, sizeof uriList - at, "file://");
    for (const unsigned char* p = (const unsigned char*)path; *p && at + 8 < sizeof uriList; ++p) {
        if ((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9') ||
            strchr("/-_.~", *p)) {
            uriList[at++] = (char)*p;
        } else {
            uriList[at++] = '%';
            uriList[at++] = hex[*p >> 4];
            uriList[at++] = hex[*p & 15];
        }
    }
    snprintf(uriList + at, sizeof uriList - at, "\r\n");
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: xdnd_drop TITLE FILE...\n");
        return 2;
    }
    for (int i = 2; i < argc; ++i) {
        char full[PATH_MAX];
        if (!realpath(argv[i], full)) {
            fprintf(stderr, "xdnd_drop: no such file: %s\n", argv[i]);
            return 2;
        }
        AppendUri(full);
    }
    dpy = XOpenDisplay(NULL);
    if (!dpy) {
        fprintf(stderr, "xdnd_drop: cannot open the display\n");
        return 1;
    }
    XInternAtoms(dpy, atomNames, kAtoms, False, atom);

    const double deadline = Now() + kTimeoutSeconds;
    const Window root = DefaultRootWindow(dpy);
    Window target = None;
    while ((target = FindTarget(root, argv[1])) == None && Now() < deadline) {
        struct timespec pause = {0, 100000000};
        nanosleep(&pause, NULL);
    }
    if (target == None) {
        fprintf(stderr, "xdnd_drop: no window named %s takes drops\n", argv[1]);
        return 1;
    }
    source = XCreateSimpleWindow(dpy, root, 0, 0, 1, 1, 0, 0, 0);
    XSetSelectionOwner(dpy, atom[aSelection], source, CurrentTime);

    XWindowAttributes attributes;
    XGetWindowAttributes(dpy, target, &attributes);
    int x = 0, y = 0;
    Window child;
    XTranslateCoordinates(dpy, target, root, attributes.width / 2, attributes.height / 2, &x, &y,
                          &child);

    XClientMessageEvent reply;
    Send(target, atom[aEnter], (long)kXdndVersion << 24, (long)atom[aUriList], None, None);
    Send(target, atom[aPosition], 0, ((long)x << 16) | (y & 0xFFFF), CurrentTime,
         (long)atom[aCopy]);
    if (!WaitFor(atom[aStatus], &reply, deadline) || !(reply.data.l[1] & 1)) {
        Send(target, atom[aLeave], 0, 0, 0, 0);
        fprintf(stderr, "xdnd_drop: the window refused the drop\n");
        return 1;
    }
    Send(target, atom[aDrop], 0, CurrentTime, 0, 0);
    if (!WaitFor(atom[aFinished], &reply, deadline)) {
        fprintf(stderr, "xdnd_drop: the drop never finished\n");
        return 1;
    }
    XCloseDisplay(dpy);
    return 0;
}
