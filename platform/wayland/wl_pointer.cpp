// The pointer over the covering surface: the seat and its pointer, the
// lock and the confinement asked of the compositor, motion (relative too,
// for a pointer that roams), the arrow drawn at the held point and the
// pointer's own image.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "platform/wayland/wl_internal.h"

namespace platform::wl {

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
bool MakeArrow(const Connection& c, Buffer& b, double scale, int ox, int oy) {
    const int w = Pixels(kArrowW + 1, scale), h = Pixels(kArrowH + 1, scale);
    if (!MakeBuffer(c, b, w, h)) return false;
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
// Over another output the game shows it on the primary, the pointer hidden.
bool ArrowStands(const PointerState& p) {
    return p.arrow.shown && (p.lock.active || (p.want == Want::Reach && p.side.cover));
}

// ---- listeners ------------------------------------------------------------

// A lock may come late (after a click on the surface, or seconds on): it
// holds from then on, and the arrow shows where it holds.
void OnLockLocked(void* data, zwp_locked_pointer_v1*) {
    PointerState& p = static_cast<Connection*>(data)->pointer;
    p.lock.active = p.lock.came = true;
    p.arrow.dirty = p.cursor.dirty = true;
}
void OnLockUnlocked(void* data, zwp_locked_pointer_v1*) {
    PointerState& p = static_cast<Connection*>(data)->pointer;
    p.lock.active = false;
    p.arrow.dirty = p.cursor.dirty = true;
}
const zwp_locked_pointer_v1_listener kLockListener = {OnLockLocked, OnLockUnlocked};

void OnConfined(void* data, zwp_confined_pointer_v1*) { static_cast<Connection*>(data)->pointer.confined = true; }
void OnUnconfined(void* data, zwp_confined_pointer_v1*) { static_cast<Connection*>(data)->pointer.confined = false; }
const zwp_confined_pointer_v1_listener kConfineListener = {OnConfined, OnUnconfined};

// -1, 0 or 1: whether v lies before, on or past [0, size).
int Past(double v, int size) { return v < 0 ? -1 : v >= size ? 1 : 0; }

// Over a side cover: read at the primary's nearest point.
void OverSide(Connection& c, double sx, double sy) {
    PointerState& p = c.pointer;
    p.roam.x = std::clamp(ToScreenX(c, p.side.cover->x + sx), 0.0, c.cover.screen.width - 1.0);
    p.roam.y = std::clamp(ToScreenY(c, p.side.cover->y + sy), 0.0, c.cover.screen.height - 1.0);
    p.roam.moved = true;
}

void OnPointerEnter(void* data, wl_pointer* device, uint32_t serial, wl_surface* surface, wl_fixed_t x,
                    wl_fixed_t y) {
    Connection& c = *static_cast<Connection*>(data);
    PointerState& p = c.pointer;
    if (const SideCover* side = FindSide(c, surface)) {
        p.side.cover = side;
        wl_pointer_set_cursor(device, serial, nullptr, 0, 0);
        OverSide(c, wl_fixed_to_double(x), wl_fixed_to_double(y));
        p.arrow.dirty = true;
        return;
    }
    if (!c.cover.surface || surface != c.cover.surface) return;
    p.over.entered = true;
    p.over.serial = serial;
    p.over.x = wl_fixed_to_double(x);
    p.over.y = wl_fixed_to_double(y);
    p.over.seen = true;
    p.cursor.dirty = true;
}

void OnPointerLeave(void* data, wl_pointer*, uint32_t, wl_surface* surface) {
    Connection& c = *static_cast<Connection*>(data);
    PointerState& p = c.pointer;
    if (surface == c.cover.surface) p.over.entered = false;
    if (p.side.cover && p.side.cover->surface == surface) {
        p.side.cover = nullptr;
        p.arrow.dirty = true;
    }
}

void OnPointerMotion(void* data, wl_pointer*, uint32_t, wl_fixed_t x, wl_fixed_t y) {
    Connection& c = *static_cast<Connection*>(data);
    PointerState& p = c.pointer;
    if (p.side.cover) return OverSide(c, wl_fixed_to_double(x), wl_fixed_to_double(y));
    if (!p.over.entered) return;
    if (p.want == Want::Confine && p.confined) p.absolute.motion = true;
    p.over.x = wl_fixed_to_double(x);
    p.over.y = wl_fixed_to_double(y);
    p.over.seen = true;
    // A lock the compositor suspended (another window took the focus):
    // the pointer moves on its own meanwhile, and roams on from there.
    if (p.want == Want::Roam) {
        p.roam.x = std::clamp(ToScreenX(c, p.over.x), 0.0, c.cover.screen.width - 1.0);
        p.roam.y = std::clamp(ToScreenY(c, p.over.y), 0.0, c.cover.screen.height - 1.0);
        p.roam.moved = true;
    }
}

void OnRelativeMotion(void* data, zwp_relative_pointer_v1*, uint32_t, uint32_t, wl_fixed_t dx, wl_fixed_t dy,
                      wl_fixed_t, wl_fixed_t) {
    Connection& c = *static_cast<Connection*>(data);
    PointerState& p = c.pointer;
    p.absolute.relative = true;
    // Confined, and pushed past an edge: whether the compositor stopped it
    // there is seen once the position that comes with it is in.
    if (p.want == Want::Confine && p.confined && p.over.entered && p.over.seen && !p.pushed.dx && !p.pushed.dy) {
        const double x = ToScreenX(c, p.over.x), y = ToScreenY(c, p.over.y);
        const double tx = x + wl_fixed_to_double(dx), ty = y + wl_fixed_to_double(dy);
        p.pushed = {x, y, Past(tx, c.cover.screen.width), Past(ty, c.cover.screen.height), tx, ty};
        return;
    }
    if (p.want != Want::Roam || !p.lock.active) return;
    // The motion comes in the pixels of the compositor's layout, which are
    // the screen's (mutter laid out in physical pixels gives physical
    // ones, though its surfaces count in logical ones). Pushed against an
    // edge, the pointer stays on its last pixel.
    p.roam.x = std::clamp(p.roam.x + wl_fixed_to_double(dx), 0.0, c.cover.screen.width - 1.0);
    p.roam.y = std::clamp(p.roam.y + wl_fixed_to_double(dy), 0.0, c.cover.screen.height - 1.0);
    p.roam.moved = true;
}

const zwp_relative_pointer_v1_listener kRelativeListener = {OnRelativeMotion};

const wl_pointer_listener kPointerListener = {
    OnPointerEnter, OnPointerLeave, OnPointerMotion, OnIgnored, OnIgnored, OnIgnored, OnIgnored, OnIgnored, OnIgnored,
    OnIgnored,
};

void OnSeatCapabilities(void* data, wl_seat* seat, uint32_t caps) {
    Connection& c = *static_cast<Connection*>(data);
    PointerState& p = c.pointer;
    const bool has = caps & WL_SEAT_CAPABILITY_POINTER;
    if (has && !p.device) {
        p.device = wl_seat_get_pointer(seat);
        wl_pointer_add_listener(p.device, &kPointerListener, &c);
        if (c.globals.relativeManager) {
            p.relative = zwp_relative_pointer_manager_v1_get_relative_pointer(c.globals.relativeManager, p.device);
            zwp_relative_pointer_v1_add_listener(p.relative, &kRelativeListener, &c);
        }
    } else if (!has && p.device) {
        Drop(c, p.relative, zwp_relative_pointer_v1_destroy);
        Drop(c, p.device, wl_pointer_release);
        p.over.entered = false;
    }
}

// The compositor puts the pointer at the hint (screen pixels) as the lock
// ends and says nothing until it moves again. The hint is the surface's
// state: it counts from the surface's next commit.
void Hint(const Connection& c, double x, double y) {
    zwp_locked_pointer_v1_set_cursor_position_hint(c.pointer.lock.handle, wl_fixed_from_double(ToSurfaceX(c, x)),
                                                   wl_fixed_from_double(ToSurfaceY(c, y)));
}

}  // namespace

const wl_seat_listener kSeatListener = {OnSeatCapabilities, OnIgnored};

// ---- sending what is wanted ------------------------------------------------

void DrawCursor(Connection& c, double scale) {
    PointerState& p = c.pointer;
    // The pointer's image at the next whole scale, through its buffer
    // scale: KWin 5.27 draws a cursor surface's buffer as it is, whatever
    // its viewport says.
    const int cursorScale = std::max(1, static_cast<int>(std::ceil(scale - 1e-9)));
    if (p.cursor.surface && MakeArrow(c, p.cursor.buffer, cursorScale, 0, 0)) {
        ShowBuffer(c, p.cursor.surface, nullptr, p.cursor.buffer, kArrowW + 1, kArrowH + 1);
        wl_surface_commit(p.cursor.surface);
        p.cursor.dirty = true;
    }
}

void SendCursor(Connection& c) {
    PointerState& p = c.pointer;
    if (!p.device || !p.over.entered) return;
    // Hidden while held: the arrow drawn at the held point stands for it.
    if (ArrowStands(p))
        wl_pointer_set_cursor(p.device, p.over.serial, nullptr, 0, 0);
    else if (p.cursor.surface && p.cursor.buffer.buffer)
        wl_pointer_set_cursor(p.device, p.over.serial, p.cursor.surface, 0, 0);
}

void SendArrow(Connection& c) {
    PointerState& p = c.pointer;
    Layer& layer = p.arrow.layer;
    if (!layer.surface) return;
    if (!ArrowStands(p)) {
        wl_surface_attach(layer.surface, nullptr, 0, 0);
        wl_surface_commit(layer.surface);
        return;
    }
    // Placed on whole units, the tip drawn the fraction in: exact at any
    // scale.
    const double hx = ToSurfaceX(c, p.hold.x), hy = ToSurfaceY(c, p.hold.y);
    const double scale = BufferScale(c);
    const int ux = static_cast<int>(std::floor(hx)), uy = static_cast<int>(std::floor(hy));
    const int ox = static_cast<int>(std::lround((hx - ux) * scale));
    const int oy = static_cast<int>(std::lround((hy - uy) * scale));
    if (!MakeArrow(c, p.arrow.buffer, scale, ox, oy)) return;
    wl_subsurface_set_position(layer.sub, ux, uy);
    ShowBuffer(c, layer.surface, layer.viewport, p.arrow.buffer, kArrowW + 1, kArrowH + 1);
    wl_surface_commit(layer.surface);
    c.cover.dirty = true;
    // Drawn anew (the scale changed) while it roams: where it roams.
    if (p.want == Want::Roam || p.want == Want::Reach) p.roam.moved = true;
}

// The arrow where the pointer roams: the same picture moved, its tip
// within half a unit of the point.
void MoveArrow(Connection& c) {
    PointerState& p = c.pointer;
    wl_subsurface* sub = p.arrow.layer.sub;
    if (!sub || !p.arrow.buffer.buffer) return;
    const double fx = ToSurfaceX(c, p.hold.x) - std::floor(ToSurfaceX(c, p.hold.x));
    const double fy = ToSurfaceY(c, p.hold.y) - std::floor(ToSurfaceY(c, p.hold.y));
    wl_subsurface_set_position(sub, static_cast<int>(std::lround(ToSurfaceX(c, p.roam.x) - fx)),
                               static_cast<int>(std::lround(ToSurfaceY(c, p.roam.y) - fy)));
    c.cover.dirty = true;
}

// Let go at the held point, or where the pointer roams.
void EndLock(Connection& c) {
    PointerState& p = c.pointer;
    if (!p.lock.handle) return;
    const bool roams = p.want == Want::Roam;
    if (p.lock.active || roams) {
        const double x = roams ? p.roam.x : p.hold.x, y = roams ? p.roam.y : p.hold.y;
        Hint(c, x, y);
        wl_surface_commit(c.cover.surface);
        p.over.x = ToSurfaceX(c, x);
        p.over.y = ToSurfaceY(c, y);
        p.over.seen = true;
    }
    Drop(c, p.lock.handle, zwp_locked_pointer_v1_destroy);
    p.lock.active = false;
}

// What the last read says of the device and of the compositor, while the
// pointer is kept on the primary of several outputs.
void CheckMotion(Connection& c) {
    PointerState& p = c.pointer;
    // Positions with no relative motion beside them, read after read: a
    // device that gives positions. A confinement may not stop it at the
    // edge (KWin 5.27 leaves it where it was, or moves it along the edge),
    // and a lock holds it still: it goes free on every output instead,
    // read on the primary.
    const bool relative = p.absolute.relative;
    if (p.absolute.motion || relative) p.absolute.runs = p.absolute.motion && !relative ? p.absolute.runs + 1 : 0;
    p.absolute.motion = p.absolute.relative = false;
    // A mouse again, over the primary: confined there from now on.
    if (relative && p.want == Want::Reach && p.over.entered && !p.side.cover) {
        p.absolute.known = false;
        p.want = Want::Confine;
        DropSides(c);
        p.arrow.shown = false;
        p.arrow.dirty = p.cursor.dirty = true;
        return;
    }
    if (p.absolute.runs >= 2 && p.want == Want::Confine) {
        p.absolute.known = true;
        p.want = Want::Reach;
        p.arrow.shown = true;
        p.pushed = {};
        return;
    }
    // A confined pointer pushed past an edge stops on it in sway and
    // mutter; KWin 5.27 leaves it where it was. There the pointer is
    // locked again and roams from where the push would have stopped it.
    if (!p.pushed.dx && !p.pushed.dy) return;
    const auto pushed = std::exchange(p.pushed, {});
    if (p.want != Want::Confine || !p.confined || !p.relative) return;
    const double x = ToScreenX(c, p.over.x), y = ToScreenY(c, p.over.y);
    const int w = c.cover.screen.width, h = c.cover.screen.height;
    // Short of the edge it went for, and not moved that way at all.
    const auto stuck = [](int way, double now, double was, int size) {
        return way != 0 && now == was && Past(now + way, size) == 0;
    };
    if (!stuck(pushed.dx, x, pushed.x, w) && !stuck(pushed.dy, y, pushed.y, h)) return;
    p.want = Want::Roam;
    p.roam.x = std::clamp(pushed.tx, 0.0, w - 1.0);
    p.roam.y = std::clamp(pushed.ty, 0.0, h - 1.0);
    p.roam.moved = true;
    p.hold.x = static_cast<int>(std::floor(p.roam.x));
    p.hold.y = static_cast<int>(std::floor(p.roam.y));
    p.arrow.shown = true;
    p.arrow.dirty = p.cursor.dirty = true;
}

void SendConstraints(Connection& c) {
    PointerState& p = c.pointer;
    const Globals& g = c.globals;
    CheckMotion(c);
    if (p.lock.handle && p.want != Want::Hold && p.want != Want::Roam) EndLock(c);
    if (p.confinement && p.want != Want::Confine) {
        Drop(c, p.confinement, zwp_confined_pointer_v1_destroy);
        p.confined = false;
    }
    if (!g.constraints || !p.device) return;
    if (!p.lock.handle && (p.want == Want::Hold || p.want == Want::Roam)) {
        // The whole surface, said as a region rather than none: KWin 5.27
        // takes no region as an empty one and then ignores the hint.
        wl_region* all = wl_compositor_create_region(g.compositor);
        wl_region_add(all, 0, 0, kWholeSurface, kWholeSurface);
        p.lock.handle = zwp_pointer_constraints_v1_lock_pointer(g.constraints, c.cover.surface, p.device, all,
                                                                ZWP_POINTER_CONSTRAINTS_V1_LIFETIME_PERSISTENT);
        wl_region_destroy(all);
        zwp_locked_pointer_v1_add_listener(p.lock.handle, &kLockListener, &c);
        Hint(c, p.hold.x, p.hold.y);
        c.cover.dirty = true;
    }
    if (!p.confinement && p.want == Want::Confine) {
        p.confinement = zwp_pointer_constraints_v1_confine_pointer(g.constraints, c.cover.surface, p.device, nullptr,
                                                                   ZWP_POINTER_CONSTRAINTS_V1_LIFETIME_PERSISTENT);
        zwp_confined_pointer_v1_add_listener(p.confinement, &kConfineListener, &c);
        c.cover.dirty = true;
    }
}

void DropPointerCover(Connection& c) {
    PointerState& p = c.pointer;
    Drop(c, p.lock.handle, zwp_locked_pointer_v1_destroy);
    Drop(c, p.confinement, zwp_confined_pointer_v1_destroy);
    DropLayer(c, p.arrow.layer);
    FreeBuffer(c, p.arrow.buffer);
    Drop(c, p.cursor.surface, wl_surface_destroy);
    FreeBuffer(c, p.cursor.buffer);
    p.over.entered = p.over.seen = p.lock.active = p.lock.came = p.confined = false;
    p.pushed = {};
    p.absolute.motion = p.absolute.relative = false;
    p.absolute.runs = 0;
    p.side.cover = nullptr;
    p.arrow.shown = p.arrow.dirty = p.cursor.dirty = p.roam.moved = false;
    p.want = Want::Free;
}

void DropSeat(Connection& c) {
    PointerState& p = c.pointer;
    Drop(c, p.relative, zwp_relative_pointer_v1_destroy);
    Drop(c, p.device, wl_pointer_release);
    if (p.seat && wl_proxy_get_version(reinterpret_cast<wl_proxy*>(p.seat)) >= 5) Drop(c, p.seat, wl_seat_release);
    Drop(c, p.seat, wl_seat_destroy);
}

// ---- what the game wants ---------------------------------------------------

void Park(int x, int y) {
    Connection* current = Current();
    if (!current || !current->cover.surface) return;
    Connection& c = *current;
    PointerState& p = c.pointer;
    p.hold.x = x;
    p.hold.y = y;
    // Without a lock nothing holds the pointer: show the real one.
    if (!c.globals.constraints || !p.device) return;
    p.arrow.shown = true;
    p.arrow.dirty = p.cursor.dirty = true;
    Send(c);
}

void Hold(int x, int y) {
    Connection* current = Current();
    if (!current || !current->cover.surface) return;
    Connection& c = *current;
    PointerState& p = c.pointer;
    if (!c.globals.constraints || !p.device) return;
    p.want = Want::Hold;
    p.hold.x = x;
    p.hold.y = y;
    p.arrow.shown = true;
    p.arrow.dirty = p.cursor.dirty = true;
    Send(c);
}

void Confine() {
    Connection* c = Current();
    // A roaming pointer stays on the screen by itself, a reaching one is
    // read there.
    if (!c || !c->cover.surface || c->pointer.want == Want::Roam || c->pointer.want == Want::Reach) return;
    c->pointer.want = Want::Confine;
    Send(*c);
}

void Free() {
    Connection* current = Current();
    if (!current || !current->cover.surface || current->pointer.want == Want::Roam) return;
    Connection& c = *current;
    PointerState& p = c.pointer;
    // A compositor may offer locks and never grant one (sway 1.7 without a
    // seat section in its config): said once, as the race begins.
    if (p.want == Want::Hold && p.lock.handle && !p.lock.came && !p.lock.refusalTold) {
        std::fprintf(stderr, "skorrel: the compositor has not locked the pointer, so it was not held "
                             "during the count-in\n");
        p.lock.refusalTold = true;
    }
    // On several outputs the pointer goes on from the held point confined
    // to this one, in the same breath: never free to leave it meanwhile.
    const bool keep = p.want == Want::Hold && c.globals.outputs.size() > 1;
    const bool held = p.want == Want::Hold || p.arrow.shown;
    p.want = !keep ? Want::Free : p.absolute.known ? Want::Reach : Want::Confine;
    if (held) {
        p.arrow.shown = false;
        p.arrow.dirty = p.cursor.dirty = true;
    }
    if (p.want == Want::Reach) p.arrow.shown = true;
    Send(c);
}

bool Position(int& x, int& y) {
    const Connection* c = Current();
    if (!c) return false;
    const PointerState& p = c->pointer;
    if (p.want == Want::Roam || (p.want == Want::Reach && p.side.cover)) {
        x = static_cast<int>(std::floor(p.roam.x));
        y = static_cast<int>(std::floor(p.roam.y));
        return true;
    }
    const Size surface = c->cover.current, screen = c->cover.screen;
    if (!p.over.seen || surface.width <= 0 || surface.height <= 0) return false;
    x = std::clamp(static_cast<int>(std::floor(ToScreenX(*c, p.over.x))), 0, std::max(0, screen.width - 1));
    y = std::clamp(static_cast<int>(std::floor(ToScreenY(*c, p.over.y))), 0, std::max(0, screen.height - 1));
    return true;
}

}  // namespace platform::wl
