/* A mouse and keyboard for tests in a compositor: reads commands, one a
 * line, from standard input and sends them through the wlroots virtual
 * pointer (sway) or KWin's fake input, whichever the compositor offers.
 *   rel DX DY          relative motion
 *   abs X Y W H        absolute motion to X,Y of a W x H layout (KWin
 *                      takes X,Y as its own logical pixels: give W x H in
 *                      those)
 *   press|release|click [BUTTON]   left button unless given (Linux codes)
 *   key CODE...        presses the Linux key codes in order, releases them
 *                      in reverse (KWin only: wlroots has no virtual
 *                      keyboard here)
 *   sync               waits until the compositor has handled all before,
 *                      then prints "ok"
 * Prints "ready wlr" or "ready kwin" once it can send.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <wayland-client.h>

#include "fake-input-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

#define BTN_LEFT 0x110

static struct wl_seat *seat;
static struct zwlr_virtual_pointer_manager_v1 *manager;
static struct org_kde_kwin_fake_input *fake;
static struct zwlr_virtual_pointer_v1 *pointer;

static void global(void *data, struct wl_registry *registry, uint32_t name, const char *iface, uint32_t version) {
    (void)data;
    if (strcmp(iface, wl_seat_interface.name) == 0 && !seat)
        seat = wl_registry_bind(registry, name, &wl_seat_interface, 1);
    else if (strcmp(iface, zwlr_virtual_pointer_manager_v1_interface.name) == 0)
        manager = wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1);
    else if (strcmp(iface, org_kde_kwin_fake_input_interface.name) == 0 && version >= 4)
        fake = wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, 4);
}

static void global_remove(void *data, struct wl_registry *registry, uint32_t name) {
    (void)data;
    (void)registry;
    (void)name;
}

static const struct wl_registry_listener registry_listener = {global, global_remove};

static uint32_t now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint32_t)(t.tv_sec * 1000 + t.tv_nsec / 1000000);
}

static void motion(double dx, double dy) {
    if (pointer) {
        zwlr_virtual_pointer_v1_motion(pointer, now_ms(), wl_fixed_from_double(dx), wl_fixed_from_double(dy));
        zwlr_virtual_pointer_v1_frame(pointer);
    } else {
        org_kde_kwin_fake_input_pointer_motion(fake, wl_fixed_from_double(dx), wl_fixed_from_double(dy));
    }
}

static void motion_absolute(double x, double y, double w, double h) {
    if (pointer) {
        zwlr_virtual_pointer_v1_motion_absolute(pointer, now_ms(), (uint32_t)x, (uint32_t)y, (uint32_t)w, (uint32_t)h);
        zwlr_virtual_pointer_v1_frame(pointer);
    } else {
        org_kde_kwin_fake_input_pointer_motion_absolute(fake, wl_fixed_from_double(x), wl_fixed_from_double(y));
    }
}

static void button(unsigned code, int pressed) {
    if (pointer) {
        zwlr_virtual_pointer_v1_button(pointer, now_ms(), code,
                                       pressed ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
        zwlr_virtual_pointer_v1_frame(pointer);
    } else {
        org_kde_kwin_fake_input_button(fake, code,
                                       pressed ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
    }
}

/* "key 56 62": Alt down, F4 down, F4 up, Alt up. */
static int keys(const char *list) {
    unsigned codes[8];
    int n = 0, used;
    while (n < 8 && sscanf(list, "%u%n", &codes[n], &used) == 1) {
        list += used;
        ++n;
    }
    if (!fake || n == 0) return 0;
    for (int i = 0; i < n; ++i) org_kde_kwin_fake_input_keyboard_key(fake, codes[i], WL_KEYBOARD_KEY_STATE_PRESSED);
    for (int i = n - 1; i >= 0; --i)
        org_kde_kwin_fake_input_keyboard_key(fake, codes[i], WL_KEYBOARD_KEY_STATE_RELEASED);
    return 1;
}

int main(void) {
    struct wl_display *display = wl_display_connect(NULL);
    if (!display) {
        fprintf(stderr, "vpointer: no Wayland display\n");
        return 1;
    }
    struct wl_registry *registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registry_listener, NULL);
    wl_display_roundtrip(display);
    if (manager) {
        pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(manager, seat);
    } else if (fake) {
        org_kde_kwin_fake_input_authenticate(fake, "skorrel tests", "plays the game in a test");
    } else {
        fprintf(stderr, "vpointer: the compositor has neither zwlr_virtual_pointer_manager_v1 nor "
                        "org_kde_kwin_fake_input version 4\n");
        return 1;
    }
    wl_display_roundtrip(display);
    printf("ready %s\n", pointer ? "wlr" : "kwin");
    fflush(stdout);

    char line[256];
    while (fgets(line, sizeof line, stdin)) {
        double dx, dy;
        double w, h;
        unsigned code = BTN_LEFT;
        char word[16] = "";
        if (sscanf(line, "rel %lf %lf", &dx, &dy) == 2) {
            motion(dx, dy);
        } else if (sscanf(line, "abs %lf %lf %lf %lf", &dx, &dy, &w, &h) == 4) {
            motion_absolute(dx, dy, w, h);
        } else if (sscanf(line, "%15s %u", word, &code) >= 1 &&
                   (!strcmp(word, "press") || !strcmp(word, "release") || !strcmp(word, "click"))) {
            if (strcmp(word, "release") != 0) button(code, 1);
            if (strcmp(word, "press") != 0) button(code, 0);
        } else if (!strcmp(word, "key")) {
            if (!keys(line + 3)) {
                fprintf(stderr, "vpointer: no keyboard for: %s", line);
                continue;
            }
        } else if (!strcmp(word, "sync")) {
            wl_display_roundtrip(display);
            printf("ok\n");
            fflush(stdout);
            continue;
        } else {
            fprintf(stderr, "vpointer: cannot do: %s", line);
            continue;
        }
        if (wl_display_flush(display) < 0) {
            fprintf(stderr, "vpointer: the compositor went away\n");
            return 1;
        }
    }
    if (pointer) zwlr_virtual_pointer_v1_destroy(pointer);
    wl_display_roundtrip(display);
    wl_display_disconnect(display);
    return 0;
}
