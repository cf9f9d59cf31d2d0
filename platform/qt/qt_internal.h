// What the Linux backend's files share among themselves: the pointer's and
// the window's tables of operations, each filled once for X11 and once for
// Wayland, and what the screen and the form offer the rest.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/platform.h"

class QApplication;
class QPoint;
class QScreen;
class QWidget;

namespace platform::qt {

// The pointer one way or the other: through Xlib on the root window
// (pointer_x11.cpp), or through a surface covering the screen in a
// Wayland session (pointer_wl.cpp). Chosen once, at Init.
struct PointerOps {
    // SetCursorPos, GetCursorPos, ClipCursor, TrackPointer, PointerLost.
    void (*put)(int32_t x, int32_t y);
    void (*get)(POINT& p);
    void (*clip)(const RECT* r);
    void (*track)(bool on);
    std::string (*lost)();
    // The application stands: watch what the pointer's connection says.
    void (*start)();
    // After each pump of the toolkit's events.
    void (*pump)();
    // A caption or an enabled state of the form has changed.
    void (*formChanged)();
    // The window is gone: nothing may keep the pointer.
    void (*release)();
    // The event loop has ended.
    void (*stop)();
};

extern const PointerOps kX11Pointer;
extern const PointerOps kWaylandPointer;

// The table chosen at Init (X11 before it).
const PointerOps& ThePointer();

// Connects to the compositor for the pointer (pointer_wl.cpp); says on
// standard error when it cannot hold the pointer.
bool OpenWayland();

// The frame around the form's client area, in pixels.
struct FrameExtents {
    int left = 0, right = 0, top = 0, bottom = 0;
    bool operator==(const FrameExtents&) const = default;
};

// The window one way or the other: an X11 one, whose frame the window
// manager is asked about (window_x11.cpp), or Qt's own on Wayland, placed
// by the compositor, its frame not known (window_wl.cpp). Chosen once, at
// Init, from the platform Qt took.
struct WindowOps {
    // The application stands; the pointer goes through X11 or not.
    void (*start)(bool pointerOnX11);
    // The frame of the mapped form; nothing while it is not mapped.
    std::optional<FrameExtents> (*measure)();
    // The frame the form is promised before it first maps.
    FrameExtents (*promise)();
    // The form has just been shown: what the wait for it needs to know.
    void (*showing)();
    // The shown form is mapped, and framed where a frame comes.
    bool (*shown)();
    // The event loop has ended and the form is gone: lets go of what the
    // window needed, the application last.
    void (*stop)(std::unique_ptr<QApplication>& app);
};

extern const WindowOps kX11Window;
extern const WindowOps kWaylandWindow;

// The table chosen at Init (the Wayland one, which asks nothing, before it).
const WindowOps& TheWindow();

// ---- the screen (qt_platform.cpp) ------------------------------------------

// The primary screen; nullptr before Init.
const QScreen* PrimaryScreen();
QPoint ScreenOrigin();
// A confinement to the whole primary screen (the race on a desktop of
// several monitors) rather than a hold.
bool WholeScreen(const RECT& r);
double TwipsPerPixelX();
double TwipsPerPixelY();
int PixelsX(double twips);
int PixelsY(double twips);

// ---- the form (qt_form.cpp) ------------------------------------------------

QWidget* Form();
// Every control, the form first; nullptr where none is made yet.
std::span<QWidget* const> Controls();
// The player has closed the window, or it is gone.
void Closed();
// The player closed the game from the race's cover (the desktop's close
// key on it): the window closes as through its own close.
void CloseForm();
// Lets go of the form and its controls, at the end of the event loop.
void DeleteForm();

}  // namespace platform::qt
