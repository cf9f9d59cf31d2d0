// The main window: its layout, its start-up and the texts of its labels.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "race/edges.h"

namespace Form1 {

// The one record every race reuses.
extern RaceState raceState;

const platform::FormLayout& Layout();

// The load step, before the window first shows.
void Load();
// Shows the loaded window, centred with the frame it has once shown.
void Show();
// The start button's press handler.
void Command1Click();

void ShowBestTime();
void ShowLastTime();

// "Top Time:  1.050秒 " and "Now Time:  ..." for t milliseconds.
std::string BestTimeText(int32_t t);
std::string LastTimeText(int32_t t);

// Creates, loads and shows the window, then runs until it is closed.
int Run(int argc, char** argv);

}  // namespace Form1
