// The pointer in a Wayland session (wayland.h): the connection watched by
// the toolkit's loop and made anew after a failure, the covering surface
// over the primary screen, and the form's look shown on it.
#include <QAbstractButton>
#include <QImage>
#include <QLabel>
#include <QScreen>
#include <QSocketNotifier>
#include <QWidget>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "platform/qt/qt_internal.h"
#include "platform/wayland/wayland.h"

namespace platform::qt {

namespace {

struct WaylandPointer {
    // Deleted by hand (at the end of the loop, after a failure), never at
    // exit, when the application may be gone already.
    QSocketNotifier* events = nullptr;
    // What the covering surface shows of the window, so that it is drawn
    // again only when that changes.
    QString mirrored;
    double mirroredScale = 0;
    bool formChanged = false;  // shown at the next pump
    // Where the pointer was last put, relative to the primary screen.
    int parkX = 0, parkY = 0;
};

WaylandPointer wayland;

// The compositor closed the covering surface (the close-window key while
// it has the focus): the player wants the game closed.
void CheckCoverClosed() {
    if (!wl::CloseRequested() || QuitRequested()) return;
    wl::Uncover();
    CloseForm();
}

// Shows the window's current look on the covering surface too, drawn at
// the output's scale; only when something it shows has changed.
void MirrorForm() {
    QWidget* form = Form();
    if (!form || !wl::Covered()) return;
    const double scale = wl::PictureScale();
    const QRect r = form->geometry();
    QString key = QStringLiteral("%1 %2 %3 %4 %5").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height()).arg(scale);
    for (const QWidget* w : Controls()) {
        if (!w || w == form) continue;
        key += QLatin1Char('\n') + QString::number(w->isEnabled());
        if (const auto* b = qobject_cast<const QAbstractButton*>(w)) key += b->text();
        if (const auto* l = qobject_cast<const QLabel*>(w)) key += l->text();
    }
    wayland.formChanged = false;
    if (key == wayland.mirrored) return;
    wayland.mirrored = key;
    wayland.mirroredScale = scale;
    QImage image(QSize(static_cast<int>(std::ceil(r.width() * scale)), static_cast<int>(std::ceil(r.height() * scale))),
                 QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(Qt::transparent);
    form->render(&image);
    const QPoint at = r.topLeft() - ScreenOrigin();
    wl::ShowWindow(at.x(), at.y(), r.width(), r.height(), reinterpret_cast<const uint32_t*>(image.constBits()),
                   image.width(), image.height());
}

// A failed connection is let go at once: its socket would wake the event
// loop for ever. The next race connects anew.
void DropWaylandIfFailed() {
    if (wl::Connected() || wl::Fd() < 0) return;
    if (wayland.events) {
        wayland.events->setEnabled(false);
        // This may run inside the notifier's own signal.
        std::exchange(wayland.events, nullptr)->deleteLater();
    }
    wl::Close();
}

void DispatchWayland() {
    wl::Dispatch();
    DropWaylandIfFailed();
    CheckCoverClosed();
    // The compositor told the surface its scale only now.
    if (wl::Covered() && (wayland.formChanged || wl::PictureScale() != wayland.mirroredScale)) MirrorForm();
}

// Shown at the next pump, when the window itself repaints: a caption
// replaced within one pass of the count-in (its last number by "go!")
// never reaches the compositor.
void FormChanged() { wayland.formChanged = true; }

// Keeps the connection answered while the game waits for a press.
void WatchWayland() {
    delete std::exchange(wayland.events, new QSocketNotifier(wl::Fd(), QSocketNotifier::Read));
    QObject::connect(wayland.events, &QSocketNotifier::activated, [] { DispatchWayland(); });
}

// ---- the table's operations -------------------------------------------------

void Put(int32_t x, int32_t y) {
    wayland.parkX = x;
    wayland.parkY = y;
    wl::Park(x, y);
}

void Get(POINT& p) {
    int x = 0, y = 0;
    DispatchWayland();
    if (wl::Position(x, y)) p = {x, y};
}

void Clip(const RECT* r) {
    if (!r) {
        wl::Free();
    } else if (WholeScreen(*r)) {
        wl::Confine();
    } else if (r->right > r->left && r->bottom > r->top) {
        // Held where a confinement would move it: the point of the
        // rectangle nearest to where it was put.
        wl::Hold(std::clamp(wayland.parkX, r->left, r->right - 1), std::clamp(wayland.parkY, r->top, r->bottom - 1));
    }
}

void Track(bool on) {
    if (!on) {
        wl::Uncover();
        DropWaylandIfFailed();
        return;
    }
    // A connection that failed before is made anew; failing that, the race
    // stops at once, with the reason.
    if (!wl::Connected()) {
        if (!OpenWayland()) {
            std::fprintf(stderr, "skorrel: %s\n", wl::Failure().c_str());
            return;
        }
        WatchWayland();
    }
    const QScreen* s = PrimaryScreen();
    if (!s) return;
    const QRect r = s->geometry();
    wl::Cover({s->name().toStdString(), r.x(), r.y(), r.width(), r.height()});
    DropWaylandIfFailed();
    wayland.mirrored.clear();
    MirrorForm();
    CheckCoverClosed();
}

std::string Lost() { return wl::Failure(); }

void Stop() {
    delete std::exchange(wayland.events, nullptr);
    wl::Close();
}

}  // namespace

bool OpenWayland() {
    std::string note;
    if (!wl::Open(&note)) return false;
    if (!wl::Holds()) std::fprintf(stderr, "skorrel: %s\n", note.c_str());
    return true;
}

const PointerOps kWaylandPointer = {
    .put = Put, .get = Get, .clip = Clip, .track = Track, .lost = Lost,
    .start = WatchWayland, .pump = DispatchWayland, .formChanged = FormChanged, .release = wl::Uncover, .stop = Stop,
};

}  // namespace platform::qt
