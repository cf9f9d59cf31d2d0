// Starts a program and waits for the X server to map its top-level window;
// prints the time from exec to MapNotify, to the first text drawn in the
// window (dark pixels on the window's light background, read back with
// XGetImage), and, after the program has run on for a moment, its peak
// memory and the CPU time it used. Runs without a window manager, so a
// top-level map shows on the root window.
//   mapwait [--text] <settle-ms> <program> [args...]
// Without --text the first text is not looked for (painted_ms -1).
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

double NowMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

long WindowPid(Display* dpy, Window w) {
    const Atom atom = XInternAtom(dpy, "_NET_WM_PID", False);
    Atom type = 0;
    int format = 0;
    unsigned long n = 0, after = 0;
    unsigned char* data = nullptr;
    long pid = -1;
    if (XGetWindowProperty(dpy, w, atom, 0, 1, False, XA_CARDINAL, &type, &format, &n, &after, &data) == Success &&
        data && n == 1)
        pid = *reinterpret_cast<long*>(data);
    if (data) XFree(data);
    return pid;
}

// Dark pixels in the window: text, once it is drawn.
int DarkPixels(Display* dpy, Window w) {
    XWindowAttributes a{};
    if (!XGetWindowAttributes(dpy, w, &a) || a.map_state != IsViewable) return 0;
    XImage* img = XGetImage(dpy, w, 0, 0, static_cast<unsigned>(a.width), static_cast<unsigned>(a.height), AllPlanes,
                            ZPixmap);
    if (!img) return 0;
    int dark = 0;
    for (int y = 0; y < a.height; ++y)
        for (int x = 0; x < a.width; ++x) {
            const unsigned long p = XGetPixel(img, x, y);
            if (((p >> 16) & 0xff) + ((p >> 8) & 0xff) + (p & 0xff) < 3 * 80) ++dark;
        }
    XDestroyImage(img);
    return dark;
}

}  // namespace

int main(int argc, char** argv) {
    const bool text = argc > 1 && std::strcmp(argv[1], "--text") == 0;
    if (text) {
        --argc;
        ++argv;
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: mapwait [--text] <settle-ms> <program> [args...]\n");
        return 2;
    }
    const int settle = std::atoi(argv[1]);
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) {
        std::fprintf(stderr, "mapwait: no display\n");
        return 1;
    }
    XSelectInput(dpy, DefaultRootWindow(dpy), SubstructureNotifyMask);
    XSync(dpy, False);

    const double t0 = NowMs();
    const pid_t child = fork();
    if (child == 0) {
        execv(argv[2], argv + 2);
        _exit(127);
    }
    double mapped = -1;
    Window window = 0;
    const int fd = ConnectionNumber(dpy);
    while (mapped < 0) {
        while (XPending(dpy)) {
            XEvent e;
            XNextEvent(dpy, &e);
            if (e.type == MapNotify && !e.xmap.override_redirect && WindowPid(dpy, e.xmap.window) == child) {
                mapped = NowMs() - t0;
                window = e.xmap.window;
                break;
            }
        }
        if (mapped >= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) {
            std::fprintf(stderr, "mapwait: no window within 10 s\n");
            kill(child, SIGKILL);
            return 1;
        }
    }
    // Text: a few dozen dark pixels; a window still black (not yet painted
    // by a server without backing store) is mostly dark, so bound it too.
    double painted = -1;
    XWindowAttributes wa{};
    XGetWindowAttributes(dpy, window, &wa);
    const int area = wa.width * wa.height;
    while (text && NowMs() - t0 < mapped + 5000) {
        const int dark = DarkPixels(dpy, window);
        if (dark >= 30 && dark < area / 4) {
            painted = NowMs() - t0;
            break;
        }
        usleep(500);
    }
    usleep(static_cast<useconds_t>(settle) * 1000);
    kill(child, SIGTERM);
    int status = 0;
    rusage u{};
    wait4(child, &status, 0, &u);
    const double cpu = static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
                       static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
    std::printf("mapped_ms %.2f maxrss_kib %ld cpu_ms %.1f painted_ms %.2f\n", mapped, u.ru_maxrss, cpu, painted);
    XCloseDisplay(dpy);
    return 0;
}
