#include "history/history.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <system_error>
#include <thread>

#if defined(__SSE2__) && !defined(SKORREL_PORTABLE_SCAN)
#include <emmintrin.h>
#endif

#include "common/module1.h"

std::string HistoryPath(const std::string& directory) {
    return directory + platform::PathSeparator() + kHistoryFileName;
}

std::string FormatRecordLine(const platform::LocalTime& when, int32_t ms) {
    char text[96];
    std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d%s%d ms\r\n",
                  when.year, when.month, when.day, when.hour, when.minute, when.second,
                  ms < 1000 ? " 0" : " ", ms);
    return text;
}

AppendOutcome AppendRecordIn(const std::string& directory, int32_t ms,
                             const platform::LocalTime& when) {
    AppendOutcome out;
    out.path = HistoryPath(directory);
    platform::File* f = platform::OpenForAppend(out.path, &out.reason);
    if (!f) {
        out.ok = false;
        return out;
    }
    std::string text = FormatRecordLine(when, ms);
    // A line cut short (a crash, a hand edit) must not swallow this record.
    const int last = platform::LastByte(f);
    if (last != -1 && last != '\n' && last != '\r') text.insert(0, "\r\n");
    out.ok = platform::WriteAll(f, text, &out.reason) && platform::FlushToDisk(f, &out.reason);
    platform::CloseFile(f);
    return out;
}

std::string HistoryDirectory() {
    std::string app = platform::AppDirectory();
    if (platform::DirectoryWritable(app)) return app;
    return platform::UserDataDirectory();
}

AppendOutcome AppendRecord(int32_t ms) {
    const std::string dir = HistoryDirectory();
    if (dir.empty()) return {false, HistoryPath(platform::AppDirectory()), "no per-user data folder on this system"};
    // The per-user folder is made when the first run is recorded.
    if (dir != platform::AppDirectory()) {
        AppendOutcome out;
        if (!platform::CreateDirectories(dir, &out.reason)) {
            out.ok = false;
            out.path = HistoryPath(dir);
            return out;
        }
    }
    return AppendRecordIn(dir, ms, platform::GetLocalTime());
}

bool ParseRecordLine(std::string_view line, int32_t* ms) {
    // Fields split at every single space; field 2 is the run time.
    std::size_t start = 0;
    for (int field = 0; field < 2; ++field) {
        std::size_t space = line.find(' ', start);
        if (space == std::string_view::npos) return false;
        start = space + 1;
    }
    std::size_t end = line.find(' ', start);
    std::string_view v = line.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (v.empty()) return false;
    for (char c : v)
        if (c < '0' || c > '9') return false;
    int32_t value = 0;
    auto r = std::from_chars(v.data(), v.data() + v.size(), value);
    if (r.ec != std::errc() || r.ptr != v.data() + v.size()) return false;
    *ms = value;
    return true;
}

