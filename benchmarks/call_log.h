// The counting layer shared by the race benchmarks: every pump, sleep and
// pointer sample of the game's loop is stamped into a preallocated log. The
// loop calls the wraps below instead of the backend's functions (linked with
// -Wl,--wrap, see the bench CMake files), so the game's code stays as shipped.
// Include it in one file of a bench only (the wraps are defined here); that
// bench defines BenchNow(), its clock.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/platform.h"

int64_t BenchNow();

namespace bench {

enum Kind : uint8_t { kPump, kSleep, kSample };

struct Call {
    int64_t enter, leave;
    int32_t x, y;
    int32_t race;
    Kind kind;
};

constexpr std::size_t kLogSize = 1 << 21;
inline Call* logBuf = nullptr;
inline std::atomic<std::size_t> logLen{0};
inline std::atomic<int32_t> currentRace{0};  // 0: no race running
inline std::atomic<int64_t> passes{0};

// Touches the whole log now: no page faults inside the timed loop.
inline void AllocateLog() {
    logBuf = static_cast<Call*>(std::calloc(kLogSize, sizeof(Call)));
    std::memset(static_cast<void*>(logBuf), 1, kLogSize * sizeof(Call));
}

inline void Record(Kind k, int64_t enter, int32_t x = 0, int32_t y = 0) {
    const int64_t leave = BenchNow();
    const std::size_t i = logLen.load(std::memory_order_relaxed);
    if (i >= kLogSize) return;
    logBuf[i] = {enter, leave, x, y, currentRace.load(std::memory_order_relaxed), k};
    logLen.store(i + 1, std::memory_order_release);
}

// Nearest-rank percentile; -1 for no data.
inline double Pct(std::vector<double> v, double p) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    const std::size_t i = static_cast<std::size_t>(p / 100.0 * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

}  // namespace bench

extern "C" {
void __real__ZN8platform10PumpEventsEv();
void __real__ZN8platform5SleepEj(uint32_t ms);
void __real__ZN8platform12GetCursorPosERNS_5POINTE(platform::POINT& p);

void __wrap__ZN8platform10PumpEventsEv() {
    const int64_t t = BenchNow();
    __real__ZN8platform10PumpEventsEv();
    bench::Record(bench::kPump, t);
    bench::passes.fetch_add(1, std::memory_order_release);
}
void __wrap__ZN8platform5SleepEj(uint32_t ms) {
    const int64_t t = BenchNow();
    __real__ZN8platform5SleepEj(ms);
    bench::Record(bench::kSleep, t);
}
void __wrap__ZN8platform12GetCursorPosERNS_5POINTE(platform::POINT& p) {
    const int64_t t = BenchNow();
    __real__ZN8platform12GetCursorPosERNS_5POINTE(p);
    bench::Record(bench::kSample, t, p.x, p.y);
}
}
