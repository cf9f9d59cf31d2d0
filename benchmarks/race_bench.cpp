// Times the game's own race loop (RunRace) on the real Linux backend.
// The platform calls the loop makes are wrapped at link time (-Wl,--wrap),
// so every pump, sleep and pointer sample is stamped into a preallocated log
// while the game's code stays exactly as shipped. A second thread with its
// own connection moves the pointer, stamping each move on the same
// CLOCK_MONOTONIC clock: through XTest on X11, or, built with
// SKORREL_BENCH_WAYLAND, through a wlroots virtual pointer, the game then
// seeing it on its covering surface.
//   race_bench [latency-races] [tries-per-stay]
#ifdef SKORREL_BENCH_WAYLAND
#include <wayland-client.h>

#include "platform/wayland/wayland.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"
#else
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#endif
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "benchmarks/call_log.h"
#include "common/module1.h"
#include "platform/platform.h"
#include "race/race.h"
#include "window/form1.h"

int64_t BenchNow() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

using namespace bench;

namespace {

#ifdef SKORREL_BENCH_WAYLAND
void Global(void* data, wl_registry* registry, uint32_t name, const char* iface, uint32_t);
void GlobalRemove(void*, wl_registry*, uint32_t) {}
const wl_registry_listener kRegistryListener = {Global, GlobalRemove};

struct Driver {
    wl_display* display = nullptr;
    wl_seat* seat = nullptr;
    zwlr_virtual_pointer_manager_v1* manager = nullptr;
    zwlr_virtual_pointer_v1* pointer = nullptr;
    int maxX = 0, maxY = 0;
    int64_t done = 0;  // when the server said it had the last move

    bool Open(std::string* why) {
        display = wl_display_connect(nullptr);
        if (!display) {
            *why = "no Wayland display";
            return false;
        }
        wl_registry_add_listener(wl_display_get_registry(display), &kRegistryListener, this);
        wl_display_roundtrip(display);
        if (!seat || !manager) {
            *why = "the compositor has no zwlr_virtual_pointer_manager_v1";
            return false;
        }
        pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(manager, seat);
        wl_display_roundtrip(display);
        return true;
    }
    void Close() { wl_display_disconnect(display); }

    // Absolute, in the output's pixels: x / (maxX + 1) of its width.
    void Send(int x, int y) {
        timespec t{};
        clock_gettime(CLOCK_MONOTONIC, &t);
        const auto ms = static_cast<uint32_t>(t.tv_sec * 1000 + t.tv_nsec / 1000000);
        zwlr_virtual_pointer_v1_motion_absolute(pointer, ms, static_cast<uint32_t>(x), static_cast<uint32_t>(y),
                                                static_cast<uint32_t>(maxX + 1), static_cast<uint32_t>(maxY + 1));
        zwlr_virtual_pointer_v1_frame(pointer);
        wl_display_flush(display);
    }
    // Returns the stamp taken just before the move left this process; back
    // once the compositor has handled it.
    int64_t Move(int x, int y) {
        const int64_t t = BenchNow();
        Send(x, y);
        wl_display_roundtrip(display);
        done = BenchNow();
        return t;
    }
    // Sent without waiting.
    void Nudge(int x, int y) { Send(x, y); }
};

void Global(void* data, wl_registry* registry, uint32_t name, const char* iface, uint32_t) {
    auto* d = static_cast<Driver*>(data);
    if (std::strcmp(iface, wl_seat_interface.name) == 0 && !d->seat)
        d->seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    else if (std::strcmp(iface, zwlr_virtual_pointer_manager_v1_interface.name) == 0)
        d->manager = static_cast<zwlr_virtual_pointer_manager_v1*>(
            wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1));
}
#else
struct Driver {
    Display* dpy = nullptr;
    int screen = 0;
    int maxX = 0, maxY = 0;
    int64_t done = 0;  // when the server said it had the last move

    bool Open(std::string* why) {
        dpy = XOpenDisplay(nullptr);
        int ev = 0, er = 0, maj = 0, min = 0;
        if (!dpy || !XTestQueryExtension(dpy, &ev, &er, &maj, &min)) {
            *why = "no XTest";
            return false;
        }
        screen = DefaultScreen(dpy);
        return true;
    }
    void Close() { XCloseDisplay(dpy); }

    // Returns the stamp taken just before the move left this process.
    int64_t Move(int x, int y) {
        const int64_t t = BenchNow();
        XTestFakeMotionEvent(dpy, screen, x, y, CurrentTime);
        XSync(dpy, False);
        done = BenchNow();
        return t;
    }
    // Sent without waiting.
    void Nudge(int x, int y) {
        XTestFakeMotionEvent(dpy, screen, x, y, CurrentTime);
        XFlush(dpy);
    }
};
#endif

