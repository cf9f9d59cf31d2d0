#include "platform/qt/wayland.h"

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include <wayland-client.h>

#include "fractional-scale-v1-client-protocol.h"
#include "pointer-constraints-unstable-v1-client-protocol.h"
#include "relative-pointer-unstable-v1-client-protocol.h"
#include "viewporter-client-protocol.h"
#include "xdg-shell-client-protocol.h"

namespace platform::wl {

namespace {

struct Output {
    wl_output* output = nullptr;
    uint32_t id = 0;
    std::string name;
    int x = 0, y = 0, width = 0, height = 0, scale = 1;
};

// The arrow shown where the pointer is held: '#' black, 'o' white, tip at
// the top-left pixel; one pixel of it is one unit of the surface.
const char* const kArrow[] = {
    "#          ",
    "##         ",
    "#o#        ",
    "#oo#       ",
    "#ooo#      ",
    "#oooo#     ",
    "#ooooo#    ",
    "#oooooo#   ",
    "#ooooooo#  ",
    "#oooooooo# ",
    "#ooooo#####",
    "#oo#oo#    ",
    "#o# #oo#   ",
    "##  #oo#   ",
    "#    #oo#  ",
    "     #oo#  ",
    "      ##   ",
};
constexpr int kArrowW = 11;
constexpr int kArrowH = static_cast<int>(sizeof kArrow / sizeof kArrow[0]);

// Wider and taller than any output, in surface units.
constexpr int32_t kWholeSurface = 1 << 24;

// A shared-memory buffer of our own pixels.
struct Buffer {
    wl_buffer* buffer = nullptr;
    uint32_t* pixels = nullptr;
    void* map = nullptr;
    size_t size = 0;
    int w = 0, h = 0;
    bool busy = false;  // the compositor may still read it
};

// The window's picture on the covering surface: drawn into a few reused
// buffers, at most one commit a frame.
struct Picture {
    std::vector<uint32_t> pixels;  // the latest, not yet shown
    int pw = 0, ph = 0;            // its size in pixels
    int x = 0, y = 0, w = 0, h = 0;  // where, in screen pixels
    bool dirty = false;
    wl_callback* frame = nullptr;  // waiting for the compositor to draw
    Buffer slots[2];
    int shownX = -1, shownY = -1;  // position as last sent
};

// Roam: on several outputs the lock stays after the hold and the game
// moves the pointer by its relative motion, stopped at the screen's edges
// as a pointer is: KWin does not stop a confined pointer at the edge of
// its region (it drops the motion). On one output the lock ends at go!
// and the compositor moves the pointer itself, for every kind of device:
// under a lock an absolute one (a tablet, a virtual machine's pointer)
// moves nothing in mutter and jumps in sway.
enum class Want { Free, Hold, Roam, Confine };

struct State {
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_compositor* compositor = nullptr;
    wl_subcompositor* subcompositor = nullptr;
    wl_shm* shm = nullptr;
    wl_seat* seat = nullptr;
    wl_pointer* pointer = nullptr;
    xdg_wm_base* wmBase = nullptr;
    zwp_pointer_constraints_v1* constraints = nullptr;
    wp_viewporter* viewporter = nullptr;
    wp_fractional_scale_manager_v1* fractionalManager = nullptr;
    zwp_relative_pointer_manager_v1* relativeManager = nullptr;
    zwp_relative_pointer_v1* relative = nullptr;
    std::vector<Output> outputs;
    bool failed = false;

    // The covering surface and what hangs on it.
    wl_surface* surface = nullptr;
    xdg_surface* xdgSurface = nullptr;
    xdg_toplevel* toplevel = nullptr;
    wp_viewport* viewport = nullptr;
    wp_fractional_scale_v1* fractional = nullptr;
    Buffer clear;
    wl_surface* arrowSurface = nullptr;  // drawn at the held point
    wl_subsurface* arrowSub = nullptr;
    wp_viewport* arrowViewport = nullptr;
    Buffer arrow;
    wl_surface* cursorSurface = nullptr;  // the pointer's image once free
    Buffer cursor;
    wl_surface* windowSurface = nullptr;  // the game's window as it looks
    wl_subsurface* windowSub = nullptr;
    wp_viewport* windowViewport = nullptr;
    Picture picture;
    zwp_locked_pointer_v1* lock = nullptr;
    zwp_confined_pointer_v1* confinement = nullptr;
    int outputScale = 1;
    double fractionalScale = 0;  // the compositor's preferred scale, when it says one
    bool configured = false;
    uint32_t configureSerial = 0;
    bool ackDue = false;
    int configW = 0, configH = 0;  // the size the compositor asks for
    int guessW = 0, guessH = 0;    // the output's logical size, as far as known
    int surfaceW = 0, surfaceH = 0;  // the size shown, surface coordinates
    int screenW = 0, screenH = 0;    // pixels of the toolkit's screen
    double shownScale = 0;           // buffer scale of the cursor and clear buffers
    bool closeRequested = false;

    // What the game wants, and what has been sent of it.
    Want want = Want::Free;
    int holdX = 0, holdY = 0;
    bool arrowShown = false;  // the arrow is wanted at holdX, holdY
    bool arrowDirty = false;
    bool cursorDirty = false;
    bool parentDirty = false;
    wl_callback* parentFrame = nullptr;  // the last placement not yet drawn
    double roamX = 0, roamY = 0;  // where the pointer roams, screen pixels
    bool roamMoved = false;

