#include "race/race.h"

#include <charconv>
#include <limits>

#include "common/module1.h"
#include "common/rounding.h"

using platform::Control;

namespace {

// A closed window, or a pointer the game can no longer follow, ends the
// count-in and the race at once.
bool Stopped() { return platform::QuitRequested() || !platform::PointerLost().empty(); }

double SecondsSince(uint32_t t0) {
    return static_cast<double>(TicksBetween(t0, platform::timeGetTime())) /
           1000.0;
}

}  // namespace

void StartRace(Control window, Control startButton, RaceState& state) {
    MeasureScreen();
    CenterWindow(window);
    platform::TrackPointer(true);
    ParkPointer();
    ConfinePointer();
    CountIn(startButton);
    ReleasePointer();
    RunRace(startButton, state);
    // Before the verdict and its boxes, and on a close as well.
    platform::TrackPointer(false);
}

void MeasureScreen() {
    const platform::ScreenSize s = platform::GetScreenSize();
    Module1::screenExtents.maxX = RoundHalfEven(s.widthTwips / s.twipsPerPixelX - 1);
    Module1::screenExtents.maxY = RoundHalfEven(s.heightTwips / s.twipsPerPixelY - 1);
}

void CenterWindow(Control window) {
    const platform::ScreenSize s = platform::GetScreenSize();
    const platform::WindowSize w = platform::GetWindowSize(window);
    platform::SetWindowTop(window, static_cast<float>(s.heightTwips / 2 - w.heightTwips / 2));
    platform::SetWindowLeft(window, static_cast<float>(s.widthTwips / 2 - w.widthTwips / 2));
}

void ParkPointer() {
    const platform::ScreenSize s = platform::GetScreenSize();
    Module1::pointerPoint.y = RoundHalfEven(s.heightTwips / 2 / s.twipsPerPixelY);
    Module1::pointerPoint.x = RoundHalfEven(s.widthTwips / 2 / s.twipsPerPixelX);
    platform::SetCursorPos(Module1::pointerPoint.x, Module1::pointerPoint.y);
}

void ConfinePointer() {
    const platform::POINT c = Module1::pointerPoint;
    Module1::clipRect = platform::RECT{c.x - 2, c.y - 2, c.x, c.y};
    platform::ClipCursor(&Module1::clipRect);
}

void CountIn(Control startButton) {
    const uint32_t t0 = platform::timeGetTime();
    int32_t shown = 0;
    do {
        platform::PumpEvents();
        // The caller releases the pointer.
        if (Stopped()) return;
        platform::Sleep(1);
        if (SecondsSince(t0) >= 1.0) {
            shown = RoundHalfEven(SecondsSince(t0));
            char text[16];
            auto r = std::to_chars(text, text + sizeof text, shown);
            platform::SetCaption(startButton, std::string_view(text, static_cast<size_t>(r.ptr - text)));
        }
    } while (shown < 4);
    platform::SetCaption(startButton, "go!");
}

void ReleasePointer() {
    platform::ClipCursor(nullptr);
}

void RunRace(Control startButton, RaceState& state) {
    // First, so that a race stopped before its loop has touched nothing.
    ResetEdges(state.touchedLeft, state.touchedRight, state.touchedBottom, state.touchedTop);
    if (Stopped()) return;
    platform::SetEnabled(startButton, false);
    // On a desktop of several monitors an edge shared with another one
    // would not stop the pointer: keep it on the primary screen meanwhile.
    const bool keepOnScreen = platform::MonitorCount() > 1;
    const platform::RECT screen{0, 0, Module1::screenExtents.maxX + 1, Module1::screenExtents.maxY + 1};
    if (keepOnScreen) platform::ClipCursor(&screen);
    const uint32_t startTick = platform::timeGetTime();
    state.startTick = static_cast<int32_t>(startTick);
    for (;;) {
        platform::PumpEvents();
        if (Stopped()) {
            if (keepOnScreen) platform::ClipCursor(nullptr);
            return;  // nothing to time or record
        }
        platform::Sleep(1);
        platform::GetCursorPos(Module1::pointerPoint);
        UpdateEdges(state, Module1::screenExtents, Module1::pointerPoint.x,
                    Module1::pointerPoint.y);
        if (AllEdgesTouched(state)) break;
    }
    const uint32_t elapsed = TicksBetween(startTick, platform::timeGetTime());
    if (keepOnScreen) platform::ClipCursor(nullptr);
    state.elapsedMs = elapsed > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())
                          ? std::numeric_limits<int32_t>::max()
                          : static_cast<int32_t>(elapsed);
    Module1::lastMs = state.elapsedMs;
}
