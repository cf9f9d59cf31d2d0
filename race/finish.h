// Judging a finished race: the ten-second limit, the best time, the record.
#pragma once

#include <cstdint>

#include "race/edges.h"

// The longest run, in milliseconds, that is recorded.
inline constexpr int32_t RecordLimitMs = 10000;

void FinishRun(const RaceState& state);
// A race stopped before its end (the pointer could no longer be followed):
// the player is told why, nothing is recorded, the button is ready again.
void AbandonRun();
