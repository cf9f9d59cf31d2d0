// A small X client for the X tests and scripts: what xdotool cannot do
// (exact title search, the frame a window manager put around a window, a
// polite close, the Xft.dpi resource).
//   x11_probe find TITLE      mapped windows whose _NET_WM_NAME is TITLE
//   x11_probe frame WINDOW    "x y width height" of the window's frame
//                             (as _NET_FRAME_EXTENTS declares it, else its
//                             top-level ancestor), then of the window
//   x11_probe close WINDOW    asks the window to close (WM_DELETE_WINDOW)
//   x11_probe dpi N           sets Xft.dpi on the root window
//   x11_probe wm              exit status 0 when an EWMH window manager runs
//   x11_probe monitors W H LEFT|RIGHT
//                             splits the screen into two W x H monitors side
//                             by side, the primary on the given side, and
//                             keeps them until killed (the server drops a
//                             client's monitors when it goes)
//   x11_probe grabbed         exit status 0 when another client holds the
//                             pointer grabbed
//   x11_probe screen          "x y width height" of the primary RandR monitor
//                             (the first if none is primary), the screen
//                             the game measures, then the root's "width
//                             height"
//   x11_probe icon WINDOW     the sizes of the window's _NET_WM_ICON, as
//                             "16 32 ..." (square ones)
//   x11_probe icon WINDOW N   its N x N picture as a PAM (RGB_ALPHA)
//   x11_probe track           maps a window over the whole screen, then
//                             prints "x y", the pointer's position on the
//                             root window, for each line read (XWayland
//                             knows the pointer only over its own windows)
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

Display* dpy;

std::string Name(Window w) {
    const Atom prop = XInternAtom(dpy, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(dpy, "UTF8_STRING", False);
    Atom type;
    int format;
    unsigned long n, after;
    unsigned char* data = nullptr;
    std::string name;
    if (XGetWindowProperty(dpy, w, prop, 0, 1024, False, utf8, &type, &format, &n, &after, &data) == Success &&
        data && format == 8)
        name.assign(reinterpret_cast<char*>(data), n);
    if (data) XFree(data);
    return name;
}

bool Viewable(Window w) {
    XWindowAttributes a;
    return XGetWindowAttributes(dpy, w, &a) && a.map_state == IsViewable;
}

void Find(Window w, const std::string& title, int& found) {
    if (Viewable(w) && Name(w) == title) {
        std::printf("%lu\n", w);
        ++found;
    }
    Window root, parent, *kids = nullptr;
    unsigned n = 0;
    if (!XQueryTree(dpy, w, &root, &parent, &kids, &n)) return;
    for (unsigned i = 0; i < n; ++i) Find(kids[i], title, found);
    if (kids) XFree(kids);
}

Window TopLevel(Window w) {
    for (;;) {
        Window root, parent, *kids = nullptr;
        unsigned n = 0;
        if (!XQueryTree(dpy, w, &root, &parent, &kids, &n)) return w;
        if (kids) XFree(kids);
        if (parent == root || parent == 0) return w;
        w = parent;
    }
}

bool Cardinals(Window w, const char* name, long* out, unsigned long count) {
    Atom type;
    int format;
    unsigned long n, after;
    unsigned char* data = nullptr;
    bool ok = XGetWindowProperty(dpy, w, XInternAtom(dpy, name, False), 0, static_cast<long>(count), False,
                                 XA_CARDINAL, &type, &format, &n, &after, &data) == Success &&
              data && format == 32 && n == count;
    if (ok) std::memcpy(out, data, count * sizeof(long));
    if (data) XFree(data);
    return ok;
}

// The whole of a 32-bit property: each item in a long, as Xlib gives it.
std::vector<unsigned long> Longs(Window w, const char* name) {
    std::vector<unsigned long> out;
    const Atom prop = XInternAtom(dpy, name, False);
    long offset = 0;
    for (;;) {
        Atom type;
        int format;
        unsigned long n, after;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(dpy, w, prop, offset, 1 << 16, False, XA_CARDINAL, &type, &format, &n, &after,
                               &data) != Success || !data || format != 32) {
            if (data) XFree(data);
            return out;
        }
        const auto* items = reinterpret_cast<const unsigned long*>(data);
        out.insert(out.end(), items, items + n);
        XFree(data);
        offset += static_cast<long>(n);
        if (after == 0 || n == 0) return out;
    }
}

