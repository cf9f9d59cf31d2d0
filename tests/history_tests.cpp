// The record file: line format, parsing, scanning and appending on real
// files in scratch directories.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/module1.h"
#include "history/history.h"
#include "history_test_util.h"
#include "platform/fake/fake.h"

namespace {

using history_test::ReadBytes;
using history_test::ScratchDir;
using history_test::WriteBytes;

const platform::LocalTime kWhen{2026, 3, 4, 5, 6, 7};

// Scans text fed in pieces of `piece` bytes (0: all at once).
HistoryScan ScanText(const std::string& text, std::size_t piece = 0) {
    auto scanner = std::make_unique<HistoryScanner>();
    if (piece == 0) piece = text.size() + 1;
    for (std::size_t at = 0; at < text.size(); at += piece)
        scanner->Feed(std::string_view(text).substr(at, piece));
    return scanner->Finish();
}

// The scan must not depend on how the bytes arrive: a CR LF split across
// two reads is still one line break.
HistoryScan ScanAnyway(const std::string& text) {
    const HistoryScan whole = ScanText(text);
    for (std::size_t piece : {1, 2, 3, 7}) {
        const HistoryScan s = ScanText(text, piece);
        EXPECT_EQ(s.bestMs, whole.bestMs) << "piece " << piece;
        EXPECT_EQ(s.lastMs, whole.lastMs) << "piece " << piece;
        EXPECT_EQ(s.validLines, whole.validLines) << "piece " << piece;
    }
    return whole;
}

std::string Line(int32_t ms) { return FormatRecordLine(kWhen, ms); }

TEST(RecordLine, SeparatorIsZeroBelowOneSecond) {
    EXPECT_EQ(Line(850), "2026/03/04 05:06:07 0850 ms\r\n");
    EXPECT_EQ(Line(999), "2026/03/04 05:06:07 0999 ms\r\n");
    EXPECT_EQ(Line(1000), "2026/03/04 05:06:07 1000 ms\r\n");
    EXPECT_EQ(Line(10000), "2026/03/04 05:06:07 10000 ms\r\n");
    EXPECT_EQ(Line(42), "2026/03/04 05:06:07 042 ms\r\n");
}

TEST(RecordLine, DateAndTimeAreZeroPadded) {
    EXPECT_EQ(FormatRecordLine({2026, 1, 2, 3, 4, 5}, 1234), "2026/01/02 03:04:05 1234 ms\r\n");
    EXPECT_EQ(FormatRecordLine({1999, 12, 31, 23, 59, 59}, 1234), "1999/12/31 23:59:59 1234 ms\r\n");
    EXPECT_EQ(FormatRecordLine({2030, 10, 1, 0, 0, 0}, 1234), "2030/10/01 00:00:00 1234 ms\r\n");
}

TEST(RecordLine, ReadsBackWhatIsWritten) {
    for (int32_t ms : {0, 1, 99, 850, 999, 1000, 9999, 10000, 2147483647}) {
        std::string line = Line(ms);
        ASSERT_EQ(line.substr(line.size() - 2), "\r\n");
        line.resize(line.size() - 2);
        int32_t v = -1;
        ASSERT_TRUE(ParseRecordLine(line, &v)) << line;
        EXPECT_EQ(v, ms);
    }
}

TEST(RecordLine, ParsesFieldTwoOnly) {
    struct Case {
        const char* line;
        bool valid;
        int32_t ms;
    };
    const Case cases[] = {
        {"2026/03/04 05:06:07 0850 ms", true, 850},
        {"a b 7", true, 7},                        // three fields are enough
        {"a b 7 ms and more", true, 7},
        {"a b 0", true, 0},
        {"a b 00000000000000000000000000123 ms", true, 123},
        {"a b 2147483647 ms", true, 2147483647},
        {"a b 2147483648 ms", false, 0},           // beyond 32 bits
        {"a b 99999999999999999999 ms", false, 0},
        {"a b +5 ms", false, 0},
        {"a b -5 ms", false, 0},
        {"a b 5x ms", false, 0},
        {"a b 5.0 ms", false, 0},
        {"a b 0x10 ms", false, 0},
        {"a b  5 ms", false, 0},                   // empty field 2
        {"a  b 5 ms", false, 0},                   // field 2 is "b"
        {" a b 5", false, 0},
        {"a b ", false, 0},
        {"a b", false, 0},
        {"a", false, 0},
        {"", false, 0},
        {"a\tb\t5 ms", false, 0},                  // only spaces split
        {"a b \t5 ms", false, 0},
    };
    for (const Case& c : cases) {
        int32_t v = -1;
        EXPECT_EQ(ParseRecordLine(c.line, &v), c.valid) << '"' << c.line << '"';
        if (c.valid) {
            EXPECT_EQ(v, c.ms) << '"' << c.line << '"';
        }
    }
}

TEST(Scan, BestIsSmallestAndLastIsLatest) {
    const HistoryScan s = ScanAnyway(Line(980) + Line(950) + Line(990));
    EXPECT_EQ(s.bestMs, 950);
    EXPECT_EQ(s.lastMs, 990);
    EXPECT_EQ(s.validLines, 3);

    const HistoryScan one = ScanAnyway(Line(4321));
    EXPECT_EQ(one.bestMs, 4321);
    EXPECT_EQ(one.lastMs, 4321);
    EXPECT_EQ(one.validLines, 1);

    const HistoryScan none = ScanAnyway("");
    EXPECT_EQ(none.bestMs, 0);
    EXPECT_EQ(none.lastMs, 0);
    EXPECT_EQ(none.validLines, 0);
}

TEST(Scan, AcceptsEveryLineEnding) {
    for (const char* end : {"\r\n", "\n", "\r"}) {
        const std::string text = std::string("d t 3000 ms") + end + "d t 2000 ms" + end + "d t 2500 ms" + end;
        const HistoryScan s = ScanAnyway(text);
        EXPECT_EQ(s.validLines, 3) << "ending " << int(end[0]);
        EXPECT_EQ(s.bestMs, 2000);
        EXPECT_EQ(s.lastMs, 2500);
    }
    // Mixed endings, and a last line without one.
    const HistoryScan s = ScanAnyway("d t 3000\r\nd t 2000\nd t 4000\rd t 5000\n\rd t 6000");
    EXPECT_EQ(s.validLines, 5);
    EXPECT_EQ(s.bestMs, 2000);
    EXPECT_EQ(s.lastMs, 6000);
}

TEST(Scan, SkipsInvalidLinesAndKeepsTheRest) {
    const std::string text = "garbage\r\n" + Line(3000) + "d t +100 ms\r\n" + "\r\n" + Line(2000) +
                             "d t  100 ms\r\n" + Line(2500) + "d t 2147483648 ms\r\n" + "d t\r\n" +
                             "d t x100 ms";
    const HistoryScan s = ScanAnyway(text);
    EXPECT_EQ(s.validLines, 3);
    EXPECT_EQ(s.bestMs, 2000);
    EXPECT_EQ(s.lastMs, 2500);  // the last valid line, not the last line

    const HistoryScan bad = ScanAnyway("nothing\r\nd t -5 ms\r\nd  t 5 ms\r\n");
    EXPECT_EQ(bad.validLines, 0);
    EXPECT_EQ(bad.bestMs, 0);
    EXPECT_EQ(bad.lastMs, 0);
}

TEST(Scan, SkipsOverlongLineWithoutLosingTheNext) {
    ScratchDir dir;
    const std::string padding(HistoryScanner::kMaxLine, 'x');
    // A line just over the cap whose field 2 would be the best if it counted.
    const std::string overlong = "d t 1 ms " + padding + "\r\n";
    // A line exactly at the cap still counts.
    std::string atCap = "d t 2000 ms ";
    atCap += std::string(HistoryScanner::kMaxLine - atCap.size(), 'y');
    const std::string text = Line(3000) + overlong + Line(2500) + overlong + overlong + atCap + "\n" +
                             "d t 7 " + padding;  // overlong and unterminated
    const HistoryScan mem = ScanAnyway(text);
    EXPECT_EQ(mem.validLines, 3);
    EXPECT_EQ(mem.bestMs, 2000);
    EXPECT_EQ(mem.lastMs, 2000);

    WriteBytes(dir / kHistoryFileName, text);
    const HistoryScan file = ScanHistoryFile(HistoryPath(dir.str()));
    EXPECT_EQ(file.validLines, 3);
    EXPECT_EQ(file.bestMs, 2000);
    EXPECT_EQ(file.lastMs, 2000);
}

// Lines of the game's own length and shape are read by a shortcut; every
// near miss must still get the general rules' answer. ScanAnyway feeds the
// text whole (the shortcut) and in pieces too short for it.
TEST(Scan, GameShapedLinesAgreeWithTheGeneralRules) {
    struct Case {
        std::string line;
        int64_t valid;
        int32_t ms;  // the last valid time
    };
    const Case cases[] = {
        {Line(850), 1, 850},
        {Line(10000), 1, 10000},                           // five digits
        {Line(42), 1, 42},                                 // three
        {"2026/03/04 05:06 07 0850 ms\r\n", 1, 7},         // a space in the time moves field 2
        {"2026/03/04 05:06:07  850 ms\r\n", 0, 0},         // field 2 empty
        {"2026/03/04\t05:06:07 0850 ms\r\n", 0, 0},        // a tab does not split: field 2 is "ms"
        {"2026/03/04 05:06:07 08a0 ms\r\n", 0, 0},
        {"2026/03/04 05:06:07 0850 msXY", 1, 850},         // no break, more text in field 3
        {"2026/03/04 05:06:07 0850 ms\n\r", 1, 850},       // LF then CR: an empty line between
        {"2026/03/04 05:06:07 0850 ms\r\r", 1, 850},
        {"2026/03/04 05:06\r07 0850 ms\r\n", 0, 0},        // a CR inside cuts the line in two
        {"\x82\x51\x82\x4f/03/04 05:06:07 0850 ms\r\n", 1, 850},  // bytes above 0x7f in the date
        {"2026/03/04 05:06:07 0850 ms\r\n2026/03/04 05:06:07 0900 ms", 2, 900},
    };
    for (const Case& c : cases) {
        const HistoryScan s = ScanAnyway(Line(5000) + c.line);
        EXPECT_EQ(s.validLines, 1 + c.valid) << '"' << c.line << '"';
        EXPECT_EQ(s.lastMs, c.valid ? c.ms : 5000) << '"' << c.line << '"';
    }
    // The shortcut keeps to the line cap like the general rules.
    for (std::size_t cap : {26, 27}) {
        HistoryScanner scanner(cap);
        scanner.Feed(Line(850) + Line(900));
        EXPECT_EQ(scanner.Finish().validLines, cap == 27 ? 2 : 0) << "cap " << cap;
    }
}

class HistoryFile : public ::testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        fake::machine().appDirectory = dir.str();
        fake::machine().localTime = kWhen;
        Module1::bestMs = 0;
        Module1::lastMs = 0;
    }
    std::filesystem::path file() const { return dir / kHistoryFileName; }
    ScratchDir dir;
};