    // The pointer over the covering surface.
    bool entered = false;
    uint32_t enterSerial = 0;
    double sx = 0, sy = 0;
    bool seen = false;
    bool lockActive = false;  // the compositor said the lock took hold
    bool lockCame = false;    // ... at some time during this hold
    bool refusalTold = false;
};

State s;
// Outlives the connection, until the next one stands.
std::string failure;

template <typename... Args>
void Ignore(void*, Args...) {}

uint32_t NowMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint32_t>(t.tv_sec * 1000 + t.tv_nsec / 1000000);
}

// ---- failures -------------------------------------------------------------

void Fail(const std::string& why) {
    if (s.failed) return;
    s.failed = true;
    failure = why;
    std::fprintf(stderr, "skorrel: %s\n", why.c_str());
}

// True when the connection has failed; says why the first time.
bool Broken() {
    if (!s.display) return true;
    if (s.failed) return true;
    const int err = wl_display_get_error(s.display);
    if (err == 0) return false;
    if (err == EPROTO) {
        const wl_interface* iface = nullptr;
        uint32_t id = 0;
        const uint32_t code = wl_display_get_protocol_error(s.display, &iface, &id);
        Fail("the Wayland compositor ended the connection (protocol error " + std::to_string(code) + " on " +
             (iface ? iface->name : "an unknown object") + ")");
    } else {
        Fail(std::string("the connection to the Wayland compositor was lost (") + std::strerror(err) + ")");
    }
    return true;
}

// Sends what is queued. False while the socket takes no more (the
// compositor is not reading): nothing more may be queued then, as the
// library drops the connection once its own buffer overflows.
bool Flush() {
    if (Broken()) return false;
    if (wl_display_flush(s.display) >= 0) return true;
    if (errno != EAGAIN) {
        Fail(std::string("the connection to the Wayland compositor was lost (") + std::strerror(errno) + ")");
    }
    return false;
}

// Destroys a proxy: with its request while the connection stands, only
// here once it has failed.
template <typename T>
void Drop(T*& p, void (*destroy)(T*)) {
    if (!p) return;
    if (s.failed || !s.display)
        wl_proxy_destroy(reinterpret_cast<wl_proxy*>(p));
    else
        destroy(p);
    p = nullptr;
}

// ---- buffers --------------------------------------------------------------

void ReleaseBuffer(void* data, wl_buffer*) { static_cast<Buffer*>(data)->busy = false; }
const wl_buffer_listener kBufferListener = {ReleaseBuffer};

void FreeBuffer(Buffer& b) {
    Drop(b.buffer, wl_buffer_destroy);
    if (b.map) munmap(b.map, b.size);
    b = Buffer{};
}

// A transparent w x h buffer (a new file reads as zeros).
bool MakeBuffer(Buffer& b, int w, int h) {
    FreeBuffer(b);
    if (w <= 0 || h <= 0) return false;
    const int stride = w * 4;
    const size_t size = static_cast<size_t>(stride) * static_cast<size_t>(h);
    const int fd = memfd_create("skorrel", MFD_CLOEXEC);
    if (fd < 0) return false;
    void* map = MAP_FAILED;
    if (ftruncate(fd, static_cast<off_t>(size)) == 0)
        map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        close(fd);
        return false;
    }
    wl_shm_pool* pool = wl_shm_create_pool(s.shm, fd, static_cast<int32_t>(size));
    b.buffer = wl_shm_pool_create_buffer(pool, 0, w, h, stride, WL_SHM_FORMAT_ARGB8888);
    wl_shm_pool_destroy(pool);
    close(fd);  // the request holds a copy of its own
    wl_buffer_add_listener(b.buffer, &kBufferListener, &b);
    b.map = map;
    b.pixels = static_cast<uint32_t*>(map);
    b.size = size;
    b.w = w;
    b.h = h;
    return true;
}

// ---- scale ----------------------------------------------------------------

// Buffer pixels per unit of the surface: the compositor's preferred
// fractional scale, drawn through a viewport, where it says one; else the
// output's whole scale, as the surface's buffer scale.
bool Fractional() { return s.viewporter && s.fractionalScale > 0; }
double BufferScale() { return Fractional() ? s.fractionalScale : s.outputScale; }

int Pixels(double units, double scale) { return std::max(1, static_cast<int>(std::lround(units * scale))); }

// Screen pixels to surface units and back.
double ToSurfaceX(double px) { return s.screenW > 0 ? px * s.surfaceW / s.screenW : px; }
double ToSurfaceY(double py) { return s.screenH > 0 ? py * s.surfaceH / s.screenH : py; }

// A buffer shown as w x h units: through its viewport at a fractional
// scale, else at a whole buffer scale.
void ShowBuffer(wl_surface* surface, wp_viewport* viewport, const Buffer& b, int w, int h) {
    wl_surface_attach(surface, b.buffer, 0, 0);
    wl_surface_damage_buffer(surface, 0, 0, b.w, b.h);
    if (viewport && Fractional()) {
        wp_viewport_set_destination(viewport, w, h);
        wl_surface_set_buffer_scale(surface, 1);
    } else {
        if (viewport) wp_viewport_set_destination(viewport, -1, -1);
        wl_surface_set_buffer_scale(surface, std::max(1, static_cast<int>(std::lround(double(b.w) / w))));
    }
}

