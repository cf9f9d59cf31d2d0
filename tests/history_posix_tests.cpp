// The record file against what only a POSIX system can stage: FIFOs and
// devices in the file's place, full and read-only file systems, and two
// processes appending at once.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "common/module1.h"
#include "history/history.h"
#include "platform/fake/fake.h"
#include "race/finish.h"
#include "history_test_util.h"

namespace {

using history_test::ReadBytes;
using history_test::ScratchDir;
using history_test::WriteBytes;

const platform::LocalTime kWhen{2026, 3, 4, 5, 6, 7};

// Kills the test with SIGALRM instead of letting a blocked call hang it.
struct Watchdog {
    explicit Watchdog(unsigned seconds) { alarm(seconds); }
    ~Watchdog() { alarm(0); }
};

struct ChildResult {
    bool exited = false;
    int code = -1;
    std::string output;
};

// Runs body in a forked child (rlimits and mounts stay there) and returns
// what it wrote. Exit code 77 means the child could not stage the case.
ChildResult InChild(const std::function<std::string()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        alarm(30);
        std::string out;
        int code = 0;
        try {
            out = body();
        } catch (const std::exception& e) {
            out = e.what();
            code = 2;
        }
        if (out.rfind("SKIP ", 0) == 0) code = 77;
        for (std::size_t at = 0; at < out.size();) {
            const ssize_t n = write(fds[1], out.data() + at, out.size() - at);
            if (n <= 0) break;
            at += static_cast<std::size_t>(n);
        }
        _exit(code);
    }
    close(fds[1]);
    ChildResult r;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) r.output.append(buf, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.exited = WIFEXITED(status);
    r.code = r.exited ? WEXITSTATUS(status) : -WTERMSIG(status);
    return r;
}

// Bytes around `at`, with line breaks visible.
std::string Around(const std::string& text, std::size_t at) {
    std::string out;
    for (std::size_t i = at < 60 ? 0 : at - 60; i < std::min(text.size(), at + 60); ++i)
        out += text[i] == '\r' ? std::string("\\r") : text[i] == '\n' ? std::string("\\n\n") : std::string(1, text[i]);
    return out;
}

std::string Describe(const AppendOutcome& o) { return std::string(o.ok ? "ok" : "failed") + "\n" + o.path + "\n" + o.reason; }