void SleepUntil(int64_t ns) {
    timespec t{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) != 0) {
    }
}
void SleepNs(int64_t ns) { SleepUntil(BenchNow() + ns); }

void WaitForPass(int32_t race) {
    while (currentRace.load(std::memory_order_acquire) != race) SleepNs(50000);
    const int64_t p = passes.load(std::memory_order_acquire);
    while (passes.load(std::memory_order_acquire) == p && currentRace.load() == race) SleepNs(50000);
}

bool Running(int32_t race) { return currentRace.load(std::memory_order_acquire) == race; }

// Right, bottom and left edges, each held long enough to be seen.
void ThreeEdges(Driver& d, int64_t holdNs) {
    d.Move(d.maxX, d.maxY / 2);
    SleepNs(holdNs);
    d.Move(d.maxX / 2, d.maxY);
    SleepNs(holdNs);
    d.Move(0, d.maxY / 2);
    SleepNs(holdNs);
}

// Ends a race that a short stay did not end.
void Finish(Driver& d, int32_t race) {
    while (Running(race)) {
        ThreeEdges(d, 10000000);
        d.Move(d.maxX / 2, 0);
        SleepNs(10000000);
    }
}

struct Plan {
    int latencyRaces = 300;
    int stayTries = 100;
    std::vector<double> staysMs{0.25, 0.5, 0.75, 1.0, 1.25, 1.5, 2.0, 2.5, 3.0};
    double cpuSeconds = 5;
};

struct Results {
    std::vector<int64_t> injectNs;  // per latency race: the move onto the fourth edge
    std::vector<int64_t> handledNs;  // and when the server had it
    std::vector<int32_t> latencyRace;
    struct Stay {
        double wantMs;
        std::vector<int32_t> race;
        std::vector<int64_t> on, off;
    };
    std::vector<Stay> stays;
    int32_t cpuMovingRace = 0, cpuStillRace = 0;
};

std::atomic<int32_t> raceToRun{0};
std::atomic<bool> driverDone{false};
int32_t nextRace = 1;

// The driver: plays each race the main thread runs, in order.
void Drive(Driver d, const Plan& plan, Results& r) {
    uint32_t seed = 12345;
    auto rnd = [&] { return (seed = seed * 1664525u + 1013904223u) >> 8; };
    auto start = [&] {
        const int32_t race = nextRace++;
        d.Move(d.maxX / 2, d.maxY / 2);
        raceToRun.store(race, std::memory_order_release);
        WaitForPass(race);
        return race;
    };
    for (int i = 0; i < plan.latencyRaces; ++i) {
        const int32_t race = start();
        ThreeEdges(d, 10000000);
        // A random phase against the loop's passes.
        SleepNs(static_cast<int64_t>(rnd() % 3000000));
        r.injectNs.push_back(d.Move(d.maxX / 2, 0));
        r.handledNs.push_back(d.done);
        r.latencyRace.push_back(race);
        const int64_t deadline = BenchNow() + 200000000;
        while (Running(race) && BenchNow() < deadline) SleepNs(100000);
        Finish(d, race);
    }
    for (double ms : plan.staysMs) {
        Results::Stay s{ms, {}, {}, {}};
        for (int i = 0; i < plan.stayTries; ++i) {
            const int32_t race = start();
            ThreeEdges(d, 5000000);
            SleepNs(static_cast<int64_t>(rnd() % 3000000));
            // On the top edge, off to one side so a later fallback touch is
            // told apart, then back off the edge.
            const int64_t on = d.Move(d.maxX / 2 - 50, 0);
            SleepUntil(on + static_cast<int64_t>(ms * 1e6));
            const int64_t off = d.Move(d.maxX / 2 - 50, 5);
            s.race.push_back(race);
            s.on.push_back(on);
            s.off.push_back(off);
            SleepNs(15000000);
            Finish(d, race);
        }
        r.stays.push_back(std::move(s));
    }
    // A long race with the pointer moving at 1000 Hz, never on an edge.
    {
        const int32_t race = start();
        r.cpuMovingRace = race;
        const int64_t t0 = BenchNow();
        int64_t next = t0;
        int k = 0;
        while (BenchNow() - t0 < static_cast<int64_t>(plan.cpuSeconds * 1e9)) {
            const int x = d.maxX / 4 + (k * 7) % (d.maxX / 2);
            const int y = d.maxY / 4 + (k * 5) % (d.maxY / 2);
            d.Nudge(x, y);
            ++k;
            next += 1000000;
            SleepUntil(next);
        }
        Finish(d, race);
    }
    // And one with the pointer at rest.
    {
        const int32_t race = start();
        r.cpuStillRace = race;
        SleepNs(static_cast<int64_t>(plan.cpuSeconds * 1e9));
        Finish(d, race);
    }
    driverDone.store(true, std::memory_order_release);
}

