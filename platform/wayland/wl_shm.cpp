// Shared-memory buffers of our own pixels, and how one is shown on a
// surface at the covering surface's scale.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "platform/wayland/wl_internal.h"

namespace platform::wl {

namespace {

void OnBufferRelease(void* data, wl_buffer*) { static_cast<Buffer*>(data)->busy = false; }
const wl_buffer_listener kBufferListener = {OnBufferRelease};

}  // namespace

void FreeBuffer(const Connection& c, Buffer& b) {
    Drop(c, b.buffer, wl_buffer_destroy);
    if (b.map) munmap(b.map, b.size);
    b = Buffer{};
}

// A transparent w x h buffer (a new file reads as zeros).
bool MakeBuffer(const Connection& c, Buffer& b, int w, int h) {
    FreeBuffer(c, b);
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
    wl_shm_pool* pool = wl_shm_create_pool(c.globals.shm, fd, static_cast<int32_t>(size));
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

// A buffer shown as w x h units: through its viewport at a fractional
// scale, else at a whole buffer scale.
void ShowBuffer(const Connection& c, wl_surface* surface, wp_viewport* viewport, const Buffer& b, int w, int h) {
    wl_surface_attach(surface, b.buffer, 0, 0);
    wl_surface_damage_buffer(surface, 0, 0, b.w, b.h);
    if (viewport && Fractional(c)) {
        wp_viewport_set_destination(viewport, w, h);
        wl_surface_set_buffer_scale(surface, 1);
    } else {
        if (viewport) wp_viewport_set_destination(viewport, -1, -1);
        wl_surface_set_buffer_scale(surface, std::max(1, static_cast<int>(std::lround(double(b.w) / w))));
    }
}

}  // namespace platform::wl
