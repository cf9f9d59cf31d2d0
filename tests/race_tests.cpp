#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "common/module1.h"
#include "common/rounding.h"
#include "platform/fake/fake.h"
#include "race/race.h"

using fake::What;
using platform::Control;

namespace {

class Race : public ::testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        Module1::screenExtents = {};
        Module1::lastMs = 0;
    }
    fake::Machine& m = fake::machine();
    void Screen(int32_t w, int32_t h) {
        fake::machine().screenWidth = w;
        fake::machine().screenHeight = h;
    }
    // Pointer moves the player makes, as offsets from the current clock.
    void Moves(std::vector<fake::Sample> samples) {
        for (auto& s : samples) s.time += fake::machine().now;
        fake::machine().script = std::move(samples);
        fake::machine().nextSample = 0;
    }
};

TEST(RoundHalfEven, HalvesGoToTheEvenNeighbour) {
    EXPECT_EQ(RoundHalfEven(0.5), 0);
    EXPECT_EQ(RoundHalfEven(1.5), 2);
    EXPECT_EQ(RoundHalfEven(2.5), 2);
    EXPECT_EQ(RoundHalfEven(3.5), 4);
    EXPECT_EQ(RoundHalfEven(400.5), 400);
    EXPECT_EQ(RoundHalfEven(401.5), 402);
    EXPECT_EQ(RoundHalfEven(-0.5), 0);
    EXPECT_EQ(RoundHalfEven(-1.5), -2);
    EXPECT_EQ(RoundHalfEven(-2.5), -2);
    EXPECT_EQ(RoundHalfEven(2.5000001), 3);
    EXPECT_EQ(RoundHalfEven(2.4999999), 2);
    EXPECT_EQ(RoundHalfEven(-2.6), -3);
}

