// The Wayland connection: connecting and closing, reading and flushing
// without waiting on a busy compositor, its failures, the registry's
// globals and the outputs.
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "platform/wayland/wl_internal.h"

namespace platform::wl {

namespace {

// Heap-held, so that the listeners' data stays where it is.
std::unique_ptr<Connection> current;
// Outlives the connection, until the next one stands.
std::string failure;

// ---- outputs --------------------------------------------------------------

Output* FindOutput(Connection& c, wl_output* o) {
    for (Output& out : c.globals.outputs)
        if (out.output == o) return &out;
    return nullptr;
}

void OnOutputGeometry(void* data, wl_output* o, int32_t x, int32_t y, int32_t, int32_t, int32_t, const char*,
                      const char*, int32_t) {
    if (Output* out = FindOutput(*static_cast<Connection*>(data), o)) out->x = x, out->y = y;
}

void OnOutputMode(void* data, wl_output* o, uint32_t flags, int32_t w, int32_t h, int32_t) {
    if (!(flags & WL_OUTPUT_MODE_CURRENT)) return;
    if (Output* out = FindOutput(*static_cast<Connection*>(data), o)) out->width = w, out->height = h;
}

void OnOutputScale(void* data, wl_output* o, int32_t scale) {
    if (Output* out = FindOutput(*static_cast<Connection*>(data), o)) out->scale = std::max(1, scale);
}

void OnOutputName(void* data, wl_output* o, const char* name) {
    if (Output* out = FindOutput(*static_cast<Connection*>(data), o)) out->name = name ? name : "";
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

void OnRegistryGlobal(void* data, wl_registry* registry, uint32_t name, const char* iface, uint32_t version) {
    Connection& c = *static_cast<Connection*>(data);
    Globals& g = c.globals;
    const std::string_view i(iface);
    if (i == wl_compositor_interface.name && version >= 4) {
        g.compositor = Bind<wl_compositor>(registry, name, &wl_compositor_interface, version, 4);
    } else if (i == wl_subcompositor_interface.name) {
        g.subcompositor = Bind<wl_subcompositor>(registry, name, &wl_subcompositor_interface, version, 1);
    } else if (i == wl_shm_interface.name) {
        g.shm = Bind<wl_shm>(registry, name, &wl_shm_interface, version, 1);
    } else if (i == wl_seat_interface.name && !c.pointer.seat) {
        c.pointer.seat = Bind<wl_seat>(registry, name, &wl_seat_interface, version, 5);
        wl_seat_add_listener(c.pointer.seat, &kSeatListener, &c);
    } else if (i == wl_output_interface.name) {
        Output out;
        out.id = name;
        out.output = Bind<wl_output>(registry, name, &wl_output_interface, version, 4);
        g.outputs.push_back(out);
        wl_output_add_listener(out.output, &kOutputListener, &c);
    } else if (i == xdg_wm_base_interface.name) {
        g.wmBase = Bind<xdg_wm_base>(registry, name, &xdg_wm_base_interface, version, 1);
        xdg_wm_base_add_listener(g.wmBase, &kWmBaseListener, &c);
    } else if (i == zwp_pointer_constraints_v1_interface.name) {
        g.constraints =
            Bind<zwp_pointer_constraints_v1>(registry, name, &zwp_pointer_constraints_v1_interface, version, 1);
    } else if (i == wp_viewporter_interface.name) {
        g.viewporter = Bind<wp_viewporter>(registry, name, &wp_viewporter_interface, version, 1);
    } else if (i == zwp_relative_pointer_manager_v1_interface.name) {
        g.relativeManager = Bind<zwp_relative_pointer_manager_v1>(
            registry, name, &zwp_relative_pointer_manager_v1_interface, version, 1);
    } else if (i == wp_fractional_scale_manager_v1_interface.name) {
        g.fractionalManager = Bind<wp_fractional_scale_manager_v1>(
            registry, name, &wp_fractional_scale_manager_v1_interface, version, 1);
    }
}

void OnRegistryGlobalRemove(void* data, wl_registry*, uint32_t name) {
    Connection& c = *static_cast<Connection*>(data);
    auto& outputs = c.globals.outputs;
    for (auto it = outputs.begin(); it != outputs.end(); ++it) {
        if (it->id != name) continue;
        Drop(c, it->output, wl_output_destroy);
        outputs.erase(it);
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

Connection* Current() { return current.get(); }

// ---- failures -------------------------------------------------------------

void Fail(Connection& c, const std::string& why) {
    if (c.failed) return;
    c.failed = true;
    failure = why;
    if (!c.opening) std::fprintf(stderr, "skorrel: %s\n", why.c_str());
}

// True when the connection has failed; says why the first time.
bool Broken(Connection& c) {
    if (!c.display) return true;
    if (c.failed) return true;
    const int err = wl_display_get_error(c.display);
    if (err == 0) return false;
    if (err == EPROTO) {
        const wl_interface* iface = nullptr;
        uint32_t id = 0;
        const uint32_t code = wl_display_get_protocol_error(c.display, &iface, &id);
        Fail(c, "the Wayland compositor ended the connection (protocol error " + std::to_string(code) + " on " +
                    (iface ? iface->name : "an unknown object") + ")");
    } else {
        Fail(c, std::string("the connection to the Wayland compositor was lost (") + std::strerror(err) + ")");
    }
    return true;
}

// Sends what is queued. False while the socket takes no more (the
// compositor is not reading): nothing more may be queued then, as the
// library drops the connection once its own buffer overflows.
bool Flush(Connection& c) {
    if (Broken(c)) return false;
    if (wl_display_flush(c.display) >= 0) return true;
    if (errno != EAGAIN) {
        Fail(c, std::string("the connection to the Wayland compositor was lost (") + std::strerror(errno) + ")");
    }
    return false;
}

// Reads what has come, without waiting longer than timeoutMs for it.
void Read(Connection& c, int timeoutMs) {
    if (Broken(c)) return;
    while (wl_display_prepare_read(c.display) != 0) {
        if (wl_display_dispatch_pending(c.display) < 0) return void(Broken(c));
    }
    pollfd p{wl_display_get_fd(c.display), POLLIN, 0};
    // A hang-up reads as the end of the stream, which the library reports.
    if (poll(&p, 1, timeoutMs) > 0)
        wl_display_read_events(c.display);
    else
        wl_display_cancel_read(c.display);
    wl_display_dispatch_pending(c.display);
    Broken(c);
}

// A roundtrip that gives up after timeoutMs: true once the compositor has
// handled everything sent before it.
bool Synced(Connection& c, uint32_t timeoutMs) {
    if (Broken(c)) return false;
    bool done = false;
    wl_callback* sync = wl_display_sync(c.display);
    wl_callback_add_listener(sync, &kSyncListener, &done);
    WaitFor(c, [&done] { return done; }, timeoutMs);
    if (!done) Drop(c, sync, wl_callback_destroy);
    return done;
}

// Waits (outside the race) until the socket has taken all that is queued.
// A compositor that has not read for that long counts as gone: the game
// connects anew for the next race rather than pile requests on it.
bool Drained(Connection& c) {
    WaitFor(c, [&c] { return Flush(c); }, 2000);
    if (Flush(c)) return true;
    Fail(c, "the Wayland compositor has not read from the game for two seconds");
    return false;
}

Output* ChooseOutput(Connection& c, const Screen& screen) {
    auto& outputs = c.globals.outputs;
    for (Output& out : outputs)
        if (!screen.name.empty() && out.name == screen.name) return &out;
    for (Output& out : outputs)
        if (out.x == screen.x && out.y == screen.y) return &out;
    return outputs.empty() ? nullptr : &outputs.front();
}

bool Open(std::string* note) {
    if (current) return true;
    const char* name = std::getenv("WAYLAND_DISPLAY");
    if (!name || !*name) {
        failure = "not a Wayland session (WAYLAND_DISPLAY is not set)";
        return false;
    }
    wl_display* display = wl_display_connect(nullptr);
    if (!display) {
        failure = std::string("cannot connect to the Wayland display ") + name;
        return false;
    }
    failure.clear();
    current = std::make_unique<Connection>();
    Connection& c = *current;
    c.display = display;
    c.registry = wl_display_get_registry(c.display);
    wl_registry_add_listener(c.registry, &kRegistryListener, &c);
    // The globals, then what the seat and outputs say of themselves; a
    // compositor still stuck since the last failure fails this one too.
    const uint32_t t0 = posix::MonotonicMs();
    c.opening = true;
    const bool answered = Synced(c, 2000) && Synced(c, 2000 - std::min<uint32_t>(2000, posix::MonotonicMs() - t0));
    c.opening = false;
    const Globals& g = c.globals;
    if (!answered || !g.compositor || !g.shm || !g.wmBase || !g.subcompositor) {
        const std::string why = Broken(c)   ? failure
                                : !answered ? "the Wayland compositor has not answered the game for two seconds"
                                            : "the Wayland compositor lacks what a covering surface needs";
        Close();
        failure = why;
        return false;
    }
    if (!g.constraints && note)
        *note = "the Wayland compositor offers no pointer constraints (zwp_pointer_constraints_v1), "
                "so the pointer cannot be held during the count-in";
    return true;
}

void Close() {
    if (!current) return;
    Connection& c = *current;
    if (!c.failed) Flush(c);
    DropCover(c);
    DropSeat(c);
    Globals& g = c.globals;
    for (Output& out : g.outputs) Drop(c, out.output, wl_output_destroy);
    Drop(c, g.relativeManager, zwp_relative_pointer_manager_v1_destroy);
    Drop(c, g.fractionalManager, wp_fractional_scale_manager_v1_destroy);
    Drop(c, g.viewporter, wp_viewporter_destroy);
    Drop(c, g.constraints, zwp_pointer_constraints_v1_destroy);
    Drop(c, g.wmBase, xdg_wm_base_destroy);
    Drop(c, g.shm, wl_shm_destroy);
    Drop(c, g.subcompositor, wl_subcompositor_destroy);
    Drop(c, g.compositor, wl_compositor_destroy);
    Drop(c, c.registry, wl_registry_destroy);
    if (!c.failed) wl_display_flush(c.display);
    wl_display_disconnect(c.display);
    current.reset();
}

bool Connected() { return current && !current->failed; }

bool Holds() { return current && current->globals.constraints != nullptr; }

const std::string& Failure() { return failure; }

int Fd() { return current ? wl_display_get_fd(current->display) : -1; }

void Dispatch() {
    if (!current || Broken(*current)) return;
    Read(*current, 0);
    Send(*current);
}

}  // namespace platform::wl
