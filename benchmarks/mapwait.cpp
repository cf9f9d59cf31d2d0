// Starts a program and waits for the X server to map its top-level window;
// prints the time from exec to MapNotify and, after the program has run on
// for a moment, its peak memory and the CPU time it used. Runs without a window manager, so a
// top-level map shows on the root window.
//   mapwait <settle-ms> <program> [args...]
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

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

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: mapwait <settle-ms> <program> [args...]\n");
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
    const int fd = ConnectionNumber(dpy);
    while (mapped < 0) {
        while (XPending(dpy)) {
            XEvent e;
            XNextEvent(dpy, &e);
            if (e.type == MapNotify && !e.xmap.override_redirect && WindowPid(dpy, e.xmap.window) == child) {
                mapped = NowMs() - t0;
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
    usleep(static_cast<useconds_t>(settle) * 1000);
    kill(child, SIGTERM);
    int status = 0;
    rusage u{};
    wait4(child, &status, 0, &u);
    const double cpu = static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
                       static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
    std::printf("mapped_ms %.2f maxrss_kib %ld cpu_ms %.1f\n", mapped, u.ru_maxrss, cpu);
    XCloseDisplay(dpy);
    return 0;
}