// The arrow, its tip (ox, oy) pixels in from the buffer's corner.
bool MakeArrow(Buffer& b, double scale, int ox, int oy) {
    const int w = Pixels(kArrowW + 1, scale), h = Pixels(kArrowH + 1, scale);
    if (!MakeBuffer(b, w, h)) return false;
    for (int y = oy; y < h; ++y) {
        const int ay = static_cast<int>((y - oy) / scale);
        if (ay >= kArrowH) break;
        for (int x = ox; x < w; ++x) {
            const int ax = static_cast<int>((x - ox) / scale);
            if (ax >= kArrowW) break;
            const char c = kArrow[ay][ax];
            b.pixels[y * w + x] = c == '#' ? 0xFF000000u : c == 'o' ? 0xFFFFFFFFu : 0u;
        }
    }
    return true;
}

// ---- sending what is wanted ------------------------------------------------

// The game draws the arrow only while the compositor holds the pointer
// still; otherwise the compositor's own pointer shows, so that the player
// never sees two arrows, nor one frozen where the pointer is not.
bool ArrowStands() { return s.arrowShown && s.lockActive; }

void SendCursor() {
    if (!s.pointer || !s.entered) return;
    // Hidden while held: the arrow drawn at the held point stands for it.
    if (ArrowStands())
        wl_pointer_set_cursor(s.pointer, s.enterSerial, nullptr, 0, 0);
    else if (s.cursorSurface && s.cursor.buffer)
        wl_pointer_set_cursor(s.pointer, s.enterSerial, s.cursorSurface, 0, 0);
}

void SendSize() {
    if (s.ackDue) {
        xdg_surface_ack_configure(s.xdgSurface, s.configureSerial);
        s.ackDue = false;
    }
    const int w = s.configW > 0 ? s.configW : s.guessW;
    const int h = s.configH > 0 ? s.configH : s.guessH;
    const double scale = BufferScale();
    if (w == s.surfaceW && h == s.surfaceH && scale == s.shownScale && s.clear.buffer) return;
    s.surfaceW = w;
    s.surfaceH = h;
    s.shownScale = scale;
    // Transparent: one pixel stretched over the output where a viewport
    // can, else a buffer as big as the surface.
    if (s.viewport ? (s.clear.buffer || MakeBuffer(s.clear, 1, 1)) : MakeBuffer(s.clear, w, h)) {
        wl_surface_attach(s.surface, s.clear.buffer, 0, 0);
        wl_surface_damage_buffer(s.surface, 0, 0, s.clear.w, s.clear.h);
        if (s.viewport) wp_viewport_set_destination(s.viewport, w, h);
        s.parentDirty = true;
    }
    // The pointer's image at the next whole scale, through its buffer
    // scale: KWin 5.27 draws a cursor surface's buffer as it is, whatever
    // its viewport says.
    const int cursorScale = std::max(1, static_cast<int>(std::ceil(scale - 1e-9)));
    if (s.cursorSurface && MakeArrow(s.cursor, cursorScale, 0, 0)) {
        ShowBuffer(s.cursorSurface, nullptr, s.cursor, kArrowW + 1, kArrowH + 1);
        wl_surface_commit(s.cursorSurface);
        s.cursorDirty = true;
    }
    s.arrowDirty = true;
    // The same window, placed anew on the new size.
    if (!s.picture.pixels.empty()) s.picture.dirty = true;
}

void SendArrow() {
    if (!s.arrowSurface) return;
    if (!ArrowStands()) {
        wl_surface_attach(s.arrowSurface, nullptr, 0, 0);
        wl_surface_commit(s.arrowSurface);
        return;
    }
    // Placed on whole units, the tip drawn the fraction in: exact at any
    // scale.
    const double hx = ToSurfaceX(s.holdX), hy = ToSurfaceY(s.holdY);
    const double scale = BufferScale();
    const int ux = static_cast<int>(std::floor(hx)), uy = static_cast<int>(std::floor(hy));
    const int ox = static_cast<int>(std::lround((hx - ux) * scale));
    const int oy = static_cast<int>(std::lround((hy - uy) * scale));
    if (!MakeArrow(s.arrow, scale, ox, oy)) return;
    wl_subsurface_set_position(s.arrowSub, ux, uy);
    ShowBuffer(s.arrowSurface, s.arrowViewport, s.arrow, kArrowW + 1, kArrowH + 1);
    wl_surface_commit(s.arrowSurface);
    s.parentDirty = true;
    // Drawn anew (the scale changed) while it roams: where it roams.
    if (s.want == Want::Roam) s.roamMoved = true;
}

// The arrow where the pointer roams: the same picture moved, its tip
// within half a unit of the point.
void MoveArrow() {
    if (!s.arrowSub || !s.arrow.buffer) return;
    const double fx = ToSurfaceX(s.holdX) - std::floor(ToSurfaceX(s.holdX));
    const double fy = ToSurfaceY(s.holdY) - std::floor(ToSurfaceY(s.holdY));
    wl_subsurface_set_position(s.arrowSub, static_cast<int>(std::lround(ToSurfaceX(s.roamX) - fx)),
                               static_cast<int>(std::lround(ToSurfaceY(s.roamY) - fy)));
    s.parentDirty = true;
}

void FrameDone(void*, wl_callback* callback, uint32_t) {
    if (callback == s.picture.frame) s.picture.frame = nullptr;
    wl_callback_destroy(callback);
}
const wl_callback_listener kFrameListener = {FrameDone};

void ParentFrameDone(void*, wl_callback* callback, uint32_t) {
    if (callback == s.parentFrame) s.parentFrame = nullptr;
    wl_callback_destroy(callback);
}
const wl_callback_listener kParentFrameListener = {ParentFrameDone};

