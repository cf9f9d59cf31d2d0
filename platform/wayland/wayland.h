// The pointer in a Wayland session, on a connection of our own. A client
// can neither move nor read the global pointer there, so from the hold to
// the end of the race a transparent surface covers the primary output: it
// sees every motion over it, and a pointer lock asked of the compositor
// holds the pointer during the count-in. No Qt here, nor in its library, as
// in x11.h: the toolkit hands in plain data (the screen, the window's
// pixels) and watches Fd() itself.
//
// Nothing here waits on a busy compositor: what can be skipped (a newer
// picture of the window) waits for the compositor's frame callback, half a
// second at most, and what must reach it (lock, unlock, destroy) is kept
// until the socket takes it.
#pragma once

#include <cstdint>
#include <string>

namespace platform::wl {

// Connects when the session is Wayland (WAYLAND_DISPLAY) and the compositor
// answers within two seconds; false otherwise, and Failure() says why. A compositor without pointer constraints still
// connects: Holds() then says false and *note says why.
bool Open(std::string* note);
// Disconnects; Failure() stays until the next Open.
void Close();
bool Connected();
bool Holds();

// Why the connection is gone (cut by the compositor, a protocol error, no
// compositor to connect to); empty while it stands. Said once on standard
// error when it happens.
const std::string& Failure();

// The connection's file descriptor, for the toolkit to watch, and the
// dispatch of whatever it has to read and send; never blocks.
int Fd();
void Dispatch();

// The primary screen as the toolkit knows it: its name, its origin in the
// desktop's coordinates and its size in pixels.
struct Screen {
    std::string name;
    int x = 0, y = 0, width = 0, height = 0;
};

// Shows the covering surface on the output of that screen and waits
// (briefly) until the compositor has placed it and given it its size.
void Cover(const Screen& screen);
void Uncover();
bool Covered();

// Below, positions and sizes are in screen pixels, relative to the covered
// screen's origin.

// How many pixels a picture of the window should have per screen pixel to
// be drawn sharp at the output's scale.
double PictureScale();
// The game's window as it looks now, shown where it stands (a compositor
// may hide every other window under a fullscreen one): width x height
// screen pixels drawn from a picture of pictureW x pictureH premultiplied
// ARGB pixels. Copied; shown at the compositor's next frame.
void ShowWindow(int x, int y, int width, int height, const uint32_t* pixels, int pictureW, int pictureH);
// Where the pointer is shown from now on, until it moves.
void Park(int x, int y);
// Locks the pointer and shows it at (x, y); the compositor puts it there
// when the lock ends.
void Hold(int x, int y);
// Keeps the pointer on the covering surface, free to move on it.
void Confine();
// Ends the lock or the confinement; after a lock the pointer goes on from
// the held point, on several outputs kept on the covered one (confined,
// moved by the game where the compositor does not stop it at the edge, or
// free and read at its nearest point for a device that gives positions).
void Free();
// The last position seen on the covering surface; false before any.
bool Position(int& x, int& y);

// True once the compositor closed the covering surface (the player's
// close-window key, say).
bool CloseRequested();

}  // namespace platform::wl
