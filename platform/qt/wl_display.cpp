// The Wayland connection: connecting and closing, reading and flushing
// without waiting on a busy compositor, its failures, the registry's
// globals and the outputs.
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "platform/qt/wl_internal.h"

namespace platform::wl {

Connection connection;
Globals globals;

namespace {

// Outlives the connection, until the next one stands.
std::string failure;

// ---- outputs --------------------------------------------------------------

Output* FindOutput(wl_output* o) {
    for (Output& out : globals.outputs)
        if (out.output == o) return &out;
    return nullptr;
}

void OnOutputGeometry(void*, wl_output* o, int32_t x, int32_t y, int32_t, int32_t, int32_t, const char*,
                      const char*, int32_t) {
    if (Output* out = FindOutput(o)) out->x = x, out->y = y;
}

void OnOutputMode(void*, wl_output* o, uint32_t flags, int32_t w, int32_t h, int32_t) {
    if (!(flags & WL_OUTPUT_MODE_CURRENT)) return;
    if (Output* out = FindOutput(o)) out->width = w, out->height = h;
}

void OnOutputScale(void*, wl_output* o, int32_t scale) {
    if (Output* out = FindOutput(o)) out->scale = std::max(1, scale);
}

void OnOutputName(void*, wl_output* o, const char* name) {
    if (Output* out = FindOutput(o)) out->name = name ? name : "";
}

const wl_output_listener kOutputListener = {OnOutputGeometry, OnOutputMode, OnIgnored, OnOutputScale, OnOutputName,
                                            OnIgnored};

// ---- the registry ---------------------------------------------------------

void OnWmBasePing(void*, xdg_wm_base* base, uint32_t serial) { xdg_wm_base_pong(base, serial); }
const xdg_wm_base_listener kWmBaseListener = {OnWmBasePing};

template <typename T>
T* Bind(wl_registry* registry, uint32_t name, const wl_interface* iface, uint32_t have, uint32_t want) {
    return static_cast<T*>(wl_registry_bind(registry, name, iface, std::min(have, want)));
}

void OnRegistryGlobal(void*, wl_registry* registry, uint32_t name, const char* iface, uint32_t version) {
    const std::string_view i(iface);
    if (i == wl_compositor_interface.name && version >= 4) {
        globals.compositor = Bind<wl_compositor>(registry, name, &wl_compositor_interface, version, 4);
    } else if (i == wl_subcompositor_interface.name) {
        globals.subcompositor = Bind<wl_subcompositor>(registry, name, &wl_subcompositor_interface, version, 1);
    } else if (i == wl_shm_interface.name) {
        globals.shm = Bind<wl_shm>(registry, name, &wl_shm_interface, version, 1);
    } else if (i == wl_seat_interface.name && !pointer.seat) {
        pointer.seat = Bind<wl_seat>(registry, name, &wl_seat_interface, version, 5);
        wl_seat_add_listener(pointer.seat, &kSeatListener, nullptr);
    } else if (i == wl_output_interface.name) {
        Output out;
        out.id = name;
        out.output = Bind<wl_output>(registry, name, &wl_output_interface, version, 4);
        globals.outputs.push_back(out);
        wl_output_add_listener(out.output, &kOutputListener, nullptr);
    } else if (i == xdg_wm_base_interface.name) {
        globals.wmBase = Bind<xdg_wm_base>(registry, name, &xdg_wm_base_interface, version, 1);
        xdg_wm_base_add_listener(globals.wmBase, &kWmBaseListener, nullptr);
    } else if (i == zwp_pointer_constraints_v1_interface.name) {
        globals.constraints =
            Bind<zwp_pointer_constraints_v1>(registry, name, &zwp_pointer_constraints_v1_interface, version, 1);
    } else if (i == wp_viewporter_interface.name) {
        globals.viewporter = Bind<wp_viewporter>(registry, name, &wp_viewporter_interface, version, 1);
    } else if (i == zwp_relative_pointer_manager_v1_interface.name) {
        globals.relativeManager = Bind<zwp_relative_pointer_manager_v1>(
            registry, name, &zwp_relative_pointer_manager_v1_interface, version, 1);
    } else if (i == wp_fractional_scale_manager_v1_interface.name) {
        globals.fractionalManager = Bind<wp_fractional_scale_manager_v1>(
            registry, name, &wp_fractional_scale_manager_v1_interface, version, 1);
    }
}

void OnRegistryGlobalRemove(void*, wl_registry*, uint32_t name) {
    for (auto it = globals.outputs.begin(); it != globals.outputs.end(); ++it) {
        if (it->id != name) continue;
        Drop(it->output, wl_output_destroy);
        globals.outputs.erase(it);
        return;
    }
}

const wl_registry_listener kRegistryListener = {OnRegistryGlobal, OnRegistryGlobalRemove};

void OnSyncDone(void* done, wl_callback* callback, uint32_t) {
    *static_cast<bool*>(done) = true;
    wl_callback_destroy(callback);
}
const wl_callback_listener kSyncListener = {OnSyncDone};

}  // namespace

uint32_t NowMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint32_t>(t.tv_sec * 1000 + t.tv_nsec / 1000000);
}

// ---- failures -------------------------------------------------------------

void Fail(const std::string& why) {
    if (connection.failed) return;
    connection.failed = true;
    failure = why;
    std::fprintf(stderr, "skorrel: %s\n", why.c_str());
}