// _NET_WM_ICON: width, height, then its ARGB pixels, for each picture.
int Icon(Window w, int size) {
    const std::vector<unsigned long> icon = Longs(w, "_NET_WM_ICON");
    std::string sizes;
    for (std::size_t i = 0; i + 2 <= icon.size();) {
        const unsigned long iw = icon[i], ih = icon[i + 1];
        if (iw == 0 || ih == 0 || icon.size() - i - 2 < iw * ih) break;
        const unsigned long* argb = icon.data() + i + 2;
        if (size == 0) {
            sizes += (sizes.empty() ? "" : " ") + std::to_string(iw) + (iw == ih ? "" : "x" + std::to_string(ih));
        } else if (iw == static_cast<unsigned long>(size) && ih == iw) {
            std::printf("P7\nWIDTH %lu\nHEIGHT %lu\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n", iw, ih);
            for (unsigned long p = 0; p < iw * ih; ++p) {
                const unsigned long v = argb[p];
                const unsigned char rgba[4] = {static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 8),
                                               static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 24)};
                std::fwrite(rgba, 1, 4, stdout);
            }
            return 0;
        }
        i += 2 + iw * ih;
    }
    if (size == 0 && !sizes.empty()) {
        std::printf("%s\n", sizes.c_str());
        return 0;
    }
    return 1;
}

