#pragma once

#include <cstdint>

// Nearest integer, a half to the even neighbour, whatever the FPU's
// rounding mode. Values beyond int32 are clamped (NaN gives 0) rather
// than left to undefined behaviour.
int32_t RoundHalfEven(double v);

// Duration between two readings of the 32-bit millisecond clock. Unsigned
// subtraction is exact across the wrap at 2^32 and the pass of 2^31.
inline uint32_t TicksBetween(uint32_t earlier, uint32_t later) {
    return later - earlier;
}