TEST_F(HistoryFile, PathIsDirectorySeparatorName) {
    EXPECT_EQ(HistoryPath(dir.str()), dir.str() + platform::PathSeparator() + "time_atack.txt");
}

TEST_F(HistoryFile, AppendToMissingFileCreatesItWithTheLine) {
    const AppendOutcome out = AppendRecord(850);
    EXPECT_TRUE(out.ok) << out.reason;
    EXPECT_EQ(out.path, HistoryPath(dir.str()));
    EXPECT_EQ(ReadBytes(file()), "2026/03/04 05:06:07 0850 ms\r\n");

    LoadHistory();
    EXPECT_EQ(Module1::bestMs, 850);
    EXPECT_EQ(Module1::lastMs, 850);
}

TEST_F(HistoryFile, EachAppendAddsOneLineAndKeepsEarlierBytes) {
    std::string before;
    const int32_t runs[] = {1200, 980, 10000, 999, 1000};
    for (int32_t ms : runs) {
        fake::machine().localTime.second += 1;
        ASSERT_TRUE(AppendRecord(ms).ok);
        const std::string after = ReadBytes(file());
        ASSERT_EQ(after.substr(0, before.size()), before);
        EXPECT_EQ(after.substr(before.size()), FormatRecordLine(fake::machine().localTime, ms));
        before = after;
    }
    LoadHistory();
    EXPECT_EQ(Module1::bestMs, 980);
    EXPECT_EQ(Module1::lastMs, 1000);
}

