// The pointer in a Wayland session, on a connection of our own. A client
// can neither move nor read the global pointer there, so from the hold to
// the end of the race a transparent surface covers the primary output: it
// sees every motion over it, and a pointer lock asked of the compositor
// holds the pointer during the count-in. No Qt here, as in x11.h.
#pragma once

#include <cstdint>
#include <string>

namespace platform::wl {

// Connects when the session is Wayland (WAYLAND_DISPLAY); false with *why
// otherwise. A compositor without pointer constraints still connects:
// Holds() then says false and *why says why.
bool Open(std::string* why);
void Close();
bool Holds();

// The connection's file descriptor, for the toolkit to watch, and the
// dispatch of whatever it has to read; never blocks.
int Fd();
void Dispatch();

// The primary screen as the toolkit knows it: its name, its origin in the
// desktop's coordinates and its size in pixels.
struct Screen {
    std::string name;
    int x = 0, y = 0, width = 0, height = 0;
};

// Shows the covering surface on the output of that screen and waits
// (briefly) until the compositor has placed it.
void Cover(const Screen& screen);
void Uncover();
bool Covered();

// Screen pixels, relative to the covered screen's origin.
// The game's window as it looks now, ARGB rows, shown where it stands:
// a compositor may hide every other window under a fullscreen one.
void ShowWindow(int x, int y, int width, int height, const uint32_t* pixels);
// Where the pointer is shown from now on, until it moves.
void Park(int x, int y);
// Locks the pointer and shows it at (x, y); the compositor puts it there
// when the lock ends.
void Hold(int x, int y);
// Keeps the pointer on the covering surface, free to move on it.
void Confine();
// Ends the lock or the confinement; after a lock the pointer goes on from
// the held point.
void Free();
// The last position seen on the covering surface; false before any.
bool Position(int& x, int& y);

// True once the compositor closed the covering surface (the player's
// close-window key, say).
bool CloseRequested();

}  // namespace platform::wl
