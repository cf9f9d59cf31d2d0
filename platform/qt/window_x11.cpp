// The form as an X11 window (x11.cpp): its frame asked of the window
// manager before the first show and measured once mapped, the show waiting
// for the map and the frame, and a window destroyed from outside counted
// as closed.
#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QCoreApplication>
#include <QWidget>

#include <cstdio>

#include <xcb/xcb.h>

#include "platform/qt/qt_internal.h"
#include "platform/x11/x11.h"

namespace platform::qt {

namespace {

// A window destroyed from outside (xdotool windowclose, a crashing window
// manager's cleanup) never gets a close event: count it as closed, or the
// game would go on without a window and never exit.
class DestroyWatch : public QAbstractNativeEventFilter {
public:
    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        if (type != "xcb_generic_event_t" || !Form() || QuitRequested()) return false;
        const auto* e = static_cast<const xcb_generic_event_t*>(message);
        if ((e->response_type & 0x7f) != XCB_DESTROY_NOTIFY) return false;
        const auto* d = static_cast<const xcb_destroy_notify_event_t*>(message);
        if (d->window != static_cast<xcb_window_t>(Form()->winId())) return false;
        Closed();
        QCoreApplication::quit();
        return false;
    }
};

DestroyWatch destroyWatch;

// What the show waits for, asked of the server as it begins.
struct {
    // The window manager answers frame requests.
    bool framed = false;
    // A window manager runs; KWin answers no frame request, so its frame is
    // known only once it has framed the mapped window.
    bool managed = false;
} show;

unsigned long FormWindow() { return Form() ? static_cast<unsigned long>(Form()->winId()) : 0; }

FrameExtents FromX(const x11::Extents& e) { return {e.left, e.right, e.top, e.bottom}; }

void Start(bool) {
    // The pointer may have opened X already; the frame needs it too.
    std::string why;
    if (!x11::Open(&why)) std::fprintf(stderr, "skorrel: %s; the window's frame is not known\n", why.c_str());
    QCoreApplication::instance()->installNativeEventFilter(&destroyWatch);
}

std::optional<FrameExtents> Measure() {
    const unsigned long w = FormWindow();
    if (!x11::Viewable(w)) return std::nullopt;
    return FromX(x11::MeasureFrame(w));
}

FrameExtents Promise() {
    x11::Extents e;
    return x11::RequestFrameExtents(FormWindow(), 500, e) ? FromX(e) : FrameExtents{};
}

void Showing() {
    show.framed = x11::FrameExtentsAnswered();
    show.managed = x11::WindowManagerRuns();
}

bool Shown() {
    const unsigned long w = FormWindow();
    return x11::Viewable(w) && (!show.managed || x11::FrameDeclared(w)) &&
           (!show.framed || x11::MeasureFrame(w) != x11::Extents{});
}

void Stop(std::unique_ptr<QApplication>& app) {
    x11::Close();
    app.reset();
}

}  // namespace

const WindowOps kX11Window = {
    .start = Start, .measure = Measure, .promise = Promise, .showing = Showing, .shown = Shown, .stop = Stop,
};

}  // namespace platform::qt
