// The game's window as it looks, shown on the covering surface (a
// compositor may hide every other window under a fullscreen one): kept
// until the compositor has drawn the last one (half a second at most),
// then sent at most once a frame.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/wayland/wl_internal.h"

namespace platform::wl {

void SendPicture(Connection& c) {
    PictureState& p = c.picture;
    if (!p.layer.surface || p.pixels.empty()) return;
    Buffer* slot = nullptr;
    for (Buffer& b : p.slots)
        if (!b.busy) {
            slot = &b;
            break;
        }
    if (slot && (!slot->buffer || slot->w != p.pw || slot->h != p.ph) && !MakeBuffer(c, *slot, p.pw, p.ph)) return;
    if (!slot) return;  // both still with the compositor: shown at a later frame
    std::memcpy(slot->pixels, p.pixels.data(), p.pixels.size() * sizeof(uint32_t));
    const int x = static_cast<int>(std::lround(ToSurfaceX(c, p.x)));
    const int y = static_cast<int>(std::lround(ToSurfaceY(c, p.y)));
    if (x != p.shownX || y != p.shownY) {
        wl_subsurface_set_position(p.layer.sub, x, y);
        p.shownX = x;
        p.shownY = y;
        c.cover.dirty = true;
    }
    ShowBuffer(c, p.layer.surface, p.layer.viewport, *slot,
               std::max(1, static_cast<int>(std::lround(ToSurfaceX(c, p.w)))),
               std::max(1, static_cast<int>(std::lround(ToSurfaceY(c, p.h)))));
    slot->busy = true;
    AskFrame(c, p.frame, p.layer.surface);
    wl_surface_commit(p.layer.surface);
    p.dirty = false;
}

void DropPicture(Connection& c) {
    PictureState& p = c.picture;
    Drop(c, p.frame.callback, wl_callback_destroy);
    for (Buffer& b : p.slots) FreeBuffer(c, b);
    DropLayer(c, p.layer);
    p = PictureState{};
}

double PictureScale() {
    const Connection* c = Current();
    if (!c || c->cover.screen.width <= 0 || c->cover.current.width <= 0) return 1;
    return BufferScale(*c) * c->cover.current.width / c->cover.screen.width;
}

void ShowWindow(int x, int y, int width, int height, const uint32_t* pixels, int pictureW, int pictureH) {
    Connection* c = Current();
    if (!c || !c->picture.layer.surface || width <= 0 || height <= 0 || pictureW <= 0 || pictureH <= 0) return;
    PictureState& p = c->picture;
    p.pixels.assign(pixels, pixels + static_cast<size_t>(pictureW) * static_cast<size_t>(pictureH));
    p.pw = pictureW;
    p.ph = pictureH;
    p.x = x;
    p.y = y;
    p.w = width;
    p.h = height;
    p.dirty = true;
    Send(*c);
}

}  // namespace platform::wl
