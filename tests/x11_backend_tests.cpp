// The Linux backend against a real X server (started by x11_run.sh).
// SKORREL_EXPECT_DPI: the logical dpi the server was given (default 96);
// SKORREL_EXPECT_WM=1: a window manager frames the window.
#include <QApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "common/module1.h"
#include "platform/platform.h"
#include "platform/qt/qt_backend.h"
#include "platform/x11/x11.h"
#include "race/race.h"
#include "window/form1.h"

using platform::Control;

namespace {

double ExpectedDpi() {
    const char* v = std::getenv("SKORREL_EXPECT_DPI");
    return v && *v ? std::atof(v) : 96.0;
}

bool ExpectWindowManager() {
    const char* v = std::getenv("SKORREL_EXPECT_WM");
    return v && std::string(v) == "1";
}

std::string Shell(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[256];
        while (std::fgets(buf, sizeof buf, p)) out += buf;
        pclose(p);
    }
    return out;
}

// Where xdotool, a client of its own, sees the pointer.
platform::POINT XdotoolPointer() {
    platform::POINT p{-1, -1};
    std::sscanf(Shell("xdotool getmouselocation").c_str(), "x:%d y:%d", &p.x, &p.y);
    return p;
}

void XdotoolMove(int x, int y) {
    ASSERT_EQ(std::system(("xdotool mousemove " + std::to_string(x) + " " + std::to_string(y)).c_str()), 0);
}

platform::POINT Pointer() {
    platform::POINT p{-1, -1};
    platform::GetCursorPos(p);
    return p;
}

int ScreenPixels(bool x) {
    const platform::ScreenSize s = platform::GetScreenSize();
    return x ? static_cast<int>(s.widthTwips / s.twipsPerPixelX + 0.5)
             : static_cast<int>(s.heightTwips / s.twipsPerPixelY + 0.5);
}

// The real window frame, measured by another client: x y w h of the frame,
// then of the client area.
struct Geometry {
    int fx = 0, fy = 0, fw = 0, fh = 0, cx = 0, cy = 0, cw = 0, ch = 0;
};

Geometry Measured(QWidget* form) {
    Geometry g;
    const std::string probe = std::getenv("SKORREL_X11_PROBE") ? std::getenv("SKORREL_X11_PROBE") : "x11_probe";
    std::sscanf(Shell(probe + " frame " + std::to_string(form->winId())).c_str(), "%d %d %d %d %d %d %d %d", &g.fx,
                &g.fy, &g.fw, &g.fh, &g.cx, &g.cy, &g.cw, &g.ch);
    return g;
}

void PumpFor(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        platform::PumpEvents();
        platform::Sleep(2);
    }
}

}  // namespace

TEST(X11Screen, MeasuresInDevicePixelsAndTwips) {
    const platform::ScreenSize s = platform::GetScreenSize();
    EXPECT_DOUBLE_EQ(s.twipsPerPixelX, 1440.0 / ExpectedDpi());
    EXPECT_DOUBLE_EQ(s.twipsPerPixelY, 1440.0 / ExpectedDpi());
    // The server's own idea of its size, asked through another client.
    int w = 0, h = 0;
    std::sscanf(Shell("xdotool getdisplaygeometry").c_str(), "%d %d", &w, &h);
    ASSERT_GT(w, 0);
    EXPECT_DOUBLE_EQ(s.widthTwips, w * s.twipsPerPixelX);
    EXPECT_DOUBLE_EQ(s.heightTwips, h * s.twipsPerPixelY);
    MeasureScreen();
    EXPECT_EQ(Module1::screenExtents.maxX, w - 1);
    EXPECT_EQ(Module1::screenExtents.maxY, h - 1);
}