// True when the connection has failed; says why the first time.
bool Broken() {
    if (!connection.display) return true;
    if (connection.failed) return true;
    const int err = wl_display_get_error(connection.display);
    if (err == 0) return false;
    if (err == EPROTO) {
        const wl_interface* iface = nullptr;
        uint32_t id = 0;
        const uint32_t code = wl_display_get_protocol_error(connection.display, &iface, &id);
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
    if (wl_display_flush(connection.display) >= 0) return true;
    if (errno != EAGAIN) {
        Fail(std::string("the connection to the Wayland compositor was lost (") + std::strerror(errno) + ")");
    }
    return false;
}

// Reads what has come, without waiting longer than timeoutMs for it.
void Read(int timeoutMs) {
    if (Broken()) return;
    while (wl_display_prepare_read(connection.display) != 0) {
        if (wl_display_dispatch_pending(connection.display) < 0) return void(Broken());
    }
    pollfd p{wl_display_get_fd(connection.display), POLLIN, 0};
    // A hang-up reads as the end of the stream, which the library reports.
    if (poll(&p, 1, timeoutMs) > 0)
        wl_display_read_events(connection.display);
    else
        wl_display_cancel_read(connection.display);
    wl_display_dispatch_pending(connection.display);
    Broken();
}

// A roundtrip that gives up after timeoutMs: true once the compositor has
// handled everything sent before it.
bool Synced(uint32_t timeoutMs) {
    if (Broken()) return false;
    bool done = false;
    wl_callback* sync = wl_display_sync(connection.display);
    wl_callback_add_listener(sync, &kSyncListener, &done);
    WaitFor([&done] { return done; }, timeoutMs);
    if (!done) Drop(sync, wl_callback_destroy);
    return done;
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

Output* ChooseOutput(const Screen& screen) {
    for (Output& out : globals.outputs)
        if (!screen.name.empty() && out.name == screen.name) return &out;
    for (Output& out : globals.outputs)
        if (out.x == screen.x && out.y == screen.y) return &out;
    return globals.outputs.empty() ? nullptr : &globals.outputs.front();
}

bool Open(std::string* note) {
    if (connection.display) return true;
    const char* name = std::getenv("WAYLAND_DISPLAY");
    if (!name || !*name) {
        failure = "not a Wayland session (WAYLAND_DISPLAY is not set)";
        return false;
    }
    connection.display = wl_display_connect(nullptr);
    if (!connection.display) {
        failure = std::string("cannot connect to the Wayland display ") + name;
        return false;
    }
    failure.clear();
    connection.registry = wl_display_get_registry(connection.display);
    wl_registry_add_listener(connection.registry, &kRegistryListener, nullptr);
    // The globals, then what the seat and outputs say of themselves; a
    // compositor still stuck since the last failure fails this one too.
    const uint32_t t0 = NowMs();
    const bool answered = Synced(2000) && Synced(2000 - std::min<uint32_t>(2000, NowMs() - t0));
    if (!answered || !globals.compositor || !globals.shm || !globals.wmBase || !globals.subcompositor) {
        const std::string why = Broken()    ? failure
                                : !answered ? "the Wayland compositor has not answered the game for two seconds"
                                            : "the Wayland compositor lacks what a covering surface needs";
        Close();
        failure = why;
        return false;
    }
    if (!globals.constraints && note)
        *note = "the Wayland compositor offers no pointer constraints (zwp_pointer_constraints_v1), "
                "so the pointer cannot be held during the count-in";
    return true;
}

void Close() {
    if (!connection.display) return;
    if (!connection.failed) Flush();
    DropCover();
    Drop(pointer.relative, zwp_relative_pointer_v1_destroy);
    Drop(pointer.device, wl_pointer_release);
    for (Output& out : globals.outputs) Drop(out.output, wl_output_destroy);
    Drop(globals.relativeManager, zwp_relative_pointer_manager_v1_destroy);
    Drop(globals.fractionalManager, wp_fractional_scale_manager_v1_destroy);
    Drop(globals.viewporter, wp_viewporter_destroy);
    Drop(globals.constraints, zwp_pointer_constraints_v1_destroy);
    Drop(globals.wmBase, xdg_wm_base_destroy);
    if (pointer.seat && wl_proxy_get_version(reinterpret_cast<wl_proxy*>(pointer.seat)) >= 5)
        Drop(pointer.seat, wl_seat_release);
    Drop(pointer.seat, wl_seat_destroy);
    Drop(globals.shm, wl_shm_destroy);
    Drop(globals.subcompositor, wl_subcompositor_destroy);
    Drop(globals.compositor, wl_compositor_destroy);
    Drop(connection.registry, wl_registry_destroy);
    if (!connection.failed) wl_display_flush(connection.display);
    wl_display_disconnect(connection.display);
    connection = Connection{};
    globals = Globals{};
    cover = CoverState{};
    picture = PictureState{};
    pointer = PointerState{};
}

bool Connected() { return connection.display && !connection.failed; }

bool Holds() { return globals.constraints != nullptr; }

const std::string& Failure() { return failure; }

int Fd() { return connection.display ? wl_display_get_fd(connection.display) : -1; }

void Dispatch() {
    if (Broken()) return;
    Read(0);
    Send();
}

}  // namespace platform::wl
