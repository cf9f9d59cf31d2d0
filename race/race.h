// From a press of the start button to the touch of the fourth edge.
#pragma once

#include "platform/platform.h"
#include "race/edges.h"

void StartRace(platform::Control window, platform::Control startButton,
               RaceState& state);
void MeasureScreen();
void CenterWindow(platform::Control window);
void ParkPointer();
void ConfinePointer();
void CountIn(platform::Control startButton);
void ReleasePointer();
void RunRace(platform::Control startButton, RaceState& state);