bool WriteSmall(const char* path, const std::string& text) {
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

// Gives the calling child mounts of its own; as a non-root user through
// a user namespace. "" on success, else why not.
std::string PrivateMounts() {
    if (unshare(CLONE_NEWNS) != 0) {
        const uid_t uid = geteuid();
        const gid_t gid = getegid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return std::string("unshare: ") + std::strerror(errno);
        WriteSmall("/proc/self/setgroups", "deny");
        if (!WriteSmall("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !WriteSmall("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
            return "cannot map ids in a user namespace";
    }
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("mount --make-rprivate: ") + std::strerror(errno);
    return "";
}

std::string RemountTmpfs(const std::string& at, bool readOnly) {
    const unsigned long flags = MS_REMOUNT | MS_NOSUID | MS_NODEV | (readOnly ? MS_RDONLY : 0);
    if (mount("tmpfs", at.c_str(), nullptr, flags, nullptr) != 0)
        return std::string("remount: ") + std::strerror(errno);
    return "";
}

// A small tmpfs of the child's own at `at`, read-only if asked.
// "" on success, else why not.
std::string MountTmpfs(const std::string& at, const char* options, bool readOnly = false) {
    if (std::string why = PrivateMounts(); !why.empty()) return why;
    if (mount("tmpfs", at.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options) != 0)
        return std::string("mount tmpfs: ") + std::strerror(errno);
    return readOnly ? RemountTmpfs(at, true) : "";
}

TEST(HistoryPosix, FifoOrDeviceInPlaceOfTheFileNeverBlocks) {
    ScratchDir dir;
    const std::string path = HistoryPath(dir.str());
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0) << std::strerror(errno);
    {
        Watchdog dog(10);
        const HistoryScan s = ScanHistoryFile(path);
        EXPECT_EQ(s.bestMs, 0);
        EXPECT_EQ(s.lastMs, 0);
        const AppendOutcome out = AppendRecordIn(dir.str(), 1500, kWhen);
        EXPECT_FALSE(out.ok);
        EXPECT_EQ(out.path, path);
        EXPECT_FALSE(out.reason.empty());
    }
    ASSERT_EQ(unlink(path.c_str()), 0);

    // An endless device would never reach its end if it were read.
    ASSERT_EQ(symlink("/dev/zero", path.c_str()), 0);
    Watchdog dog(10);
    const HistoryScan s = ScanHistoryFile(path);
    EXPECT_EQ(s.bestMs, 0);
    EXPECT_EQ(s.lastMs, 0);
}

TEST(HistoryPosix, DevFullThroughSymlinkIsReported) {
    ScratchDir dir;
    const std::string path = HistoryPath(dir.str());
    ASSERT_EQ(symlink("/dev/full", path.c_str()), 0);
    const AppendOutcome out = AppendRecordIn(dir.str(), 1500, kWhen);
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.path, path);
    EXPECT_EQ(out.reason, "not a regular file");
}

TEST(HistoryPosix, FileSizeLimitIsReportedAndLeavesNoTornLine) {
    ScratchDir dir;
    const std::string path = HistoryPath(dir.str());
    const std::string before = FormatRecordLine(kWhen, 2000);
    WriteBytes(path, before);
    const std::size_t lineSize = FormatRecordLine(kWhen, 1234).size();

    // Room for part of the line: the write comes back short.
    for (const rlim_t room : {rlim_t{0}, rlim_t{22}}) {
        const ChildResult r = InChild([&] {
            signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{before.size() + room, before.size() + room};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return std::string("setrlimit failed");
            return Describe(AppendRecordIn(dir.str(), 1234, kWhen));
        });
        ASSERT_TRUE(r.exited) << r.code;
        ASSERT_EQ(r.code, 0) << r.output;
        const std::string reason = room == 0 ? std::strerror(EFBIG)
                                             : "short write (" + std::to_string(room) + " of " +
                                                   std::to_string(lineSize) + " bytes)";
        EXPECT_EQ(r.output, "failed\n" + path + "\n" + reason);
        // The piece that got out would read as a 12 ms run.
        EXPECT_EQ(ReadBytes(path), before);
    }
}

TEST(HistoryPosix, FullFileSystemIsReported) {
    ScratchDir dir;
    const std::string at = dir.str();
    const ChildResult r = InChild([&] {
        if (std::string why = MountTmpfs(at, "size=16k"); !why.empty()) return "SKIP " + why;
        // One full page of history, then nothing left for a new page.
        std::string page;
        while (page.size() + 29 <= 4096) page += FormatRecordLine(kWhen, 2000);
        page.resize(4096 - 2, 'x');
        page += "\r\n";
        WriteBytes(HistoryPath(at), page);
        const int fill = open((at + "/fill").c_str(), O_WRONLY | O_CREAT, 0644);
        const std::string block(4096, 'f');
        while (write(fill, block.data(), block.size()) > 0) {
        }
        const int full = errno;
        close(fill);
        if (full != ENOSPC) return std::string("filling gave ") + std::strerror(full);
        const std::string out = Describe(AppendRecordIn(at, 1234, kWhen));
        return out + "\n" + (ReadBytes(HistoryPath(at)) == page ? "unchanged" : "changed");
    });
    if (r.code == 77) GTEST_SKIP() << r.output;
    ASSERT_EQ(r.code, 0) << r.output;
    EXPECT_EQ(r.output, "failed\n" + HistoryPath(at) + "\n" + std::strerror(ENOSPC) + "\nunchanged");
}

TEST(HistoryPosix, ReadOnlyDirectoryIsReported) {
    // chmod does not stop root, so the directory is a read-only mount.
    ScratchDir dir;
    const std::string at = dir.str();
    const ChildResult r = InChild([&] {
        if (std::string why = MountTmpfs(at, "size=64k", true); !why.empty()) return "SKIP " + why;
        // A missing file cannot be created ...
        std::string out = Describe(AppendRecordIn(at, 1234, kWhen));
        out += "\n" + std::string(std::filesystem::exists(HistoryPath(at)) ? "created" : "absent");
        // ... and an existing one cannot be appended to, though it reads.
        if (!RemountTmpfs(at, false).empty()) return out;
        WriteBytes(HistoryPath(at), FormatRecordLine(kWhen, 2000));
        if (std::string why = RemountTmpfs(at, true); !why.empty()) return why;
        out += "\n" + Describe(AppendRecordIn(at, 1234, kWhen));
        const HistoryScan s = ScanHistoryFile(HistoryPath(at));
        out += "\n" + std::to_string(s.bestMs) + " " + std::to_string(s.lastMs);
        return out;
    });
    if (r.code == 77) GTEST_SKIP() << r.output;
    ASSERT_EQ(r.code, 0) << r.output;
    const std::string path = HistoryPath(at);
    const std::string rofs = std::strerror(EROFS);
    EXPECT_EQ(r.output, "failed\n" + path + "\n" + rofs + "\nabsent\nfailed\n" + path + "\n" + rofs + "\n2000 2000");
}

TEST(HistoryPosix, TwoProcessesAppendingAtOnceLoseNothing) {
    ScratchDir dir;
    const int kEach = 1000;
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    std::vector<pid_t> kids;
    for (int k = 0; k < 2; ++k) {
        const pid_t pid = fork();
        if (pid == 0) {
            close(go[1]);
            char c;
            // Both start when the parent closes the pipe.
            if (read(go[0], &c, 1) < 0) _exit(3);
            for (int i = 0; i < kEach; ++i)
                if (!AppendRecordIn(dir.str(), (k + 1) * 100000 + i, kWhen).ok) _exit(1);
            _exit(0);
        }
        kids.push_back(pid);
    }
    close(go[0]);
    const auto start = std::chrono::steady_clock::now();
    close(go[1]);
    for (pid_t pid : kids) {
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    const std::string text = ReadBytes(HistoryPath(dir.str()));
    std::vector<int> next{100000, 200000};
    int lines = 0, switches = 0, previous = -1;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find("\r\n", at);
        ASSERT_NE(end, std::string::npos) << "unterminated tail at byte " << at;
        const std::string line = text.substr(at, end - at + 2);
        int32_t ms = 0;
        ASSERT_TRUE(ParseRecordLine(line.substr(0, line.size() - 2), &ms)) << "at byte " << at << ":\n" << Around(text, at);
        ASSERT_EQ(line, FormatRecordLine(kWhen, ms));
        const int writer = ms / 100000 - 1;
        ASSERT_TRUE(writer == 0 || writer == 1) << line;
        ASSERT_EQ(ms, next[writer]) << "records of one writer out of order or lost";
        ++next[writer];
        if (previous != -1 && previous != writer) ++switches;
        previous = writer;
        ++lines;
        at = end + 2;
    }
    EXPECT_EQ(lines, 2 * kEach);
    EXPECT_EQ(next[0], 100000 + kEach);
    EXPECT_EQ(next[1], 200000 + kEach);
    std::cout << "2000 appends in " << seconds << " s, writers alternated " << switches << " times\n";
}

// Where the file lives: beside the executable when that folder can be
// written, else in the per-user data folder, for reading and writing alike.
class HistoryPlace : public ::testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        fake::machine().appDirectory = (dir / "app").string();
        std::filesystem::create_directory(dir / "app");
        setenv("XDG_DATA_HOME", (dir / "xdg").c_str(), 1);
    }
    void TearDown() override { unsetenv("XDG_DATA_HOME"); }
    ScratchDir dir;
};

