#include "platform/qt/wayland.h"

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include <wayland-client.h>

#include "pointer-constraints-unstable-v1-client-protocol.h"
#include "xdg-shell-client-protocol.h"

namespace platform::wl {

namespace {

struct Output {
    wl_output* output = nullptr;
    uint32_t id = 0;
    std::string name;
    int x = 0, y = 0, width = 0, height = 0, scale = 1;
};

// The arrow shown where the pointer is held: '#' black, 'o' white, tip at
// the top-left pixel.
const char* const kArrow[] = {
    "#          ",
    "##         ",
    "#o#        ",
    "#oo#       ",
    "#ooo#      ",
    "#oooo#     ",
    "#ooooo#    ",
    "#oooooo#   ",
    "#ooooooo#  ",
    "#oooooooo# ",
    "#ooooo#####",
    "#oo#oo#    ",
    "#o# #oo#   ",
    "##  #oo#   ",
    "#    #oo#  ",
    "     #oo#  ",
    "      ##   ",
};
constexpr int kArrowW = 11;
constexpr int kArrowH = static_cast<int>(sizeof kArrow / sizeof kArrow[0]);

struct State {
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_compositor* compositor = nullptr;
    wl_subcompositor* subcompositor = nullptr;
    wl_shm* shm = nullptr;
    wl_seat* seat = nullptr;
    wl_pointer* pointer = nullptr;
    xdg_wm_base* wmBase = nullptr;
    zwp_pointer_constraints_v1* constraints = nullptr;
    std::vector<Output> outputs;

    // The covering surface and what hangs on it.
    wl_surface* surface = nullptr;
    xdg_surface* xdgSurface = nullptr;
    xdg_toplevel* toplevel = nullptr;
    wl_buffer* clear = nullptr;
    wl_surface* arrowSurface = nullptr;  // drawn at the held point
    wl_subsurface* arrowSub = nullptr;
    wl_buffer* arrowBuffer = nullptr;
    wl_surface* cursorSurface = nullptr;  // the pointer's image once free
    wl_buffer* cursorBuffer = nullptr;
    wl_surface* windowSurface = nullptr;  // the game's window as it looks
    wl_subsurface* windowSub = nullptr;
    zwp_locked_pointer_v1* lock = nullptr;
    zwp_confined_pointer_v1* confinement = nullptr;
    bool configured = false;
    int surfaceW = 0, surfaceH = 0;  // surface coordinates
    int screenW = 0, screenH = 0;    // pixels of the toolkit's screen
    bool closeRequested = false;

    // The pointer over the covering surface.
    bool entered = false;
    uint32_t enterSerial = 0;
    double sx = 0, sy = 0;
    bool seen = false;
    bool parked = false;
    int parkX = 0, parkY = 0;
    bool holding = false;
    bool lockActive = false;  // the compositor said the lock took hold
    uint32_t holdSince = 0;
    bool lockRefused = false;  // not taken in time: the real pointer shows
    bool refusalTold = false;
};

State s;

template <typename... Args>
void Ignore(void*, Args...) {}

// ---- pixels and surface coordinates ---------------------------------------

double ToSurfaceX(int px) { return s.screenW > 0 ? px * double(s.surfaceW) / s.screenW : px; }
double ToSurfaceY(int py) { return s.screenH > 0 ? py * double(s.surfaceH) / s.screenH : py; }

// ---- buffers --------------------------------------------------------------

// A shared-memory buffer, ARGB; pixels null for a transparent one.
wl_buffer* MakeBuffer(int w, int h, const uint32_t* pixels) {
    const int stride = w * 4;
    const size_t size = static_cast<size_t>(stride) * static_cast<size_t>(h);
    const int fd = memfd_create("skorrel", MFD_CLOEXEC);
    if (fd < 0) return nullptr;
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
        close(fd);
        return nullptr;
    }
    // A new file reads as zeros, which is fully transparent.
    if (pixels) {
        void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map == MAP_FAILED) {
            close(fd);
            return nullptr;
        }
        std::memcpy(map, pixels, size);
        munmap(map, size);
    }
    wl_shm_pool* pool = wl_shm_create_pool(s.shm, fd, static_cast<int32_t>(size));
    wl_buffer* buffer = wl_shm_pool_create_buffer(pool, 0, w, h, stride, WL_SHM_FORMAT_ARGB8888);
    wl_shm_pool_destroy(pool);
    close(fd);
    return buffer;
}

