// The covering surface: made fullscreen on the primary output, its
// configure, size and scale, what is sent to it at most once a frame, and
// its end.
#include <algorithm>
#include <cmath>

#include "platform/wayland/wl_internal.h"

namespace platform::wl {

namespace {

// ---- shells ---------------------------------------------------------------

// Acked and applied in Send, with what else is due.
void OnXdgSurfaceConfigure(void* data, xdg_surface*, uint32_t serial) {
    CoverState& cover = static_cast<Connection*>(data)->cover;
    cover.configure.serial = serial;
    cover.configure.ackDue = true;
    cover.configure.received = true;
}

const xdg_surface_listener kXdgSurfaceListener = {OnXdgSurfaceConfigure};

// Some compositors (sway) first ask for 0 x 0, meaning "choose", and give
// the output's size once the surface shows.
void OnToplevelConfigure(void* data, xdg_toplevel*, int32_t w, int32_t h, wl_array*) {
    CoverState& cover = static_cast<Connection*>(data)->cover;
    cover.configure.size.width = w;
    cover.configure.size.height = h;
}

void OnToplevelClose(void* data, xdg_toplevel*) { static_cast<Connection*>(data)->cover.closeRequested = true; }

const xdg_toplevel_listener kToplevelListener = {OnToplevelConfigure, OnToplevelClose, OnIgnored, OnIgnored};

void OnFractionalPreferredScale(void* data, wp_fractional_scale_v1*, uint32_t scale) {
    static_cast<Connection*>(data)->cover.scale.fractional = scale / 120.0;
}

const wp_fractional_scale_v1_listener kFractionalListener = {OnFractionalPreferredScale};

void OnFrameDone(void* data, wl_callback* callback, uint32_t) {
    Frame* f = static_cast<Frame*>(data);
    if (callback == f->callback) f->callback = nullptr;
    wl_callback_destroy(callback);
}
const wl_callback_listener kFrameListener = {OnFrameDone};

// The side covers' own: acked and drawn in SendSides.
void OnSideConfigure(void* data, xdg_surface*, uint32_t serial) {
    SideCover& side = *static_cast<SideCover*>(data);
    side.configure.serial = serial;
    side.configure.ackDue = true;
}
const xdg_surface_listener kSideSurfaceListener = {OnSideConfigure};

void OnSideToplevelConfigure(void* data, xdg_toplevel*, int32_t w, int32_t h, wl_array*) {
    SideCover& side = *static_cast<SideCover*>(data);
    side.configure.size.width = w;
    side.configure.size.height = h;
}
// It may have the keyboard: its close key closes the game too.
void OnSideClose(void* data, xdg_toplevel*) { static_cast<SideCover*>(data)->connection->cover.closeRequested = true; }

const xdg_toplevel_listener kSideToplevelListener = {OnSideToplevelConfigure, OnSideClose, OnIgnored, OnIgnored};

// A compositor that never draws the surface must not freeze the picture or
// the arrow: what waits for a frame goes after this long anyway.
constexpr uint32_t kFrameWaitMs = 500;

// ---- size -----------------------------------------------------------------

void SendSize(Connection& c) {
    CoverState& cover = c.cover;
    if (cover.configure.ackDue) {
        xdg_surface_ack_configure(cover.xdgSurface, cover.configure.serial);
        cover.configure.ackDue = false;
    }
    const int w = cover.configure.size.width > 0 ? cover.configure.size.width : cover.guess.width;
    const int h = cover.configure.size.height > 0 ? cover.configure.size.height : cover.guess.height;
    const double scale = BufferScale(c);
    if (w == cover.current.width && h == cover.current.height && scale == cover.scale.shown && cover.clear.buffer)
        return;
    cover.current.width = w;
    cover.current.height = h;
    cover.scale.shown = scale;
    // Transparent: one pixel stretched over the output where a viewport
    // can, else a buffer as big as the surface.
    if (cover.viewport ? (cover.clear.buffer || MakeBuffer(c, cover.clear, 1, 1)) : MakeBuffer(c, cover.clear, w, h)) {
        wl_surface_attach(cover.surface, cover.clear.buffer, 0, 0);
        wl_surface_damage_buffer(cover.surface, 0, 0, cover.clear.w, cover.clear.h);
        if (cover.viewport) wp_viewport_set_destination(cover.viewport, w, h);
        cover.dirty = true;
    }
    DrawCursor(c, scale);
    c.pointer.arrow.dirty = true;
    // The same window, placed anew on the new size.
    if (!c.picture.pixels.empty()) c.picture.dirty = true;
}

// A sub-surface of the covering surface that takes no input, so the pointer
// stays over the covering surface itself; placed above those made before.
Layer LayerOnCover(const Connection& c) {
    const Globals& g = c.globals;
    Layer layer;
    layer.surface = wl_compositor_create_surface(g.compositor);
    wl_region* none = wl_compositor_create_region(g.compositor);
    wl_surface_set_input_region(layer.surface, none);
    wl_region_destroy(none);
    layer.sub = wl_subcompositor_get_subsurface(g.subcompositor, layer.surface, c.cover.surface);
    wl_subsurface_set_desync(layer.sub);
    if (g.viewporter) layer.viewport = wp_viewporter_get_viewport(g.viewporter, layer.surface);
    return layer;
}

// What a new covering surface starts from: the output's scale and size as
// far as known, nothing configured yet.
void StartCover(CoverState& cover, const Output* out, const Screen& screen) {
    cover.screen.width = screen.width;
    cover.screen.height = screen.height;
    cover.scale.output = out ? out->scale : 1;
    cover.scale.fractional = 0;
    cover.guess.width = out && out->width ? out->width / cover.scale.output : screen.width;
    cover.guess.height = out && out->height ? out->height / cover.scale.output : screen.height;
    cover.configure.received = false;
    cover.configure.size = Size{};
    cover.current = Size{};
    cover.scale.shown = 0;
    cover.closeRequested = false;
}

}  // namespace

// ---- frames and layers ------------------------------------------------------

void AskFrame(const Connection& c, Frame& f, wl_surface* surface) {
    Drop(c, f.callback, wl_callback_destroy);
    f.callback = wl_surface_frame(surface);
    f.asked = posix::MonotonicMs();
    wl_callback_add_listener(f.callback, &kFrameListener, &f);
}

bool FrameDone(const Connection& c, Frame& f) {
    if (f.callback && posix::MonotonicMs() - f.asked >= kFrameWaitMs) Drop(c, f.callback, wl_callback_destroy);
    return !f.callback;
}

void DropLayer(const Connection& c, Layer& layer) {
    Drop(c, layer.viewport, wp_viewport_destroy);
    Drop(c, layer.sub, wl_subsurface_destroy);
    Drop(c, layer.surface, wl_surface_destroy);
}

// ---- scale ----------------------------------------------------------------

// Buffer pixels per unit of the surface: the compositor's preferred
// fractional scale, drawn through a viewport, where it says one; else the
// output's whole scale, as the surface's buffer scale.
bool Fractional(const Connection& c) { return c.globals.viewporter && c.cover.scale.fractional > 0; }
double BufferScale(const Connection& c) { return Fractional(c) ? c.cover.scale.fractional : c.cover.scale.output; }

// Screen pixels to surface units and back: v taken from a span of size
// from to one of size to, unchanged while from is not known.
namespace {
double Rescale(double v, int to, int from) { return from > 0 ? v * to / from : v; }
}  // namespace

double ToSurfaceX(const Connection& c, double px) { return Rescale(px, c.cover.current.width, c.cover.screen.width); }
double ToSurfaceY(const Connection& c, double py) {
    return Rescale(py, c.cover.current.height, c.cover.screen.height);
}
double ToScreenX(const Connection& c, double sx) { return Rescale(sx, c.cover.screen.width, c.cover.current.width); }
double ToScreenY(const Connection& c, double sy) {
    return Rescale(sy, c.cover.screen.height, c.cover.current.height);
}

// ---- sending what is wanted ------------------------------------------------

// Brings the compositor up to what the game wants, when it is reading.
// Each step queues a few small requests, well within the library's buffer.
void Send(Connection& c) {
    CoverState& cover = c.cover;
    PointerState& pointer = c.pointer;
    if (!Flush(c) || !cover.surface) return;
    if (cover.configure.received) SendSize(c);
    SendConstraints(c);
    SendSides(c);
    if (pointer.arrow.dirty) {
        SendArrow(c);
        pointer.arrow.dirty = false;
    }
    if (pointer.cursor.dirty) {
        SendCursor(c);
        pointer.cursor.dirty = false;
    }
    if (c.picture.dirty && FrameDone(c, c.picture.frame)) SendPicture(c);
    if (pointer.roam.moved && FrameDone(c, cover.frame)) {
        MoveArrow(c);
        pointer.roam.moved = false;
    }
    if (cover.dirty) {
        // A roaming arrow is placed anew at most once a frame.
        if ((pointer.want == Want::Roam || pointer.want == Want::Reach) && !cover.frame.callback)
            AskFrame(c, cover.frame, cover.surface);
        wl_surface_commit(cover.surface);
        cover.dirty = false;
    }
    Flush(c);
}

// ---- the other outputs -----------------------------------------------------

const SideCover* FindSide(const Connection& c, const wl_surface* surface) {
    for (const SideCover& side : c.cover.sides)
        if (surface && side.surface == surface) return &side;
    return nullptr;
}

namespace {

// A fullscreen window of the game's on output (the compositor's choice
// where null), its listeners given data.
void MakeFullscreen(const Globals& g, wl_surface* surface, wl_output* output, const xdg_surface_listener& onSurface,
                    const xdg_toplevel_listener& onToplevel, void* data, xdg_surface*& xdgSurface,
                    xdg_toplevel*& toplevel) {
    xdgSurface = xdg_wm_base_get_xdg_surface(g.wmBase, surface);
    xdg_surface_add_listener(xdgSurface, &onSurface, data);
    toplevel = xdg_surface_get_toplevel(xdgSurface);
    xdg_toplevel_add_listener(toplevel, &onToplevel, data);
    xdg_toplevel_set_title(toplevel, "Skorrel");
    xdg_toplevel_set_app_id(toplevel, "org.skorrel.Skorrel");
    xdg_toplevel_set_fullscreen(toplevel, output);
}

// One clear fullscreen surface on each output but the primary.
void MakeSides(Connection& c) {
    CoverState& cover = c.cover;
    const Globals& g = c.globals;
    const Output* primary = nullptr;
    for (const Output& out : g.outputs)
        if (out.output == cover.output) primary = &out;
    if (!primary) return;
    for (const Output& out : g.outputs) {
        if (&out == primary || !out.output) continue;
        SideCover& side = cover.sides.emplace_back();
        side.connection = &c;
        side.output = out.output;
        side.x = out.x - primary->x;
        side.y = out.y - primary->y;
        side.surface = wl_compositor_create_surface(g.compositor);
        if (g.viewporter) side.viewport = wp_viewporter_get_viewport(g.viewporter, side.surface);
        MakeFullscreen(g, side.surface, out.output, kSideSurfaceListener, kSideToplevelListener, &side,
                       side.xdgSurface, side.toplevel);
        wl_surface_commit(side.surface);
    }
}

}  // namespace

// The other outputs' covers, made when first wanted; each acked and given
// its size as the compositor asks.
void SendSides(Connection& c) {
    CoverState& cover = c.cover;
    if (cover.sides.empty()) {
        if (c.pointer.want != Want::Reach) return;
        MakeSides(c);
    }
    for (SideCover& side : cover.sides) {
        if (!side.configure.ackDue) continue;
        xdg_surface_ack_configure(side.xdgSurface, side.configure.serial);
        side.configure.ackDue = false;
        const Size want = side.configure.size;
        if (want.width > 0 && want.height > 0 &&
            (want.width != side.current.width || want.height != side.current.height || !side.clear.buffer) &&
            (side.viewport ? (side.clear.buffer || MakeBuffer(c, side.clear, 1, 1))
                           : MakeBuffer(c, side.clear, want.width, want.height))) {
            side.current = want;
            wl_surface_attach(side.surface, side.clear.buffer, 0, 0);
            wl_surface_damage_buffer(side.surface, 0, 0, side.clear.w, side.clear.h);
            if (side.viewport) wp_viewport_set_destination(side.viewport, want.width, want.height);
        }
        wl_surface_commit(side.surface);
    }
}

void DropSides(Connection& c) {
    for (SideCover& side : c.cover.sides) {
        Drop(c, side.viewport, wp_viewport_destroy);
        Drop(c, side.toplevel, xdg_toplevel_destroy);
        Drop(c, side.xdgSurface, xdg_surface_destroy);
        Drop(c, side.surface, wl_surface_destroy);
        FreeBuffer(c, side.clear);
    }
    c.cover.sides.clear();
    c.pointer.side.cover = nullptr;
}

// Everything of the covering surface goes, with its requests where the
// connection still stands: first what the pointer and the picture have on
// it.
void DropCover(Connection& c) {
    DropPointerCover(c);
    DropSides(c);
    DropPicture(c);
    CoverState& cover = c.cover;
    Drop(c, cover.frame.callback, wl_callback_destroy);
    Drop(c, cover.fractional, wp_fractional_scale_v1_destroy);
    Drop(c, cover.viewport, wp_viewport_destroy);
    Drop(c, cover.toplevel, xdg_toplevel_destroy);
    Drop(c, cover.xdgSurface, xdg_surface_destroy);
    Drop(c, cover.surface, wl_surface_destroy);
    FreeBuffer(c, cover.clear);
    cover.dirty = cover.configure.ackDue = false;
}

// ---- showing it and taking it away -----------------------------------------

void Cover(const Screen& screen) {
    Connection* current = Current();
    if (!Connected() || current->cover.surface) return;
    Connection& c = *current;
    if (!Drained(c)) return;
    const Globals& g = c.globals;
    CoverState& cover = c.cover;
    Output* out = ChooseOutput(c, screen);
    StartCover(cover, out, screen);
    cover.output = out ? out->output : nullptr;
    // A tablet known from an earlier race: go! sets it free on every
    // output, and the compositor takes a moment to show a new surface.
    // Made first, they show by then, and the covering surface made after
    // them keeps the focus that its lock needs.
    if (c.pointer.absolute.known) {
        MakeSides(c);
        WaitFor(
            c,
            [&c] {
                SendSides(c);  // acked as asked
                Flush(c);
                for (const SideCover& side : c.cover.sides)
                    if (side.current.width <= 0) return false;
                return true;
            },
            1000);
    }

    cover.surface = wl_compositor_create_surface(g.compositor);
    if (g.viewporter) cover.viewport = wp_viewporter_get_viewport(g.viewporter, cover.surface);
    if (g.viewporter && g.fractionalManager) {
        cover.fractional = wp_fractional_scale_manager_v1_get_fractional_scale(g.fractionalManager, cover.surface);
        wp_fractional_scale_v1_add_listener(cover.fractional, &kFractionalListener, &c);
    }
    // Fullscreen, so that it covers panels too and the compositor gives it
    // the focus a pointer lock needs.
    MakeFullscreen(g, cover.surface, out ? out->output : nullptr, kXdgSurfaceListener, kToplevelListener, &c,
                   cover.xdgSurface, cover.toplevel);
    // The window's picture, and the held arrow above it.
    c.picture.layer = LayerOnCover(c);
    c.pointer.arrow.layer = LayerOnCover(c);
    c.pointer.cursor.surface = wl_compositor_create_surface(g.compositor);
    wl_surface_commit(cover.surface);
    WaitFor(c, [&cover] { return cover.configure.received; }, 2000);
    // Without it nothing would show, and the race could never end.
    if (!cover.configure.received) return Fail(c, "the Wayland compositor did not show the game's covering surface");
    // Mapped with its first buffer; then the size the compositor gives a
    // fullscreen surface, and the pointer over it.
    WaitFor(
        c,
        [&cover] {
            return cover.configure.size.width > 0 && cover.configure.size.height > 0 &&
                   cover.current.width == cover.configure.size.width && !cover.configure.ackDue;
        },
        1000);
    WaitFor(
        c, [&c] { return c.pointer.over.entered && (!c.cover.fractional || c.cover.scale.fractional > 0); }, 500);
}

void Uncover() {
    Connection* current = Current();
    if (!current || !current->cover.surface) return;
    Connection& c = *current;
    // Unlocked and gone before the game shows anything else: a compositor
    // that sees a new window while the fullscreen one still stands may not
    // focus it.
    if (!Drained(c)) {
        DropCover(c);
        return;
    }
    // Let go where the game's arrow stands: the compositor may put the
    // pointer there.
    if (c.pointer.want == Want::Roam) EndLock(c);
    DropCover(c);
    Synced(c, 500);
}

bool Covered() { return Current() && Current()->cover.surface != nullptr; }

bool CloseRequested() { return Current() && Current()->cover.closeRequested; }

}  // namespace platform::wl
