#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "common/module1.h"
#include "history/history.h"
#include "platform/fake/fake.h"
#include "race/finish.h"
#include "window/form1.h"

using fake::What;
using platform::Control;
namespace fs = std::filesystem;

namespace {

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int Lines(const std::string& s) {
    int n = 0;
    for (char c : s) n += c == '\n';
    return n;
}

class Game : public ::testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        dir = fs::temp_directory_path() /
              ("skorrel-form1-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        fake::machine().appDirectory = dir.string();
        Module1::bestMs = 0;
        Module1::lastMs = 0;
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path file() const { return dir / "time_atack.txt"; }
    void Write(const std::string& text) { std::ofstream(file(), std::ios::binary) << text; }
    // A race that ended after t ms, as RunRace leaves it.
    void Finish(int32_t t) {
        RaceState s;
        s.elapsedMs = t;
        Module1::lastMs = t;
        FinishRun(s);
    }
    // Pointer moves the player makes, as offsets from the current clock.
    void Moves(std::vector<fake::Sample> samples) {
        for (auto& s : samples) s.time += m.now;
        m.script = std::move(samples);
        m.nextSample = 0;
    }
    fake::Machine& m = fake::machine();
    fs::path dir;
};

TEST(LabelText, SecondsWithAThreeDigitRemainder) {
    EXPECT_EQ(Form1::BestTimeText(999), "Top Time:  0.999秒 ");
    EXPECT_EQ(Form1::BestTimeText(1000), "Top Time:  1.000秒 ");
    EXPECT_EQ(Form1::BestTimeText(1050), "Top Time:  1.050秒 ");
    EXPECT_EQ(Form1::BestTimeText(10000), "Top Time:  10.000秒 ");
    EXPECT_EQ(Form1::BestTimeText(0), "Top Time:  0.000秒 ");
    EXPECT_EQ(Form1::LastTimeText(999), "Now Time:  0.999秒 ");
    EXPECT_EQ(Form1::LastTimeText(12345), "Now Time:  12.345秒 ");
}

TEST(Layout, ClientAreaAndControlsInTwips) {
    const platform::FormLayout& l = Form1::Layout();
    EXPECT_STREQ(l.caption, "Skorrel  Ver1.0   by Vesk");
    EXPECT_EQ(l.clientWidth, 3720);
    EXPECT_EQ(l.clientHeight, 720);
    EXPECT_STREQ(l.fontFace, "ＭＳ ゴシック");
    EXPECT_EQ(l.fontPoints, 9);
    EXPECT_EQ(l.fontCharset, 128);
    ASSERT_EQ(l.controlCount, 3u);
    EXPECT_EQ(l.controls[0].id, Control::Command1);
    EXPECT_EQ(l.controls[0].tabIndex, 0);
    EXPECT_EQ(l.controls[0].height, 735);  // deliberately taller than the client area
    EXPECT_STREQ(l.controls[0].caption, "Race Start");
}

TEST_F(Game, StartUpCentresThenShowsTheTimesFromTheFile) {
    Write("2026/01/01 10:00:00 980 ms\r\n2026/01/01 10:01:00 0950 ms\r\n2026/01/01 10:02:00 0990 ms\r\n");
    Module1::bestMs = 5;  // start-up clears it first
    platform::CreateForm(Form1::Layout(), Form1::Command1Click);
    Form1::Load();
    EXPECT_EQ(Module1::bestMs, 950);
    EXPECT_EQ(m.Caption(Control::Label1), "Top Time:  0.950秒 ");
    EXPECT_EQ(m.Caption(Control::Label2), "Now Time:  0.990秒 ");
    // The window moves before the labels are written.
    std::vector<What> order;
    for (const auto& e : m.events)
        if (e.what != What::Caption || e.control != Control::Form1) order.push_back(e.what);
    ASSERT_GE(order.size(), 5u);
    EXPECT_EQ(order[order.size() - 4], What::WindowTop);
    EXPECT_EQ(order[order.size() - 3], What::WindowLeft);
}

TEST_F(Game, AFrameKnownOnlyOnceShownIsCentredAgain) {
    platform::CreateForm(Form1::Layout(), Form1::Command1Click);
    // Centred at load by the client area alone (250 x 48 on 800 x 600).
    m.windowHeightTwips = 48 * 15;
    Form1::Load();
    m.events.clear();
    // The window manager adds a 41-pixel title bar as the window shows.
    m.onShow = [&] { m.windowHeightTwips = 89 * 15; };
    Form1::Show();
    auto tops = m.Of(What::WindowTop);
    ASSERT_EQ(tops.size(), 1u);
    EXPECT_EQ(tops[0].value, (600 * 15) / 2.0 - (89 * 15) / 2.0);
    ASSERT_EQ(m.Of(What::WindowLeft).size(), 1u);
    // A frame that stays as promised is left where it was put.
    m.events.clear();
    Form1::Show();
    EXPECT_TRUE(m.Of(What::WindowTop).empty());
    EXPECT_TRUE(m.Of(What::WindowLeft).empty());
}

TEST_F(Game, TheWholeProgramShowsTheFileReadWhileTheToolkitStarts) {
    Write("2026/01/01 10:00:00 1500 ms\r\n2026/01/01 10:01:00 0950 ms\r\n2026/01/01 10:02:00 1200 ms\r\n");
    m.quit = true;  // closed as soon as it shows
    EXPECT_EQ(Form1::Run(0, nullptr), 0);
    EXPECT_EQ(m.Caption(Control::Label1), "Top Time:  0.950秒 ");
    EXPECT_EQ(m.Caption(Control::Label2), "Now Time:  1.200秒 ");
}

TEST_F(Game, StartUpWithoutAFileShowsZeroAndCreatesNothing) {
    Form1::Load();
    EXPECT_EQ(m.Caption(Control::Label1), "Top Time:  0.000秒 ");
    EXPECT_EQ(m.Caption(Control::Label2), "Now Time:  0.000秒 ");
    EXPECT_FALSE(fs::exists(file()));
}

TEST_F(Game, TenSecondsIsRecordedOneMoreIsRefused) {
    Finish(10000);
    EXPECT_EQ(Module1::bestMs, 10000);
    EXPECT_TRUE(m.Of(What::MessageBox).empty());
    EXPECT_EQ(Lines(Slurp(file())), 1);
    const std::string before = Slurp(file());
    Finish(10001);
    auto boxes = m.Of(What::MessageBox);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "10秒越えは記録なし");
    EXPECT_EQ(boxes[0].title, "Project1");
    EXPECT_EQ(Module1::bestMs, 10000);
    EXPECT_EQ(Slurp(file()), before);
    EXPECT_EQ(m.Caption(Control::Label1), "Top Time:  10.000秒 ");
    EXPECT_EQ(m.Caption(Control::Label2), "Now Time:  10.000秒 ");
    EXPECT_TRUE(m.Enabled(Control::Command1));
    EXPECT_EQ(m.Caption(Control::Command1), "Race Start");
}