struct Usage {
    int64_t wall, cpu, vcsw, ivcsw;
};
Usage ThreadUsage() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return {BenchNow(),
            (static_cast<int64_t>(u.ru_utime.tv_sec) + u.ru_stime.tv_sec) * 1000000000 +
                (static_cast<int64_t>(u.ru_utime.tv_usec) + u.ru_stime.tv_usec) * 1000,
            u.ru_nvcsw, u.ru_nivcsw};
}


// Starts the game's backend and window as the game does, and the driver
// that moves the pointer; false (said on stderr) when either cannot.
bool Start(int argc, char** argv, Driver& d) {
    std::string why;
    if (!platform::Init(argc, argv, &why)) {
        std::fprintf(stderr, "race_bench: %s\n", why.c_str());
        return false;
    }
    platform::CreateForm(Form1::Layout(), [] {});
    Form1::Load();
    platform::ShowForm();
    MeasureScreen();

#ifdef SKORREL_BENCH_WAYLAND
    // As the game does before a race: the surface that sees the pointer
    // covers the screen, and stays up for every race of the bench.
    platform::TrackPointer(true);
    if (!platform::wl::Covered()) {
        std::fprintf(stderr, "race_bench: no covering surface: the game does not take the pointer through Wayland\n");
        return false;
    }
#endif
    if (!d.Open(&why)) {
        std::fprintf(stderr, "race_bench: %s\n", why.c_str());
        return false;
    }
    d.maxX = Module1::screenExtents.maxX;
    d.maxY = Module1::screenExtents.maxY;
    return true;
}

// Runs each race the driver asks for, until it is done; the thread's use
// before and after each race, by race number.
void RunRaces(const Driver& d, const Plan& plan, Results& r, std::vector<Usage>& before, std::vector<Usage>& after) {
    std::thread driver(Drive, d, std::cref(plan), std::ref(r));
    before.resize(100000);
    after.resize(100000);
    int32_t ran = 0;
    while (!driverDone.load(std::memory_order_acquire)) {
        const int32_t race = raceToRun.load(std::memory_order_acquire);
        if (race == ran) {
            platform::PumpEvents();
            SleepNs(200000);
            continue;
        }
        before[static_cast<std::size_t>(race)] = ThreadUsage();
        currentRace.store(race, std::memory_order_release);
        RunRace(platform::Control::Command1, Form1::raceState);
        currentRace.store(0, std::memory_order_release);
        after[static_cast<std::size_t>(race)] = ThreadUsage();
        ran = race;
    }
    driver.join();
}

// The log, sorted: pass periods, the time in each call, and each race's
// samples.
struct Sorted {
    std::vector<double> period, pumpUs, sleepUs, sampleUs;
    std::vector<std::vector<std::size_t>> samplesOf;
};

Sorted SortLog(std::size_t n) {
    Sorted s;
    s.samplesOf.resize(static_cast<std::size_t>(nextRace) + 1);
    // Passes: one pump to the next within a race.
    int64_t lastPump = 0;
    int32_t lastRace = -1;
    for (std::size_t i = 0; i < n; ++i) {
        const Call& c = logBuf[i];
        if (c.race == 0) continue;
        const double us = static_cast<double>(c.leave - c.enter) / 1000.0;
        if (c.kind == kPump) {
            if (c.race == lastRace) s.period.push_back(static_cast<double>(c.enter - lastPump) / 1e6);
            lastPump = c.enter;
            lastRace = c.race;
            s.pumpUs.push_back(us);
        } else if (c.kind == kSleep) {
            s.sleepUs.push_back(us);
        } else {
            s.sampleUs.push_back(us);
            s.samplesOf[static_cast<std::size_t>(c.race)].push_back(i);
        }
    }
    return s;
}