TEST_F(HistoryFile, TruncatedLastLineThenAppendGivesTwoCleanLines) {
    // Cut inside the run time, as a crash mid-write would leave it.
    const std::string cut = "2026/03/04 05:06:07 12";
    WriteBytes(file(), cut);
    ASSERT_TRUE(AppendRecord(1500).ok);
    EXPECT_EQ(ReadBytes(file()), cut + "\r\n" + Line(1500));
    const HistoryScan s = ScanHistoryFile(HistoryPath(dir.str()));
    EXPECT_EQ(s.validLines, 2);
    EXPECT_EQ(s.lastMs, 1500);

    // A file ending in either half of a line break gets no extra one.
    for (const std::string end : {"\n", "\r"}) {
        WriteBytes(file(), Line(2000) + "d t 3000 ms" + end);
        ASSERT_TRUE(AppendRecord(1500).ok);
        EXPECT_EQ(ReadBytes(file()), Line(2000) + "d t 3000 ms" + end + Line(1500));
    }
}

TEST_F(HistoryFile, ReadAheadGivesTheSameTimesAndIsUsedOnce) {
    // Many pieces of the reader's buffer, the best deep inside.
    std::string text;
    for (int i = 0; i < 6000; ++i) text += Line(i == 3777 ? 612 : 1000 + i % 900);
    text += Line(1234);
    WriteBytes(file(), text);
    PrefetchHistory();
    LoadHistory();
    EXPECT_EQ(Module1::bestMs, 612);
    EXPECT_EQ(Module1::lastMs, 1234);

    // Nothing is kept: a later load reads the file as it is then.
    ASSERT_TRUE(AppendRecord(700).ok);
    Module1::bestMs = 0;
    LoadHistory();
    EXPECT_EQ(Module1::bestMs, 612);
    EXPECT_EQ(Module1::lastMs, 700);

    // A read ahead of a missing file keeps the caller's zeros.
    std::filesystem::remove(file());
    Module1::bestMs = 0;
    Module1::lastMs = 0;
    PrefetchHistory();
    LoadHistory();
    EXPECT_EQ(Module1::bestMs, 0);
    EXPECT_EQ(Module1::lastMs, 0);
}