int IgnoreErrors(Display*, XErrorEvent*) { return 0; }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    dpy = XOpenDisplay(nullptr);
    if (!dpy) {
        std::fprintf(stderr, "x11_probe: no display\n");
        return 2;
    }
    XSetErrorHandler(IgnoreErrors);
    const std::string cmd = argv[1];
    const Window root = DefaultRootWindow(dpy);
    int status = 0;
    if (cmd == "find" && argc == 3) {
        int found = 0;
        Find(root, argv[2], found);
        status = found ? 0 : 1;
    } else if (cmd == "frame" && argc == 3) {
        const Window w = std::strtoul(argv[2], nullptr, 0);
        const Window top = TopLevel(w);
        XWindowAttributes fa, ca;
        int cx = 0, cy = 0;
        Window child;
        if (!XGetWindowAttributes(dpy, top, &fa) || !XGetWindowAttributes(dpy, w, &ca) ||
            !XTranslateCoordinates(dpy, w, root, 0, 0, &cx, &cy, &child))
            return 1;
        int fx = fa.x, fy = fa.y, fw = fa.width + 2 * fa.border_width, fh = fa.height + 2 * fa.border_width;
        // The frame as the window manager declares it, where it does: mutter's
        // frame window also holds invisible borders to grab for resizing.
        long e[4];
        if (Cardinals(w, "_NET_FRAME_EXTENTS", e, 4)) {
            fx = cx - static_cast<int>(e[0]);
            fy = cy - static_cast<int>(e[2]);
            fw = ca.width + static_cast<int>(e[0] + e[1]);
            fh = ca.height + static_cast<int>(e[2] + e[3]);
        }
        std::printf("%d %d %d %d %d %d %d %d\n", fx, fy, fw, fh, cx, cy, ca.width, ca.height);
    } else if (cmd == "close" && argc == 3) {
        const Window w = std::strtoul(argv[2], nullptr, 0);
        XEvent ev{};
        ev.xclient.type = ClientMessage;
        ev.xclient.window = w;
        ev.xclient.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
        ev.xclient.format = 32;
        ev.xclient.data.l[0] = static_cast<long>(XInternAtom(dpy, "WM_DELETE_WINDOW", False));
        ev.xclient.data.l[1] = CurrentTime;
        XSendEvent(dpy, w, False, NoEventMask, &ev);
    } else if (cmd == "dpi" && argc == 3) {
        const std::string db = std::string("Xft.dpi:\t") + argv[2] + "\n";
        XChangeProperty(dpy, root, XA_RESOURCE_MANAGER, XA_STRING, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(db.data()), static_cast<int>(db.size()));
    } else if (cmd == "monitors" && argc == 5) {
        const int w = std::atoi(argv[2]), h = std::atoi(argv[3]);
        const bool primaryLeft = std::string(argv[4]) == "LEFT";
        for (int i = 0; i < 2; ++i) {
            XRRMonitorInfo* m = XRRAllocateMonitor(dpy, 0);
            m->name = XInternAtom(dpy, i == 0 ? "SKORREL-LEFT" : "SKORREL-RIGHT", False);
            m->x = i * w;
            m->width = w;
            m->height = h;
            m->mwidth = w * 254 / 960;  // 96 dpi
            m->mheight = h * 254 / 960;
            m->primary = (i == 0) == primaryLeft;
            XRRSetMonitor(dpy, root, m);
            XRRFreeMonitors(m);
        }
        XSync(dpy, False);
        std::printf("ready\n");
        std::fflush(stdout);
        pause();
    } else if (cmd == "grabbed" && argc == 2) {
        const int r = XGrabPointer(dpy, root, False, 0, GrabModeAsync, GrabModeAsync, 0, 0, CurrentTime);
        if (r == GrabSuccess) XUngrabPointer(dpy, CurrentTime);
        status = r == AlreadyGrabbed ? 0 : 1;
    } else if (cmd == "screen" && argc == 2) {
        int n = 0;
        XRRMonitorInfo* m = XRRGetMonitors(dpy, root, True, &n);
        int i = 0;
        while (i < n && !m[i].primary) ++i;
        if (i == n) i = 0;
        const int rw = DisplayWidth(dpy, 0), rh = DisplayHeight(dpy, 0);
        if (n > 0)
            std::printf("%d %d %d %d %d %d\n", m[i].x, m[i].y, m[i].width, m[i].height, rw, rh);
        else
            std::printf("0 0 %d %d %d %d\n", rw, rh, rw, rh);
        if (m) XRRFreeMonitors(m);
    } else if (cmd == "icon" && (argc == 3 || argc == 4)) {
        status = Icon(std::strtoul(argv[2], nullptr, 0), argc == 4 ? std::atoi(argv[3]) : 0);
    } else if (cmd == "track" && argc == 2) {
        XSetWindowAttributes a{};
        a.override_redirect = True;
        a.background_pixel = WhitePixel(dpy, 0);
        const Window w = XCreateWindow(dpy, root, 0, 0, DisplayWidth(dpy, 0), DisplayHeight(dpy, 0), 0,
                                       CopyFromParent, InputOutput, CopyFromParent,
                                       CWOverrideRedirect | CWBackPixel, &a);
        XMapRaised(dpy, w);
        XSync(dpy, False);
        std::printf("ready\n");
        std::fflush(stdout);
        char line[64];
        while (std::fgets(line, sizeof line, stdin)) {
            Window r, c;
            int rx = 0, ry = 0, wx, wy;
            unsigned mask;
            XQueryPointer(dpy, root, &r, &c, &rx, &ry, &wx, &wy, &mask);
            std::printf("%d %d\n", rx, ry);
            std::fflush(stdout);
        }
        XDestroyWindow(dpy, w);
    } else if (cmd == "wm" && argc == 2) {
        const Atom check = XInternAtom(dpy, "_NET_SUPPORTING_WM_CHECK", False);
        Atom type;
        int format;
        unsigned long n, after;
        unsigned char* data = nullptr;
        status = XGetWindowProperty(dpy, root, check, 0, 1, False, XA_WINDOW, &type, &format, &n, &after, &data) ==
                             Success &&
                         n == 1
                     ? 0
                     : 1;
        if (data) XFree(data);
    } else {
        status = 2;
    }
    XSync(dpy, False);
    XCloseDisplay(dpy);
    return status;
}