void SendPicture() {
    Picture& p = s.picture;
    if (!s.windowSurface || p.pixels.empty()) return;
    Buffer* slot = nullptr;
    for (Buffer& b : p.slots)
        if (!b.busy) {
            slot = &b;
            break;
        }
    if (slot && (!slot->buffer || slot->w != p.pw || slot->h != p.ph) && !MakeBuffer(*slot, p.pw, p.ph)) return;
    if (!slot) return;  // both still with the compositor: shown at a later frame
    std::memcpy(slot->pixels, p.pixels.data(), p.pixels.size() * sizeof(uint32_t));
    const int x = static_cast<int>(std::lround(ToSurfaceX(p.x))), y = static_cast<int>(std::lround(ToSurfaceY(p.y)));
    if (x != p.shownX || y != p.shownY) {
        wl_subsurface_set_position(s.windowSub, x, y);
        p.shownX = x;
        p.shownY = y;
        s.parentDirty = true;
    }
    ShowBuffer(s.windowSurface, s.windowViewport, *slot,
               std::max(1, static_cast<int>(std::lround(ToSurfaceX(p.w)))),
               std::max(1, static_cast<int>(std::lround(ToSurfaceY(p.h)))));
    slot->busy = true;
    p.frame = wl_surface_frame(s.windowSurface);
    wl_callback_add_listener(p.frame, &kFrameListener, nullptr);
    wl_surface_commit(s.windowSurface);
    p.dirty = false;
}

// A lock may come late (after a click on the surface, or seconds on): it
// holds from then on, and the arrow shows where it holds.
void LockListenerLocked(void*, zwp_locked_pointer_v1*) {
    s.lockActive = s.lockCame = true;
    s.arrowDirty = s.cursorDirty = true;
}
void LockListenerUnlocked(void*, zwp_locked_pointer_v1*) {
    s.lockActive = false;
    s.arrowDirty = s.cursorDirty = true;
}
const zwp_locked_pointer_v1_listener kLockListener = {LockListenerLocked, LockListenerUnlocked};

void SendConstraints() {
    if (s.lock && s.want != Want::Hold && s.want != Want::Roam) {
        // The compositor puts the pointer at the hint as the lock ends and
        // says nothing until it moves again. The hint is the surface's
        // state: it counts from the surface's next commit.
        if (s.lockActive) {
            zwp_locked_pointer_v1_set_cursor_position_hint(s.lock, wl_fixed_from_double(ToSurfaceX(s.holdX)),
                                                           wl_fixed_from_double(ToSurfaceY(s.holdY)));
            wl_surface_commit(s.surface);
        }
        Drop(s.lock, zwp_locked_pointer_v1_destroy);
        if (s.lockActive) {
            s.sx = ToSurfaceX(s.holdX);
            s.sy = ToSurfaceY(s.holdY);
            s.seen = true;
        }
        s.lockActive = false;
    }
    if (s.confinement && s.want != Want::Confine) Drop(s.confinement, zwp_confined_pointer_v1_destroy);
    if (!s.constraints || !s.pointer) return;
    if (!s.lock && s.want == Want::Hold) {
        // The whole surface, said as a region rather than none: KWin 5.27
        // takes no region as an empty one and then ignores the hint.
        wl_region* all = wl_compositor_create_region(s.compositor);
        wl_region_add(all, 0, 0, kWholeSurface, kWholeSurface);
        s.lock = zwp_pointer_constraints_v1_lock_pointer(s.constraints, s.surface, s.pointer, all,
                                                         ZWP_POINTER_CONSTRAINTS_V1_LIFETIME_PERSISTENT);
        wl_region_destroy(all);
        zwp_locked_pointer_v1_add_listener(s.lock, &kLockListener, nullptr);
        zwp_locked_pointer_v1_set_cursor_position_hint(s.lock, wl_fixed_from_double(ToSurfaceX(s.holdX)),
                                                       wl_fixed_from_double(ToSurfaceY(s.holdY)));
        s.parentDirty = true;
    }
    if (!s.confinement && s.want == Want::Confine) {
        s.confinement = zwp_pointer_constraints_v1_confine_pointer(s.constraints, s.surface, s.pointer, nullptr,
                                                                    ZWP_POINTER_CONSTRAINTS_V1_LIFETIME_PERSISTENT);
        s.parentDirty = true;
    }
}

// Brings the compositor up to what the game wants, when it is reading.
// Each step queues a few small requests, well within the library's buffer.
void Send() {
    if (!Flush() || !s.surface) return;
    if (s.configured) SendSize();
    SendConstraints();
    if (s.arrowDirty) {
        SendArrow();
        s.arrowDirty = false;
    }
    if (s.cursorDirty) {
        SendCursor();
        s.cursorDirty = false;
    }
    if (s.picture.dirty && !s.picture.frame) SendPicture();
    if (s.roamMoved && !s.parentFrame) {
        MoveArrow();
        s.roamMoved = false;
    }
    if (s.parentDirty) {
        // A roaming arrow is placed anew at most once a frame.
        if (s.want == Want::Roam && !s.parentFrame) {
            s.parentFrame = wl_surface_frame(s.surface);
            wl_callback_add_listener(s.parentFrame, &kParentFrameListener, nullptr);
        }
        wl_surface_commit(s.surface);
        s.parentDirty = false;
    }
    Flush();
}

// ---- the pointer ----------------------------------------------------------

void PointerEnter(void*, wl_pointer*, uint32_t serial, wl_surface* surface, wl_fixed_t x, wl_fixed_t y) {
    if (!s.surface || surface != s.surface) return;
    s.entered = true;
    s.enterSerial = serial;
    s.sx = wl_fixed_to_double(x);
    s.sy = wl_fixed_to_double(y);
    s.seen = true;
    s.cursorDirty = true;
}

