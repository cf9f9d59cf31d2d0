/* The least a Wayland client can do to show what the game shows in a
 * count-in, for the CPU benchmark to set the game against: a fullscreen
 * transparent covering surface, the window's picture as a sub-surface of
 * it, the arrow at the held point, the pointer locked and hidden; the
 * picture drawn anew at 1, 1.5 and 2.5 s and at 3.5 s ("go!"), when the
 * lock ends and the arrow becomes the pointer's image. No toolkit.
 *
 * Reads commands, one a line, from standard input:
 *   count    one count-in, from the press to go!; prints "counted"
 *   end      the race is over: the covering surface goes; prints "ended"
 *   flush    draws its small window anew and prints "flushed" once the
 *            compositor has shown it: a compositor that puts off drawing
 *            (mutter in software, headless) then draws what it put off
 * Prints "ready" once connected. Each option takes one thing away, to see
 * what it costs the compositor:
 *   --no-lock      the pointer is not locked
 *   --no-hide      the pointer's image is not hidden
 *   --no-updates   the picture is drawn once, not anew at each count
 *   --no-viewport  a buffer as big as the screen instead of one pixel
 *                  stretched by a viewport
 *   --no-scale     buffers at scale 1 on an output of a higher scale
 *   --keep         the covering surface shown once and kept, not shown
 *                  anew for each count-in
 *   --picture=WxH  the window's picture, in surface units (248x86)
 */
#define _GNU_SOURCE
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <wayland-client.h>

#include "pointer-constraints-unstable-v1-client-protocol.h"
#include "viewporter-client-protocol.h"
#include "xdg-shell-client-protocol.h"

struct buffer {
    struct wl_buffer *buffer;
    uint32_t *pixels;
    size_t size;
    int w, h, busy;
};

static struct {
    int lock, hide, updates, viewport, scale, keep;
    int pw, ph;
} want = {1, 1, 1, 1, 1, 0, 248, 86};

static struct wl_display *display;
static struct wl_compositor *compositor;
static struct wl_subcompositor *subcompositor;
static struct wl_shm *shm;
static struct xdg_wm_base *wm_base;
static struct wp_viewporter *viewporter;
static struct zwp_pointer_constraints_v1 *constraints;
static struct wl_seat *seat;
static struct wl_pointer *pointer;
static int output_scale = 1;
static int output_w, output_h;  /* the first output's mode, pixels */

/* One count-in's surfaces. */
static struct {
    struct wl_surface *surface;
    struct xdg_surface *xdg;
    struct xdg_toplevel *toplevel;
    struct wp_viewport *viewport;
    struct buffer clear;
    int configured, w, h;  /* surface units */
    struct wl_surface *picture;
    struct wl_subsurface *picture_sub;
    struct buffer slots[2];
    struct wl_callback *frame;
    struct wl_surface *arrow;
    struct wl_subsurface *arrow_sub;
    struct buffer arrow_buffer;
    struct wl_surface *cursor;
    struct buffer cursor_buffer;
    struct zwp_locked_pointer_v1 *lock;
    int free;  /* after go!: the arrow is the pointer's image */
} c;

/* A small window of its own, shown all along, for flush. */
static struct {
    struct wl_surface *surface;
    struct xdg_surface *xdg;
    struct xdg_toplevel *toplevel;
    struct buffer slots[2];
    int configured, shown, turn;
} small;

static uint32_t enter_serial;
static int entered;

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static void die(const char *why) {
    fprintf(stderr, "wayland_floor: %s\n", why);
    exit(1);
}

/* ---- buffers ------------------------------------------------------------ */

static void on_release(void *data, struct wl_buffer *b) {
    (void)b;
    ((struct buffer *)data)->busy = 0;
}
static const struct wl_buffer_listener release_listener = {on_release};

static void free_buffer(struct buffer *b) {
    if (b->buffer) wl_buffer_destroy(b->buffer);
    if (b->pixels) munmap(b->pixels, b->size);
    memset(b, 0, sizeof *b);
}

