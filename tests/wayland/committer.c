/* A Wayland client for the relay's test (relay_test.py): maps one window
 * and commits to it on command, counting what it sends. Commands, one a
 * line, on standard input:
 *   commit N FRESH   N commits, each with a buffer; every FRESH-th one (the
 *                    first and the last always) in a new shm pool, so with a
 *                    new fd, of a new colour; then prints
 *                    "sent COMMITS POOLS FDS WAITS COLOUR", totals since start,
 *                    WAITS the times a full socket made it wait
 *   roundtrip        prints "ok" once the compositor has handled all before
 *   reuse            commits a second surface once and destroys it, then
 *                    gives its object id, once free, to an xdg_positioner
 *                    and sends that set_offset, whose opcode is commit's;
 *                    prints "reused ID", 0 if the id did not come back
 * Prints "ready" and the same totals once the window is up. Watches its
 * connection throughout: when it fails, prints "failed ERRNO" (from
 * wl_display_get_error) and exits with 3.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <wayland-client.h>

#include "xdg-shell-client-protocol.h"

#define W 200
#define H 150

static struct wl_display *display;
static struct wl_compositor *compositor;
static struct wl_shm *shm;
static struct xdg_wm_base *wm_base;
static struct wl_surface *surface;
static struct wl_buffer *base[2];
static int configured;
static unsigned commits, pools, fds, waits, colour = 0x404040;

static void failed(void) {
    printf("failed %d\n", wl_display_get_error(display));
    fflush(stdout);
    exit(3);
}

static void global(void *data, struct wl_registry *registry, uint32_t name, const char *iface, uint32_t version) {
    (void)data;
    (void)version;
    if (strcmp(iface, wl_compositor_interface.name) == 0)
        compositor = wl_registry_bind(registry, name, &wl_compositor_interface, 4);
    else if (strcmp(iface, wl_shm_interface.name) == 0)
        shm = wl_registry_bind(registry, name, &wl_shm_interface, 1);
    else if (strcmp(iface, xdg_wm_base_interface.name) == 0)
        wm_base = wl_registry_bind(registry, name, &xdg_wm_base_interface, 1);
}

static void global_remove(void *data, struct wl_registry *registry, uint32_t name) {
    (void)data;
    (void)registry;
    (void)name;
}

static const struct wl_registry_listener registry_listener = {global, global_remove};

static void ping(void *data, struct xdg_wm_base *b, uint32_t serial) {
    (void)data;
    xdg_wm_base_pong(b, serial);
}
static const struct xdg_wm_base_listener wm_base_listener = {ping};

static void surface_configure(void *data, struct xdg_surface *s, uint32_t serial) {
    (void)data;
    xdg_surface_ack_configure(s, serial);
    configured = 1;
}
static const struct xdg_surface_listener xdg_surface_listener = {surface_configure};

static void release_once(void *data, struct wl_buffer *b) {
    (void)data;
    wl_buffer_destroy(b);
}
static const struct wl_buffer_listener one_shot = {release_once};

/* A buffer in a pool of its own, all of one colour. */
static struct wl_buffer *make_buffer(uint32_t argb) {
    const size_t size = (size_t)W * H * 4;
    int fd = memfd_create("committer", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, (off_t)size) != 0) {
        perror("committer: memfd");
        exit(1);
    }
    uint32_t *px = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (px == MAP_FAILED) {
        perror("committer: mmap");
        exit(1);
    }
    for (size_t i = 0; i < (size_t)W * H; ++i) px[i] = argb;
    munmap(px, size);
    struct wl_shm_pool *pool = wl_shm_create_pool(shm, fd, (int32_t)size);
    pools++;
    fds++;
    struct wl_buffer *b = wl_shm_pool_create_buffer(pool, 0, W, H, W * 4, WL_SHM_FORMAT_XRGB8888);
    wl_shm_pool_destroy(pool);
    close(fd);
    return b;
}

static void commit(void) {
    wl_surface_commit(surface);
    commits++;
}

/* All written, waiting while the socket is full: libwayland 1.21 gives up
 * on a connection whose own buffer overflows. */
static void flush_all(void) {
    while (wl_display_flush(display) < 0) {
        if (errno != EAGAIN) failed();
        waits++;
        struct pollfd p = {wl_display_get_fd(display), POLLOUT, 0};
        poll(&p, 1, -1);
    }
}

