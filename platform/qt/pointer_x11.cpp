// The pointer through Xlib on the root window (x11.cpp), in device pixels
// relative to the primary screen: the table used wherever the session is
// not Wayland.
#include <QPoint>
#include <QRect>
#include <QScreen>

#include "platform/qt/qt_internal.h"
#include "platform/x11/x11.h"

namespace platform::qt {

namespace {

void Put(int32_t x, int32_t y) {
    const QPoint o = ScreenOrigin();
    x11::Warp(o.x() + x, o.y() + y);
}

void Get(POINT& p) {
    int x = 0, y = 0;
    if (!x11::Query(x, y)) return;
    const QPoint o = ScreenOrigin();
    p.x = x - o.x();
    p.y = y - o.y();
}

void Clip(const RECT* r) {
    if (!r) {
        x11::Release();
        return;
    }
    const QPoint o = ScreenOrigin();
    // Kept on the screen for a race: fenced, so the game's window keeps its
    // clicks; a grab where the server has no barriers.
    if (WholeScreen(*r) && x11::Fence(o.x() + r->left, o.y() + r->top, o.x() + r->right, o.y() + r->bottom)) return;
    x11::Confine(o.x() + r->left, o.y() + r->top, o.x() + r->right, o.y() + r->bottom);
}

// The root window sees the pointer anywhere; the cover only keeps the
// desktop's corners and edges quiet from the press to the end of the race.
void Track(bool on) {
    if (!on) {
        x11::Uncover();
        return;
    }
    const QRect s = PrimaryScreen() ? PrimaryScreen()->geometry() : QRect();
    if (!s.isEmpty()) x11::Cover(s.left(), s.top(), s.left() + s.width(), s.top() + s.height());
}

std::string Lost() { return std::string(); }
void Nothing() {}

void Pump() {
    if (!x11::CoverCloseRequested() || QuitRequested()) return;
    x11::Uncover();
    CloseForm();
}

void LetGo() {
    x11::Release();
    x11::Uncover();
}

// The loop has ended: X goes, the hold and the cover with it.
void Stop() { x11::Close(); }

}  // namespace

const PointerOps kX11Pointer = {
    .put = Put, .get = Get, .clip = Clip, .track = Track, .lost = Lost,
    .start = Nothing, .pump = Pump, .formChanged = Nothing, .release = LetGo, .stop = Stop,
};

}  // namespace platform::qt
