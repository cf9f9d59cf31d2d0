// The form as Qt's own Wayland window: the compositor places and frames
// it, and tells neither, so its frame counts as none and the show waits
// only for it to be exposed.
#include <QApplication>
#include <QWidget>
#include <QWindow>

#include "platform/qt/qt_internal.h"
#include "platform/x11/x11.h"

namespace platform::qt {

namespace {

// Nothing of the window needs X; the pointer may.
void Start(bool pointerOnX11) {
    if (!pointerOnX11) x11::Close();
}

std::optional<FrameExtents> Measure() { return FrameExtents{}; }
FrameExtents Promise() { return {}; }
void Showing() {}

bool Shown() { return Form() && Form()->windowHandle() && Form()->windowHandle()->isExposed(); }

void Stop(std::unique_ptr<QApplication>& app) {
    // Qt 6.4's own Wayland connection can wait for ever, as the toolkit
    // goes, for its reading thread (seen once in a few dozen closes). All
    // is saved by now: leave it to the end of the process.
    static_cast<void>(app.release());
}

}  // namespace

const WindowOps kWaylandWindow = {
    .start = Start, .measure = Measure, .promise = Promise, .showing = Showing, .shown = Shown, .stop = Stop,
};

}  // namespace platform::qt