// A buffer the compositor may still read: destroyed once it lets go.
void ReleaseAndDestroy(void*, wl_buffer* buffer) { wl_buffer_destroy(buffer); }
const wl_buffer_listener kOneShotBuffer = {ReleaseAndDestroy};

wl_buffer* MakeArrow() {
    std::vector<uint32_t> px(kArrowW * kArrowH, 0);
    for (int y = 0; y < kArrowH; ++y)
        for (int x = 0; x < kArrowW && kArrow[y][x]; ++x)
            px[y * kArrowW + x] = kArrow[y][x] == '#' ? 0xFF000000u : kArrow[y][x] == 'o' ? 0xFFFFFFFFu : 0u;
    return MakeBuffer(kArrowW, kArrowH, px.data());
}

// A sub-surface of the covering surface that takes no input, so the pointer
// stays over the covering surface itself; placed above those made before.
wl_surface* PictureOnCover(wl_subsurface*& sub) {
    wl_surface* surface = wl_compositor_create_surface(s.compositor);
    wl_region* none = wl_compositor_create_region(s.compositor);
    wl_surface_set_input_region(surface, none);
    wl_region_destroy(none);
    sub = wl_subcompositor_get_subsurface(s.subcompositor, surface, s.surface);
    wl_subsurface_set_desync(sub);
    return surface;
}

// ---- the pointer ----------------------------------------------------------

void ShowCursor() {
    if (!s.pointer || !s.entered) return;
    // Hidden while held: the arrow drawn at the held point stands for it.
    if ((s.parked || s.holding) && !s.lockRefused) {
        wl_pointer_set_cursor(s.pointer, s.enterSerial, nullptr, 0, 0);
    } else if (s.cursorSurface) {
        wl_pointer_set_cursor(s.pointer, s.enterSerial, s.cursorSurface, 0, 0);
    }
}

void PointerEnter(void*, wl_pointer*, uint32_t serial, wl_surface* surface, wl_fixed_t x, wl_fixed_t y) {
    if (!s.surface || surface != s.surface) return;
    s.entered = true;
    s.enterSerial = serial;
    s.sx = wl_fixed_to_double(x);
    s.sy = wl_fixed_to_double(y);
    s.seen = true;
    ShowCursor();
}

void PointerLeave(void*, wl_pointer*, uint32_t, wl_surface* surface) {
    if (surface == s.surface) s.entered = false;
}

void PointerMotion(void*, wl_pointer*, uint32_t, wl_fixed_t x, wl_fixed_t y) {
    if (!s.entered) return;
    s.sx = wl_fixed_to_double(x);
    s.sy = wl_fixed_to_double(y);
    s.seen = true;
}

const wl_pointer_listener kPointerListener = {
    PointerEnter, PointerLeave, PointerMotion, Ignore, Ignore, Ignore, Ignore, Ignore, Ignore, Ignore,
};

void SeatCapabilities(void*, wl_seat* seat, uint32_t caps) {
    const bool has = caps & WL_SEAT_CAPABILITY_POINTER;
    if (has && !s.pointer) {
        s.pointer = wl_seat_get_pointer(seat);
        wl_pointer_add_listener(s.pointer, &kPointerListener, nullptr);
    } else if (!has && s.pointer) {
        wl_pointer_release(s.pointer);
        s.pointer = nullptr;
        s.entered = false;
    }
}

const wl_seat_listener kSeatListener = {SeatCapabilities, Ignore};

// ---- outputs --------------------------------------------------------------

Output* FindOutput(wl_output* o) {
    for (Output& out : s.outputs)
        if (out.output == o) return &out;
    return nullptr;
}

void OutputGeometry(void*, wl_output* o, int32_t x, int32_t y, int32_t, int32_t, int32_t, const char*, const char*,
                    int32_t) {
    if (Output* out = FindOutput(o)) out->x = x, out->y = y;
}