static void make_buffer(struct buffer *b, int w, int h) {
    free_buffer(b);
    b->size = (size_t)w * (size_t)h * 4;
    int fd = memfd_create("floor", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, (off_t)b->size) != 0) die("no shared memory");
    b->pixels = mmap(NULL, b->size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (b->pixels == MAP_FAILED) die("no shared memory");
    struct wl_shm_pool *pool = wl_shm_create_pool(shm, fd, (int32_t)b->size);
    b->buffer = wl_shm_pool_create_buffer(pool, 0, w, h, w * 4, WL_SHM_FORMAT_ARGB8888);
    wl_shm_pool_destroy(pool);
    close(fd);
    wl_buffer_add_listener(b->buffer, &release_listener, b);
    b->w = w;
    b->h = h;
}

static int scale(void) { return want.scale ? output_scale : 1; }

/* The arrow, black with a white rim, its tip at the top-left pixel. */
static void draw_arrow(struct buffer *b, int s) {
    for (int y = 0; y < b->h; ++y)
        for (int x = 0; x < b->w; ++x) {
            int ux = x / s, uy = y / s;
            uint32_t px = 0;
            if (ux <= uy && ux < 12 && uy < 18) px = (ux == 0 || ux == uy || uy == 17) ? 0xffffffff : 0xff000000;
            b->pixels[y * b->w + x] = px;
        }
}

/* The window as a grey panel with n marks on its button: what changes
 * between counts is a few hundred pixels, as a caption's. */
static void draw_picture(struct buffer *b, int n, int s) {
    for (int y = 0; y < b->h; ++y)
        for (int x = 0; x < b->w; ++x) {
            int ux = x / s, uy = y / s, mark = ux >= 100 && ux < 100 + 8 * n && ux % 8 < 5 && uy >= 20 && uy < 32;
            b->pixels[y * b->w + x] = mark ? 0xff000000 : 0xffd4d0c8;
        }
}

/* ---- listeners ---------------------------------------------------------- */

static void on_ping(void *data, struct xdg_wm_base *base, uint32_t serial) {
    (void)data;
    xdg_wm_base_pong(base, serial);
}
static const struct xdg_wm_base_listener wm_base_listener = {on_ping};

static void on_toplevel_configure(void *data, struct xdg_toplevel *t, int32_t w, int32_t h, struct wl_array *s) {
    (void)data, (void)t, (void)s;
    if (w > 0 && h > 0) {
        c.w = w;
        c.h = h;
    }
}
static void on_toplevel_close(void *data, struct xdg_toplevel *t) { (void)data, (void)t; }
static const struct xdg_toplevel_listener toplevel_listener = {.configure = on_toplevel_configure,
                                                          .close = on_toplevel_close};

/* Transparent, the size the compositor gives. */
static void on_configure(void *data, struct xdg_surface *xdg, uint32_t serial) {
    (void)data;
    xdg_surface_ack_configure(xdg, serial);
    if (c.w <= 0 || c.h <= 0) {
        /* "Choose" (sway, at first): the output's size, till it says. */
        c.w = output_w > 0 ? output_w / output_scale : 1;
        c.h = output_h > 0 ? output_h / output_scale : 1;
    }
    if (c.viewport) {
        if (!c.clear.buffer) make_buffer(&c.clear, 1, 1);
        wp_viewport_set_destination(c.viewport, c.w, c.h);
    } else if (c.clear.w != c.w || c.clear.h != c.h) {
        make_buffer(&c.clear, c.w, c.h);
    }
    wl_surface_attach(c.surface, c.clear.buffer, 0, 0);
    wl_surface_damage_buffer(c.surface, 0, 0, c.clear.w, c.clear.h);
    wl_surface_commit(c.surface);
    c.configured = 1;
}
static const struct xdg_surface_listener xdg_surface_listener = {on_configure};

static void show_cursor(void) {
    if (!entered) return;
    if (c.free && c.cursor)
        wl_pointer_set_cursor(pointer, enter_serial, c.cursor, 0, 0);
    else if (want.hide)
        wl_pointer_set_cursor(pointer, enter_serial, NULL, 0, 0);
}