TEST_F(Game, FirstBestIsSilentAndEqualTimeIsNoRecordButIsSaved) {
    Finish(2500);
    EXPECT_TRUE(m.Of(What::MessageBox).empty());
    EXPECT_EQ(Module1::bestMs, 2500);
    Finish(2500);
    EXPECT_TRUE(m.Of(What::MessageBox).empty());
    EXPECT_EQ(Lines(Slurp(file())), 2);
    EXPECT_EQ(m.Of(What::Caption).size(), 6u);  // two labels and the button, twice
}

TEST_F(Game, NewBestIsAnnouncedBeforeLabelsAndRecord) {
    Finish(950);
    const std::size_t captionsBefore = m.Of(What::Caption).size();
    const std::string fileBefore = Slurp(file());
    bool checked = false;
    m.onMessageBox = [&](const fake::Event& box) {
        EXPECT_EQ(box.text, "記録更新: 949 ms");
        EXPECT_EQ(box.title, "Skorrel 記録更新");
        EXPECT_EQ(Module1::bestMs, 949);
        EXPECT_EQ(m.Of(What::Caption).size(), captionsBefore);
        EXPECT_EQ(Slurp(file()), fileBefore);
        EXPECT_FALSE(m.Enabled(Control::Command1) && m.Caption(Control::Command1) != "Race Start");
        checked = true;
    };
    platform::SetEnabled(Control::Command1, false);
    Finish(949);
    EXPECT_TRUE(checked);
    EXPECT_EQ(m.Caption(Control::Label1), "Top Time:  0.949秒 ");
    EXPECT_EQ(Lines(Slurp(file())), 2);
    EXPECT_NE(Slurp(file()).find(" 0949 ms\r\n"), std::string::npos);
    // Labels first, then the button.
    const auto captions = m.Of(What::Caption);
    ASSERT_GE(captions.size(), 3u);
    EXPECT_EQ(captions[captions.size() - 3].control, Control::Label1);
    EXPECT_EQ(captions[captions.size() - 2].control, Control::Label2);
    EXPECT_EQ(captions.back().control, Control::Command1);
}

TEST_F(Game, ARefusedRunLeavesEverythingThenTheNextRaceWorks) {
    Finish(3000);
    Finish(12000);
    EXPECT_EQ(Module1::lastMs, 12000);  // unseen until the next record
    EXPECT_EQ(m.Caption(Control::Label2), "Now Time:  3.000秒 ");
    Finish(4000);
    EXPECT_EQ(m.Caption(Control::Label1), "Top Time:  3.000秒 ");
    EXPECT_EQ(m.Caption(Control::Label2), "Now Time:  4.000秒 ");
    EXPECT_EQ(Lines(Slurp(file())), 2);
}

TEST_F(Game, AFailedSaveIsSaidAndTheGameGoesOn) {
    fs::create_directory(file());  // a folder where the file should be
    Finish(1500);
    auto boxes = m.Of(What::MessageBox);
    ASSERT_EQ(boxes.size(), 1u);
    const std::string path = dir.string() + platform::PathSeparator() + "time_atack.txt";
    EXPECT_NE(boxes[0].text.find(path), std::string::npos) << boxes[0].text;
    // The system's reason follows the path.
    EXPECT_GT(boxes[0].text.size(), boxes[0].text.find(path) + path.size() + 1);
    EXPECT_EQ(Module1::bestMs, 1500);
    EXPECT_EQ(m.Caption(Control::Label1), "Top Time:  1.500秒 ");
    EXPECT_EQ(m.Caption(Control::Command1), "Race Start");
    EXPECT_TRUE(m.Enabled(Control::Command1));
}