void PointerLeave(void*, wl_pointer*, uint32_t, wl_surface* surface) {
    if (surface == s.surface) s.entered = false;
}

double ToScreenX(double sx) { return s.surfaceW > 0 ? sx * s.screenW / s.surfaceW : sx; }
double ToScreenY(double sy) { return s.surfaceH > 0 ? sy * s.screenH / s.surfaceH : sy; }

void PointerMotion(void*, wl_pointer*, uint32_t, wl_fixed_t x, wl_fixed_t y) {
    if (!s.entered) return;
    s.sx = wl_fixed_to_double(x);
    s.sy = wl_fixed_to_double(y);
    s.seen = true;
    // A lock the compositor suspended (another window took the focus):
    // the pointer moves on its own meanwhile, and roams on from there.
    if (s.want == Want::Roam) {
        s.roamX = std::clamp(ToScreenX(s.sx), 0.0, s.screenW - 1.0);
        s.roamY = std::clamp(ToScreenY(s.sy), 0.0, s.screenH - 1.0);
        s.roamMoved = true;
    }
}

void RelativeMotion(void*, zwp_relative_pointer_v1*, uint32_t, uint32_t, wl_fixed_t dx, wl_fixed_t dy, wl_fixed_t,
                    wl_fixed_t) {
    if (s.want != Want::Roam || !s.lockActive) return;
    // The motion comes in the pixels of the compositor's layout, which are
    // the screen's (mutter laid out in physical pixels gives physical
    // ones, though its surfaces count in logical ones). Pushed against an
    // edge, the pointer stays on its last pixel.
    s.roamX = std::clamp(s.roamX + wl_fixed_to_double(dx), 0.0, s.screenW - 1.0);
    s.roamY = std::clamp(s.roamY + wl_fixed_to_double(dy), 0.0, s.screenH - 1.0);
    s.roamMoved = true;
}

const zwp_relative_pointer_v1_listener kRelativeListener = {RelativeMotion};

const wl_pointer_listener kPointerListener = {
    PointerEnter, PointerLeave, PointerMotion, Ignore, Ignore, Ignore, Ignore, Ignore, Ignore, Ignore,
};

void SeatCapabilities(void*, wl_seat* seat, uint32_t caps) {
    const bool has = caps & WL_SEAT_CAPABILITY_POINTER;
    if (has && !s.pointer) {
        s.pointer = wl_seat_get_pointer(seat);
        wl_pointer_add_listener(s.pointer, &kPointerListener, nullptr);
        if (s.relativeManager) {
            s.relative = zwp_relative_pointer_manager_v1_get_relative_pointer(s.relativeManager, s.pointer);
            zwp_relative_pointer_v1_add_listener(s.relative, &kRelativeListener, nullptr);
        }
    } else if (!has && s.pointer) {
        Drop(s.relative, zwp_relative_pointer_v1_destroy);
        Drop(s.pointer, wl_pointer_release);
        s.entered = false;
    }
}

const wl_seat_listener kSeatListener = {SeatCapabilities, Ignore};

// ---- outputs --------------------------------------------------------------

Output* FindOutput(wl_output* o) {
    for (Output& out : s.outputs)
        if (out.output == o) return &out;
    return nullptr;
}

void OutputGeometry(void*, wl_output* o, int32_t x, int32_t y, int32_t, int32_t, int32_t, const char*, const char*,
                    int32_t) {
    if (Output* out = FindOutput(o)) out->x = x, out->y = y;
}

void OutputMode(void*, wl_output* o, uint32_t flags, int32_t w, int32_t h, int32_t) {
    if (!(flags & WL_OUTPUT_MODE_CURRENT)) return;
    if (Output* out = FindOutput(o)) out->width = w, out->height = h;
}

void OutputScale(void*, wl_output* o, int32_t scale) {
    if (Output* out = FindOutput(o)) out->scale = std::max(1, scale);
}

void OutputName(void*, wl_output* o, const char* name) {
    if (Output* out = FindOutput(o)) out->name = name ? name : "";
}

const wl_output_listener kOutputListener = {OutputGeometry, OutputMode, Ignore, OutputScale, OutputName, Ignore};

// ---- shells ---------------------------------------------------------------

void WmPing(void*, xdg_wm_base* base, uint32_t serial) { xdg_wm_base_pong(base, serial); }
const xdg_wm_base_listener kWmBaseListener = {WmPing};

// Acked and applied in Send, with what else is due.
void XdgSurfaceConfigure(void*, xdg_surface*, uint32_t serial) {
    s.configureSerial = serial;
    s.ackDue = true;
    s.configured = true;
}

const xdg_surface_listener kXdgSurfaceListener = {XdgSurfaceConfigure};

// Some compositors (sway) first ask for 0 x 0, meaning "choose", and give
// the output's size once the surface shows.
void ToplevelConfigure(void*, xdg_toplevel*, int32_t w, int32_t h, wl_array*) {
    s.configW = w;
    s.configH = h;
}

void ToplevelClose(void*, xdg_toplevel*) { s.closeRequested = true; }

const xdg_toplevel_listener kToplevelListener = {ToplevelConfigure, ToplevelClose, Ignore, Ignore};

void PreferredScale(void*, wp_fractional_scale_v1*, uint32_t scale) {
    s.fractionalScale = scale / 120.0;
}

const wp_fractional_scale_v1_listener kFractionalListener = {PreferredScale};

// ---- the registry ---------------------------------------------------------

template <typename T>
T* Bind(wl_registry* registry, uint32_t name, const wl_interface* iface, uint32_t have, uint32_t want) {
    return static_cast<T*>(wl_registry_bind(registry, name, iface, std::min(have, want)));
}