void OutputMode(void*, wl_output* o, uint32_t flags, int32_t w, int32_t h, int32_t) {
    if (!(flags & WL_OUTPUT_MODE_CURRENT)) return;
    if (Output* out = FindOutput(o)) out->width = w, out->height = h;
}

void OutputScale(void*, wl_output* o, int32_t scale) {
    if (Output* out = FindOutput(o)) out->scale = std::max(1, scale);
}

void OutputName(void*, wl_output* o, const char* name) {
    if (Output* out = FindOutput(o)) out->name = name ? name : "";
}

const wl_output_listener kOutputListener = {OutputGeometry, OutputMode, Ignore, OutputScale, OutputName, Ignore};

// ---- shells ---------------------------------------------------------------

void WmPing(void*, xdg_wm_base* base, uint32_t serial) { xdg_wm_base_pong(base, serial); }
const xdg_wm_base_listener kWmBaseListener = {WmPing};

void XdgSurfaceConfigure(void*, xdg_surface* surface, uint32_t serial) {
    xdg_surface_ack_configure(surface, serial);
    s.configured = true;
}

const xdg_surface_listener kXdgSurfaceListener = {XdgSurfaceConfigure};

void ToplevelConfigure(void*, xdg_toplevel*, int32_t w, int32_t h, wl_array*) {
    if (w > 0) s.surfaceW = w;
    if (h > 0) s.surfaceH = h;
}

void ToplevelClose(void*, xdg_toplevel*) { s.closeRequested = true; }

const xdg_toplevel_listener kToplevelListener = {ToplevelConfigure, ToplevelClose, Ignore, Ignore};

void Locked(void*, zwp_locked_pointer_v1*) { s.lockActive = true; }
void Unlocked(void*, zwp_locked_pointer_v1*) { s.lockActive = false; }
const zwp_locked_pointer_v1_listener kLockListener = {Locked, Unlocked};

// ---- the registry ---------------------------------------------------------

template <typename T>
T* Bind(wl_registry* registry, uint32_t name, const wl_interface* iface, uint32_t have, uint32_t want) {
    return static_cast<T*>(wl_registry_bind(registry, name, iface, std::min(have, want)));
}

void Global(void*, wl_registry* registry, uint32_t name, const char* iface, uint32_t version) {
    const std::string_view i(iface);
    if (i == wl_compositor_interface.name) {
        s.compositor = Bind<wl_compositor>(registry, name, &wl_compositor_interface, version, 4);
    } else if (i == wl_subcompositor_interface.name) {
        s.subcompositor = Bind<wl_subcompositor>(registry, name, &wl_subcompositor_interface, version, 1);
    } else if (i == wl_shm_interface.name) {
        s.shm = Bind<wl_shm>(registry, name, &wl_shm_interface, version, 1);
    } else if (i == wl_seat_interface.name && !s.seat) {
        s.seat = Bind<wl_seat>(registry, name, &wl_seat_interface, version, 5);
        wl_seat_add_listener(s.seat, &kSeatListener, nullptr);
    } else if (i == wl_output_interface.name) {
        Output out;
        out.id = name;
        out.output = Bind<wl_output>(registry, name, &wl_output_interface, version, 4);
        s.outputs.push_back(out);
        wl_output_add_listener(out.output, &kOutputListener, nullptr);
    } else if (i == xdg_wm_base_interface.name) {
        s.wmBase = Bind<xdg_wm_base>(registry, name, &xdg_wm_base_interface, version, 1);
        xdg_wm_base_add_listener(s.wmBase, &kWmBaseListener, nullptr);
    } else if (i == zwp_pointer_constraints_v1_interface.name) {
        s.constraints =
            Bind<zwp_pointer_constraints_v1>(registry, name, &zwp_pointer_constraints_v1_interface, version, 1);
    }
}

void GlobalRemove(void*, wl_registry*, uint32_t name) {
    for (auto it = s.outputs.begin(); it != s.outputs.end(); ++it) {
        if (it->id != name) continue;
        if (it->output) wl_output_destroy(it->output);
        s.outputs.erase(it);
        return;
    }
}