/* What has come, without waiting for more. */
static void take_events(void) {
    while (wl_display_prepare_read(display) != 0)
        if (wl_display_dispatch_pending(display) < 0) failed();
    struct pollfd p = {wl_display_get_fd(display), POLLIN, 0};
    if (poll(&p, 1, 0) > 0) {
        if (wl_display_read_events(display) < 0) failed();
    } else {
        wl_display_cancel_read(display);
    }
    if (wl_display_dispatch_pending(display) < 0) failed();
}

static void totals(const char *what) {
    printf("%s %u %u %u %u %06x\n", what, commits, pools, fds, waits, colour);
    fflush(stdout);
}

int main(void) {
    display = wl_display_connect(NULL);
    if (!display) {
        fprintf(stderr, "committer: no Wayland display\n");
        return 1;
    }
    struct wl_registry *registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registry_listener, NULL);
    wl_display_roundtrip(display);
    if (!compositor || !shm || !wm_base) {
        fprintf(stderr, "committer: the compositor lacks wl_compositor, wl_shm or xdg_wm_base\n");
        return 1;
    }
    xdg_wm_base_add_listener(wm_base, &wm_base_listener, NULL);
    surface = wl_compositor_create_surface(compositor);
    struct xdg_surface *xs = xdg_wm_base_get_xdg_surface(wm_base, surface);
    xdg_surface_add_listener(xs, &xdg_surface_listener, NULL);
    struct xdg_toplevel *top = xdg_surface_get_toplevel(xs);
    xdg_toplevel_set_title(top, "committer");
    commit();
    while (!configured)
        if (wl_display_dispatch(display) < 0) failed();
    base[0] = make_buffer(0xff202020);
    base[1] = make_buffer(0xff303030);
    wl_surface_attach(surface, base[0], 0, 0);
    wl_surface_damage(surface, 0, 0, W, H);
    commit();
    if (wl_display_roundtrip(display) < 0) failed();
    totals("ready");

    char line[128];
    struct pollfd p[2] = {{0, POLLIN, 0}, {wl_display_get_fd(display), POLLIN, 0}};
    for (;;) {
        flush_all();
        if (poll(p, 2, -1) < 0) continue;
        if (p[1].revents) {
            if (wl_display_dispatch(display) < 0) failed();
        }
        if (!p[0].revents) continue;
        if (!fgets(line, sizeof line, stdin)) break;
        unsigned n, fresh;
        if (sscanf(line, "commit %u %u", &n, &fresh) == 2 && fresh > 0) {
            for (unsigned i = 0; i < n; ++i) {
                struct wl_buffer *b = base[i & 1];
                if (i % fresh == 0 || i + 1 == n) {
                    colour = (colour * 1103515245u + 12345u) & 0xffffff;
                    b = make_buffer(0xff000000u | colour);
                    wl_buffer_add_listener(b, &one_shot, NULL);
                }
                wl_surface_attach(surface, b, 0, 0);
                wl_surface_damage(surface, 0, 0, W, H);
                commit();
                flush_all();
                if (i % 64 == 0) take_events();
            }
            if (wl_display_roundtrip(display) < 0) failed();
            totals("sent");
        } else if (strncmp(line, "reuse", 5) == 0) {
            struct wl_surface *other = wl_compositor_create_surface(compositor);
            const uint32_t id = wl_proxy_get_id((struct wl_proxy *)other);
            wl_surface_commit(other);
            commits++;
            wl_surface_destroy(other);
            if (wl_display_roundtrip(display) < 0) failed();
            /* Freed ids are given out last freed first: the roundtrip's
             * callback went after the surface. */
            struct xdg_positioner *pos[4];
            uint32_t got = 0;
            int n = 0;
            while (n < 4 && !got) {
                pos[n] = xdg_wm_base_create_positioner(wm_base);
                if (wl_proxy_get_id((struct wl_proxy *)pos[n]) == id) got = id;
                xdg_positioner_set_offset(pos[n++], 1, 1);
            }
            while (n > 0) xdg_positioner_destroy(pos[--n]);
            if (wl_display_roundtrip(display) < 0) failed();
            printf("reused %u\n", got);
            fflush(stdout);
        } else if (strncmp(line, "roundtrip", 9) == 0) {
            if (wl_display_roundtrip(display) < 0) failed();
            printf("ok\n");
            fflush(stdout);
        } else {
            fprintf(stderr, "committer: cannot read: %s", line);
        }
    }
    wl_display_disconnect(display);
    return 0;
}
