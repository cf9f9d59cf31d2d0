// The steady millisecond count on POSIX systems: the Linux backend's
// timeGetTime and the Wayland client's deadlines read the same one.
#pragma once

#include <cstdint>
#include <ctime>

namespace platform::posix {

// Milliseconds of CLOCK_MONOTONIC; wraps at 2^32 like timeGetTime.
inline uint32_t MonotonicMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint32_t>(static_cast<uint64_t>(t.tv_sec) * 1000u + static_cast<uint64_t>(t.tv_nsec) / 1000000u);
}

}  // namespace platform::posix