TEST(X11Pointer, ParkedAtTheCentreHeldInTheSquareThenFree) {
    const int w = ScreenPixels(true), h = ScreenPixels(false);
    MeasureScreen();
    XdotoolMove(5, 5);
    ParkPointer();
    const int cx = Module1::pointerPoint.x, cy = Module1::pointerPoint.y;
    EXPECT_EQ(cx, w / 2);
    EXPECT_EQ(cy, h / 2);
    EXPECT_EQ(Pointer().x, cx);
    EXPECT_EQ(Pointer().y, cy);
    EXPECT_EQ(XdotoolPointer().x, cx);
    EXPECT_EQ(XdotoolPointer().y, cy);

    // The centre lies just outside the square: confining moves it in.
    ConfinePointer();
    const auto inSquare = [&](platform::POINT p) {
        return p.x >= cx - 2 && p.x <= cx - 1 && p.y >= cy - 2 && p.y <= cy - 1;
    };
    EXPECT_TRUE(inSquare(Pointer())) << Pointer().x << "," << Pointer().y;
    const int outside[][2] = {{0, 0}, {w - 1, h - 1}, {w - 1, 0}, {0, h - 1}, {cx + 50, cy}, {cx, cy + 50}, {cx, cy}};
    for (const auto& o : outside) {
        XdotoolMove(o[0], o[1]);
        const platform::POINT p = XdotoolPointer();
        EXPECT_TRUE(inSquare(p)) << "moved to " << o[0] << "," << o[1] << " and got " << p.x << "," << p.y;
        EXPECT_TRUE(inSquare(Pointer()));
    }
    // Our own warps are held too.
    platform::SetCursorPos(10, 10);
    EXPECT_TRUE(inSquare(Pointer()));

    ReleasePointer();
    XdotoolMove(10, 20);
    EXPECT_EQ(Pointer().x, 10);
    EXPECT_EQ(Pointer().y, 20);
    XdotoolMove(w - 1, h - 1);
    EXPECT_EQ(Pointer().x, w - 1);
    EXPECT_EQ(Pointer().y, h - 1);
    // Pushing past the edge holds it on the edge.
    XdotoolMove(w + 100, -40);
    EXPECT_EQ(Pointer().x, w - 1);
    EXPECT_EQ(Pointer().y, 0);
    platform::SetCursorPos(123, 45);
    EXPECT_EQ(XdotoolPointer().x, 123);
    EXPECT_EQ(XdotoolPointer().y, 45);
}

TEST(X11Pointer, ASecondConfinementReplacesTheFirst) {
    const platform::RECT a{100, 100, 102, 102};
    const platform::RECT b{300, 200, 310, 210};
    platform::ClipCursor(&a);
    platform::ClipCursor(&b);
    XdotoolMove(0, 0);
    EXPECT_EQ(XdotoolPointer().x, 300);
    EXPECT_EQ(XdotoolPointer().y, 200);
    XdotoolMove(500, 500);
    EXPECT_EQ(XdotoolPointer().x, 309);
    EXPECT_EQ(XdotoolPointer().y, 209);
    platform::ClipCursor(nullptr);
    platform::ClipCursor(nullptr);  // releasing twice is harmless
    XdotoolMove(0, 0);
    EXPECT_EQ(XdotoolPointer().x, 0);
}

TEST(X11Clock, AdvancesWithTheWallClock) {
    const auto w0 = std::chrono::steady_clock::now();
    const uint32_t t0 = platform::timeGetTime();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const uint32_t t1 = platform::timeGetTime();
    const auto wall = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - w0);
    const uint32_t ticks = t1 - t0;
    EXPECT_GE(ticks, 299u);
    EXPECT_LE(ticks, static_cast<uint32_t>(wall.count()) + 2);
}

TEST(X11Clock, SleepOneLastsAboutAMillisecond) {
    constexpr int kSleeps = 200;
    const auto t0 = std::chrono::steady_clock::now();
    auto shortest = std::chrono::nanoseconds::max();
    for (int i = 0; i < kSleeps; ++i) {
        const auto s = std::chrono::steady_clock::now();
        platform::Sleep(1);
        shortest = std::min(shortest, std::chrono::steady_clock::now() - s);
    }
    const double meanMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count() / kSleeps;
    EXPECT_GE(shortest, std::chrono::milliseconds(1));
    // Loose: a busy machine oversleeps, but not by a timer tick of 10 ms.
    EXPECT_LT(meanMs, 5.0);
    std::printf("Sleep(1): mean %.3f ms over %d sleeps\n", meanMs, kSleeps);
}

