// The covering surface: made fullscreen on the primary output, its
// configure, size and scale, what is sent to it at most once a frame, and
// its end.
#include <algorithm>
#include <cmath>

#include "platform/qt/wl_internal.h"

namespace platform::wl {

CoverState cover;

namespace {

// ---- shells ---------------------------------------------------------------

// Acked and applied in Send, with what else is due.
void OnXdgSurfaceConfigure(void*, xdg_surface*, uint32_t serial) {
    cover.configure.serial = serial;
    cover.configure.ackDue = true;
    cover.configure.received = true;
}

const xdg_surface_listener kXdgSurfaceListener = {OnXdgSurfaceConfigure};

// Some compositors (sway) first ask for 0 x 0, meaning "choose", and give
// the output's size once the surface shows.
void OnToplevelConfigure(void*, xdg_toplevel*, int32_t w, int32_t h, wl_array*) {
    cover.configure.size.width = w;
    cover.configure.size.height = h;
}

void OnToplevelClose(void*, xdg_toplevel*) { cover.closeRequested = true; }

const xdg_toplevel_listener kToplevelListener = {OnToplevelConfigure, OnToplevelClose, OnIgnored, OnIgnored};

void OnFractionalPreferredScale(void*, wp_fractional_scale_v1*, uint32_t scale) {
    cover.scale.fractional = scale / 120.0;
}

const wp_fractional_scale_v1_listener kFractionalListener = {OnFractionalPreferredScale};

void OnFrameDone(void* data, wl_callback* callback, uint32_t) {
    Frame* f = static_cast<Frame*>(data);
    if (callback == f->callback) f->callback = nullptr;
    wl_callback_destroy(callback);
}
const wl_callback_listener kFrameListener = {OnFrameDone};

// A compositor that never draws the surface must not freeze the picture or
// the arrow: what waits for a frame goes after this long anyway.
constexpr uint32_t kFrameWaitMs = 500;

// ---- size -----------------------------------------------------------------

void SendSize() {
    if (cover.configure.ackDue) {
        xdg_surface_ack_configure(cover.xdgSurface, cover.configure.serial);
        cover.configure.ackDue = false;
    }
    const int w = cover.configure.size.width > 0 ? cover.configure.size.width : cover.guess.width;
    const int h = cover.configure.size.height > 0 ? cover.configure.size.height : cover.guess.height;
    const double scale = BufferScale();
    if (w == cover.current.width && h == cover.current.height && scale == cover.scale.shown && cover.clear.buffer)
        return;
    cover.current.width = w;
    cover.current.height = h;
    cover.scale.shown = scale;
    // Transparent: one pixel stretched over the output where a viewport
    // can, else a buffer as big as the surface.
    if (cover.viewport ? (cover.clear.buffer || MakeBuffer(cover.clear, 1, 1)) : MakeBuffer(cover.clear, w, h)) {
        wl_surface_attach(cover.surface, cover.clear.buffer, 0, 0);
        wl_surface_damage_buffer(cover.surface, 0, 0, cover.clear.w, cover.clear.h);
        if (cover.viewport) wp_viewport_set_destination(cover.viewport, w, h);
        cover.dirty = true;
    }
    DrawCursor(scale);
    pointer.arrow.dirty = true;
    // The same window, placed anew on the new size.
    if (!picture.pixels.empty()) picture.dirty = true;
}

// A sub-surface of the covering surface that takes no input, so the pointer
// stays over the covering surface itself; placed above those made before.
Layer LayerOnCover() {
    Layer layer;
    layer.surface = wl_compositor_create_surface(globals.compositor);
    wl_region* none = wl_compositor_create_region(globals.compositor);
    wl_surface_set_input_region(layer.surface, none);
    wl_region_destroy(none);
    layer.sub = wl_subcompositor_get_subsurface(globals.subcompositor, layer.surface, cover.surface);
    wl_subsurface_set_desync(layer.sub);
    if (globals.viewporter) layer.viewport = wp_viewporter_get_viewport(globals.viewporter, layer.surface);
    return layer;
}

void DropLayer(Layer& layer) {
    Drop(layer.viewport, wp_viewport_destroy);
    Drop(layer.sub, wl_subsurface_destroy);
    Drop(layer.surface, wl_surface_destroy);
}

// What a new covering surface starts from: the output's scale and size as
// far as known, nothing configured or seen yet.
void StartCover(const Output* out, const Screen& screen) {
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
    pointer.over.entered = pointer.over.seen = pointer.lock.came = false;
}

}  // namespace

// ---- scale ----------------------------------------------------------------

// Buffer pixels per unit of the surface: the compositor's preferred
// fractional scale, drawn through a viewport, where it says one; else the
// output's whole scale, as the surface's buffer scale.
bool Fractional() { return globals.viewporter && cover.scale.fractional > 0; }
double BufferScale() { return Fractional() ? cover.scale.fractional : cover.scale.output; }

// Screen pixels to surface units and back.
double ToSurfaceX(double px) { return cover.screen.width > 0 ? px * cover.current.width / cover.screen.width : px; }
double ToSurfaceY(double py) {
    return cover.screen.height > 0 ? py * cover.current.height / cover.screen.height : py;
}
double ToScreenX(double sx) { return cover.current.width > 0 ? sx * cover.screen.width / cover.current.width : sx; }
double ToScreenY(double sy) {
    return cover.current.height > 0 ? sy * cover.screen.height / cover.current.height : sy;
}

// ---- frames ---------------------------------------------------------------

void AskFrame(Frame& f, wl_surface* surface) {
    Drop(f.callback, wl_callback_destroy);
    f.callback = wl_surface_frame(surface);
    f.asked = NowMs();
    wl_callback_add_listener(f.callback, &kFrameListener, &f);
}

bool FrameDone(Frame& f) {
    if (f.callback && NowMs() - f.asked >= kFrameWaitMs) Drop(f.callback, wl_callback_destroy);
    return !f.callback;
}

// ---- sending what is wanted ------------------------------------------------

// Brings the compositor up to what the game wants, when it is reading.
// Each step queues a few small requests, well within the library's buffer.
void Send() {
    if (!Flush() || !cover.surface) return;
    if (cover.configure.received) SendSize();
    SendConstraints();
    if (pointer.arrow.dirty) {
        SendArrow();
        pointer.arrow.dirty = false;
    }
    if (pointer.cursor.dirty) {
        SendCursor();
        pointer.cursor.dirty = false;
    }
    if (picture.dirty && FrameDone(picture.frame)) SendPicture();
    if (pointer.roam.moved && FrameDone(cover.frame)) {
        MoveArrow();
        pointer.roam.moved = false;
    }
    if (cover.dirty) {
        // A roaming arrow is placed anew at most once a frame.
        if (pointer.want == Want::Roam && !cover.frame.callback) AskFrame(cover.frame, cover.surface);
        wl_surface_commit(cover.surface);
        cover.dirty = false;
    }
    Flush();
}

// Everything of the covering surface goes, with its requests where the
// connection still stands.
void DropCover() {
    Drop(pointer.lock.handle, zwp_locked_pointer_v1_destroy);
    Drop(pointer.confinement, zwp_confined_pointer_v1_destroy);
    Drop(picture.frame.callback, wl_callback_destroy);
    Drop(cover.frame.callback, wl_callback_destroy);
    for (Buffer& b : picture.slots) FreeBuffer(b);
    DropLayer(pointer.arrow.layer);
    FreeBuffer(pointer.arrow.buffer);
    Drop(pointer.cursor.surface, wl_surface_destroy);
    FreeBuffer(pointer.cursor.buffer);
    DropLayer(picture.layer);
    picture = PictureState{};
    Drop(cover.fractional, wp_fractional_scale_v1_destroy);
    Drop(cover.viewport, wp_viewport_destroy);
    Drop(cover.toplevel, xdg_toplevel_destroy);
    Drop(cover.xdgSurface, xdg_surface_destroy);
    Drop(cover.surface, wl_surface_destroy);
    FreeBuffer(cover.clear);
    pointer.over.entered = pointer.over.seen = pointer.lock.active = pointer.lock.came = false;
    pointer.arrow.shown = pointer.arrow.dirty = pointer.cursor.dirty = cover.dirty = cover.configure.ackDue =
        pointer.roam.moved = false;
    pointer.want = Want::Free;
}

// ---- showing it and taking it away -----------------------------------------

void Cover(const Screen& screen) {
    if (!Connected() || cover.surface) return;
    if (!Drained()) return;
    Output* out = ChooseOutput(screen);
    StartCover(out, screen);

    cover.surface = wl_compositor_create_surface(globals.compositor);
    if (globals.viewporter) cover.viewport = wp_viewporter_get_viewport(globals.viewporter, cover.surface);
    if (globals.viewporter && globals.fractionalManager) {
        cover.fractional =
            wp_fractional_scale_manager_v1_get_fractional_scale(globals.fractionalManager, cover.surface);
        wp_fractional_scale_v1_add_listener(cover.fractional, &kFractionalListener, nullptr);
    }
    // Fullscreen, so that it covers panels too and the compositor gives it
    // the focus a pointer lock needs.
    cover.xdgSurface = xdg_wm_base_get_xdg_surface(globals.wmBase, cover.surface);
    xdg_surface_add_listener(cover.xdgSurface, &kXdgSurfaceListener, nullptr);
    cover.toplevel = xdg_surface_get_toplevel(cover.xdgSurface);
    xdg_toplevel_add_listener(cover.toplevel, &kToplevelListener, nullptr);
    xdg_toplevel_set_title(cover.toplevel, "Skorrel");
    xdg_toplevel_set_app_id(cover.toplevel, "org.skorrel.Skorrel");
    xdg_toplevel_set_fullscreen(cover.toplevel, out ? out->output : nullptr);
    // The window's picture, and the held arrow above it.
    picture.layer = LayerOnCover();
    pointer.arrow.layer = LayerOnCover();
    pointer.cursor.surface = wl_compositor_create_surface(globals.compositor);
    wl_surface_commit(cover.surface);
    WaitFor([] { return cover.configure.received; }, 2000);
    // Without it nothing would show, and the race could never end.
    if (!cover.configure.received) return Fail("the Wayland compositor did not show the game's covering surface");
    // Mapped with its first buffer; then the size the compositor gives a
    // fullscreen surface, and the pointer over it.
    WaitFor(
        [] {
            return cover.configure.size.width > 0 && cover.configure.size.height > 0 &&
                   cover.current.width == cover.configure.size.width && !cover.configure.ackDue;
        },
        1000);
    WaitFor([] { return pointer.over.entered && (!cover.fractional || cover.scale.fractional > 0); }, 500);
}

void Uncover() {
    if (!cover.surface) return;
    // Unlocked and gone before the game shows anything else: a compositor
    // that sees a new window while the fullscreen one still stands may not
    // focus it.
    if (!Drained()) {
        DropCover();
        return;
    }
    // Let go where the game's arrow stands: the compositor may put the
    // pointer there.
    if (pointer.lock.handle && pointer.want == Want::Roam) {
        zwp_locked_pointer_v1_set_cursor_position_hint(pointer.lock.handle,
                                                       wl_fixed_from_double(ToSurfaceX(pointer.roam.x)),
                                                       wl_fixed_from_double(ToSurfaceY(pointer.roam.y)));
        wl_surface_commit(cover.surface);
    }
    DropCover();
    Synced(500);
}

bool Covered() { return cover.surface != nullptr; }

bool CloseRequested() { return cover.closeRequested; }

}  // namespace platform::wl