TEST_F(HistoryFile, MissingOrEmptyFileLeavesZerosAndCreatesNothing) {
    Module1::lastMs = 0;
    LoadHistory();
    EXPECT_EQ(Module1::bestMs, 0);
    EXPECT_EQ(Module1::lastMs, 0);
    EXPECT_FALSE(std::filesystem::exists(file()));

    WriteBytes(file(), "");
    LoadHistory();
    EXPECT_EQ(Module1::bestMs, 0);
    EXPECT_EQ(Module1::lastMs, 0);
    EXPECT_EQ(ReadBytes(file()), "");
}

TEST_F(HistoryFile, FileOfInvalidLinesLeavesZeros) {
    WriteBytes(file(), "2026/03/04 05:06:07\r\nhello world\r\n2026/03/04  05:06:07 1000 ms\r\n");
    LoadHistory();
    EXPECT_EQ(Module1::bestMs, 0);
    EXPECT_EQ(Module1::lastMs, 0);
}

TEST_F(HistoryFile, DirectoryInPlaceOfTheFile) {
    std::filesystem::create_directory(file());
    LoadHistory();
    EXPECT_EQ(Module1::bestMs, 0);
    EXPECT_EQ(Module1::lastMs, 0);

    const AppendOutcome out = AppendRecord(1500);
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.path, HistoryPath(dir.str()));
    EXPECT_FALSE(out.reason.empty());
    EXPECT_TRUE(std::filesystem::is_directory(file()));
}

TEST_F(HistoryFile, UncreatableFileIsReportedWithPathAndReason) {
    // The application "directory" is a regular file, so no file can be
    // opened inside it, whoever runs the test.
    const std::string notDir = (dir / "plain").string();
    WriteBytes(notDir, "x");
    const AppendOutcome out = AppendRecordIn(notDir, 1500, kWhen);
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.path, HistoryPath(notDir));
    EXPECT_FALSE(out.reason.empty());
    EXPECT_EQ(ReadBytes(notDir), "x");

    const std::string missing = (dir / "gone").string();
    const AppendOutcome gone = AppendRecordIn(missing, 1500, kWhen);
    EXPECT_FALSE(gone.ok);
    EXPECT_EQ(gone.path, HistoryPath(missing));
    EXPECT_FALSE(gone.reason.empty());
    EXPECT_FALSE(std::filesystem::exists(missing));
}

}  // namespace