static void on_enter(void *data, struct wl_pointer *p, uint32_t serial, struct wl_surface *s, wl_fixed_t x,
                     wl_fixed_t y) {
    (void)data, (void)p, (void)x, (void)y;
    entered = s == c.surface && s;
    enter_serial = serial;
    show_cursor();
}
static void on_leave(void *data, struct wl_pointer *p, uint32_t serial, struct wl_surface *s) {
    (void)data, (void)p, (void)serial, (void)s;
    entered = 0;
}
static void on_motion(void *data, struct wl_pointer *p, uint32_t t, wl_fixed_t x, wl_fixed_t y) {
    (void)data, (void)p, (void)t, (void)x, (void)y;
}
static void on_button(void *data, struct wl_pointer *p, uint32_t serial, uint32_t t, uint32_t b, uint32_t st) {
    (void)data, (void)p, (void)serial, (void)t, (void)b, (void)st;
}
static void on_axis(void *data, struct wl_pointer *p, uint32_t t, uint32_t axis, wl_fixed_t v) {
    (void)data, (void)p, (void)t, (void)axis, (void)v;
}
static const struct wl_pointer_listener pointer_listener = {
    .enter = on_enter, .leave = on_leave, .motion = on_motion, .button = on_button, .axis = on_axis};

static void on_output_geometry(void *data, struct wl_output *o, int32_t x, int32_t y, int32_t pw, int32_t ph,
                               int32_t sub, const char *make, const char *model, int32_t transform) {
    (void)data, (void)o, (void)x, (void)y, (void)pw, (void)ph, (void)sub, (void)make, (void)model, (void)transform;
}
static void on_output_mode(void *data, struct wl_output *o, uint32_t flags, int32_t w, int32_t h, int32_t r) {
    (void)data, (void)o, (void)r;
    if ((flags & WL_OUTPUT_MODE_CURRENT) && !output_w) {
        output_w = w;
        output_h = h;
    }
}
static void on_output_done(void *data, struct wl_output *o) { (void)data, (void)o; }
static void on_output_scale(void *data, struct wl_output *o, int32_t s) {
    (void)data, (void)o;
    if (s > output_scale) output_scale = s;
}
static const struct wl_output_listener output_listener = {
    .geometry = on_output_geometry, .mode = on_output_mode, .done = on_output_done, .scale = on_output_scale};

static void on_global(void *data, struct wl_registry *r, uint32_t name, const char *iface, uint32_t version) {
    (void)data, (void)version;
    if (!strcmp(iface, wl_compositor_interface.name))
        compositor = wl_registry_bind(r, name, &wl_compositor_interface, 4);
    else if (!strcmp(iface, wl_subcompositor_interface.name))
        subcompositor = wl_registry_bind(r, name, &wl_subcompositor_interface, 1);
    else if (!strcmp(iface, wl_shm_interface.name))
        shm = wl_registry_bind(r, name, &wl_shm_interface, 1);
    else if (!strcmp(iface, xdg_wm_base_interface.name)) {
        wm_base = wl_registry_bind(r, name, &xdg_wm_base_interface, 1);
        xdg_wm_base_add_listener(wm_base, &wm_base_listener, NULL);
    } else if (!strcmp(iface, wp_viewporter_interface.name))
        viewporter = wl_registry_bind(r, name, &wp_viewporter_interface, 1);
    else if (!strcmp(iface, zwp_pointer_constraints_v1_interface.name))
        constraints = wl_registry_bind(r, name, &zwp_pointer_constraints_v1_interface, 1);
    else if (!strcmp(iface, wl_seat_interface.name) && !seat)
        seat = wl_registry_bind(r, name, &wl_seat_interface, 1);
    else if (!strcmp(iface, wl_output_interface.name)) {
        struct wl_output *o = wl_registry_bind(r, name, &wl_output_interface, 2);
        wl_output_add_listener(o, &output_listener, NULL);
    }
}
static void on_global_remove(void *data, struct wl_registry *r, uint32_t name) { (void)data, (void)r, (void)name; }
static const struct wl_registry_listener registry_listener = {on_global, on_global_remove};