struct FormWidgets {
    QWidget* form;
    QPushButton* button;
    QLabel* label1;
    QLabel* label2;
};

// Twips to pixels at the expected dpi.
int Px(int twips) { return static_cast<int>(std::nearbyint(twips / (1440.0 / ExpectedDpi()))); }

void ExpectLaidOut(const FormWidgets& w) {
    EXPECT_EQ(w.form->windowTitle(), QStringLiteral("Skorrel  Ver1.0   by Vesk"));
    EXPECT_EQ(w.form->size(), QSize(Px(3720), Px(720)));
    if (ExpectedDpi() == 96.0) {
        EXPECT_EQ(w.form->size(), QSize(248, 48));
    }
    EXPECT_EQ(w.button->geometry(), QRect(0, 0, Px(1335), Px(735)));
    EXPECT_EQ(w.label1->geometry(), QRect(Px(1440), 0, Px(2175), Px(255)));
    EXPECT_EQ(w.label2->geometry(), QRect(Px(1440), Px(360), Px(2295), Px(255)));
    // The button's last row lies below the client area, so it is cut off.
    EXPECT_GT(w.button->geometry().bottom(), w.form->rect().bottom());
    EXPECT_EQ(w.button->text(), QStringLiteral("Race Start"));
    // Only the button takes the focus; the labels are plain text.
    EXPECT_NE(w.button->focusPolicy(), Qt::NoFocus);
    EXPECT_EQ(w.label1->focusPolicy(), Qt::NoFocus);
    EXPECT_EQ(w.label2->focusPolicy(), Qt::NoFocus);
    EXPECT_EQ(w.label1->textFormat(), Qt::PlainText);
}

// The laid-out face where it is installed, else the first fallback that
// is, 9 points, and it must have the game's Japanese.
void ExpectFont(const FormWidgets& w) {
    const QFont font = w.label1->font();
    const QFontInfo info(font);
    const bool msGothic = QFontDatabase::families().contains(QStringLiteral("ＭＳ ゴシック"));
    const bool ipa = QFontDatabase::families().contains(QStringLiteral("IPAGothic"));
    if (const char* want = std::getenv("SKORREL_EXPECT_FONT")) {
        EXPECT_EQ(info.family(), QString::fromUtf8(want));
    } else if (msGothic) {
        EXPECT_EQ(info.family(), QStringLiteral("ＭＳ ゴシック"));
    } else if (ipa) {
        EXPECT_EQ(info.family(), QStringLiteral("IPAGothic"));
    }
    EXPECT_EQ(info.pointSize(), 9);
    EXPECT_EQ(info.pixelSize(), static_cast<int>(std::lround(9 * ExpectedDpi() / 72)));
    EXPECT_FALSE(info.bold() || info.italic() || info.underline() || info.strikeOut());
    EXPECT_EQ(QFontInfo(w.button->font()).family(), info.family());
    const QFontMetrics metrics(font);
    for (const char32_t c : std::u32string_view(U"秒記録更新越えはなしTop Time:0123456789.")) {
        EXPECT_TRUE(metrics.inFontUcs4(c)) << "missing U+" << std::hex << static_cast<unsigned>(c);
    }
    std::printf("font: %s %d pt, %d px\n", info.family().toUtf8().constData(), info.pointSize(), info.pixelSize());
}

// Left = round(SW/2 - WW/2) in twips, as pixels.
int Centre(int screen, int window) {
    return static_cast<int>(std::nearbyint((screen * 15.0 / 2 - window * 15.0 / 2) / 15.0));
}

