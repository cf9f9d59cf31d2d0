// Values shared by the race, the history and the window for the life of
// the process.
#pragma once

#include <cstdint>

#include "platform/platform.h"

struct ScreenExtents {
    int32_t maxX = 0;  // largest pixel column: width - 1
    int32_t maxY = 0;  // largest pixel row: height - 1
};

namespace Module1 {

// Holds the screen centre from ParkPointer until the race loop starts; from
// then on each pointer sample.
inline platform::POINT pointerPoint;
inline platform::RECT clipRect;
inline ScreenExtents screenExtents;
// 0 means no best yet.
inline int32_t bestMs = 0;
inline int32_t lastMs = 0;

}  // namespace Module1