namespace {

// The first CR or LF in [p, end), or end. Two memchr passes beat a byte
// loop: most lines end in CR LF, so the CR sits just before the LF.
const char* NextBreak(const char* p, const char* end) {
    const auto* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    const char* limit = lf ? lf : end;
    const auto* cr = static_cast<const char*>(std::memchr(p, '\r', static_cast<std::size_t>(limit - p)));
    return cr ? cr : limit;
}

// A line exactly as the game writes nearly every run,
// "yyyy/mm/dd hh:mm:ss 0850 ms" and CR LF: 29 bytes, every field at a fixed
// place, so the next line's start never waits on this one's bytes. Returns
// false for anything else, which the general rules then read. The date and
// time only have to be free of spaces and breaks: field 2 is all that is
// read.
constexpr std::ptrdiff_t kGameLine = 29;

#if defined(__SSE2__) && !defined(SKORREL_PORTABLE_SCAN)
// Two overlapping loads of 16 bytes cover the line: byte i of the second
// is byte 13 + i of the line. Each byte is held to its rule (printable,
// digit, or one exact byte) and one mask per load says whether all hold.
bool GameLine(const char* p, int32_t* ms) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 13));
    // At least 0x21: no space, break or other control byte.
    const __m128i bang = _mm_set1_epi8(0x21);
    const auto printable = [&](__m128i x) { return _mm_cmpeq_epi8(_mm_max_epu8(x, bang), x); };
    // a: bytes 0-9 printable, 10 a space, 11-15 printable.
    const __m128i aText = _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, ' ', 0, 0, 0, 0, 0);
    const __m128i aExact = _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1, 0, 0, 0, 0, 0);
    const __m128i aOk = _mm_or_si128(_mm_andnot_si128(aExact, printable(a)),
                                     _mm_and_si128(aExact, _mm_cmpeq_epi8(a, aText)));
    // b: bytes 13-18 printable, 19 a space, 20-23 digits, 24-28 " ms" CR LF.
    const __m128i bText = _mm_setr_epi8(0, 0, 0, 0, 0, 0, ' ', 0, 0, 0, 0, ' ', 'm', 's', '\r', '\n');
    const __m128i bExact = _mm_setr_epi8(0, 0, 0, 0, 0, 0, -1, 0, 0, 0, 0, -1, -1, -1, -1, -1);
    const __m128i bDigit = _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, -1, -1, -1, -1, 0, 0, 0, 0, 0);
    const __m128i digit =
        _mm_cmpeq_epi8(_mm_min_epu8(_mm_max_epu8(b, _mm_set1_epi8('0')), _mm_set1_epi8('9')), b);
    const __m128i bOk = _mm_or_si128(
        _mm_or_si128(_mm_andnot_si128(_mm_or_si128(bExact, bDigit), printable(b)),
                     _mm_and_si128(bExact, _mm_cmpeq_epi8(b, bText))),
        _mm_and_si128(bDigit, digit));
    if (_mm_movemask_epi8(_mm_and_si128(aOk, bOk)) != 0xffff) return false;
    *ms = (p[20] - '0') * 1000 + (p[21] - '0') * 100 + (p[22] - '0') * 10 + (p[23] - '0');
    return true;
}
#else
// True when one of the eight bytes of w is below 0x21: a space, a line
// break or another control byte.
bool HasSpaceOrControl(uint64_t w) {
    constexpr uint64_t kOnes = 0x0101010101010101u;
    return ((w - kOnes * 0x21) & ~w & kOnes * 0x80) != 0;
}