// Shown centred, frame included, at the outer size promised before the
// show; moved elsewhere, the next centring brings it back.
void ExpectShownCentred(QWidget* form) {
    const double tpp = 1440.0 / ExpectedDpi();
    const platform::WindowSize before = platform::GetWindowSize(Control::Form1);
    const platform::qt::FrameExtents promised = platform::qt::Frame();
    if (ExpectWindowManager()) {
        EXPECT_GT(promised.top, 0) << "no frame asked of the window manager";
    } else {
        EXPECT_EQ(promised, platform::qt::FrameExtents{});
    }
    CenterWindow(Control::Form1);
    platform::ShowForm();
    PumpFor(200);

    const Geometry g = Measured(form);
    std::printf("frame %dx%d at %d,%d; client %dx%d at %d,%d\n", g.fw, g.fh, g.fx, g.fy, g.cw, g.ch, g.cx, g.cy);
    EXPECT_EQ(g.cw, form->width());
    EXPECT_EQ(g.ch, form->height());
    if (ExpectWindowManager()) {
        EXPECT_GT(g.fh, g.ch);
    } else {
        EXPECT_EQ(g.fw, g.cw);
        EXPECT_EQ(g.fh, g.ch);
    }
    EXPECT_DOUBLE_EQ(before.widthTwips, g.fw * tpp);
    EXPECT_DOUBLE_EQ(before.heightTwips, g.fh * tpp);
    const platform::WindowSize after = platform::GetWindowSize(Control::Form1);
    EXPECT_DOUBLE_EQ(after.widthTwips, before.widthTwips);
    EXPECT_DOUBLE_EQ(after.heightTwips, before.heightTwips);

    const int sw = ScreenPixels(true), sh = ScreenPixels(false);
    EXPECT_EQ(g.fx, Centre(sw, g.fw));
    EXPECT_EQ(g.fy, Centre(sh, g.fh));
    platform::SetWindowLeft(Control::Form1, 0);
    platform::SetWindowTop(Control::Form1, 0);
    PumpFor(200);
    Geometry moved = Measured(form);
    EXPECT_EQ(moved.fx, 0);
    EXPECT_EQ(moved.fy, 0);
    CenterWindow(Control::Form1);
    PumpFor(200);
    moved = Measured(form);
    EXPECT_EQ(moved.fx, Centre(sw, g.fw));
    EXPECT_EQ(moved.fy, Centre(sh, g.fh));
}

// The button has the focus, back after a disable; captions show as given.
void ExpectFocusAndCaptions(const FormWidgets& w) {
    EXPECT_EQ(w.form->focusWidget(), w.button);
    platform::SetEnabled(Control::Command1, false);
    EXPECT_FALSE(w.button->isEnabled());
    platform::SetEnabled(Control::Command1, true);
    EXPECT_EQ(w.form->focusWidget(), w.button);

    // A caption with '&' shows it as it is.
    platform::SetCaption(Control::Command1, "a&b");
    EXPECT_EQ(w.button->text(), QStringLiteral("a&&b"));
    platform::SetCaption(Control::Command1, "Race Start");
    platform::SetCaption(Control::Label2, "Now Time:  0.999秒 ");
    EXPECT_EQ(w.label2->text(), QStringLiteral("Now Time:  0.999秒 "));
}

// Space and Return on the focused button press it; a click does too, also
// with the pointer fenced on the screen for a race on several monitors.
void ExpectPressed(QWidget* form, const int& presses) {
    form->activateWindow();
    PumpFor(200);
    const std::string window = std::to_string(form->winId());
    ASSERT_EQ(std::system(("xdotool windowfocus --sync " + window + " key space").c_str()), 0);
    PumpFor(200);
    EXPECT_EQ(presses, 1);
    ASSERT_EQ(std::system(("xdotool windowfocus --sync " + window + " key Return").c_str()), 0);
    PumpFor(200);
    EXPECT_EQ(presses, 2);
    const Geometry now = Measured(form);
    XdotoolMove(now.cx + 20, now.cy + 20);
    ASSERT_EQ(std::system("xdotool click 1"), 0);
    PumpFor(200);
    EXPECT_EQ(presses, 3);
    // Fenced, not grabbed: the window still gets its clicks.
    const platform::RECT screen{0, 0, ScreenPixels(true), ScreenPixels(false)};
    platform::ClipCursor(&screen);
    EXPECT_TRUE(platform::x11::Fenced());
    EXPECT_FALSE(platform::x11::Confined());
    XdotoolMove(now.cx + 20, now.cy + 20);
    ASSERT_EQ(std::system("xdotool click 1"), 0);
    PumpFor(200);
    EXPECT_EQ(presses, 4);
    platform::ClipCursor(nullptr);
    EXPECT_FALSE(platform::x11::Fenced());
}