const wl_registry_listener kRegistryListener = {Global, GlobalRemove};

uint32_t NowMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint32_t>(t.tv_sec * 1000 + t.tv_nsec / 1000000);
}

// Reads and dispatches until done() or timeoutMs have passed.
template <typename Done>
void WaitFor(Done done, uint32_t timeoutMs) {
    const uint32_t t0 = NowMs();
    while (!done() && s.display && wl_display_get_error(s.display) == 0) {
        const uint32_t spent = NowMs() - t0;
        if (spent >= timeoutMs) break;
        while (wl_display_prepare_read(s.display) != 0) wl_display_dispatch_pending(s.display);
        wl_display_flush(s.display);
        pollfd p{wl_display_get_fd(s.display), POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeoutMs - spent)) > 0) {
            wl_display_read_events(s.display);
        } else {
            wl_display_cancel_read(s.display);
        }
        wl_display_dispatch_pending(s.display);
    }
}

Output* ChooseOutput(const Screen& screen) {
    for (Output& out : s.outputs)
        if (!screen.name.empty() && out.name == screen.name) return &out;
    for (Output& out : s.outputs)
        if (out.x == screen.x && out.y == screen.y) return &out;
    return s.outputs.empty() ? nullptr : &s.outputs.front();
}

void ShowArrowAt(int x, int y) {
    if (!s.arrowSub) return;
    wl_subsurface_set_position(s.arrowSub, static_cast<int>(std::lround(ToSurfaceX(x))),
                               static_cast<int>(std::lround(ToSurfaceY(y))));
    wl_surface_attach(s.arrowSurface, s.arrowBuffer, 0, 0);
    wl_surface_damage(s.arrowSurface, 0, 0, kArrowW, kArrowH);
    wl_surface_commit(s.arrowSurface);
    wl_surface_commit(s.surface);
    ShowCursor();
    wl_display_flush(s.display);
}

void HideArrow() {
    if (!s.arrowSurface) return;
    wl_surface_attach(s.arrowSurface, nullptr, 0, 0);
    wl_surface_commit(s.arrowSurface);
    wl_surface_commit(s.surface);
}

void SyncDone(void* done, wl_callback* callback, uint32_t) {
    *static_cast<bool*>(done) = true;
    wl_callback_destroy(callback);
}
const wl_callback_listener kSyncListener = {SyncDone};

template <typename T>
void Destroy(T*& p, void (*destroy)(T*)) {
    if (p) destroy(p);
    p = nullptr;
}

}  // namespace

bool Open(std::string* why) {
    if (s.display) return true;
    const char* name = std::getenv("WAYLAND_DISPLAY");
    if (!name || !*name) {
        if (why) *why = "not a Wayland session (WAYLAND_DISPLAY is not set)";
        return false;
    }
    s.display = wl_display_connect(nullptr);
    if (!s.display) {
        if (why) *why = std::string("cannot connect to the Wayland display ") + name;
        return false;
    }
    s.registry = wl_display_get_registry(s.display);
    wl_registry_add_listener(s.registry, &kRegistryListener, nullptr);
    wl_display_roundtrip(s.display);  // the globals
    wl_display_roundtrip(s.display);  // what the seat and outputs say of themselves
    if (!s.compositor || !s.shm || !s.wmBase || !s.subcompositor) {
        if (why) *why = std::string("the Wayland compositor lacks what a covering surface needs");
        Close();
        return false;
    }
    if (!s.constraints && why)
        *why = "the Wayland compositor offers no pointer constraints (zwp_pointer_constraints_v1), "
               "so the pointer cannot be held during the count-in";
    return true;
}

void Close() {
    if (!s.display) return;
    Uncover();
    if (s.pointer) wl_pointer_release(s.pointer);
    for (Output& out : s.outputs) wl_output_destroy(out.output);
    wl_display_disconnect(s.display);
    s = State{};
}

bool Holds() { return s.constraints != nullptr; }

int Fd() { return s.display ? wl_display_get_fd(s.display) : -1; }