uint64_t Load8(const char* p) {
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

uint32_t Load4(const char* p) {
    uint32_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// True when all four bytes of w are decimal digits.
bool AllDigits(uint32_t w) {
    constexpr uint32_t kOnes = 0x01010101u;
    return (((w - kOnes * '0') | (w + kOnes * (0x80 - 10 - '0')) | w) & kOnes * 0x80) == 0;
}

bool GameLine(const char* p, int32_t* ms) {
    if (p[10] != ' ' || p[19] != ' ' || std::memcmp(p + 24, " ms\r\n", 5) != 0) return false;
    if (HasSpaceOrControl(Load8(p)) || HasSpaceOrControl(Load8(p + 2)) || HasSpaceOrControl(Load8(p + 11)))
        return false;
    if (!AllDigits(Load4(p + 20))) return false;
    *ms = (p[20] - '0') * 1000 + (p[21] - '0') * 100 + (p[22] - '0') * 10 + (p[23] - '0');
    return true;
}
#endif

}  // namespace

HistoryScanner::HistoryScanner(std::size_t maxLine)
    : maxLine_(maxLine), line_(std::make_unique<char[]>(maxLine)) {}

void HistoryScanner::Count(std::string_view line) {
    int32_t v = 0;
    if (ParseRecordLine(line, &v)) Take(v);
}

void HistoryScanner::Take(int32_t v) {
    if (scan_.bestMs == 0) scan_.bestMs = v;
    if (v < scan_.bestMs) scan_.bestMs = v;
    scan_.lastMs = v;
    ++scan_.validLines;
}

void HistoryScanner::EndLine() {
    if (!overlong_) Count(std::string_view(line_.get(), length_));
    length_ = 0;
    overlong_ = false;
}

void HistoryScanner::Feed(std::string_view bytes) {
    const char* p = bytes.data();
    const char* const end = p + bytes.size();
    while (p < end) {
        if (afterCr_) {
            afterCr_ = false;
            // The LF of a CR LF ends nothing new.
            if (*p == '\n') {
                ++p;
                continue;
            }
        }
        if (length_ == 0 && !overlong_ && maxLine_ >= kGameLine - 2) {
            // Kept in registers: the bytes read could alias the members.
            HistoryScan s = scan_;
            int32_t v = 0;
            while (end - p >= kGameLine && GameLine(p, &v)) {
                if (s.bestMs == 0 || v < s.bestMs) s.bestMs = v;
                s.lastMs = v;
                ++s.validLines;
                p += kGameLine;
            }
            scan_ = s;
            if (p == end) break;
        }
        const char* brk = NextBreak(p, end);
        const std::size_t n = static_cast<std::size_t>(brk - p);
        if (length_ == 0 && !overlong_ && brk != end && n <= maxLine_) {
            // The usual case: a whole line inside this piece, read in place.
            afterCr_ = *brk == '\r';
            Count(std::string_view(p, n));
            p = brk + 1;
            continue;
        }
        // An overlong line is dropped as it streams past, never held.
        if (!overlong_ && n <= maxLine_ - length_) {
            std::memcpy(line_.get() + length_, p, n);
            length_ += n;
        } else {
            overlong_ = true;
        }
        if (brk == end) break;
        afterCr_ = *brk == '\r';
        EndLine();
        p = brk + 1;
    }
}

HistoryScan HistoryScanner::Finish() {
    if (length_ > 0 || overlong_) EndLine();
    return scan_;
}

namespace {

// Set when LoadHistory starts to wait for the read ahead: from then on the
// scan is all that stands before the window, and it stops giving way.
std::atomic<bool> awaited{false};

HistoryScan ScanFile(const std::string& path, bool readAhead) {
    platform::File* f = platform::OpenForReading(path);
    if (!f) return {};
    HistoryScanner scanner;
    auto buffer = std::make_unique<char[]>(64 * 1024);
    for (;;) {
        std::ptrdiff_t n = platform::ReadChunk(f, buffer.get(), 64 * 1024);
        if (n <= 0) break;
        scanner.Feed(std::string_view(buffer.get(), static_cast<std::size_t>(n)));
        if (readAhead && !awaited.load(std::memory_order_relaxed)) std::this_thread::yield();
    }
    platform::CloseFile(f);
    return scanner.Finish();
}

std::future<HistoryScan> prefetched;

}  // namespace

HistoryScan ScanHistoryFile(const std::string& path) { return ScanFile(path, false); }

void PrefetchHistory() {
    // The path is found here, on the caller's thread; the other thread
    // only reads the file. Until LoadHistory waits for it, it lets whatever
    // else wants its processor run first between pieces: at start-up that
    // is the toolkit and the display server, which have more to do before
    // the window maps than the scan.
    const std::string dir = HistoryDirectory();
    if (dir.empty()) return;
    awaited = false;
    try {
        prefetched = std::async(std::launch::async, ScanFile, HistoryPath(dir), true);
    } catch (const std::system_error&) {
        // No thread to spare: LoadHistory reads the file itself.
    }
}

void LoadHistory() {
    HistoryScan scan;
    if (prefetched.valid()) {
        awaited = true;
        scan = prefetched.get();
    } else {
        const std::string dir = HistoryDirectory();
        if (dir.empty()) return;
        scan = ScanHistoryFile(HistoryPath(dir));
    }
    // Keep the caller's 0 when the file holds no best at all.
    if (scan.validLines > 0) {
        Module1::bestMs = scan.bestMs;
        Module1::lastMs = scan.lastMs;
    }
}
