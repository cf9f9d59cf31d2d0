// What the Wayland files share among themselves, behind wayland.h: one
// connection object holding the state of the registry's globals, the
// covering surface, the window's picture and the pointer, each in a struct
// of its own, and the calls one file makes of another. The listeners get
// the connection (or the part an object belongs to) as their data.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include <wayland-client.h>

#include "fractional-scale-v1-client-protocol.h"
#include "platform/posix/clock.h"
#include "platform/wayland/wayland.h"
#include "pointer-constraints-unstable-v1-client-protocol.h"
#include "relative-pointer-unstable-v1-client-protocol.h"
#include "viewporter-client-protocol.h"
#include "xdg-shell-client-protocol.h"

namespace platform::wl {

struct Output {
    wl_output* output = nullptr;
    uint32_t id = 0;
    std::string name;
    int x = 0, y = 0, width = 0, height = 0, scale = 1;
};

// A shared-memory buffer of our own pixels.
struct Buffer {
    wl_buffer* buffer = nullptr;
    uint32_t* pixels = nullptr;
    void* map = nullptr;
    size_t size = 0;
    int w = 0, h = 0;
    bool busy = false;  // the compositor may still read it
};

// A sub-surface of the covering surface: the window's picture, the arrow.
struct Layer {
    wl_surface* surface = nullptr;
    wl_subsurface* sub = nullptr;
    wp_viewport* viewport = nullptr;
};

struct Size {
    int width = 0, height = 0;
};

// The compositor's word that it drew a surface's last commit.
struct Frame {
    wl_callback* callback = nullptr;
    uint32_t asked = 0;  // MonotonicMs() when asked
};

// ---- the registry's globals (wl_display.cpp) -------------------------------

// What the registry offers that the game binds (the seat is the pointer's).
struct Globals {
    wl_compositor* compositor = nullptr;
    wl_subcompositor* subcompositor = nullptr;
    wl_shm* shm = nullptr;
    xdg_wm_base* wmBase = nullptr;
    zwp_pointer_constraints_v1* constraints = nullptr;
    wp_viewporter* viewporter = nullptr;
    wp_fractional_scale_manager_v1* fractionalManager = nullptr;
    zwp_relative_pointer_manager_v1* relativeManager = nullptr;
    std::vector<Output> outputs;
};

// ---- the covering surface (wl_cover.cpp) -----------------------------------

struct Connection;

// A clear fullscreen surface on another output, shown during a race played
// by an absolute device on several outputs: what the pointer does over it
// is read at the primary's nearest point.
struct SideCover {
    Connection* connection = nullptr;
    wl_output* output = nullptr;
    wl_surface* surface = nullptr;
    xdg_surface* xdgSurface = nullptr;
    xdg_toplevel* toplevel = nullptr;
    wp_viewport* viewport = nullptr;
    Buffer clear;
    int x = 0, y = 0;  // its output's origin less the primary's, compositor units
    struct {
        uint32_t serial = 0;
        bool ackDue = false;
        Size size;
    } configure;
    Size current;
};

struct CoverState {
    wl_surface* surface = nullptr;
    Buffer clear;  // what it shows: nothing
    xdg_surface* xdgSurface = nullptr;
    xdg_toplevel* toplevel = nullptr;
    wp_viewport* viewport = nullptr;
    wp_fractional_scale_v1* fractional = nullptr;
    // What the compositor asked last; acked and applied in Send.
    struct {
        bool received = false;
        uint32_t serial = 0;
        bool ackDue = false;
        Size size;  // the size the compositor asks for
    } configure;
    Size guess;    // the output's logical size, as far as known
    Size current;  // the size shown, surface coordinates
    Size screen;   // pixels of the toolkit's screen
    struct {
        int output = 1;
        double fractional = 0;  // the compositor's preferred scale, when it says one
        double shown = 0;       // buffer scale of the cursor and clear buffers
    } scale;
    bool closeRequested = false;
    wl_output* output = nullptr;  // the primary's, where known
    std::list<SideCover> sides;   // on every other output, while wanted
    bool dirty = false;           // a commit is due (a sub-surface placed, a constraint asked)
    Frame frame;                  // the last placement not yet drawn
};

// ---- the window's picture (wl_picture.cpp) ---------------------------------

// The window's picture on the covering surface: drawn into a few reused
// buffers, at most one commit a frame.
struct PictureState {
    Layer layer;
    std::vector<uint32_t> pixels;    // the latest, not yet shown
    int pw = 0, ph = 0;              // its size in pixels
    int x = 0, y = 0, w = 0, h = 0;  // where, in screen pixels
    bool dirty = false;
    Frame frame;  // waiting for the compositor to draw
    Buffer slots[2];
    int shownX = -1, shownY = -1;  // position as last sent
};

// ---- the pointer (wl_pointer.cpp) ------------------------------------------

// Confine: on several outputs the pointer is kept on the covering surface
// and the compositor moves it, stopped at the surface's edge, for every
// kind of device. Roam: where the compositor drops a confined pointer's
// motion past the edge instead (KWin 5.27), the pointer is locked again
// and the game moves it by its relative motion, stopped at the screen's
// edges as a pointer is. Under a lock an absolute device (a tablet, a
// virtual machine's pointer) moves nothing in mutter and KWin and jumps in
// sway, so roaming is the fallback only. Reach: an absolute device where
// a confinement may not stop it either (KWin 5.27 keeps it where it was):
// the pointer is free on every output, and over another one it is read,
// and shown by the game, at the primary's nearest point.
enum class Want { Free, Hold, Roam, Confine, Reach };

struct PointerState {
    wl_seat* seat = nullptr;
    wl_pointer* device = nullptr;  // the seat's pointer
    zwp_relative_pointer_v1* relative = nullptr;
    // The pointer over the covering surface.
    struct {
        bool entered = false;
        uint32_t serial = 0;  // of the enter
        double x = 0, y = 0;  // surface coordinates
        bool seen = false;
    } over;
    // What the game wants, and what has been sent of it.
    Want want = Want::Free;
    struct {
        int x = 0, y = 0;
    } hold;
    struct {
        double x = 0, y = 0;  // where the pointer roams, screen pixels
        bool moved = false;
    } roam;
    struct {
        zwp_locked_pointer_v1* handle = nullptr;
        bool active = false;  // the compositor said the lock took hold
        bool came = false;    // ... at some time during this hold
        bool refusalTold = false;
    } lock;
    zwp_confined_pointer_v1* confinement = nullptr;
    bool confined = false;  // the compositor said the confinement took hold
    // Relative motion that took a confined pointer past an edge: where it
    // was (screen pixels) and which way it went, -1, 0 or 1 on each axis.
    // Checked once the events read with it are in.
    struct {
        double x = 0, y = 0;
        int dx = 0, dy = 0;
        double tx = 0, ty = 0;  // where the motion alone would take it
    } pushed;
    // An absolute device: motion over the confined surface with no
    // relative motion beside it, in so many reads running. Kept for the
    // connection's later races.
    struct {
        bool motion = false, relative = false;
        int runs = 0;
        bool known = false;
    } absolute;
    // The side cover the pointer is over; the game reads it, and shows it,
    // at roam.
    struct {
        const SideCover* cover = nullptr;
    } side;
    // Drawn at the held point.
    struct {
        Layer layer;
        Buffer buffer;
        bool shown = false;  // the arrow is wanted at hold
        bool dirty = false;
    } arrow;
    // The pointer's image once free.
    struct {
        wl_surface* surface = nullptr;
        Buffer buffer;
        bool dirty = false;
    } cursor;
};

// ---- the connection (wl_display.cpp) ---------------------------------------

// One connection to the compositor and all that hangs on it: made by Open,
// gone with Close.
struct Connection {
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    bool failed = false;
    bool opening = false;  // Open's caller says why it failed
    Globals globals;
    CoverState cover;
    PictureState picture;
    PointerState pointer;
};

// The connection that stands (or has failed and is not yet closed); null
// without one.
Connection* Current();

template <typename... Args>
void OnIgnored(void*, Args...) {}

void Fail(Connection& c, const std::string& why);
bool Broken(Connection& c);
bool Flush(Connection& c);
void Read(Connection& c, int timeoutMs);
bool Drained(Connection& c);
bool Synced(Connection& c, uint32_t timeoutMs);
Output* ChooseOutput(Connection& c, const Screen& screen);

// Destroys a proxy: with its request while the connection stands, only
// here once it has failed.
template <typename T>
void Drop(const Connection& c, T*& p, void (*destroy)(T*)) {
    if (!p) return;
    if (c.failed || !c.display)
        wl_proxy_destroy(reinterpret_cast<wl_proxy*>(p));
    else
        destroy(p);
    p = nullptr;
}

// Brings the compositor up to what the game wants (wl_cover.cpp).
void Send(Connection& c);

// Reads, dispatches and sends until done() or timeoutMs have passed.
template <typename Done>
void WaitFor(Connection& c, Done done, uint32_t timeoutMs) {
    const uint32_t t0 = posix::MonotonicMs();
    Send(c);
    while (!done() && !Broken(c)) {
        const uint32_t spent = posix::MonotonicMs() - t0;
        if (spent >= timeoutMs) break;
        Read(c, static_cast<int>(std::min<uint32_t>(timeoutMs - spent, 20)));
        Send(c);
    }
}

// ---- buffers (wl_shm.cpp) --------------------------------------------------

void FreeBuffer(const Connection& c, Buffer& b);
bool MakeBuffer(const Connection& c, Buffer& b, int w, int h);
void ShowBuffer(const Connection& c, wl_surface* surface, wp_viewport* viewport, const Buffer& b, int w, int h);

// ---- the covering surface (wl_cover.cpp) -----------------------------------

// Asks to hear when the surface's next commit is drawn.
void AskFrame(const Connection& c, Frame& f, wl_surface* surface);
// True once the last frame asked was drawn, or waited for long enough.
bool FrameDone(const Connection& c, Frame& f);

void DropLayer(const Connection& c, Layer& layer);

bool Fractional(const Connection& c);
double BufferScale(const Connection& c);
double ToSurfaceX(const Connection& c, double px);
double ToSurfaceY(const Connection& c, double py);
double ToScreenX(const Connection& c, double sx);
double ToScreenY(const Connection& c, double sy);
void DropCover(Connection& c);
// The side covers, shown while the pointer reaches past the primary, and
// the one a surface is.
void SendSides(Connection& c);
void DropSides(Connection& c);
const SideCover* FindSide(const Connection& c, const wl_surface* surface);

// ---- the window's picture (wl_picture.cpp) ---------------------------------

void SendPicture(Connection& c);
// What the picture had on the covering surface goes.
void DropPicture(Connection& c);

// ---- the pointer (wl_pointer.cpp) ------------------------------------------

extern const wl_seat_listener kSeatListener;

// The pointer's image drawn anew at this buffer scale.
void DrawCursor(Connection& c, double scale);
void SendCursor(Connection& c);
void SendArrow(Connection& c);
void MoveArrow(Connection& c);
void SendConstraints(Connection& c);
// Lets go of the lock where the game shows the pointer.
void EndLock(Connection& c);
// What the pointer had on the covering surface goes: constraints, the
// arrow, its image; it is over it no more.
void DropPointerCover(Connection& c);
// The seat and its pointer go, as the connection closes.
void DropSeat(Connection& c);

}  // namespace platform::wl