TEST_F(HistoryPlace, AWritableExecutableFolderKeepsTheFile) {
    ASSERT_TRUE(AppendRecord(1500).ok);
    EXPECT_TRUE(std::filesystem::exists(dir / "app" / "time_atack.txt"));
    EXPECT_FALSE(std::filesystem::exists(dir / "xdg"));
}

TEST_F(HistoryPlace, AReadOnlyExecutableFolderUsesThePerUserFolder) {
    const std::string app = (dir / "app").string();
    const ChildResult r = InChild([&] {
        if (std::string why = MountTmpfs(app, "size=64k", true); !why.empty()) return "SKIP " + why;
        const AppendOutcome first = AppendRecord(2500);
        const AppendOutcome second = AppendRecord(900);
        Module1::bestMs = 0;
        LoadHistory();
        return Describe(first) + "\n" + Describe(second) + "\n" + std::to_string(Module1::bestMs) + " " +
               std::to_string(Module1::lastMs);
    });
    if (r.code == 77) GTEST_SKIP() << r.output;
    ASSERT_EQ(r.code, 0) << r.output;
    const std::string path = (dir / "xdg" / "skorrel" / "time_atack.txt").string();
    EXPECT_EQ(r.output, "ok\n" + path + "\n\nok\n" + path + "\n\n900 900");
    EXPECT_EQ(ReadBytes(path).size(), 2 * FormatRecordLine(kWhen, 2500).size());
}