void ReportPassesAndLatency(const Driver& d, const Results& r, const Sorted& s, std::size_t n) {
    std::vector<double> latency, handled;
    int missedLatency = 0;
    for (std::size_t k = 0; k < r.latencyRace.size(); ++k) {
        // The first sample that shows the fourth edge.
        bool found = false;
        for (std::size_t i : s.samplesOf[static_cast<std::size_t>(r.latencyRace[k])]) {
            const Call& c = logBuf[i];
            if (c.y == 0 && c.x == d.maxX / 2 && c.leave >= r.injectNs[k]) {
                latency.push_back(static_cast<double>(c.leave - r.injectNs[k]) / 1e6);
                handled.push_back(static_cast<double>(r.handledNs[k] - r.injectNs[k]) / 1e6);
                found = true;
                break;
            }
        }
        if (!found) ++missedLatency;
    }
    std::printf("log entries %zu (of %zu)\n", n, kLogSize);
    std::printf("passes %zu\n", s.period.size());
    std::printf("pass_period_ms median %.3f p90 %.3f p99 %.3f max %.3f\n", Pct(s.period, 50), Pct(s.period, 90),
                Pct(s.period, 99), Pct(s.period, 100));
    std::printf("pump_us median %.1f p99 %.1f  sleep1_us median %.1f p99 %.1f  sample_us median %.1f p99 %.1f\n",
                Pct(s.pumpUs, 50), Pct(s.pumpUs, 99), Pct(s.sleepUs, 50), Pct(s.sleepUs, 99), Pct(s.sampleUs, 50),
                Pct(s.sampleUs, 99));
    std::printf("latency_ms races %zu missed %d median %.3f p99 %.3f max %.3f\n", latency.size(), missedLatency,
                Pct(latency, 50), Pct(latency, 99), Pct(latency, 100));
    // Send to the driver's own round trip back: the server had the move by
    // then (an upper bound, the driver's wake-up included).
    std::printf("server_roundtrip_ms median %.3f p99 %.3f max %.3f\n", Pct(handled, 50), Pct(handled, 99),
                Pct(handled, 100));
}

void ReportStays(const Driver& d, const Results& r, const Sorted& sorted) {
    double shortest = -1;
    for (const auto& s : r.stays) {
        int seen = 0;
        std::vector<double> actual;
        std::string misses;
        for (std::size_t k = 0; k < s.race.size(); ++k) {
            actual.push_back(static_cast<double>(s.off[k] - s.on[k]) / 1e6);
            bool hit = false;
            // For a miss: how long after the move onto the edge the next
            // sample began, and after the move off it the first that ended;
            // a sample inside the stay that missed it means the move came late.
            double next = -1, after = -1;
            for (std::size_t i : sorted.samplesOf[static_cast<std::size_t>(s.race[k])]) {
                const Call& c = logBuf[i];
                if (c.y == 0 && c.x == d.maxX / 2 - 50) {
                    hit = true;
                    break;
                }
                if (next < 0 && c.enter >= s.on[k]) next = static_cast<double>(c.enter - s.on[k]) / 1e6;
                if (after < 0 && c.leave >= s.off[k]) after = static_cast<double>(c.leave - s.on[k]) / 1e6;
            }
            if (hit) {
                ++seen;
            } else {
                char m[64];
                std::snprintf(m, sizeof m, " #%zu:%.2f/%.2f", k, next, after);
                misses += m;
            }
        }
        std::printf("stay_ms %.2f (actual median %.3f max %.3f) detected %d/%zu\n", s.wantMs, Pct(actual, 50),
                    Pct(actual, 100), seen, s.race.size());
        // Try number: next sample's start / first sample's end after the stay, ms from the move onto the edge.
        if (s.wantMs >= 1.0 && !misses.empty()) std::printf("  missed%s\n", misses.c_str());
        if (seen == static_cast<int>(s.race.size()) && shortest < 0) shortest = s.wantMs;
        if (seen != static_cast<int>(s.race.size())) shortest = -1;
    }
    std::printf("shortest_stay_all_detected_ms %.2f\n", shortest);
}

void ReportCpu(const Results& r, const std::vector<Usage>& before, const std::vector<Usage>& after) {
    for (auto [name, race] : {std::pair{"moving", r.cpuMovingRace}, std::pair{"still", r.cpuStillRace}}) {
        const Usage& a = before[static_cast<std::size_t>(race)];
        const Usage& b = after[static_cast<std::size_t>(race)];
        const double wall = static_cast<double>(b.wall - a.wall) / 1e9;
        std::printf("cpu_race_%s wall_s %.2f cpu_pct %.2f vcsw_per_s %.0f ivcsw_per_s %.1f\n", name, wall,
                    100.0 * static_cast<double>(b.cpu - a.cpu) / static_cast<double>(b.wall - a.wall),
                    static_cast<double>(b.vcsw - a.vcsw) / wall, static_cast<double>(b.ivcsw - a.ivcsw) / wall);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Plan plan;
    if (argc > 1) plan.latencyRaces = std::atoi(argv[1]);
    if (argc > 2) plan.stayTries = std::atoi(argv[2]);
    AllocateLog();
    Driver d;
    if (!Start(argc, argv, d)) return 1;

    Results r;
    std::vector<Usage> before, after;
    RunRaces(d, plan, r, before, after);
    const std::size_t n = logLen.load();
    const Sorted sorted = SortLog(n);
    ReportPassesAndLatency(d, r, sorted, n);
    ReportStays(d, r, sorted);
    ReportCpu(r, before, after);
    d.Close();
    // The backend's window and application are torn down by RunEventLoop,
    // which a bench never enters: leave without running static destructors.
    std::fflush(stdout);
    std::_Exit(0);
}
