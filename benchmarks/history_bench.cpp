// Times the history scan and the append on generated files.
//   history_bench gen <file> <lines>     write a history of <lines> records
//   history_bench scan <dir> <repeats>   LoadHistory, best wall time
//   history_bench append <dir> <count>   AppendRecord <count> times
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/module1.h"
#include "history/history.h"
#include "platform/fake/fake.h"

namespace {

double Now() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

long MaxRssKiB() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

int Gen(const char* path, long lines) {
    FILE* f = std::fopen(path, "wb");
    if (!f) return 1;
    unsigned x = 12345;
    platform::LocalTime t{2026, 1, 1, 0, 0, 0};
    for (long i = 0; i < lines; ++i) {
        x = x * 1103515245u + 12345u;
        const int ms = 900 + static_cast<int>((x >> 8) % 9000);
        t.second = static_cast<int>(i % 60);
        t.minute = static_cast<int>((i / 60) % 60);
        std::fputs(FormatRecordLine(t, ms).c_str(), f);
    }
    return std::fclose(f) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: history_bench gen|scan|append ...\n");
        return 2;
    }
    const std::string mode = argv[1];
    if (mode == "gen") return Gen(argv[2], std::atol(argv[3]));
    fake::machine().appDirectory = argv[2];
    const long n = std::atol(argv[3]);
    if (mode == "scan") {
        double best = 1e300;
        for (long i = 0; i < n; ++i) {
            Module1::bestMs = 0;
            const double t0 = Now();
            LoadHistory();
            best = std::min(best, Now() - t0);
        }
        std::printf("scan_ms=%.3f best=%d last=%d maxrss_kib=%ld\n", best, Module1::bestMs,
                    Module1::lastMs, MaxRssKiB());
        return 0;
    }
    if (mode == "append") {
        const double t0 = Now();
        for (long i = 0; i < n; ++i)
            if (!AppendRecord(1234).ok) return 1;
        std::printf("append_ms_each=%.3f\n", (Now() - t0) / static_cast<double>(n));
        return 0;
    }
    return 2;
}
