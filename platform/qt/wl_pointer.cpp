// The pointer over the covering surface: the seat and its pointer, the
// lock and the confinement asked of the compositor, motion (relative too,
// for a pointer that roams), the arrow drawn at the held point and the
// pointer's own image.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/qt/wl_internal.h"

namespace platform::wl {

PointerState pointer;

namespace {

// The arrow shown where the pointer is held: '#' black, 'o' white, tip at
// the top-left pixel; one pixel of it is one unit of the surface.
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

// Wider and taller than any output, in surface units.
constexpr int32_t kWholeSurface = 1 << 24;

int Pixels(double units, double scale) { return std::max(1, static_cast<int>(std::lround(units * scale))); }

// The arrow, its tip (ox, oy) pixels in from the buffer's corner.
bool MakeArrow(Buffer& b, double scale, int ox, int oy) {
    const int w = Pixels(kArrowW + 1, scale), h = Pixels(kArrowH + 1, scale);
    if (!MakeBuffer(b, w, h)) return false;
    for (int y = oy; y < h; ++y) {
        const int ay = static_cast<int>((y - oy) / scale);
        if (ay >= kArrowH) break;
        for (int x = ox; x < w; ++x) {
            const int ax = static_cast<int>((x - ox) / scale);
            if (ax >= kArrowW) break;
            const char c = kArrow[ay][ax];
            b.pixels[y * w + x] = c == '#' ? 0xFF000000u : c == 'o' ? 0xFFFFFFFFu : 0u;
        }
    }
    return true;
}

// The game draws the arrow only while the compositor holds the pointer
// still; otherwise the compositor's own pointer shows, so that the player
// never sees two arrows, nor one frozen where the pointer is not.
bool ArrowStands() { return pointer.arrow.shown && pointer.lock.active; }

// ---- listeners ------------------------------------------------------------

// A lock may come late (after a click on the surface, or seconds on): it
// holds from then on, and the arrow shows where it holds.
void OnLockLocked(void*, zwp_locked_pointer_v1*) {
    pointer.lock.active = pointer.lock.came = true;
    pointer.arrow.dirty = pointer.cursor.dirty = true;
}
void OnLockUnlocked(void*, zwp_locked_pointer_v1*) {
    pointer.lock.active = false;
    pointer.arrow.dirty = pointer.cursor.dirty = true;
}
const zwp_locked_pointer_v1_listener kLockListener = {OnLockLocked, OnLockUnlocked};

void OnPointerEnter(void*, wl_pointer*, uint32_t serial, wl_surface* surface, wl_fixed_t x, wl_fixed_t y) {
    if (!cover.surface || surface != cover.surface) return;
    pointer.over.entered = true;
    pointer.over.serial = serial;
    pointer.over.x = wl_fixed_to_double(x);
    pointer.over.y = wl_fixed_to_double(y);
    pointer.over.seen = true;
    pointer.cursor.dirty = true;
}

void OnPointerLeave(void*, wl_pointer*, uint32_t, wl_surface* surface) {
    if (surface == cover.surface) pointer.over.entered = false;
}

void OnPointerMotion(void*, wl_pointer*, uint32_t, wl_fixed_t x, wl_fixed_t y) {
    if (!pointer.over.entered) return;
    pointer.over.x = wl_fixed_to_double(x);
    pointer.over.y = wl_fixed_to_double(y);
    pointer.over.seen = true;
    // A lock the compositor suspended (another window took the focus):
    // the pointer moves on its own meanwhile, and roams on from there.
    if (pointer.want == Want::Roam) {
        pointer.roam.x = std::clamp(ToScreenX(pointer.over.x), 0.0, cover.screen.width - 1.0);
        pointer.roam.y = std::clamp(ToScreenY(pointer.over.y), 0.0, cover.screen.height - 1.0);
        pointer.roam.moved = true;
    }
}

void OnRelativeMotion(void*, zwp_relative_pointer_v1*, uint32_t, uint32_t, wl_fixed_t dx, wl_fixed_t dy, wl_fixed_t,
                      wl_fixed_t) {
    if (pointer.want != Want::Roam || !pointer.lock.active) return;
    // The motion comes in the pixels of the compositor's layout, which are
    // the screen's (mutter laid out in physical pixels gives physical
    // ones, though its surfaces count in logical ones). Pushed against an
    // edge, the pointer stays on its last pixel.
    pointer.roam.x = std::clamp(pointer.roam.x + wl_fixed_to_double(dx), 0.0, cover.screen.width - 1.0);
    pointer.roam.y = std::clamp(pointer.roam.y + wl_fixed_to_double(dy), 0.0, cover.screen.height - 1.0);
    pointer.roam.moved = true;
}

const zwp_relative_pointer_v1_listener kRelativeListener = {OnRelativeMotion};

const wl_pointer_listener kPointerListener = {
    OnPointerEnter, OnPointerLeave, OnPointerMotion, OnIgnored, OnIgnored, OnIgnored, OnIgnored, OnIgnored, OnIgnored,
    OnIgnored,
};

void OnSeatCapabilities(void*, wl_seat* seat, uint32_t caps) {
    const bool has = caps & WL_SEAT_CAPABILITY_POINTER;
    if (has && !pointer.device) {
        pointer.device = wl_seat_get_pointer(seat);
        wl_pointer_add_listener(pointer.device, &kPointerListener, nullptr);
        if (globals.relativeManager) {
            pointer.relative = zwp_relative_pointer_manager_v1_get_relative_pointer(globals.relativeManager,
                                                                                    pointer.device);
            zwp_relative_pointer_v1_add_listener(pointer.relative, &kRelativeListener, nullptr);
        }
    } else if (!has && pointer.device) {
        Drop(pointer.relative, zwp_relative_pointer_v1_destroy);
        Drop(pointer.device, wl_pointer_release);
        pointer.over.entered = false;
    }
}

// The compositor puts the pointer at the hint as the lock ends and says
// nothing until it moves again. The hint is the surface's state: it counts
// from the surface's next commit.
void EndLock() {
    if (pointer.lock.active) {
        zwp_locked_pointer_v1_set_cursor_position_hint(pointer.lock.handle,
                                                       wl_fixed_from_double(ToSurfaceX(pointer.hold.x)),
                                                       wl_fixed_from_double(ToSurfaceY(pointer.hold.y)));
        wl_surface_commit(cover.surface);
    }
    Drop(pointer.lock.handle, zwp_locked_pointer_v1_destroy);
    if (pointer.lock.active) {
        pointer.over.x = ToSurfaceX(pointer.hold.x);
        pointer.over.y = ToSurfaceY(pointer.hold.y);
        pointer.over.seen = true;
    }
    pointer.lock.active = false;
}

}  // namespace

const wl_seat_listener kSeatListener = {OnSeatCapabilities, OnIgnored};

// ---- sending what is wanted ------------------------------------------------

void DrawCursor(double scale) {
    // The pointer's image at the next whole scale, through its buffer
    // scale: KWin 5.27 draws a cursor surface's buffer as it is, whatever
    // its viewport says.
    const int cursorScale = std::max(1, static_cast<int>(std::ceil(scale - 1e-9)));
    if (pointer.cursor.surface && MakeArrow(pointer.cursor.buffer, cursorScale, 0, 0)) {
        ShowBuffer(pointer.cursor.surface, nullptr, pointer.cursor.buffer, kArrowW + 1, kArrowH + 1);
        wl_surface_commit(pointer.cursor.surface);
        pointer.cursor.dirty = true;
    }
}

void SendCursor() {
    if (!pointer.device || !pointer.over.entered) return;
    // Hidden while held: the arrow drawn at the held point stands for it.
    if (ArrowStands())
        wl_pointer_set_cursor(pointer.device, pointer.over.serial, nullptr, 0, 0);
    else if (pointer.cursor.surface && pointer.cursor.buffer.buffer)
        wl_pointer_set_cursor(pointer.device, pointer.over.serial, pointer.cursor.surface, 0, 0);
}

void SendArrow() {
    Layer& layer = pointer.arrow.layer;
    if (!layer.surface) return;
    if (!ArrowStands()) {
        wl_surface_attach(layer.surface, nullptr, 0, 0);
        wl_surface_commit(layer.surface);
        return;
    }
    // Placed on whole units, the tip drawn the fraction in: exact at any
    // scale.
    const double hx = ToSurfaceX(pointer.hold.x), hy = ToSurfaceY(pointer.hold.y);
    const double scale = BufferScale();
    const int ux = static_cast<int>(std::floor(hx)), uy = static_cast<int>(std::floor(hy));
    const int ox = static_cast<int>(std::lround((hx - ux) * scale));
    const int oy = static_cast<int>(std::lround((hy - uy) * scale));
    if (!MakeArrow(pointer.arrow.buffer, scale, ox, oy)) return;
    wl_subsurface_set_position(layer.sub, ux, uy);
    ShowBuffer(layer.surface, layer.viewport, pointer.arrow.buffer, kArrowW + 1, kArrowH + 1);
    wl_surface_commit(layer.surface);
    cover.dirty = true;
    // Drawn anew (the scale changed) while it roams: where it roams.
    if (pointer.want == Want::Roam) pointer.roam.moved = true;
}

// The arrow where the pointer roams: the same picture moved, its tip
// within half a unit of the point.
void MoveArrow() {
    wl_subsurface* sub = pointer.arrow.layer.sub;
    if (!sub || !pointer.arrow.buffer.buffer) return;
    const double fx = ToSurfaceX(pointer.hold.x) - std::floor(ToSurfaceX(pointer.hold.x));
    const double fy = ToSurfaceY(pointer.hold.y) - std::floor(ToSurfaceY(pointer.hold.y));
    wl_subsurface_set_position(sub, static_cast<int>(std::lround(ToSurfaceX(pointer.roam.x) - fx)),
                               static_cast<int>(std::lround(ToSurfaceY(pointer.roam.y) - fy)));
    cover.dirty = true;
}

void SendConstraints() {
    if (pointer.lock.handle && pointer.want != Want::Hold && pointer.want != Want::Roam) EndLock();
    if (pointer.confinement && pointer.want != Want::Confine)
        Drop(pointer.confinement, zwp_confined_pointer_v1_destroy);
    if (!globals.constraints || !pointer.device) return;
    if (!pointer.lock.handle && pointer.want == Want::Hold) {
        // The whole surface, said as a region rather than none: KWin 5.27
        // takes no region as an empty one and then ignores the hint.
        wl_region* all = wl_compositor_create_region(globals.compositor);
        wl_region_add(all, 0, 0, kWholeSurface, kWholeSurface);
        pointer.lock.handle = zwp_pointer_constraints_v1_lock_pointer(
            globals.constraints, cover.surface, pointer.device, all, ZWP_POINTER_CONSTRAINTS_V1_LIFETIME_PERSISTENT);
        wl_region_destroy(all);
        zwp_locked_pointer_v1_add_listener(pointer.lock.handle, &kLockListener, nullptr);
        zwp_locked_pointer_v1_set_cursor_position_hint(pointer.lock.handle,
                                                       wl_fixed_from_double(ToSurfaceX(pointer.hold.x)),
                                                       wl_fixed_from_double(ToSurfaceY(pointer.hold.y)));
        cover.dirty = true;
    }
    if (!pointer.confinement && pointer.want == Want::Confine) {
        pointer.confinement =
            zwp_pointer_constraints_v1_confine_pointer(globals.constraints, cover.surface, pointer.device, nullptr,
                                                       ZWP_POINTER_CONSTRAINTS_V1_LIFETIME_PERSISTENT);
        cover.dirty = true;
    }
}

// ---- what the game wants ---------------------------------------------------

void Park(int x, int y) {
    if (!cover.surface) return;
    pointer.hold.x = x;
    pointer.hold.y = y;
    // Without a lock nothing holds the pointer: show the real one.
    if (!globals.constraints || !pointer.device) return;
    pointer.arrow.shown = true;
    pointer.arrow.dirty = pointer.cursor.dirty = true;
    Send();
}

void Hold(int x, int y) {
    if (!cover.surface || !globals.constraints || !pointer.device) return;
    pointer.want = Want::Hold;
    pointer.hold.x = x;
    pointer.hold.y = y;
    pointer.arrow.shown = true;
    pointer.arrow.dirty = pointer.cursor.dirty = true;
    Send();
}

void Confine() {
    // A roaming pointer stays on the screen by itself.
    if (!cover.surface || pointer.want == Want::Roam) return;
    pointer.want = Want::Confine;
    Send();
}

void Free() {
    if (!cover.surface || pointer.want == Want::Roam) return;
    // A compositor may offer locks and never grant one (sway 1.7 without a
    // seat section in its config): said once, as the race begins.
    if (pointer.want == Want::Hold && pointer.lock.handle && !pointer.lock.came && !pointer.lock.refusalTold) {
        std::fprintf(stderr, "skorrel: the compositor has not locked the pointer, so it was not held "
                             "during the count-in\n");
        pointer.lock.refusalTold = true;
    }
    // On several outputs, held by a lock the compositor keeps: roam from
    // the held point, kept on this output.
    if (pointer.want == Want::Hold && pointer.lock.active && pointer.relative && globals.outputs.size() > 1) {
        pointer.want = Want::Roam;
        pointer.roam.x = pointer.hold.x;
        pointer.roam.y = pointer.hold.y;
        pointer.over.seen = true;
        return;
    }
    const bool held = pointer.want == Want::Hold || pointer.arrow.shown;
    pointer.want = Want::Free;
    if (held) {
        pointer.arrow.shown = false;
        pointer.arrow.dirty = pointer.cursor.dirty = true;
    }
    Send();
}

bool Position(int& x, int& y) {
    if (pointer.want == Want::Roam) {
        x = static_cast<int>(std::floor(pointer.roam.x));
        y = static_cast<int>(std::floor(pointer.roam.y));
        return true;
    }
    const Size surface = cover.current, screen = cover.screen;
    if (!pointer.over.seen || surface.width <= 0 || surface.height <= 0) return false;
    const double kx = double(screen.width) / surface.width;
    const double ky = double(screen.height) / surface.height;
    x = std::clamp(static_cast<int>(std::floor(pointer.over.x * kx)), 0, std::max(0, screen.width - 1));
    y = std::clamp(static_cast<int>(std::floor(pointer.over.y * ky)), 0, std::max(0, screen.height - 1));
    return true;
}

}  // namespace platform::wl
