// What the Linux backend's files share among themselves: the pointer's
// table of operations, one filled for X11 and one for Wayland, and what
// the screen and the form offer the rest.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "platform/platform.h"

class QAbstractNativeEventFilter;
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
// The window is an X11 one (else Qt's own on Wayland).
bool WindowOnX11();

// ---- the form (qt_form.cpp) ------------------------------------------------

QWidget* Form();
// Every control, the form first; nullptr where none is made yet.
std::span<QWidget* const> Controls();
// The player has closed the window, or it is gone.
void Closed();
// The player closed the game from the race's cover (the desktop's close
// key on it): the window closes as through its own close.
void CloseForm();
// Counts a window destroyed from outside as closed.
QAbstractNativeEventFilter* FormDestroyWatch();
// Lets go of the form and its controls, at the end of the event loop.
void DeleteForm();

}  // namespace platform::qt
