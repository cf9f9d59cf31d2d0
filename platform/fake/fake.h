// A scripted machine for unit tests: screen, clock, pointer and window are
// all in memory, and everything the game does to them is recorded.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fake {

struct Sample {
    uint32_t time;  // clock reading from which the pointer is here
    int32_t x, y;
};

enum class What { Caption, Enabled, MessageBox, WindowTop, WindowLeft, Clip, Warp, Track };

struct Event {
    What what;
    platform::Control control = platform::Control::Form1;
    std::string text;   // caption, message prompt
    std::string title;  // message box title as shown
    bool flag = false;  // enabled state; whether a clip rectangle was given; tracking on
    double value = 0;   // window position in twips
    platform::RECT rect{};
    uint32_t time = 0;
    uint64_t pump = 0;  // how many event pumps had run
};

struct Machine {
    // Screen, in pixels; twips derive from twipsPerPixel.
    int32_t screenWidth = 800, screenHeight = 600;
    int32_t monitors = 1;  // the others to the right of the primary
    double twipsPerPixelX = 15, twipsPerPixelY = 15;
    // The main window's outer size in twips.
    double windowWidthTwips = 250 * 15, windowHeightTwips = 80 * 15;
    // Run by ShowForm: a window manager that frames the window as it shows.
    std::function<void()> onShow;

    uint32_t now = 0;
    // Added on top of what each Sleep asks for; gets the sleep's index.
    std::function<uint32_t(uint64_t)> sleepExtra;
    uint64_t sleeps = 0;

    platform::POINT pointer{0, 0};
    bool confined = false;
    platform::RECT clip{};
    bool tracking = false;
    // What PointerLost says; tracking anew clears it.
    std::string lost;
    // Moves the player makes, applied when the clock reaches their time.
    std::vector<Sample> script;
    std::size_t nextSample = 0;

    // Run once, in the pump whose clock first reaches their time.
    std::vector<std::pair<uint32_t, std::function<void()>>> actions;
    std::function<void(const Event&)> onMessageBox;

    bool quit = false;
    std::function<void()> onCommand1;
    std::string appDirectory = ".";
    platform::LocalTime localTime{2026, 12, 7, 9, 5, 3};

    std::vector<Event> events;
    uint64_t pumps = 0;

    std::string Caption(platform::Control c) const;
    bool Enabled(platform::Control c) const;
    std::vector<Event> Of(What w) const;
};

// The machine every platform call works on; Reset gives a fresh one.
Machine& machine();
void Reset();

// Presses the start button as the toolkit would (runs the press handler).
void PressCommand1();

}  // namespace fake