void Global(void*, wl_registry* registry, uint32_t name, const char* iface, uint32_t version) {
    const std::string_view i(iface);
    if (i == wl_compositor_interface.name && version >= 4) {
        s.compositor = Bind<wl_compositor>(registry, name, &wl_compositor_interface, version, 4);
    } else if (i == wl_subcompositor_interface.name) {
        s.subcompositor = Bind<wl_subcompositor>(registry, name, &wl_subcompositor_interface, version, 1);
    } else if (i == wl_shm_interface.name) {
        s.shm = Bind<wl_shm>(registry, name, &wl_shm_interface, version, 1);
    } else if (i == wl_seat_interface.name && !s.seat) {
        s.seat = Bind<wl_seat>(registry, name, &wl_seat_interface, version, 5);
        wl_seat_add_listener(s.seat, &kSeatListener, nullptr);
    } else if (i == wl_output_interface.name) {
        Output out;
        out.id = name;
        out.output = Bind<wl_output>(registry, name, &wl_output_interface, version, 4);
        s.outputs.push_back(out);
        wl_output_add_listener(out.output, &kOutputListener, nullptr);
    } else if (i == xdg_wm_base_interface.name) {
        s.wmBase = Bind<xdg_wm_base>(registry, name, &xdg_wm_base_interface, version, 1);
        xdg_wm_base_add_listener(s.wmBase, &kWmBaseListener, nullptr);
    } else if (i == zwp_pointer_constraints_v1_interface.name) {
        s.constraints =
            Bind<zwp_pointer_constraints_v1>(registry, name, &zwp_pointer_constraints_v1_interface, version, 1);
    } else if (i == wp_viewporter_interface.name) {
        s.viewporter = Bind<wp_viewporter>(registry, name, &wp_viewporter_interface, version, 1);
    } else if (i == zwp_relative_pointer_manager_v1_interface.name) {
        s.relativeManager = Bind<zwp_relative_pointer_manager_v1>(
            registry, name, &zwp_relative_pointer_manager_v1_interface, version, 1);
    } else if (i == wp_fractional_scale_manager_v1_interface.name) {
        s.fractionalManager = Bind<wp_fractional_scale_manager_v1>(
            registry, name, &wp_fractional_scale_manager_v1_interface, version, 1);
    }
}

void GlobalRemove(void*, wl_registry*, uint32_t name) {
    for (auto it = s.outputs.begin(); it != s.outputs.end(); ++it) {
        if (it->id != name) continue;
        Drop(it->output, wl_output_destroy);
        s.outputs.erase(it);
        return;
    }
}

const wl_registry_listener kRegistryListener = {Global, GlobalRemove};

// Reads what has come, without waiting longer than timeoutMs for it.
void Read(int timeoutMs) {
    if (Broken()) return;
    while (wl_display_prepare_read(s.display) != 0) {
        if (wl_display_dispatch_pending(s.display) < 0) return void(Broken());
    }
    pollfd p{wl_display_get_fd(s.display), POLLIN, 0};
    // A hang-up reads as the end of the stream, which the library reports.
    if (poll(&p, 1, timeoutMs) > 0)
        wl_display_read_events(s.display);
    else
        wl_display_cancel_read(s.display);
    wl_display_dispatch_pending(s.display);
    Broken();
}

// Reads, dispatches and sends until done() or timeoutMs have passed.
template <typename Done>
void WaitFor(Done done, uint32_t timeoutMs) {
    const uint32_t t0 = NowMs();
    Send();
    while (!done() && !Broken()) {
        const uint32_t spent = NowMs() - t0;
        if (spent >= timeoutMs) break;
        Read(static_cast<int>(std::min<uint32_t>(timeoutMs - spent, 20)));
        Send();
    }
}

Output* ChooseOutput(const Screen& screen) {
    for (Output& out : s.outputs)
        if (!screen.name.empty() && out.name == screen.name) return &out;
    for (Output& out : s.outputs)
        if (out.x == screen.x && out.y == screen.y) return &out;
    return s.outputs.empty() ? nullptr : &s.outputs.front();
}

// A sub-surface of the covering surface that takes no input, so the pointer
// stays over the covering surface itself; placed above those made before.
wl_surface* PictureOnCover(wl_subsurface*& sub, wp_viewport*& viewport) {
    wl_surface* surface = wl_compositor_create_surface(s.compositor);
    wl_region* none = wl_compositor_create_region(s.compositor);
    wl_surface_set_input_region(surface, none);
    wl_region_destroy(none);
    sub = wl_subcompositor_get_subsurface(s.subcompositor, surface, s.surface);
    wl_subsurface_set_desync(sub);
    if (s.viewporter) viewport = wp_viewporter_get_viewport(s.viewporter, surface);
    return surface;
}

void SyncDone(void* done, wl_callback* callback, uint32_t) {
    *static_cast<bool*>(done) = true;
    wl_callback_destroy(callback);
}
const wl_callback_listener kSyncListener = {SyncDone};

