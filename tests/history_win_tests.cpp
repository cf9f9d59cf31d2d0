// Where the record file lives on Windows: beside the exe when that folder
// can be written, else in %LOCALAPPDATA%\Skorrel. Run under Wine here.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/module1.h"
#include "history/history.h"
#include "history_test_util.h"
#include "platform/fake/fake.h"
#include "platform/platform.h"

namespace {

using history_test::ReadBytes;
using history_test::ScratchDir;
using history_test::WriteBytes;

const platform::LocalTime kWhen{2026, 3, 4, 5, 6, 7};

std::wstring Wide(const std::string& utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(), n);
    return w;
}

void SetLocalAppData(const std::string& value) { SetEnvironmentVariableW(L"LOCALAPPDATA", Wide(value).c_str()); }

// A folder no file can be made in, checked here without the game's code.
// Under Wine, Z: is the Unix root, and /proc refuses new files even to root.
std::string UnwritableFolder() {
    const std::wstring dir = L"Z:\\proc";
    const DWORD a = GetFileAttributesW(dir.c_str());
    if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_DIRECTORY)) return {};
    HANDLE h = CreateFileW((dir + L"\\skorrel-test.tmp").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return {};
    }
    return "Z:\\proc";
}

class WindowsHistoryPlace : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t old[32768];
        const DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", old, 32768);
        hadOld = n > 0 && n < 32768;
        if (hadOld) oldValue.assign(old, n);
        fake::Reset();
        fake::machine().localTime = kWhen;
        Module1::bestMs = 0;
        Module1::lastMs = 0;
        std::filesystem::create_directory(dir / "app");
        fake::machine().appDirectory = (dir / "app").string();
        SetLocalAppData((dir / "local").string());
    }
    void TearDown() override { SetEnvironmentVariableW(L"LOCALAPPDATA", hadOld ? oldValue.c_str() : nullptr); }
    ScratchDir dir;
    bool hadOld = false;
    std::wstring oldValue;
};

TEST_F(WindowsHistoryPlace, PerUserFolderComesFromLocalAppDataWhenAbsolute) {
    SetLocalAppData("C:\\Users\\player\\AppData\\Local");
    EXPECT_EQ(platform::UserDataDirectory(), "C:\\Users\\player\\AppData\\Local\\Skorrel");
    SetLocalAppData("C:\\Users\\player\\AppData\\Local\\\\");
    EXPECT_EQ(platform::UserDataDirectory(), "C:\\Users\\player\\AppData\\Local\\Skorrel");
    SetLocalAppData("\\\\server\\share\\local");
    EXPECT_EQ(platform::UserDataDirectory(), "\\\\server\\share\\local\\Skorrel");
    SetLocalAppData("AppData\\Local");
    EXPECT_EQ(platform::UserDataDirectory(), "");
    SetEnvironmentVariableW(L"LOCALAPPDATA", nullptr);
    EXPECT_EQ(platform::UserDataDirectory(), "");
}

TEST_F(WindowsHistoryPlace, WritableCheckLeavesNothingBehind) {
    EXPECT_TRUE(platform::DirectoryWritable((dir / "app").string()));
    EXPECT_TRUE(std::filesystem::is_empty(dir / "app"));
    EXPECT_FALSE(platform::DirectoryWritable((dir / "missing").string()));
    WriteBytes(dir / "plain", "x");
    EXPECT_FALSE(platform::DirectoryWritable((dir / "plain").string()));
}

TEST_F(WindowsHistoryPlace, AWritableExeFolderKeepsTheFile) {
    const AppendOutcome out = AppendRecord(1500);
    ASSERT_TRUE(out.ok) << out.reason;
    EXPECT_EQ(out.path, (dir / "app" / "time_atack.txt").string());
    EXPECT_EQ(ReadBytes(dir / "app" / "time_atack.txt"), FormatRecordLine(kWhen, 1500));
    EXPECT_FALSE(std::filesystem::exists(dir / "local"));
}

TEST_F(WindowsHistoryPlace, AnUnwritableExeFolderUsesTheMadePerUserFolder) {
    const std::string locked = UnwritableFolder();
    if (locked.empty()) GTEST_SKIP() << "no folder here refuses new files";
    fake::machine().appDirectory = locked;
    EXPECT_FALSE(platform::DirectoryWritable(locked));
    // Two levels missing: both are made at the first record.
    SetLocalAppData((dir / "local" / "deeper").string());
    const AppendOutcome first = AppendRecord(2500);
    const AppendOutcome second = AppendRecord(900);
    const std::filesystem::path file = dir / "local" / "deeper" / "Skorrel" / "time_atack.txt";
    ASSERT_TRUE(first.ok) << first.reason;
    ASSERT_TRUE(second.ok) << second.reason;
    EXPECT_EQ(first.path, file.string());
    EXPECT_EQ(ReadBytes(file), FormatRecordLine(kWhen, 2500) + FormatRecordLine(kWhen, 900));
    // Start-up reads the same file.
    LoadHistory();
    EXPECT_EQ(Module1::bestMs, 900);
    EXPECT_EQ(Module1::lastMs, 900);
}

TEST_F(WindowsHistoryPlace, APerUserFolderThatCannotBeMadeIsReported) {
    const std::string locked = UnwritableFolder();
    if (locked.empty()) GTEST_SKIP() << "no folder here refuses new files";
    fake::machine().appDirectory = locked;
    WriteBytes(dir / "blocker", "a file where a folder should be");
    SetLocalAppData((dir / "blocker" / "data").string());
    const AppendOutcome out = AppendRecord(2500);
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.path, (dir / "blocker" / "data" / "Skorrel" / "time_atack.txt").string());
    EXPECT_FALSE(out.reason.empty());
    EXPECT_EQ(ReadBytes(dir / "blocker"), "a file where a folder should be");
}

TEST_F(WindowsHistoryPlace, AFolderWithJapaneseLettersHoldsTheFile) {
    const std::string app = (dir / "app").string() + "\\ゲーム";
    ASSERT_TRUE(CreateDirectoryW(Wide(app).c_str(), nullptr));
    const AppendOutcome out = AppendRecordIn(app, 850, kWhen);
    ASSERT_TRUE(out.ok) << out.reason;
    EXPECT_EQ(out.path, app + "\\time_atack.txt");
    const DWORD a = GetFileAttributesW(Wide(out.path).c_str());
    EXPECT_NE(a, INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(ScanHistoryFile(out.path).bestMs, 850);
}

}  // namespace
