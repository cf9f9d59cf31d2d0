#include <gtest/gtest.h>

#include "race/edges.h"

namespace {

const ScreenExtents k800x600{799, 599};

struct Flags {
    int left, right, bottom, top;
};

Flags After(int32_t x, int32_t y) {
    RaceState s;
    UpdateEdges(s, k800x600, x, y);
    return {s.touchedLeft, s.touchedRight, s.touchedBottom, s.touchedTop};
}

bool None(const Flags& f) { return f.left + f.right + f.bottom + f.top == 0; }

TEST(UpdateEdges, CornersAndTheirMarginsNeverCount) {
    for (int32_t x : {0, 1, 2, 797, 798, 799})
        for (int32_t y : {0, 1, 2, 597, 598, 599})
            EXPECT_TRUE(None(After(x, y))) << x << "," << y;
}

TEST(UpdateEdges, TopAndBottomCountFromThreeToMaxMinusThree) {
    EXPECT_TRUE(None(After(2, 0)));
    EXPECT_EQ(After(3, 0).top, 1);
    EXPECT_EQ(After(796, 0).top, 1);
    EXPECT_TRUE(None(After(797, 0)));
    EXPECT_EQ(After(3, 599).bottom, 1);
    EXPECT_EQ(After(796, 599).bottom, 1);
    EXPECT_TRUE(None(After(797, 599)));
}

TEST(UpdateEdges, LeftAndRightCountFromThreeToMaxMinusThree) {
    EXPECT_EQ(After(799, 3).right, 1);
    EXPECT_TRUE(None(After(799, 2)));
    EXPECT_TRUE(None(After(799, 597)));
    EXPECT_EQ(After(0, 596).left, 1);
    EXPECT_EQ(After(0, 3).left, 1);
}

TEST(UpdateEdges, OnlyTheExactEdgeCounts) {
    EXPECT_TRUE(None(After(1, 596)));
    for (int32_t y = 0; y <= 599; ++y) EXPECT_TRUE(None(After(798, y))) << y;
    for (int32_t x = 0; x <= 799; ++x) EXPECT_TRUE(None(After(x, 1))) << x;
}

TEST(UpdateEdges, OneSampleSetsOnlyItsOwnFlag) {
    const Flags top = After(400, 0);
    EXPECT_EQ(top.top, 1);
    EXPECT_EQ(top.left + top.right + top.bottom, 0);
    const Flags left = After(0, 300);
    EXPECT_EQ(left.left, 1);
    EXPECT_EQ(left.right + left.bottom + left.top, 0);
}

TEST(AllEdgesTouched, NeedsAllFourAndMissesNoneAlreadySet) {
    RaceState s;
    UpdateEdges(s, k800x600, 400, 0);
    UpdateEdges(s, k800x600, 400, 599);
    UpdateEdges(s, k800x600, 799, 300);
    EXPECT_FALSE(AllEdgesTouched(s));
    // Samples away from the edges leave what was set alone.
    UpdateEdges(s, k800x600, 400, 300);
    UpdateEdges(s, k800x600, 0, 0);
    EXPECT_EQ(s.touchedTop + s.touchedBottom + s.touchedRight, 3);
    EXPECT_FALSE(AllEdgesTouched(s));
    UpdateEdges(s, k800x600, 0, 300);
    EXPECT_TRUE(AllEdgesTouched(s));
}

TEST(ResetEdges, ClearsTheFlagsButNotTheTiming) {
    RaceState s{1, 1, 1, 1, 1234, 5678};
    ResetEdges(s.touchedLeft, s.touchedRight, s.touchedBottom, s.touchedTop);
    EXPECT_FALSE(AllEdgesTouched(s));
    EXPECT_EQ(s.touchedLeft + s.touchedRight + s.touchedBottom + s.touchedTop, 0);
    EXPECT_EQ(s.startTick, 1234);
    EXPECT_EQ(s.elapsedMs, 5678);
}

}  // namespace