TEST_F(HistoryPlace, APerUserFolderThatCannotBeMadeIsReported) {
    const std::string app = (dir / "app").string();
    WriteBytes(dir / "blocker", "a file where a folder should be");
    setenv("XDG_DATA_HOME", (dir / "blocker" / "data").c_str(), 1);
    const ChildResult r = InChild([&] {
        if (std::string why = MountTmpfs(app, "size=64k", true); !why.empty()) return "SKIP " + why;
        return Describe(AppendRecord(2500));
    });
    if (r.code == 77) GTEST_SKIP() << r.output;
    ASSERT_EQ(r.code, 0) << r.output;
    EXPECT_EQ(r.output, "failed\n" + (dir / "blocker" / "data" / "skorrel" / "time_atack.txt").string() + "\n" +
                            std::strerror(ENOTDIR));
}

// The player hears of it: the third box names the per-user file and why.
TEST_F(HistoryPlace, ARunThatCannotBeSavedAnywhereIsSaidInABox) {
    const std::string app = (dir / "app").string();
    WriteBytes(dir / "blocker", "a file where a folder should be");
    setenv("XDG_DATA_HOME", (dir / "blocker" / "data").c_str(), 1);
    const ChildResult r = InChild([&] {
        if (std::string why = MountTmpfs(app, "size=64k", true); !why.empty()) return "SKIP " + why;
        RaceState state;
        state.elapsedMs = 2500;
        Module1::bestMs = 0;
        FinishRun(state);
        std::string out;
        for (const fake::Event& e : fake::machine().Of(fake::What::MessageBox)) out += e.text + "|";
        return out + std::to_string(Module1::bestMs);
    });
    if (r.code == 77) GTEST_SKIP() << r.output;
    ASSERT_EQ(r.code, 0) << r.output;
    EXPECT_EQ(r.output, "記録を保存できませんでした / The record could not be saved.\n" +
                            (dir / "blocker" / "data" / "skorrel" / "time_atack.txt").string() + "\n" +
                            std::strerror(ENOTDIR) + "|2500");
}

TEST(UserDataDirectory, FollowsXdgDataHomeOnlyWhenAbsolute) {
    const char* home = std::getenv("HOME");
    const std::string savedHome = home ? home : "";
    setenv("HOME", "/home/player", 1);
    setenv("XDG_DATA_HOME", "/srv/data", 1);
    EXPECT_EQ(platform::UserDataDirectory(), "/srv/data/skorrel");
    setenv("XDG_DATA_HOME", "relative/data", 1);
    EXPECT_EQ(platform::UserDataDirectory(), "/home/player/.local/share/skorrel");
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(platform::UserDataDirectory(), "/home/player/.local/share/skorrel");
    if (home) setenv("HOME", savedHome.c_str(), 1);
}

}  // namespace