static void on_frame(void *data, struct wl_callback *cb, uint32_t t) {
    (void)data, (void)t;
    if (cb == c.frame) c.frame = NULL;
    wl_callback_destroy(cb);
}
static const struct wl_callback_listener frame_listener = {on_frame};

/* ---- the count-in ------------------------------------------------------- */

/* Dispatches the compositor's events until the time t, or until done. */
static void wait_until(double t, int *done) {
    for (;;) {
        if (wl_display_dispatch_pending(display) < 0) die("the connection broke");
        wl_display_flush(display);
        double left = t - now();
        if ((done && *done) || left <= 0) return;
        struct pollfd fd = {wl_display_get_fd(display), POLLIN, 0};
        if (wl_display_prepare_read(display) != 0) continue;
        if (poll(&fd, 1, (int)(left * 1000) + 1) > 0)
            wl_display_read_events(display);
        else
            wl_display_cancel_read(display);
    }
}

static struct wl_surface *layer(struct wl_subsurface **sub) {
    struct wl_surface *s = wl_compositor_create_surface(compositor);
    struct wl_region *none = wl_compositor_create_region(compositor);
    wl_surface_set_input_region(s, none);
    wl_region_destroy(none);
    *sub = wl_subcompositor_get_subsurface(subcompositor, s, c.surface);
    wl_subsurface_set_desync(*sub);
    return s;
}

/* The picture with n marks, in a buffer the compositor has let go of;
 * at most one a frame. */
static void send_picture(int n) {
    struct buffer *b = !c.slots[0].busy ? &c.slots[0] : !c.slots[1].busy ? &c.slots[1] : NULL;
    if (!b || c.frame) return;
    int s = scale();
    if (!b->buffer) make_buffer(b, want.pw * s, want.ph * s);
    draw_picture(b, n, s);
    wl_surface_attach(c.picture, b->buffer, 0, 0);
    wl_surface_damage_buffer(c.picture, 0, 0, b->w, b->h);
    wl_surface_set_buffer_scale(c.picture, s);
    b->busy = 1;
    c.frame = wl_surface_frame(c.picture);
    wl_callback_add_listener(c.frame, &frame_listener, NULL);
    wl_surface_commit(c.picture);
}

static void show(double t0) {
    c.surface = wl_compositor_create_surface(compositor);
    if (want.viewport && viewporter) c.viewport = wp_viewporter_get_viewport(viewporter, c.surface);
    c.xdg = xdg_wm_base_get_xdg_surface(wm_base, c.surface);
    xdg_surface_add_listener(c.xdg, &xdg_surface_listener, NULL);
    c.toplevel = xdg_surface_get_toplevel(c.xdg);
    xdg_toplevel_add_listener(c.toplevel, &toplevel_listener, NULL);
    xdg_toplevel_set_title(c.toplevel, "wayland_floor");
    xdg_toplevel_set_fullscreen(c.toplevel, NULL);
    c.picture = layer(&c.picture_sub);
    c.arrow = layer(&c.arrow_sub);
    c.cursor = wl_compositor_create_surface(compositor);
    wl_surface_commit(c.surface);
    wait_until(t0 + 2, &c.configured);
    if (!c.configured) die("the covering surface was not configured");

    int s = scale();
    wl_subsurface_set_position(c.picture_sub, (c.w - want.pw) / 2, (c.h - want.ph) / 2);
    make_buffer(&c.arrow_buffer, 12 * s, 18 * s);
    draw_arrow(&c.arrow_buffer, s);
    wl_subsurface_set_position(c.arrow_sub, c.w / 2, c.h / 2);
    make_buffer(&c.cursor_buffer, 12 * s, 18 * s);
    draw_arrow(&c.cursor_buffer, s);
    wl_surface_attach(c.cursor, c.cursor_buffer.buffer, 0, 0);
    wl_surface_damage_buffer(c.cursor, 0, 0, c.cursor_buffer.w, c.cursor_buffer.h);
    wl_surface_set_buffer_scale(c.cursor, s);
    wl_surface_commit(c.cursor);
}