// Everything of the covering surface goes, with its requests where the
// connection still stands.
void DropCover() {
    Drop(s.lock, zwp_locked_pointer_v1_destroy);
    Drop(s.confinement, zwp_confined_pointer_v1_destroy);
    Drop(s.picture.frame, wl_callback_destroy);
    Drop(s.parentFrame, wl_callback_destroy);
    for (Buffer& b : s.picture.slots) FreeBuffer(b);
    s.picture = Picture{};
    Drop(s.arrowViewport, wp_viewport_destroy);
    Drop(s.arrowSub, wl_subsurface_destroy);
    Drop(s.arrowSurface, wl_surface_destroy);
    FreeBuffer(s.arrow);
    Drop(s.cursorSurface, wl_surface_destroy);
    FreeBuffer(s.cursor);
    Drop(s.windowViewport, wp_viewport_destroy);
    Drop(s.windowSub, wl_subsurface_destroy);
    Drop(s.windowSurface, wl_surface_destroy);
    Drop(s.fractional, wp_fractional_scale_v1_destroy);
    Drop(s.viewport, wp_viewport_destroy);
    Drop(s.toplevel, xdg_toplevel_destroy);
    Drop(s.xdgSurface, xdg_surface_destroy);
    Drop(s.surface, wl_surface_destroy);
    FreeBuffer(s.clear);
    s.entered = s.seen = s.lockActive = s.lockCame = false;
    s.arrowShown = s.arrowDirty = s.cursorDirty = s.parentDirty = s.ackDue = s.roamMoved = false;
    s.want = Want::Free;
}

// Waits (outside the race) until the socket has taken all that is queued.
// A compositor that has not read for that long counts as gone: the game
// connects anew for the next race rather than pile requests on it.
bool Drained() {
    WaitFor([] { return Flush(); }, 2000);
    if (Flush()) return true;
    Fail("the Wayland compositor has not read from the game for two seconds");
    return false;
}

}  // namespace

bool Open(std::string* note) {
    if (s.display) return true;
    const char* name = std::getenv("WAYLAND_DISPLAY");
    if (!name || !*name) {
        failure = "not a Wayland session (WAYLAND_DISPLAY is not set)";
        return false;
    }
    s.display = wl_display_connect(nullptr);
    if (!s.display) {
        failure = std::string("cannot connect to the Wayland display ") + name;
        return false;
    }
    failure.clear();
    s.registry = wl_display_get_registry(s.display);
    wl_registry_add_listener(s.registry, &kRegistryListener, nullptr);
    wl_display_roundtrip(s.display);  // the globals
    wl_display_roundtrip(s.display);  // what the seat and outputs say of themselves
    if (!s.compositor || !s.shm || !s.wmBase || !s.subcompositor) {
        const std::string why = Broken() ? failure : "the Wayland compositor lacks what a covering surface needs";
        Close();
        failure = why;
        return false;
    }
    if (!s.constraints && note)
        *note = "the Wayland compositor offers no pointer constraints (zwp_pointer_constraints_v1), "
                "so the pointer cannot be held during the count-in";
    return true;
}

void Close() {
    if (!s.display) return;
    if (!s.failed) Flush();
    DropCover();
    Drop(s.relative, zwp_relative_pointer_v1_destroy);
    Drop(s.pointer, wl_pointer_release);
    for (Output& out : s.outputs) Drop(out.output, wl_output_destroy);
    Drop(s.relativeManager, zwp_relative_pointer_manager_v1_destroy);
    Drop(s.fractionalManager, wp_fractional_scale_manager_v1_destroy);
    Drop(s.viewporter, wp_viewporter_destroy);
    Drop(s.constraints, zwp_pointer_constraints_v1_destroy);
    Drop(s.wmBase, xdg_wm_base_destroy);
    if (s.seat && wl_proxy_get_version(reinterpret_cast<wl_proxy*>(s.seat)) >= 5)
        Drop(s.seat, wl_seat_release);
    Drop(s.seat, wl_seat_destroy);
    Drop(s.shm, wl_shm_destroy);
    Drop(s.subcompositor, wl_subcompositor_destroy);
    Drop(s.compositor, wl_compositor_destroy);
    Drop(s.registry, wl_registry_destroy);
    if (!s.failed) wl_display_flush(s.display);
    wl_display_disconnect(s.display);
    s = State{};
}

bool Connected() { return s.display && !s.failed; }

bool Holds() { return s.constraints != nullptr; }

const std::string& Failure() { return failure; }

int Fd() { return s.display ? wl_display_get_fd(s.display) : -1; }

void Dispatch() {
    if (Broken()) return;
    Read(0);
    Send();
}

double PictureScale() {
    if (s.screenW <= 0 || s.surfaceW <= 0) return 1;
    return BufferScale() * s.surfaceW / s.screenW;
}

void ShowWindow(int x, int y, int width, int height, const uint32_t* pixels, int pictureW, int pictureH) {
    if (!s.windowSurface || width <= 0 || height <= 0 || pictureW <= 0 || pictureH <= 0) return;
    Picture& p = s.picture;
    p.pixels.assign(pixels, pixels + static_cast<size_t>(pictureW) * static_cast<size_t>(pictureH));
    p.pw = pictureW;
    p.ph = pictureH;
    p.x = x;
    p.y = y;
    p.w = width;
    p.h = height;
    p.dirty = true;
    Send();
}

