#include "race/edges.h"

void ResetEdges(int32_t& touchedLeft, int32_t& touchedRight,
                int32_t& touchedBottom, int32_t& touchedTop) {
    touchedLeft = 0;
    touchedRight = 0;
    touchedBottom = 0;
    touchedTop = 0;
}

void UpdateEdges(RaceState& state, const ScreenExtents& extents, int32_t x,
                 int32_t y) {
    const bool alongX = x >= EdgeMargin && x <= extents.maxX - EdgeMargin;
    const bool alongY = y >= EdgeMargin && y <= extents.maxY - EdgeMargin;
    if (alongX && y == 0) state.touchedTop = 1;
    if (alongX && y == extents.maxY) state.touchedBottom = 1;
    if (alongY && x == extents.maxX) state.touchedRight = 1;
    if (alongY && x == 0) state.touchedLeft = 1;
}

bool AllEdgesTouched(const RaceState& state) {
    return state.touchedLeft == 1 && state.touchedRight == 1 &&
           state.touchedBottom == 1 && state.touchedTop == 1;
}