// The whole press: a race from the button to the record.
TEST_F(Game, PressRacesJudgesAndRecords) {
    platform::CreateForm(Form1::Layout(), Form1::Command1Click);
    Form1::Load();
    m.script = {{3600, 799, 300}, {3700, 400, 599}, {3800, 0, 300}, {4350, 400, 0}};
    // A second press during the count-in is ignored.
    m.actions.push_back({2000, [] { fake::PressCommand1(); }});
    fake::PressCommand1();
    EXPECT_EQ(m.Of(What::Warp).size(), 1u);
    EXPECT_EQ(Module1::lastMs, 850);
    const std::string text = Slurp(file());
    EXPECT_EQ(Lines(text), 1);
    EXPECT_EQ(text, "2026/12/07 09:05:03 0850 ms\r\n");
    EXPECT_EQ(m.Caption(Control::Label2), "Now Time:  0.850秒 ");
    EXPECT_EQ(m.Caption(Control::Command1), "Race Start");
    EXPECT_TRUE(m.Enabled(Control::Command1));
}

// A box shown over a surface that still covers the screen could not be
// reached: the covering ends with the race, before the verdict.
TEST_F(Game, TheNewBestBoxComesAfterThePointerTrackingEnds) {
    platform::CreateForm(Form1::Layout(), Form1::Command1Click);
    Form1::Load();
    Module1::bestMs = 900;
    m.script = {{3600, 799, 300}, {3700, 400, 599}, {3800, 0, 300}, {4350, 400, 0}};
    bool seen = false;
    m.onMessageBox = [&](const fake::Event&) {
        seen = true;
        EXPECT_FALSE(m.tracking);
        EXPECT_EQ(m.Of(What::Track).size(), 2u);
    };
    fake::PressCommand1();
    EXPECT_TRUE(seen);
    EXPECT_EQ(Module1::bestMs, 850);
}

TEST_F(Game, ClosingDuringARaceRecordsNothing) {
    platform::CreateForm(Form1::Layout(), Form1::Command1Click);
    Form1::Load();
    m.actions.push_back({5000, [this] { m.quit = true; }});
    fake::PressCommand1();
    EXPECT_FALSE(fs::exists(file()));
    EXPECT_TRUE(m.Of(What::MessageBox).empty());
    EXPECT_FALSE(m.confined);
    EXPECT_FALSE(m.tracking);
    EXPECT_EQ(platform::RunEventLoop(), 0);
}

// The display's connection fails: the race stops at once, says why after
// the covering has ended, records nothing; the next race plays as usual.
TEST_F(Game, APointerLostInTheCountInOrTheRaceStopsItUnrecorded) {
    Write("2026/01/01 10:00:00 2000 ms\r\n");
    platform::CreateForm(Form1::Layout(), Form1::Command1Click);
    Form1::Load();
    const std::string why = "the connection to the display was lost";
    for (const uint32_t after : {1500u, 4500u}) {  // counting, racing
        SCOPED_TRACE(after);
        m.monitors = 2;  // the race also holds the pointer on the primary
        const uint32_t start = m.now;
        m.actions = {{start + after, [&] { m.lost = why; }},
                     {start + 30000, [this] { m.quit = true; }}};  // a race that never ended
        bool boxed = false;
        m.onMessageBox = [&](const fake::Event& box) {
            EXPECT_EQ(box.title, "Skorrel");
            EXPECT_NE(box.text.find("nothing was recorded"), std::string::npos) << box.text;
            EXPECT_NE(box.text.find(why), std::string::npos) << box.text;
            EXPECT_FALSE(m.tracking);
            EXPECT_FALSE(m.confined);
            boxed = true;
        };
        fake::PressCommand1();
        EXPECT_FALSE(m.quit);
        EXPECT_TRUE(boxed);
        EXPECT_LT(m.now - start, after + 50);
        EXPECT_EQ(Module1::lastMs, 2000);
        EXPECT_EQ(m.Caption(Control::Label2), "Now Time:  2.000秒 ");
        EXPECT_EQ(Lines(Slurp(file())), 1);
        EXPECT_EQ(m.Caption(Control::Command1), "Race Start");
        EXPECT_TRUE(m.Enabled(Control::Command1));
    }
    const auto boxes = m.Of(What::MessageBox).size();
    m.actions.clear();
    m.onMessageBox = nullptr;
    Moves({{3600, 799, 300}, {3700, 400, 599}, {3800, 0, 300}, {4350, 400, 0}});
    fake::PressCommand1();
    EXPECT_EQ(Module1::lastMs, 850);
    EXPECT_EQ(Lines(Slurp(file())), 2);
    EXPECT_EQ(m.Of(What::MessageBox).size(), boxes + 1);  // the new best's
}

}  // namespace
