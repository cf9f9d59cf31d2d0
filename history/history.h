// The record file: one line per recorded run, scanned once at start-up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/platform.h"

inline constexpr const char* kHistoryFileName = "time_atack.txt";

struct AppendOutcome {
    bool ok = true;
    std::string path;    // the file written to
    std::string reason;  // the system's text when !ok
};

// Where the history file lives: the executable's directory when it can be
// written (the portable way), else the per-user data folder.
std::string HistoryDirectory();

// Appends one record for a run of ms milliseconds to the history file in
// HistoryDirectory(). Reports a failure instead of hiding it.
AppendOutcome AppendRecord(int32_t ms);
// Scans the history file; sets Module1::bestMs and Module1::lastMs.
void LoadHistory();
// Starts the scan on a thread of its own, so that a long file is read while
// the window toolkit starts up; the next LoadHistory waits for that scan
// and takes its result instead of reading the file again.
void PrefetchHistory();

// The same on an explicit directory, for callers that choose it.
std::string HistoryPath(const std::string& directory);
AppendOutcome AppendRecordIn(const std::string& directory, int32_t ms,
                             const platform::LocalTime& when);

// The line for a run of ms milliseconds written at `when`, CR LF included.
std::string FormatRecordLine(const platform::LocalTime& when, int32_t ms);

struct HistoryScan {
    int32_t bestMs = 0;
    int32_t lastMs = 0;
    int64_t validLines = 0;
};

// Field 2 of one line (no line break) as a run time; false for a line that
// does not hold one.
bool ParseRecordLine(std::string_view line, int32_t* ms);

// Streams a history file through a fixed buffer. A missing or unreadable
// file gives 0 and 0.
HistoryScan ScanHistoryFile(const std::string& path);

// The same scan over bytes in memory, fed in pieces of any size. A line
// longer than maxLine is skipped without being held.
class HistoryScanner {
public:
    static constexpr std::size_t kMaxLine = 64 * 1024;
    explicit HistoryScanner(std::size_t maxLine = kMaxLine);
    void Feed(std::string_view bytes);
    HistoryScan Finish();

private:
    void EndLine();
    void Count(std::string_view line);
    void Take(int32_t ms);
    std::size_t maxLine_;
    std::unique_ptr<char[]> line_;
    std::size_t length_ = 0;
    bool overlong_ = false;
    bool afterCr_ = false;
    HistoryScan scan_;
};