/* The press: the window's picture, the arrow at the held point, the lock. */
static void hold(void) {
    int s = scale();
    c.free = 0;
    show_cursor();
    send_picture(0);
    wl_surface_attach(c.arrow, c.arrow_buffer.buffer, 0, 0);
    wl_surface_damage_buffer(c.arrow, 0, 0, c.arrow_buffer.w, c.arrow_buffer.h);
    wl_surface_set_buffer_scale(c.arrow, s);
    wl_surface_commit(c.arrow);
    if (want.lock && constraints && pointer) {
        /* The whole surface and more: some compositors ignore the hint
         * without a region. */
        struct wl_region *all = wl_compositor_create_region(compositor);
        wl_region_add(all, 0, 0, 1 << 24, 1 << 24);
        c.lock = zwp_pointer_constraints_v1_lock_pointer(constraints, c.surface, pointer, all,
                                                          ZWP_POINTER_CONSTRAINTS_V1_LIFETIME_PERSISTENT);
        wl_region_destroy(all);
    }
    wl_surface_commit(c.surface);
}

/* go!: the lock ends at the held point, the pointer shows the arrow. */
static void release(void) {
    if (c.lock) {
        zwp_locked_pointer_v1_set_cursor_position_hint(c.lock, wl_fixed_from_int(c.w / 2), wl_fixed_from_int(c.h / 2));
        wl_surface_commit(c.surface);
        zwp_locked_pointer_v1_destroy(c.lock);
        c.lock = NULL;
    }
    wl_surface_attach(c.arrow, NULL, 0, 0);
    wl_surface_commit(c.arrow);
    c.free = 1;
    show_cursor();
}

static void take_away(void) {
    if (c.frame) wl_callback_destroy(c.frame);
    wl_subsurface_destroy(c.arrow_sub);
    wl_surface_destroy(c.arrow);
    wl_subsurface_destroy(c.picture_sub);
    wl_surface_destroy(c.picture);
    wl_surface_destroy(c.cursor);
    xdg_toplevel_destroy(c.toplevel);
    xdg_surface_destroy(c.xdg);
    if (c.viewport) wp_viewport_destroy(c.viewport);
    wl_surface_destroy(c.surface);
    free_buffer(&c.arrow_buffer);
    free_buffer(&c.cursor_buffer);
    free_buffer(&c.clear);
    free_buffer(&c.slots[0]);
    free_buffer(&c.slots[1]);
    memset(&c, 0, sizeof c);
    entered = 0;
    wl_display_roundtrip(display);
}

static void on_small_configure(void *data, struct xdg_surface *xdg, uint32_t serial) {
    (void)data;
    xdg_surface_ack_configure(xdg, serial);
    small.configured = 1;
}
static const struct xdg_surface_listener small_listener = {on_small_configure};

static void on_small_frame(void *data, struct wl_callback *cb, uint32_t t) {
    (void)t;
    *(int *)data = 1;
    wl_callback_destroy(cb);
}
static const struct wl_callback_listener small_frame_listener = {on_small_frame};

/* A new buffer on the small window, until the compositor has drawn it. */
static void flush_compositor(void) {
    if (!small.surface) {
        small.surface = wl_compositor_create_surface(compositor);
        small.xdg = xdg_wm_base_get_xdg_surface(wm_base, small.surface);
        xdg_surface_add_listener(small.xdg, &small_listener, NULL);
        small.toplevel = xdg_surface_get_toplevel(small.xdg);
        xdg_toplevel_set_title(small.toplevel, "wayland_floor flush");
        wl_surface_commit(small.surface);
        wait_until(now() + 2, &small.configured);
    }
    struct buffer *b = &small.slots[small.turn ^= 1];
    if (b->busy) b = &small.slots[small.turn ^= 1];
    if (!b->buffer) make_buffer(b, 32, 32);
    for (int i = 0; i < 32 * 32; ++i) b->pixels[i] = small.turn ? 0xff808080 : 0xff909090;
    wl_surface_attach(small.surface, b->buffer, 0, 0);
    wl_surface_damage_buffer(small.surface, 0, 0, 32, 32);
    b->busy = 1;
    int drawn = 0;
    wl_callback_add_listener(wl_surface_frame(small.surface), &small_frame_listener, &drawn);
    wl_surface_commit(small.surface);
    wait_until(now() + 10, &drawn);
}

