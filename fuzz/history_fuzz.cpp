// libFuzzer target for the record line parser and the history scan.
// Checks them against a plain rewrite of the rules, fed in pieces the
// input chooses, with a line cap small enough for the fuzzer to cross.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "history/history.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

// Field 2 of a line split at every single space, as a non-negative
// 32-bit decimal (leading zeros allowed).
bool ReferenceParse(std::string_view line, int32_t* ms) {
    std::vector<std::string> fields(1);
    for (char c : line) {
        if (c == ' ')
            fields.emplace_back();
        else
            fields.back() += c;
    }
    if (fields.size() < 3 || fields[2].empty()) return false;
    uint64_t v = 0;
    for (char c : fields[2]) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
        if (v > 2147483647u) return false;
    }
    *ms = static_cast<int32_t>(v);
    return true;
}

HistoryScan ReferenceScan(std::string_view text, std::size_t maxLine) {
    HistoryScan s;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find_first_of("\r\n", at);
        const bool last = end == std::string_view::npos;
        if (last) end = text.size();
        const std::string_view line = text.substr(at, end - at);
        int32_t v = 0;
        if (line.size() <= maxLine && ReferenceParse(line, &v)) {
            if (s.bestMs == 0) s.bestMs = v;
            if (static_cast<double>(v) < s.bestMs) s.bestMs = v;
            s.lastMs = v;
            ++s.validLines;
        }
        if (last) break;
        at = end + 1;
        if (text[end] == '\r' && at < text.size() && text[at] == '\n') ++at;
    }
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // Byte 0: the line cap; byte 1: the size of the pieces fed.
    const std::size_t maxLine = data[0] == 255 ? HistoryScanner::kMaxLine : data[0] % 64;
    const std::size_t piece = data[1] == 0 ? size : data[1] % 17 + 1;
    const std::string_view text(reinterpret_cast<const char*>(data) + 2, size - 2);

    HistoryScanner scanner(maxLine);
    for (std::size_t at = 0; at < text.size(); at += piece) scanner.Feed(text.substr(at, piece));
    const HistoryScan got = scanner.Finish();
    const HistoryScan want = ReferenceScan(text, maxLine);
    Check(got.bestMs == want.bestMs);
    Check(got.lastMs == want.lastMs);
    Check(got.validLines == want.validLines);

    // The parser alone, on the whole input as one line.
    int32_t a = -1, b = -1;
    const bool pa = ParseRecordLine(text, &a);
    const bool pb = ReferenceParse(text, &b);
    Check(pa == pb);
    Check(!pa || a == b);

    // Any run time written is read back as itself.
    if (text.size() >= 4) {
        int32_t ms;
        std::memcpy(&ms, text.data(), sizeof ms);
        ms &= 0x7fffffff;
        const platform::LocalTime when{2000 + data[1] % 100, 1 + data[0] % 12, 1 + data[1] % 28,
                                       data[0] % 24, data[1] % 60, data[0] % 60};
        std::string line = FormatRecordLine(when, ms);
        Check(line.size() > 2 && line.substr(line.size() - 2) == "\r\n");
        line.resize(line.size() - 2);
        int32_t back = -1;
        Check(ParseRecordLine(line, &back) && back == ms);
        Check(line.substr(line.size() - 3) == " ms");
    }
    return 0;
}
