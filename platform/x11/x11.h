// Plain Xlib on its own connection: the pointer, its confinement and what
// the window manager tells about frames. No Qt here, nor in its library:
// the Xlib macros (None, Bool, KeyPress, ...) would clash with it. Windows
// come in as plain X ids.
#pragma once

#include <string>

namespace platform::x11 {

// The server's display connection for this file; false with *why when
// there is no X display to talk to.
bool Open(std::string* why);
void Close();

// Root window coordinates, in device pixels.
void Warp(int x, int y);
bool Query(int& x, int& y);
// Holds the pointer in the rectangle (right and bottom exclusive) by an
// active grab confined to a window placed there; the server moves an
// outside pointer in at once.
void Confine(int left, int top, int right, int bottom);
// Keeps the pointer in the rectangle with barriers along its sides, as the
// screen's edges do: no grab, so every window keeps its clicks. Warps pass
// them; a mouse does not. False when the server has no barriers.
bool Fence(int left, int top, int right, int bottom);
// Ends a confinement or a fence.
void Release();
bool Confined();
bool Fenced();

// While a race runs, a clear window over the primary monitor, above every
// other: a compositing desktop takes a window the monitor's size for a
// fullscreen one and holds its hot corners (GNOME Shell), and the pointer
// enters it rather than the window manager's own edge windows (KWin), so no
// corner or edge action opens mid-race. Only where a compositor draws it
// clear; without one nothing is put up. Right and bottom exclusive.
void Cover(int left, int top, int right, int bottom);
void Uncover();
// The cover has the keyboard: the window manager's close key (Alt+F4)
// closes it, which means the player wants the game closed. Reads what the
// server has sent this connection.
bool CoverCloseRequested();

struct Extents {
    int left = 0, right = 0, top = 0, bottom = 0;
    bool operator==(const Extents&) const = default;
};

// True when an EWMH window manager runs.
bool WindowManagerRuns();
// The window manager has framed the window: it has declared the frame's
// extents or put the window in a frame of its own, sized around it.
bool FrameDeclared(unsigned long window);
// True when an EWMH window manager runs and answers frame-extent requests.
bool FrameExtentsAnswered();
// Asks the window manager what frame it would give the (unmapped) window;
// waits up to timeoutMs for the answer.
bool RequestFrameExtents(unsigned long window, int timeoutMs, Extents& e);
// The frame of a mapped window: _NET_FRAME_EXTENTS when the window manager
// sets it, else measured from the window's top-level ancestor. Zero
// without a window manager.
Extents MeasureFrame(unsigned long window);
bool Viewable(unsigned long window);

}  // namespace platform::x11