static void count_in(void) {
    const double t0 = now();
    if (!c.surface) show(t0);
    hold();
    /* The counts the game shows, each a new picture (a frame late at most). */
    static const double at[] = {1.0, 1.5, 2.5, 3.5};
    for (int n = 1; n <= 4; ++n) {
        wait_until(t0 + at[n - 1], NULL);
        if (n == 4) release();
        if (want.updates) {
            /* A frame late at most: a compositor that never draws the
             * picture gets it anyway after half a second. */
            for (double end = now() + 0.5; c.frame && now() < end;) wait_until(now() + 0.005, NULL);
            if (c.frame) {
                wl_callback_destroy(c.frame);
                c.frame = NULL;
            }
            send_picture(n);
        }
    }
}

int main(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--no-lock")) want.lock = 0;
        else if (!strcmp(argv[i], "--no-hide")) want.hide = 0;
        else if (!strcmp(argv[i], "--no-updates")) want.updates = 0;
        else if (!strcmp(argv[i], "--no-viewport")) want.viewport = 0;
        else if (!strcmp(argv[i], "--no-scale")) want.scale = 0;
        else if (!strcmp(argv[i], "--keep")) want.keep = 1;
        else if (sscanf(argv[i], "--picture=%dx%d", &want.pw, &want.ph) == 2 && want.pw > 0 && want.ph > 0) continue;
        else {
            fprintf(stderr, "usage: wayland_floor [--no-lock] [--no-hide] [--no-updates] [--no-viewport] "
                            "[--no-scale] [--keep] [--picture=WxH]\n");
            return 2;
        }
    }
    display = wl_display_connect(NULL);
    if (!display) die("no Wayland display");
    wl_registry_add_listener(wl_display_get_registry(display), &registry_listener, NULL);
    wl_display_roundtrip(display);
    wl_display_roundtrip(display);
    if (!compositor || !subcompositor || !shm || !wm_base || !seat) die("the compositor lacks a core global");
    pointer = wl_seat_get_pointer(seat);
    wl_pointer_add_listener(pointer, &pointer_listener, NULL);
    wl_display_roundtrip(display);
    printf("ready\n");
    fflush(stdout);
    /* Commands, and the compositor's events in between (its pings). */
    char buf[256];
    size_t have = 0;
    for (;;) {
        wl_display_dispatch_pending(display);
        wl_display_flush(display);
        struct pollfd fds[2] = {{0, POLLIN, 0}, {wl_display_get_fd(display), POLLIN, 0}};
        if (wl_display_prepare_read(display) != 0) continue;
        if (poll(fds, 2, -1) < 0) die("poll failed");
        if (fds[1].revents & POLLIN)
            wl_display_read_events(display);
        else
            wl_display_cancel_read(display);
        if (fds[1].revents & (POLLERR | POLLHUP)) die("the connection broke");
        if (!(fds[0].revents & (POLLIN | POLLHUP))) continue;
        ssize_t n = read(0, buf + have, sizeof buf - 1 - have);
        if (n <= 0) break;
        have += (size_t)n;
        char *eol;
        while ((eol = memchr(buf, '\n', have))) {
            *eol = 0;
            if (!strcmp(buf, "count") && !c.free) {
                count_in();
                printf("counted\n");
            } else if (!strcmp(buf, "flush")) {
                flush_compositor();
                printf("flushed\n");
            } else if (!strcmp(buf, "end")) {
                if (c.surface && !want.keep) take_away();
                c.free = 0;
                printf("ended\n");
            }
            fflush(stdout);
            have -= (size_t)(eol + 1 - buf);
            memmove(buf, eol + 1, have);
        }
        if (have == sizeof buf - 1) have = 0;  /* a line too long for a command */
    }
    return 0;
}
