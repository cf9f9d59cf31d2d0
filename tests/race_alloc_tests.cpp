// The race loop must not allocate: a pass that reached the allocator could
// stall on it and late-detect an edge.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "common/module1.h"
#include "platform/fake/fake.h"
#include "race/race.h"

namespace {
std::atomic<uint64_t> allocations{0};
}

// Counting wrappers; the runtime's own allocator still does the work.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
    ++allocations;
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

TEST(RaceLoop, APassAllocatesNothing) {
    fake::Reset();
    fake::Machine& m = fake::machine();
    MeasureScreen();
    // A long race that wanders over the screen before finishing.
    std::vector<fake::Sample> script;
    for (uint32_t t = 1; t < 5000; t += 7) script.push_back({t, int32_t(t % 700) + 50, int32_t(t % 500) + 50});
    script.push_back({5000, 799, 300});
    script.push_back({5100, 400, 599});
    script.push_back({5200, 0, 300});
    script.push_back({5300, 400, 0});
    m.script = script;
    std::vector<uint64_t> seen;
    seen.reserve(6000);
    m.sleepExtra = [&seen](uint64_t) {
        seen.push_back(allocations.load());
        return 0u;
    };
    RaceState s;
    RunRace(platform::Control::Command1, s);
    ASSERT_EQ(s.elapsedMs, 5300);
    ASSERT_GT(seen.size(), 5000u);
    // From the first pass to the last the count never moves.
    EXPECT_EQ(seen.front(), seen.back());
    // The counter does see allocations made where it watches.
    const uint64_t before = allocations.load();
    auto* probe = new std::vector<int>(100);
    delete probe;
    EXPECT_GT(allocations.load(), before);
}

}  // namespace