// One window per process: created, checked hidden, shown, checked again.
TEST(X11Form, LaidOutCentredFocusedAndFramed) {
    int presses = 0;
    platform::CreateForm(Form1::Layout(), [&] { ++presses; });
    const FormWidgets w{platform::qt::Widget(Control::Form1),
                        qobject_cast<QPushButton*>(platform::qt::Widget(Control::Command1)),
                        qobject_cast<QLabel*>(platform::qt::Widget(Control::Label1)),
                        qobject_cast<QLabel*>(platform::qt::Widget(Control::Label2))};
    ASSERT_TRUE(w.form && w.button && w.label1 && w.label2);
    ExpectLaidOut(w);
    ExpectFont(w);
    ExpectShownCentred(w.form);
    ExpectFocusAndCaptions(w);
    ExpectPressed(w.form, presses);

    // A close ends the game's loops and lets go of the pointer.
    EXPECT_FALSE(platform::QuitRequested());
    const platform::RECT clip{10, 10, 12, 12};
    platform::ClipCursor(&clip);
    EXPECT_TRUE(platform::x11::Confined());
    w.form->close();
    EXPECT_TRUE(platform::QuitRequested());
    EXPECT_FALSE(platform::x11::Confined());
    XdotoolMove(500, 400);
    EXPECT_EQ(Pointer().x, 500);
}

// The box shows modal; this timer, run by the box's own loop, reads it and
// presses OK.
struct BoxSeen {
    QString title, text;
    int buttons = -1;
    QMessageBox::Icon icon = QMessageBox::Warning;
    Qt::WindowModality modality = Qt::NonModal;
    QMessageBox::StandardButtons standard;
};

BoxSeen ShowAndRead(std::string_view prompt, const char* title) {
    BoxSeen seen;
    QTimer::singleShot(100, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.buttons = static_cast<int>(box->buttons().size());
        seen.icon = box->icon();
        seen.modality = box->windowModality();
        seen.standard = box->standardButtons();
        box->button(QMessageBox::Ok)->click();
    });
    platform::ShowMessageBox(prompt, title);
    return seen;
}

TEST(X11MessageBox, ModalOneOkNoIconTitled) {
    const BoxSeen record = ShowAndRead("記録更新: 850 ms", "Skorrel 記録更新");
    EXPECT_EQ(record.title, QStringLiteral("Skorrel 記録更新"));
    EXPECT_EQ(record.text, QStringLiteral("記録更新: 850 ms"));
    EXPECT_EQ(record.buttons, 1);
    EXPECT_EQ(record.standard, QMessageBox::Ok);
    EXPECT_EQ(record.icon, QMessageBox::NoIcon);
    EXPECT_EQ(record.modality, Qt::ApplicationModal);

    const BoxSeen refused = ShowAndRead("10秒越えは記録なし", nullptr);
    EXPECT_EQ(refused.title, QStringLiteral("Project1"));
    EXPECT_EQ(refused.text, QStringLiteral("10秒越えは記録なし"));
    EXPECT_EQ(refused.buttons, 1);
}

TEST(X11Files, AppDirectoryIsTheExecutables) {
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    std::string dir(exe, static_cast<std::size_t>(n));
    dir.erase(dir.rfind('/'));
    EXPECT_EQ(platform::AppDirectory(), dir);
    EXPECT_EQ(platform::PathSeparator(), '/');
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    std::string why;
    if (!platform::Init(argc, argv, &why)) {
        std::fprintf(stderr, "no X display: %s\n", why.c_str());
        return 1;
    }
    const int status = RUN_ALL_TESTS();
    // Through the event loop, which tears the toolkit down in order.
    QTimer::singleShot(0, [] { QCoreApplication::quit(); });
    platform::RunEventLoop();
    return status;
}