TEST(RoundHalfEven, OutOfRangeIsClampedNotUndefined) {
    EXPECT_EQ(RoundHalfEven(1e12), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(RoundHalfEven(-1e12), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(RoundHalfEven(std::nan("")), 0);
}

TEST(TicksBetween, ExactAcrossTheWrapAndHalfway) {
    EXPECT_EQ(TicksBetween(0xFFFFFFF0u, 0x00000010u), 0x20u);
    EXPECT_EQ(TicksBetween(0x7FFFFFF0u, 0x80000010u), 0x20u);
}

TEST_F(Race, ScreenMeasuresCentreAndClipOn800x600) {
    Screen(800, 600);
    MeasureScreen();
    ParkPointer();
    ConfinePointer();
    EXPECT_EQ(Module1::screenExtents.maxX, 799);
    EXPECT_EQ(Module1::screenExtents.maxY, 599);
    EXPECT_EQ(Module1::pointerPoint.x, 400);
    EXPECT_EQ(Module1::pointerPoint.y, 300);
    const platform::RECT& r = Module1::clipRect;
    EXPECT_EQ(r.left, 398);
    EXPECT_EQ(r.top, 298);
    EXPECT_EQ(r.right, 400);
    EXPECT_EQ(r.bottom, 300);
    auto warps = m.Of(What::Warp);
    ASSERT_EQ(warps.size(), 1u);
    EXPECT_EQ(warps[0].rect.left, 400);
    EXPECT_EQ(warps[0].rect.top, 300);
    // Confined, the pointer sits in the square left of and above the centre.
    platform::POINT p;
    platform::GetCursorPos(p);
    EXPECT_EQ(p.x, 399);
    EXPECT_EQ(p.y, 299);
}

TEST_F(Race, OddWidthsRoundTheCentreToEven) {
    Screen(801, 601);
    MeasureScreen();
    ParkPointer();
    EXPECT_EQ(Module1::screenExtents.maxX, 800);
    EXPECT_EQ(Module1::pointerPoint.x, 400);  // 400.5
    EXPECT_EQ(Module1::pointerPoint.y, 300);  // 300.5
    Screen(803, 603);
    ParkPointer();
    EXPECT_EQ(Module1::pointerPoint.x, 402);  // 401.5
    EXPECT_EQ(Module1::pointerPoint.y, 302);
}

TEST_F(Race, MeasuresFollowTwipsPerPixel) {
    // 144 dpi: 10 twips a pixel.
    Screen(1920, 1080);
    m.twipsPerPixelX = m.twipsPerPixelY = 10;
    MeasureScreen();
    ParkPointer();
    EXPECT_EQ(Module1::screenExtents.maxX, 1919);
    EXPECT_EQ(Module1::screenExtents.maxY, 1079);
    EXPECT_EQ(Module1::pointerPoint.x, 960);
    EXPECT_EQ(Module1::pointerPoint.y, 540);
}

TEST_F(Race, WindowIsCentredTopFirstInTwips) {
    Screen(800, 600);
    m.windowWidthTwips = 250 * 15;
    m.windowHeightTwips = 80 * 15;
    CenterWindow(Control::Form1);
    ASSERT_EQ(m.events.size(), 2u);
    EXPECT_EQ(m.events[0].what, What::WindowTop);
    EXPECT_EQ(m.events[0].value, 260 * 15);
    EXPECT_EQ(m.events[1].what, What::WindowLeft);
    EXPECT_EQ(m.events[1].value, 275 * 15);
}

TEST_F(Race, WindowPositionKeepsFractionsOfATwip) {
    Screen(801, 601);
    m.windowWidthTwips = 3811;
    m.windowHeightTwips = 1200;
    CenterWindow(Control::Form1);
    EXPECT_FLOAT_EQ(static_cast<float>(m.Of(What::WindowLeft)[0].value), 801 * 15 / 2.0f - 3811 / 2.0f);
    EXPECT_FLOAT_EQ(static_cast<float>(m.Of(What::WindowTop)[0].value), 601 * 15 / 2.0f - 600.0f);
}

// The count-in's captions and when each appeared.
std::vector<std::pair<std::string, uint32_t>> Captions(const fake::Machine& m, uint32_t t0) {
    std::vector<std::pair<std::string, uint32_t>> out;
    for (const auto& e : m.Of(What::Caption))
        if (e.control == Control::Command1 && e.text != "Race Start")
            if (out.empty() || out.back().first != e.text) out.push_back({e.text, e.time - t0});
    return out;
}

void ExpectCountIn(const fake::Machine& m, uint32_t t0) {
    const auto captions = Captions(m, t0);
    const std::vector<std::pair<std::string, uint32_t>> expected = {
        {"1", 1000}, {"2", 1500}, {"3", 2501}, {"4", 3500}, {"go!", 3500}};
    EXPECT_EQ(captions, expected);
}

TEST_F(Race, CountInShowsOneTwoThreeGo) {
    platform::SetCaption(Control::Command1, "Race Start");
    CountIn(Control::Command1);
    ExpectCountIn(m, 0);
    for (const auto& e : m.Of(What::Caption)) EXPECT_NE(e.text, "0");
    EXPECT_EQ(m.Caption(Control::Command1), "go!");
    EXPECT_TRUE(m.Of(What::Enabled).empty());  // left enabled
    // "go!" replaces the last number in the same pass, before any pump.
    const auto all = m.Of(What::Caption);
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[all.size() - 2].pump, all.back().pump);
}

TEST_F(Race, CountInLeavesTheCaptionAloneDuringTheFirstSecond) {
    platform::SetCaption(Control::Command1, "Race Start");
    m.actions.push_back({999, [this] { EXPECT_EQ(m.Caption(Control::Command1), "Race Start"); }});
    CountIn(Control::Command1);
    EXPECT_TRUE(m.actions[0].second == nullptr);  // the check ran
}

TEST_F(Race, CountInAcrossTheClockWrapAndHalfway) {
    for (uint32_t t0 : {0xFFFFFFFFu - 1700u, 0x7FFFFFFFu - 1700u, 0xFFFFFFFFu}) {
        fake::Reset();
        fake::machine().now = t0;
        CountIn(Control::Command1);
        ExpectCountIn(fake::machine(), t0);
    }
}

TEST_F(Race, SlowPassEndsTheCountInWithGoAndNoNumberLeft) {
    // One pass stalls for 1.3 s: the count jumps past 4.
    m.sleepExtra = [](uint64_t i) { return i == 3300 ? 1300u : 0u; };
    CountIn(Control::Command1);
    const auto captions = Captions(m, 0);
    ASSERT_GE(captions.size(), 2u);
    EXPECT_EQ(captions[captions.size() - 2].first, "5");
    EXPECT_EQ(captions.back().first, "go!");
}

TEST_F(Race, FirstSampleCountsAndTheFinalPassIsTimed) {
    Screen(800, 600);
    MeasureScreen();
    m.now = 5000;
    platform::SetCursorPos(799, 300);  // already on the right edge
    // Each pass sleeps 1 ms; the fourth pass stalls 7 ms more.
    m.sleepExtra = [](uint64_t i) { return i == 3 ? 7u : 0u; };
    Moves({{2, 400, 599}, {3, 0, 300}, {4, 400, 0}, {500, 799, 300}});
    RaceState s;
    RunRace(Control::Command1, s);
    EXPECT_EQ(s.startTick, 5000);
    EXPECT_EQ(s.elapsedMs, 11);
    EXPECT_EQ(Module1::lastMs, 11);
    EXPECT_FALSE(m.Enabled(Control::Command1));
}

TEST_F(Race, RaceTimeAcrossTheClockWrapAndHalfway) {
    Screen(800, 600);
    MeasureScreen();
    for (uint32_t start : {0xFFFFFFFFu - 3u, 0x7FFFFFFFu - 3u}) {
        m.now = start;
        platform::SetCursorPos(400, 300);
        Moves({{100, 799, 300}, {200, 400, 599}, {300, 0, 300}, {1234, 400, 0}});
        RaceState s{1, 1, 1, 1, 0, 0};  // flags left from a race before
        RunRace(Control::Command1, s);
        EXPECT_EQ(s.elapsedMs, 1234) << start;
        EXPECT_EQ(s.startTick, static_cast<int32_t>(start));
    }
}

TEST_F(Race, CornerAndMarginTouchesDoNotFinish) {
    Screen(800, 600);
    MeasureScreen();
    Moves({{10, 0, 0}, {20, 799, 599}, {30, 2, 0}, {40, 797, 0}, {50, 799, 2},
           {60, 799, 597}, {70, 0, 597}, {80, 2, 599},
           {100, 799, 300}, {200, 400, 599}, {300, 0, 300}, {400, 400, 0}});
    RaceState s;
    RunRace(Control::Command1, s);
    EXPECT_EQ(s.elapsedMs, 400);
}

TEST_F(Race, StartRaceParksHoldsCountsReleasesAndTimes) {
    Screen(800, 600);
    platform::SetCaption(Control::Command1, "Race Start");
    // During the count-in the player shoves the pointer to a corner.
    Moves({{500, 0, 0}, {3600, 799, 300}, {3700, 400, 599}, {3800, 0, 300}, {3900, 400, 0}});
    m.actions.push_back({600, [this] {
        platform::POINT p;
        platform::GetCursorPos(p);
        EXPECT_EQ(p.x, 398);
        EXPECT_EQ(p.y, 298);
    }});
    RaceState s;
    StartRace(Control::Form1, Control::Command1, s);
    const auto clips = m.Of(What::Clip);
    ASSERT_EQ(clips.size(), 2u);
    EXPECT_TRUE(clips[0].flag);
    EXPECT_FALSE(clips[1].flag);
    EXPECT_EQ(clips[1].time, 3500u);  // released at "go!"
    EXPECT_EQ(s.elapsedMs, 3900 - 3500);
    EXPECT_EQ(m.Caption(Control::Command1), "go!");
    EXPECT_FALSE(m.Enabled(Control::Command1));
    // Order: centre the window, track, park, confine, count, release,
    // disable, and the tracking ends with the race.
    std::vector<What> order;
    for (const auto& e : m.events)
        if (order.empty() || order.back() != e.what) order.push_back(e.what);
    const std::vector<What> expected = {What::Caption, What::WindowTop, What::WindowLeft, What::Track, What::Warp,
                                        What::Clip,    What::Caption,   What::Clip,       What::Enabled, What::Track};
    EXPECT_EQ(order, expected);
    const auto tracks = m.Of(What::Track);
    ASSERT_EQ(tracks.size(), 2u);
    EXPECT_TRUE(tracks[0].flag);
    EXPECT_FALSE(tracks[1].flag);
    EXPECT_EQ(tracks[1].time, 3900u);  // at the fourth edge, before any verdict
}

// A second monitor to the right: the primary's right edge stops the
// pointer only while the race keeps it on the primary screen.
TEST_F(Race, WithTwoMonitorsTheRaceKeepsThePointerOnThePrimaryScreen) {
    Screen(800, 600);
    m.monitors = 2;
    Moves({{3600, 1500, 300}, {3700, 400, 599}, {3800, 0, 300}, {3900, 400, 0}, {4000, 1500, 300}});
    RaceState s;
    StartRace(Control::Form1, Control::Command1, s);
    EXPECT_EQ(s.elapsedMs, 400);
    const auto clips = m.Of(What::Clip);
    ASSERT_EQ(clips.size(), 4u);  // hold, its release, the race, its release
    EXPECT_TRUE(clips[2].flag);
    EXPECT_EQ(clips[2].rect.left, 0);
    EXPECT_EQ(clips[2].rect.top, 0);
    EXPECT_EQ(clips[2].rect.right, 800);
    EXPECT_EQ(clips[2].rect.bottom, 600);
    EXPECT_EQ(clips[2].time, 3500u);
    EXPECT_FALSE(clips[3].flag);
    EXPECT_EQ(clips[3].time, 3900u);  // after the time was taken
    EXPECT_FALSE(m.confined);
    // Free again: the pointer crosses to the other monitor.
    fake::machine().now = 4000;
    platform::POINT p;
    platform::GetCursorPos(p);
    EXPECT_EQ(p.x, 1500);
}

TEST_F(Race, WithOneMonitorTheRaceLeavesThePointerFree) {
    Screen(800, 600);
    Moves({{3600, 1500, 300}, {3700, 400, 599}, {3800, 0, 300}, {3900, 400, 0}});
    RaceState s;
    StartRace(Control::Form1, Control::Command1, s);
    EXPECT_EQ(s.elapsedMs, 400);
    EXPECT_EQ(m.Of(What::Clip).size(), 2u);  // the hold and its release only
}

TEST_F(Race, ClosingDuringTheRaceReleasesThePrimaryScreen) {
    Screen(800, 600);
    m.monitors = 3;
    m.actions.push_back({6000, [this] { m.quit = true; }});
    RaceState s;
    StartRace(Control::Form1, Control::Command1, s);
    EXPECT_FALSE(m.confined);
    EXPECT_FALSE(m.Of(What::Clip).back().flag);
    EXPECT_EQ(m.Of(What::Clip).size(), 4u);
}

TEST_F(Race, ClosingDuringTheCountInReleasesAndTimesNothing) {
    Screen(800, 600);
    Module1::lastMs = 777;
    m.actions.push_back({1200, [this] { m.quit = true; }});
    RaceState s{0, 0, 0, 0, 11, 22};
    StartRace(Control::Form1, Control::Command1, s);
    EXPECT_FALSE(m.confined);
    EXPECT_FALSE(m.tracking);
    EXPECT_FALSE(m.Of(What::Clip).back().flag);
    EXPECT_LT(m.now, 1300u);
    EXPECT_EQ(s.elapsedMs, 22);
    EXPECT_EQ(Module1::lastMs, 777);
}

TEST_F(Race, ClosingDuringTheRaceEndsTheLoop) {
    Screen(800, 600);
    Module1::lastMs = 777;
    m.actions.push_back({6000, [this] { m.quit = true; }});
    RaceState s{0, 0, 0, 0, 11, 22};
    StartRace(Control::Form1, Control::Command1, s);  // would never end otherwise
    EXPECT_FALSE(m.confined);
    EXPECT_FALSE(m.tracking);
    EXPECT_LT(m.now, 6100u);
    EXPECT_EQ(s.elapsedMs, 22);
    EXPECT_EQ(Module1::lastMs, 777);
}

}  // namespace
