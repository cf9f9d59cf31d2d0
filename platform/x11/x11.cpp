#include "platform/x11/x11.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xfixes.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <initializer_list>
#include <vector>

namespace platform::x11 {

namespace {

Display* dpy = nullptr;
Window clipWindow = 0;
bool grabbed = false;
PointerBarrier barriers[4] = {};
Window coverWindow = 0;
Colormap coverColormap = 0;

Window Root() { return DefaultRootWindow(dpy); }

// A window that went away between two calls is no reason to exit.
int IgnoreError(Display*, XErrorEvent*) { return 0; }

void Nap(long micros) {
    timespec t{0, micros * 1000};
    nanosleep(&t, nullptr);
}

bool ReadCardinals(Window w, const char* name, long* out, unsigned long count) {
    const Atom atom = XInternAtom(dpy, name, False);
    Atom type = 0;
    int format = 0;
    unsigned long n = 0, after = 0;
    unsigned char* data = nullptr;
    bool ok = false;
    if (XGetWindowProperty(dpy, w, atom, 0, static_cast<long>(count), False, AnyPropertyType, &type, &format, &n,
                           &after, &data) == Success &&
        data && format == 32 && n == count) {
        // Format-32 data comes back as longs.
        const long* v = reinterpret_cast<const long*>(data);
        std::copy(v, v + count, out);
        ok = true;
    }
    if (data) XFree(data);
    return ok;
}

bool ReadFrameExtents(Window w, Extents& e) {
    long v[4];
    if (!ReadCardinals(w, "_NET_FRAME_EXTENTS", v, 4)) return false;
    e = {static_cast<int>(v[0]), static_cast<int>(v[1]), static_cast<int>(v[2]), static_cast<int>(v[3])};
    return true;
}

// The EWMH check window, when a window manager that sets one is running.
bool WindowManagerRunning() {
    long self = 0;
    if (!ReadCardinals(Root(), "_NET_SUPPORTING_WM_CHECK", &self, 1) || self == 0) return false;
    long again = 0;
    return ReadCardinals(static_cast<Window>(self), "_NET_SUPPORTING_WM_CHECK", &again, 1) && again == self;
}

bool Supported(const char* name) {
    const Atom want = XInternAtom(dpy, name, False);
    const Atom list = XInternAtom(dpy, "_NET_SUPPORTED", False);
    Atom type = 0;
    int format = 0;
    unsigned long n = 0, after = 0;
    unsigned char* data = nullptr;
    bool found = false;
    if (XGetWindowProperty(dpy, Root(), list, 0, 4096, False, XA_ATOM, &type, &format, &n, &after, &data) ==
            Success &&
        data && format == 32) {
        const long* v = reinterpret_cast<const long*>(data);
        found = std::find(v, v + n, static_cast<long>(want)) != v + n;
    }
    if (data) XFree(data);
    return found;
}

}  // namespace

bool Open(std::string* why) {
    if (dpy) return true;
    dpy = XOpenDisplay(nullptr);
    if (!dpy) {
        const char* name = std::getenv("DISPLAY");
        if (why) {
            *why = name && *name ? std::string("cannot open the X display ") + name
                                 : std::string("no X display (DISPLAY is not set)");
        }
        return false;
    }
    XSetErrorHandler(IgnoreError);
    return true;
}

void Close() {
    if (!dpy) return;
    Release();
    Uncover();
    XCloseDisplay(dpy);
    dpy = nullptr;
}

void Warp(int x, int y) {
    if (!dpy) return;
    XWarpPointer(dpy, 0, Root(), 0, 0, 0, 0, x, y);
    XSync(dpy, False);
}

bool Query(int& x, int& y) {
    if (!dpy) return false;
    Window root = 0, child = 0;
    int rx = 0, ry = 0, wx = 0, wy = 0;
    unsigned int mask = 0;
    if (!XQueryPointer(dpy, Root(), &root, &child, &rx, &ry, &wx, &wy, &mask)) return false;
    x = rx;
    y = ry;
    return true;
}

void Confine(int left, int top, int right, int bottom) {
    if (!dpy) return;
    Release();
    XSetWindowAttributes a{};
    a.override_redirect = True;
    const unsigned w = static_cast<unsigned>(std::max(1, right - left));
    const unsigned h = static_cast<unsigned>(std::max(1, bottom - top));
    clipWindow = XCreateWindow(dpy, Root(), left, top, w, h, 0, 0, InputOnly, CopyFromParent, CWOverrideRedirect, &a);
    XMapRaised(dpy, clipWindow);
    XSync(dpy, False);
    // Another client may hold the pointer for a moment (a button still
    // going up, a window manager gesture): try for about half a second.
    for (int tries = 0; tries < 250; ++tries) {
        const int r = XGrabPointer(dpy, clipWindow, False, 0, GrabModeAsync, GrabModeAsync, clipWindow, 0,
                                   CurrentTime);
        if (r == GrabSuccess) {
            grabbed = true;
            break;
        }
        Nap(2000);
    }
    XSync(dpy, False);
}

bool Fence(int left, int top, int right, int bottom) {
    if (!dpy) return false;
    Release();
    int event = 0, error = 0, major = 0, minor = 0;
    if (!XFixesQueryExtension(dpy, &event, &error) || !XFixesQueryVersion(dpy, &major, &minor) || major < 5)
        return false;
    // Lines just outside the last column and row: the server stops a
    // crossing pointer on the pixel before them. Closed both ways.
    const int lines[4][4] = {{left, top, left, bottom},
                             {right, top, right, bottom},
                             {left, top, right, top},
                             {left, bottom, right, bottom}};
    for (int i = 0; i < 4; ++i)
        barriers[i] = XFixesCreatePointerBarrier(dpy, Root(), lines[i][0], lines[i][1], lines[i][2], lines[i][3], 0,
                                                 0, nullptr);
    XSync(dpy, False);
    return true;
}

bool Fenced() { return barriers[0] != 0; }

void Release() {
    if (!dpy) return;
    for (PointerBarrier& b : barriers) {
        if (b) XFixesDestroyPointerBarrier(dpy, b);
        b = 0;
    }
    if (grabbed) XUngrabPointer(dpy, CurrentTime);
    grabbed = false;
    if (clipWindow) XDestroyWindow(dpy, clipWindow);
    clipWindow = 0;
    XSync(dpy, False);
}

bool Confined() { return grabbed; }

void Cover(int left, int top, int right, int bottom) {
    if (!dpy) return;
    Uncover();
    // Without a compositor a window shows what it draws, not what is
    // under it: the player would race on a blank screen.
    char name[32];
    std::snprintf(name, sizeof name, "_NET_WM_CM_S%d", DefaultScreen(dpy));
    if (XGetSelectionOwner(dpy, XInternAtom(dpy, name, False)) == 0) return;
    XVisualInfo argb{};
    if (!XMatchVisualInfo(dpy, DefaultScreen(dpy), 32, TrueColor, &argb)) return;
    coverColormap = XCreateColormap(dpy, Root(), argb.visual, AllocNone);
    XSetWindowAttributes a{};
    a.background_pixel = 0;  // clear: nothing drawn over the desktop
    a.border_pixel = 0;
    a.colormap = coverColormap;
    const unsigned w = static_cast<unsigned>(std::max(1, right - left));
    const unsigned h = static_cast<unsigned>(std::max(1, bottom - top));
    coverWindow = XCreateWindow(dpy, Root(), left, top, w, h, 0, argb.depth, InputOutput, argb.visual,
                                CWBackPixel | CWBorderPixel | CWColormap, &a);
    XStoreName(dpy, coverWindow, "skorrel cover");
    Atom protocols[] = {XInternAtom(dpy, "WM_DELETE_WINDOW", False)};
    XSetWMProtocols(dpy, coverWindow, protocols, 1);
    const Atom atom = XA_ATOM;
    const auto setAtoms = [&](const char* prop, std::initializer_list<const char*> names) {
        std::vector<Atom> v;
        for (const char* n : names) v.push_back(XInternAtom(dpy, n, False));
        XChangeProperty(dpy, coverWindow, XInternAtom(dpy, prop, False), atom, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(v.data()), static_cast<int>(v.size()));
    };
    setAtoms("_NET_WM_WINDOW_TYPE", {"_NET_WM_WINDOW_TYPE_NORMAL"});
    setAtoms("_NET_WM_STATE", {"_NET_WM_STATE_FULLSCREEN", "_NET_WM_STATE_ABOVE", "_NET_WM_STATE_SKIP_TASKBAR",
                               "_NET_WM_STATE_SKIP_PAGER"});
    // Drawn by the compositor always, never handed the screen directly.
    const long never = 2;
    XChangeProperty(dpy, coverWindow, XInternAtom(dpy, "_NET_WM_BYPASS_COMPOSITOR", False), XA_CARDINAL, 32,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(&never), 1);
    XMapRaised(dpy, coverWindow);
    XSync(dpy, False);
}

void Uncover() {
    if (!dpy) return;
    if (coverWindow) XDestroyWindow(dpy, coverWindow);
    if (coverColormap) XFreeColormap(dpy, coverColormap);
    coverWindow = 0;
    coverColormap = 0;
    XSync(dpy, False);
}

bool CoverCloseRequested() {
    if (!dpy) return false;
    bool asked = false;
    const Atom protocols = XInternAtom(dpy, "WM_PROTOCOLS", False);
    const Atom del = XInternAtom(dpy, "WM_DELETE_WINDOW", False);
    while (XPending(dpy) > 0) {
        XEvent ev;
        XNextEvent(dpy, &ev);
        if (ev.type == ClientMessage && coverWindow && ev.xclient.window == coverWindow &&
            ev.xclient.message_type == protocols && static_cast<Atom>(ev.xclient.data.l[0]) == del)
            asked = true;
    }
    return asked;
}

bool WindowManagerRuns() { return dpy && WindowManagerRunning(); }

bool FrameDeclared(unsigned long window) {
    if (!dpy) return false;
    Extents e;
    return ReadFrameExtents(window, e) || MeasureFrame(window) != Extents{};
}

bool FrameExtentsAnswered() {
    return dpy && WindowManagerRunning() && Supported("_NET_REQUEST_FRAME_EXTENTS");
}

bool RequestFrameExtents(unsigned long window, int timeoutMs, Extents& e) {
    if (!dpy || !FrameExtentsAnswered()) return false;
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = window;
    ev.xclient.message_type = XInternAtom(dpy, "_NET_REQUEST_FRAME_EXTENTS", False);
    ev.xclient.format = 32;
    XSendEvent(dpy, Root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &ev);
    XSync(dpy, False);
    for (int waited = 0; waited <= timeoutMs; waited += 2) {
        if (ReadFrameExtents(window, e)) return true;
        Nap(2000);
    }
    return false;
}

Extents MeasureFrame(unsigned long window) {
    Extents e;
    if (!dpy) return e;
    if (ReadFrameExtents(window, e)) return e;
    // No property: climb to the top-level ancestor a reparenting window
    // manager put around us, and compare.
    Window top = window;
    for (;;) {
        Window root = 0, parent = 0, *kids = nullptr;
        unsigned n = 0;
        if (!XQueryTree(dpy, top, &root, &parent, &kids, &n)) return e;
        if (kids) XFree(kids);
        if (parent == 0 || parent == root) break;
        top = parent;
    }
    if (top == window) return e;
    XWindowAttributes fa{}, ca{};
    if (!XGetWindowAttributes(dpy, top, &fa) || !XGetWindowAttributes(dpy, window, &ca)) return e;
    int cx = 0, cy = 0;
    Window child = 0;
    XTranslateCoordinates(dpy, window, Root(), 0, 0, &cx, &cy, &child);
    e.left = cx - fa.x;
    e.top = cy - fa.y;
    e.right = fa.x + fa.width + 2 * fa.border_width - (cx + ca.width);
    e.bottom = fa.y + fa.height + 2 * fa.border_width - (cy + ca.height);
    // A frame not yet sized around the window (KWin's starts as 1 x 1)
    // tells nothing.
    if (e.left < 0 || e.top < 0 || e.right < 0 || e.bottom < 0) return {};
    return e;
}

bool Viewable(unsigned long window) {
    if (!dpy) return false;
    XWindowAttributes a{};
    return XGetWindowAttributes(dpy, window, &a) && a.map_state == IsViewable;
}

}  // namespace platform::x11