void Dispatch() {
    if (!s.display || wl_display_get_error(s.display) != 0) return;
    while (wl_display_prepare_read(s.display) != 0) wl_display_dispatch_pending(s.display);
    wl_display_flush(s.display);
    pollfd p{wl_display_get_fd(s.display), POLLIN, 0};
    if (poll(&p, 1, 0) > 0) {
        wl_display_read_events(s.display);
    } else {
        wl_display_cancel_read(s.display);
    }
    wl_display_dispatch_pending(s.display);
    // A compositor may offer locks and never grant one (sway 1.7 without a
    // seat section in its config): show the real pointer, and say why once.
    if (s.lock && !s.lockActive && !s.lockRefused && NowMs() - s.holdSince > 500) {
        s.lockRefused = true;
        HideArrow();
        ShowCursor();
        if (!s.refusalTold)
            std::fprintf(stderr, "skorrel: the compositor has not locked the pointer, so it is not held "
                                 "during the count-in\n");
        s.refusalTold = true;
    }
    wl_display_flush(s.display);
}

void ShowWindow(int x, int y, int width, int height, const uint32_t* pixels) {
    if (!s.windowSurface || width <= 0 || height <= 0) return;
    wl_buffer* buffer = MakeBuffer(width, height, pixels);
    if (!buffer) return;
    wl_buffer_add_listener(buffer, &kOneShotBuffer, nullptr);
    wl_subsurface_set_position(s.windowSub, static_cast<int>(std::lround(ToSurfaceX(x))),
                               static_cast<int>(std::lround(ToSurfaceY(y))));
    wl_surface_attach(s.windowSurface, buffer, 0, 0);
    wl_surface_damage(s.windowSurface, 0, 0, width, height);
    wl_surface_commit(s.windowSurface);
    wl_surface_commit(s.surface);
    wl_display_flush(s.display);
}

void Cover(const Screen& screen) {
    if (!s.display || s.surface) return;
    Output* out = ChooseOutput(screen);
    s.screenW = screen.width;
    s.screenH = screen.height;
    s.surfaceW = out && out->width ? out->width / out->scale : screen.width;
    s.surfaceH = out && out->height ? out->height / out->scale : screen.height;
    s.configured = false;
    s.closeRequested = false;
    s.entered = s.seen = s.parked = s.holding = s.lockRefused = false;

    s.surface = wl_compositor_create_surface(s.compositor);
    // Fullscreen, so that it covers panels too and the compositor gives it
    // the focus a pointer lock needs.
    s.xdgSurface = xdg_wm_base_get_xdg_surface(s.wmBase, s.surface);
    xdg_surface_add_listener(s.xdgSurface, &kXdgSurfaceListener, nullptr);
    s.toplevel = xdg_surface_get_toplevel(s.xdgSurface);
    xdg_toplevel_add_listener(s.toplevel, &kToplevelListener, nullptr);
    xdg_toplevel_set_title(s.toplevel, "Skorrel");
    xdg_toplevel_set_app_id(s.toplevel, "org.skorrel.Skorrel");
    xdg_toplevel_set_fullscreen(s.toplevel, out ? out->output : nullptr);
    wl_surface_commit(s.surface);
    WaitFor([] { return s.configured; }, 1000);

    s.clear = MakeBuffer(s.surfaceW, s.surfaceH, nullptr);
    wl_surface_attach(s.surface, s.clear, 0, 0);
    wl_surface_damage(s.surface, 0, 0, s.surfaceW, s.surfaceH);

    // The window's picture, and the held arrow above it.
    s.windowSurface = PictureOnCover(s.windowSub);
    s.arrowSurface = PictureOnCover(s.arrowSub);
    s.arrowBuffer = MakeArrow();

    s.cursorBuffer = MakeArrow();
    s.cursorSurface = wl_compositor_create_surface(s.compositor);
    wl_surface_attach(s.cursorSurface, s.cursorBuffer, 0, 0);
    wl_surface_damage(s.cursorSurface, 0, 0, kArrowW, kArrowH);
    wl_surface_commit(s.cursorSurface);

    wl_surface_commit(s.surface);
    wl_display_flush(s.display);
    // Mapped, with the pointer over it, before the game goes on.
    WaitFor([] { return s.entered; }, 500);
}