void Cover(const Screen& screen) {
    if (!Connected() || s.surface) return;
    if (!Drained()) return;
    Output* out = ChooseOutput(screen);
    s.screenW = screen.width;
    s.screenH = screen.height;
    s.outputScale = out ? out->scale : 1;
    s.fractionalScale = 0;
    s.guessW = out && out->width ? out->width / s.outputScale : screen.width;
    s.guessH = out && out->height ? out->height / s.outputScale : screen.height;
    s.configured = false;
    s.configW = s.configH = 0;
    s.surfaceW = s.surfaceH = 0;
    s.shownScale = 0;
    s.closeRequested = false;
    s.entered = s.seen = s.lockCame = false;

    s.surface = wl_compositor_create_surface(s.compositor);
    if (s.viewporter) s.viewport = wp_viewporter_get_viewport(s.viewporter, s.surface);
    if (s.viewporter && s.fractionalManager) {
        s.fractional = wp_fractional_scale_manager_v1_get_fractional_scale(s.fractionalManager, s.surface);
        wp_fractional_scale_v1_add_listener(s.fractional, &kFractionalListener, nullptr);
    }
    // Fullscreen, so that it covers panels too and the compositor gives it
    // the focus a pointer lock needs.
    s.xdgSurface = xdg_wm_base_get_xdg_surface(s.wmBase, s.surface);
    xdg_surface_add_listener(s.xdgSurface, &kXdgSurfaceListener, nullptr);
    s.toplevel = xdg_surface_get_toplevel(s.xdgSurface);
    xdg_toplevel_add_listener(s.toplevel, &kToplevelListener, nullptr);
    xdg_toplevel_set_title(s.toplevel, "Skorrel");
    xdg_toplevel_set_app_id(s.toplevel, "org.skorrel.Skorrel");
    xdg_toplevel_set_fullscreen(s.toplevel, out ? out->output : nullptr);
    // The window's picture, and the held arrow above it.
    s.windowSurface = PictureOnCover(s.windowSub, s.windowViewport);
    s.arrowSurface = PictureOnCover(s.arrowSub, s.arrowViewport);
    s.cursorSurface = wl_compositor_create_surface(s.compositor);
    wl_surface_commit(s.surface);
    WaitFor([] { return s.configured; }, 2000);
    // Without it nothing would show, and the race could never end.
    if (!s.configured) return Fail("the Wayland compositor did not show the game's covering surface");
    // Mapped with its first buffer; then the size the compositor gives a
    // fullscreen surface, and the pointer over it.
    WaitFor([] { return s.configW > 0 && s.configH > 0 && s.surfaceW == s.configW && !s.ackDue; }, 1000);
    WaitFor([] { return s.entered && (!s.fractional || s.fractionalScale > 0); }, 500);
}

void Uncover() {
    if (!s.surface) return;
    // Unlocked and gone before the game shows anything else: a compositor
    // that sees a new window while the fullscreen one still stands may not
    // focus it.
    if (!Drained()) {
        DropCover();
        return;
    }
    // Let go where the game's arrow stands: the compositor may put the
    // pointer there.
    if (s.lock && s.want == Want::Roam) {
        zwp_locked_pointer_v1_set_cursor_position_hint(s.lock, wl_fixed_from_double(ToSurfaceX(s.roamX)),
                                                       wl_fixed_from_double(ToSurfaceY(s.roamY)));
        wl_surface_commit(s.surface);
    }
    DropCover();
    bool done = false;
    wl_callback* sync = wl_display_sync(s.display);
    wl_callback_add_listener(sync, &kSyncListener, &done);
    WaitFor([&done] { return done; }, 500);
    if (!done) Drop(sync, wl_callback_destroy);
}

bool Covered() { return s.surface != nullptr; }

void Park(int x, int y) {
    if (!s.surface) return;
    s.holdX = x;
    s.holdY = y;
    // Without a lock nothing holds the pointer: show the real one.
    if (!s.constraints || !s.pointer) return;
    s.arrowShown = true;
    s.arrowDirty = s.cursorDirty = true;
    Send();
}

void Hold(int x, int y) {
    if (!s.surface || !s.constraints || !s.pointer) return;
    s.want = Want::Hold;
    s.holdX = x;
    s.holdY = y;
    s.arrowShown = true;
    s.arrowDirty = s.cursorDirty = true;
    Send();
}

void Confine() {
    // A roaming pointer stays on the screen by itself.
    if (!s.surface || s.want == Want::Roam) return;
    s.want = Want::Confine;
    Send();
}

void Free() {
    if (!s.surface || s.want == Want::Roam) return;
    // A compositor may offer locks and never grant one (sway 1.7 without a
    // seat section in its config): said once, as the race begins.
    if (s.want == Want::Hold && s.lock && !s.lockCame && !s.refusalTold) {
        std::fprintf(stderr, "skorrel: the compositor has not locked the pointer, so it was not held "
                             "during the count-in\n");
        s.refusalTold = true;
    }
    // On several outputs, held by a lock the compositor keeps: roam from
    // the held point, kept on this output.
    if (s.want == Want::Hold && s.lockActive && s.relative && s.outputs.size() > 1) {
        s.want = Want::Roam;
        s.roamX = s.holdX;
        s.roamY = s.holdY;
        s.seen = true;
        return;
    }
    const bool held = s.want == Want::Hold || s.arrowShown;
    s.want = Want::Free;
    if (held) {
        s.arrowShown = false;
        s.arrowDirty = s.cursorDirty = true;
    }
    Send();
}

bool Position(int& x, int& y) {
    if (s.want == Want::Roam) {
        x = static_cast<int>(std::floor(s.roamX));
        y = static_cast<int>(std::floor(s.roamY));
        return true;
    }
    if (!s.seen || s.surfaceW <= 0 || s.surfaceH <= 0) return false;
    const double kx = double(s.screenW) / s.surfaceW;
    const double ky = double(s.screenH) / s.surfaceH;
    x = std::clamp(static_cast<int>(std::floor(s.sx * kx)), 0, std::max(0, s.screenW - 1));
    y = std::clamp(static_cast<int>(std::floor(s.sy * ky)), 0, std::max(0, s.screenH - 1));
    return true;
}

bool CloseRequested() { return s.closeRequested; }

}  // namespace platform::wl
