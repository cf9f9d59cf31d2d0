// Scanning a large file of random bytes: right answer, memory that does
// not grow with the file. Own binary, since it counts every allocation.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <new>
#include <random>
#include <string>

#include "history/history.h"
#include "history_test_util.h"

namespace {

std::atomic<std::size_t> inUse{0};
std::atomic<std::size_t> peak{0};

constexpr std::size_t kHeader = alignof(std::max_align_t);

void* Allocate(std::size_t size) {
    auto* p = static_cast<unsigned char*>(std::malloc(size + kHeader));
    if (!p) throw std::bad_alloc();
    *reinterpret_cast<std::size_t*>(p) = size;
    const std::size_t now = inUse += size;
    for (std::size_t seen = peak.load(); now > seen && !peak.compare_exchange_weak(seen, now);) {
    }
    return p + kHeader;
}

void Release(void* q) {
    if (!q) return;
    auto* p = static_cast<unsigned char*>(q) - kHeader;
    inUse -= *reinterpret_cast<std::size_t*>(p);
    std::free(p);
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }

namespace {

using history_test::ScratchDir;

struct Expected {
    int32_t bestMs = 0;
    int32_t lastMs = 0;
    int64_t records = 0;
};

// Writes `mib` MiB of random bytes broken into lines by random CR and LF,
// with stretches far longer than a line may be. No space ever appears in
// the noise, so only the records planted among it are valid lines.
Expected WriteNoise(const std::string& path, std::size_t mib, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::ofstream out(path, std::ios::binary);
    Expected e;
    std::string block;
    const platform::LocalTime when{2026, 3, 4, 5, 6, 7};
    for (std::size_t b = 0; b < mib * 4; ++b) {  // 256 KiB blocks
        block.clear();
        const bool longStretch = b % 7 == 3;
        while (block.size() < 256 * 1024) {
            uint64_t r = rng();
            for (int i = 0; i < 8; ++i, r >>= 8) {
                char c = static_cast<char>(r & 0xff);
                if (c == ' ' || (longStretch && (c == '\r' || c == '\n'))) c = 'x';
                block += c;
            }
        }
        // An overlong line that would be the best of all if it counted.
        if (longStretch) block.insert(0, "\nd t 1 ms ");
        if (b % 3 == 0) {
            const int32_t ms = b == mib * 3 ? 777 : 1000 + static_cast<int32_t>(rng() % 9000);
            block += "\n" + FormatRecordLine(when, ms);
            if (e.bestMs == 0 || ms < e.bestMs) e.bestMs = ms;
            e.lastMs = ms;
            ++e.records;
        }
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    return e;
}

struct Measured {
    HistoryScan scan;
    std::size_t heapPeak = 0;
    double seconds = 0;
};

Measured Scan(const std::string& path) {
    const std::size_t base = inUse.load();
    peak = base;
    const auto start = std::chrono::steady_clock::now();
    Measured m;
    m.scan = ScanHistoryFile(path);
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.heapPeak = peak.load() - base;
    return m;
}

void ScanNoise(std::size_t mib) {
    ScratchDir dir;
    const std::string path = HistoryPath(dir.str());
    const Expected e = WriteNoise(path, mib, 20261207 + mib);
    ASSERT_GT(e.records, 2);
    const Measured m = Scan(path);
    EXPECT_EQ(m.scan.validLines, e.records);
    EXPECT_EQ(m.scan.bestMs, 777);
    EXPECT_EQ(m.scan.bestMs, e.bestMs);
    EXPECT_EQ(m.scan.lastMs, e.lastMs);
    // Two fixed buffers of 64 KiB; nothing that grows with the file.
    EXPECT_LT(m.heapPeak, 256u * 1024);
    std::cout << mib << " MiB scanned in " << m.seconds << " s, heap peak " << m.heapPeak << " bytes\n";
}

TEST(HistoryLargeFile, RandomBytesScanInBoundedMemory) { ScanNoise(32); }

// Run by hand: history_scan_tests --gtest_also_run_disabled_tests
//   --gtest_filter='*Gigabyte*'
TEST(HistoryLargeFile, DISABLED_GigabyteOfRandomBytes) { ScanNoise(1024); }

}  // namespace
