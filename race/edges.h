// Whether a race is complete: every screen edge touched once, away from
// the corners.
#pragma once

#include <cstdint>

#include "common/module1.h"

struct RaceState {
    int32_t touchedLeft = 0;
    int32_t touchedRight = 0;
    int32_t touchedBottom = 0;
    int32_t touchedTop = 0;
    int32_t startTick = 0;
    int32_t elapsedMs = 0;
};

// The pixels at each end of an edge that never count.
inline constexpr int32_t EdgeMargin = 3;

void ResetEdges(int32_t& touchedLeft, int32_t& touchedRight,
                int32_t& touchedBottom, int32_t& touchedTop);
void UpdateEdges(RaceState& state, const ScreenExtents& extents, int32_t x,
                 int32_t y);
bool AllEdgesTouched(const RaceState& state);