void Uncover() {
    if (!s.surface) return;
    Free();
    s.parked = false;
    Destroy(s.arrowSub, wl_subsurface_destroy);
    Destroy(s.arrowSurface, wl_surface_destroy);
    Destroy(s.arrowBuffer, wl_buffer_destroy);
    Destroy(s.cursorSurface, wl_surface_destroy);
    Destroy(s.windowSub, wl_subsurface_destroy);
    Destroy(s.windowSurface, wl_surface_destroy);
    Destroy(s.cursorBuffer, wl_buffer_destroy);
    Destroy(s.toplevel, xdg_toplevel_destroy);
    Destroy(s.xdgSurface, xdg_surface_destroy);
    Destroy(s.surface, wl_surface_destroy);
    Destroy(s.clear, wl_buffer_destroy);
    s.entered = s.seen = false;
    // Gone before the game shows anything else: a compositor that sees a
    // new window while the fullscreen one still stands may not focus it.
    bool done = false;
    wl_callback* sync = wl_display_sync(s.display);
    wl_callback_add_listener(sync, &kSyncListener, &done);
    WaitFor([&done] { return done; }, 500);
    if (!done) wl_callback_destroy(sync);
}

bool Covered() { return s.surface != nullptr; }

void Park(int x, int y) {
    if (!s.surface) return;
    s.parkX = x;
    s.parkY = y;
    // Without a lock nothing holds the pointer: show the real one.
    if (!s.constraints || !s.pointer) return;
    s.parked = true;
    ShowArrowAt(x, y);
}

void Hold(int x, int y) {
    if (!s.surface || !s.constraints || !s.pointer) return;
    if (!s.lock) {
        s.lock = zwp_pointer_constraints_v1_lock_pointer(s.constraints, s.surface, s.pointer, nullptr,
                                                         ZWP_POINTER_CONSTRAINTS_V1_LIFETIME_PERSISTENT);
        zwp_locked_pointer_v1_add_listener(s.lock, &kLockListener, nullptr);
    }
    zwp_locked_pointer_v1_set_cursor_position_hint(s.lock, wl_fixed_from_double(ToSurfaceX(x)),
                                                   wl_fixed_from_double(ToSurfaceY(y)));
    s.holding = true;
    s.holdSince = NowMs();
    s.parkX = x;
    s.parkY = y;
    ShowArrowAt(x, y);
}

void Confine() {
    if (!s.surface || !s.constraints || !s.pointer || s.confinement) return;
    s.confinement = zwp_pointer_constraints_v1_confine_pointer(s.constraints, s.surface, s.pointer, nullptr,
                                                                ZWP_POINTER_CONSTRAINTS_V1_LIFETIME_PERSISTENT);
    wl_surface_commit(s.surface);
    wl_display_flush(s.display);
}

void Free() {
    if (s.confinement) {
        Destroy(s.confinement, zwp_confined_pointer_v1_destroy);
        wl_display_flush(s.display);
    }
    if (!s.lock) return;
    Destroy(s.lock, zwp_locked_pointer_v1_destroy);
    s.holding = s.parked = false;
    if (s.lockActive) {
        // The compositor puts the pointer at the hint as the lock ends and
        // says nothing until it moves again.
        s.sx = ToSurfaceX(s.parkX);
        s.sy = ToSurfaceY(s.parkY);
        s.seen = true;
    }
    s.lockActive = s.lockRefused = false;
    HideArrow();
    ShowCursor();
    wl_display_flush(s.display);
}

bool Position(int& x, int& y) {
    if (!s.seen) return false;
    const double kx = s.surfaceW > 0 ? double(s.screenW) / s.surfaceW : 1;
    const double ky = s.surfaceH > 0 ? double(s.screenH) / s.surfaceH : 1;
    x = std::clamp(static_cast<int>(std::floor(s.sx * kx)), 0, std::max(0, s.screenW - 1));
    y = std::clamp(static_cast<int>(std::floor(s.sy * ky)), 0, std::max(0, s.screenH - 1));
    return true;
}

bool CloseRequested() { return s.closeRequested; }

}  // namespace platform::wl
