// The game's race loop on the Win32 backend, for a run under Wine: the same
// link-time wraps as the Linux bench stamp every pump, sleep and sample
// (QueryPerformanceCounter), and a second thread moves the pointer with
// SetCursorPos to end each race.
//   race_bench_win [races] [seconds per race]
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "benchmarks/call_log.h"
#include "common/module1.h"
#include "platform/platform.h"
#include "race/race.h"
#include "window/form1.h"

namespace {
int64_t freq = 1;
double Ms(int64_t ticks) { return static_cast<double>(ticks) * 1000.0 / static_cast<double>(freq); }
}  // namespace

int64_t BenchNow() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

using namespace bench;

int main(int argc, char** argv) {
    const int races = argc > 1 ? std::atoi(argv[1]) : 5;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 2;
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    freq = f.QuadPart;
    AllocateLog();

    std::string why;
    if (!platform::Init(argc, argv, &why)) {
        std::fprintf(stderr, "race_bench_win: %s\n", why.c_str());
        return 1;
    }
    platform::CreateForm(Form1::Layout(), [] {});
    Form1::Load();
    platform::ShowForm();
    MeasureScreen();
    const int maxX = Module1::screenExtents.maxX, maxY = Module1::screenExtents.maxY;

    for (int race = 1; race <= races; ++race) {
        ::SetCursorPos(maxX / 2, maxY / 2);
        std::thread driver([&] {
            while (currentRace.load() != race) ::Sleep(1);
            ::Sleep(static_cast<DWORD>(seconds * 1000));
            // Each edge long enough for any pass to see it.
            const int at[4][2] = {{maxX, maxY / 2}, {maxX / 2, maxY}, {0, maxY / 2}, {maxX / 2, 0}};
            while (currentRace.load() == race) {
                for (const auto& p : at) {
                    ::SetCursorPos(p[0], p[1]);
                    ::Sleep(30);
                }
            }
        });
        currentRace.store(race);
        RunRace(platform::Control::Command1, Form1::raceState);
        currentRace.store(0);
        driver.join();
    }

    std::vector<double> period, pump, sleep1, sample;
    int64_t lastPump = 0;
    int32_t lastRace = -1;
    for (std::size_t i = 0, n = logLen.load(); i < n; ++i) {
        const Call& c = logBuf[i];
        if (c.race == 0) continue;
        const double us = Ms(c.leave - c.enter) * 1000.0;
        if (c.kind == kPump) {
            if (c.race == lastRace) period.push_back(Ms(c.enter - lastPump));
            lastPump = c.enter;
            lastRace = c.race;
            pump.push_back(us);
        } else if (c.kind == kSleep) {
            sleep1.push_back(us);
        } else {
            sample.push_back(us);
        }
    }
    std::printf("wine passes %zu\n", period.size());
    std::printf("wine pass_period_ms median %.3f p90 %.3f p99 %.3f max %.3f\n", Pct(period, 50), Pct(period, 90),
                Pct(period, 99), Pct(period, 100));
    std::printf("wine pump_us median %.1f p99 %.1f  sleep1_us median %.1f p99 %.1f  sample_us median %.1f p99 %.1f\n",
                Pct(pump, 50), Pct(pump, 99), Pct(sleep1, 50), Pct(sleep1, 99), Pct(sample, 50), Pct(sample, 99));
    std::fflush(stdout);
    std::_Exit(0);
}
