#include "window/form1.h"

#include <cstdio>
#include <iterator>

#include "common/module1.h"
#include "history/history.h"
#include "race/finish.h"
#include "race/race.h"

using platform::Control;
using platform::ControlKind;

namespace Form1 {

RaceState raceState;

namespace {

const platform::ControlLayout kControls[] = {
    {Control::Command1, ControlKind::PushButton, "Race Start", 0, 0, 1335, 735, 0},
    {Control::Label1, ControlKind::Label, "Top Time:", 1440, 0, 2175, 255, 1},
    {Control::Label2, ControlKind::Label, "Now Time:", 1440, 360, 2295, 255, 2},
};

// Where the laid-out face is missing: Japanese Gothics of the same kind.
const char* const kFallbackFaces[] = {"IPAGothic", "Noto Sans CJK JP", "MS Gothic"};

const platform::FormLayout kLayout = {
    "Skorrel  Ver1.0   by Vesk",
    3720, 720,
    "ＭＳ ゴシック", 9, 128, 400,
    kFallbackFaces, std::size(kFallbackFaces),
    kControls, std::size(kControls),
};

// The remainder always has three digits, so 1050 ms reads 1.050, not 1.50.
std::string TimeText(const char* head, int32_t t) {
    char text[64];
    std::snprintf(text, sizeof text, "%s%d.%03d秒 ", head, t / 1000, t % 1000);
    return text;
}

bool racing = false;

}  // namespace

const platform::FormLayout& Layout() { return kLayout; }

std::string BestTimeText(int32_t t) { return TimeText("Top Time:  ", t); }
std::string LastTimeText(int32_t t) { return TimeText("Now Time:  ", t); }

void ShowBestTime() { platform::SetCaption(Control::Label1, BestTimeText(Module1::bestMs)); }
void ShowLastTime() { platform::SetCaption(Control::Label2, LastTimeText(Module1::lastMs)); }

void Load() {
    Module1::bestMs = 0;
    CenterWindow(Control::Form1);
    LoadHistory();
    ShowBestTime();
    ShowLastTime();
}

void Show() {
    const platform::WindowSize before = platform::GetWindowSize(Control::Form1);
    platform::ShowForm();
    // A window manager that tells its frame only once the window is up
    // (KWin with its Breeze decoration) leaves it off centre: centre it
    // again with the frame it really has.
    const platform::WindowSize after = platform::GetWindowSize(Control::Form1);
    if (after.widthTwips != before.widthTwips || after.heightTwips != before.heightTwips) CenterWindow(Control::Form1);
}

void Command1Click() {
    // A press from the keyboard during the count-in would start a second
    // race inside the first: one race at a time.
    if (racing) return;
    racing = true;
    StartRace(Control::Form1, Control::Command1, raceState);
    if (platform::QuitRequested()) {
        // Nothing to judge: the game is closing.
    } else if (AllEdgesTouched(raceState)) {
        FinishRun(raceState);
    } else {
        AbandonRun();
    }
    racing = false;
}

int Run(int argc, char** argv) {
    // A long history is read while the toolkit starts; Load takes the result.
    PrefetchHistory();
    std::string why;
    if (!platform::Init(argc, argv, &why)) {
        std::fprintf(stderr, "skorrel: %s\n", why.c_str());
        return 1;
    }
    platform::CreateForm(kLayout, Command1Click);
    Load();
    Show();
    return platform::RunEventLoop();
}

}  // namespace Form1
