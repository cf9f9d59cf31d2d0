// The Linux backend: Qt 6 Widgets for the window and the message boxes
// (qt_form.cpp), POSIX clocks, and the pointer through Xlib on the root
// window (pointer_x11.cpp) or, in a Wayland session, through a surface
// covering the screen (pointer_wl.cpp). The window itself is an X11 one
// wherever there is X: XWayland honours the positions the game gives it
// (window_x11.cpp). A Wayland session without XWayland gets Qt's own
// Wayland window, placed by the compositor, and so does a player whose
// QT_QPA_PLATFORM asks Qt for Wayland first (window_wl.cpp). Here:
// start-up, where both are chosen, the event loop, the screen, the clock
// and paths.
#include <QApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QScreen>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>

#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/clock.h"
#include "platform/qt/qt_internal.h"
#include "platform/wayland/wayland.h"
#include "platform/x11/x11.h"

namespace platform {

namespace {

struct Backend {
    int argc = 1;
    char* argv[2] = {nullptr, nullptr};
    std::unique_ptr<QApplication> app;
    // The pointer goes through Wayland (else X11); chosen once, at Init.
    const qt::PointerOps* pointer = &qt::kX11Pointer;
    // The window is an X11 one (else Qt's own on Wayland): the platform Qt
    // took, known once the application stands.
    const qt::WindowOps* window = &qt::kWaylandWindow;
};

Backend backend;

double Dpi(bool x) {
    const QScreen* s = qt::PrimaryScreen();
    const double dpi = s ? (x ? s->logicalDotsPerInchX() : s->logicalDotsPerInchY()) : 96.0;
    return dpi > 0 ? dpi : 96.0;
}

}  // namespace

namespace qt {

const PointerOps& ThePointer() { return *backend.pointer; }
const WindowOps& TheWindow() { return *backend.window; }

const QScreen* PrimaryScreen() { return backend.app ? QGuiApplication::primaryScreen() : nullptr; }

QPoint ScreenOrigin() {
    const QScreen* s = PrimaryScreen();
    return s ? s->geometry().topLeft() : QPoint(0, 0);
}

// A confinement to the whole primary screen (the race on a desktop of
// several monitors) rather than a hold.
bool WholeScreen(const RECT& r) {
    const QScreen* s = PrimaryScreen();
    return s && r.left <= 0 && r.top <= 0 && r.right >= s->geometry().width() && r.bottom >= s->geometry().height();
}

double TwipsPerPixelX() { return 1440.0 / Dpi(true); }
double TwipsPerPixelY() { return 1440.0 / Dpi(false); }

// Rounds half to even, as the default floating-point mode does.
int PixelsX(double twips) { return static_cast<int>(std::nearbyint(twips / TwipsPerPixelX())); }
int PixelsY(double twips) { return static_cast<int>(std::nearbyint(twips / TwipsPerPixelY())); }

}  // namespace qt

// ---- pointer -------------------------------------------------------------

void SetCursorPos(int32_t x, int32_t y) { backend.pointer->put(x, y); }
void GetCursorPos(POINT& p) { backend.pointer->get(p); }
void ClipCursor(const RECT* r) { backend.pointer->clip(r); }
void TrackPointer(bool on) { backend.pointer->track(on); }
std::string PointerLost() { return backend.pointer->lost(); }

// ---- clock ---------------------------------------------------------------

uint32_t timeGetTime() { return posix::MonotonicMs(); }

void Sleep(uint32_t ms) {
    timespec want{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    timespec left{};
    while (nanosleep(&want, &left) != 0 && errno == EINTR) want = left;
}

// ---- events --------------------------------------------------------------

void PumpEvents() {
    if (backend.app) QCoreApplication::processEvents(QEventLoop::AllEvents);
    backend.pointer->pump();
}

// ---- screen and window ---------------------------------------------------

ScreenSize GetScreenSize() {
    ScreenSize s;
    s.twipsPerPixelX = qt::TwipsPerPixelX();
    s.twipsPerPixelY = qt::TwipsPerPixelY();
    const QScreen* screen = qt::PrimaryScreen();
    // Device pixels: Qt's own scaling is off (Init).
    const QSize px = screen ? screen->geometry().size() : QSize(0, 0);
    s.widthTwips = px.width() * s.twipsPerPixelX;
    s.heightTwips = px.height() * s.twipsPerPixelY;
    return s;
}

int32_t MonitorCount() {
    return backend.app ? static_cast<int32_t>(std::max<qsizetype>(1, QGuiApplication::screens().size())) : 1;
}

int RunEventLoop() {
    // Closed before the loop began (a race started from a press while the
    // window was being shown, and the window closed in it): Qt quits on the
    // last window's close only from within its loop, which would never end.
    const int status = !backend.app ? 1 : QuitRequested() ? 0 : QApplication::exec();
    backend.pointer->stop();
    qt::DeleteForm();
    backend.window->stop(backend.app);
    return status;
}

namespace {

// Whether Qt will take xcb for the window, from the player's QT_QPA_PLATFORM:
// Qt tries its ';'-separated names (each maybe with ':'-separated
// arguments) in order and keeps the first that starts. xcb and Wayland
// start where their display answers; anything else is taken to start.
bool XcbFirst(const QByteArray& platforms, bool wayland, std::string* noX) {
    for (const QByteArray& entry : platforms.split(';')) {
        const QByteArray name = entry.split(':').front().trimmed().toLower();
        if (name.isEmpty()) continue;
        if (name == "xcb") {
            if (x11::Open(noX)) return true;
        } else if (name.startsWith("wayland")) {
            if (wayland || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) return false;
        } else {
            return false;
        }
    }
    return false;
}

}  // namespace

bool Init(int argc, char** argv, std::string* why) {
    if (backend.app) return true;
    // XWayland neither moves the pointer nor sees it off its own windows:
    // in a Wayland session the pointer goes through the compositor.
    bool wayland = false;
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        wayland = qt::OpenWayland();
        if (!wayland) std::fprintf(stderr, "skorrel: %s; trying the pointer through X11\n", wl::Failure().c_str());
    }
    backend.pointer = wayland ? &qt::kWaylandPointer : &qt::kX11Pointer;
    std::string noX;
    bool xcb = false;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        // The window is an X11 one wherever there is X (XWayland in a
        // Wayland session), where the game can place it; on Wayland itself
        // otherwise.
        xcb = x11::Open(&noX);
        if (xcb || wayland) qputenv("QT_QPA_PLATFORM", xcb ? "xcb" : "wayland");
    } else {
        // The player's choice stands; Qt may still fall back along it.
        xcb = XcbFirst(qgetenv("QT_QPA_PLATFORM"), wayland, &noX);
    }
    // Without Wayland the pointer goes through X11, whatever the window is.
    if (!wayland && !x11::Open(&noX)) {
        if (why) *why = noX;
        return false;
    }
    if (xcb) {
        // One Qt pixel is one device pixel: the pointer works in device
        // pixels there. On Wayland both work in the output's logical pixels.
        qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
        qunsetenv("QT_SCALE_FACTOR");
        qunsetenv("QT_SCREEN_SCALE_FACTORS");
    }
    // QApplication keeps a reference to argc for its life.
    backend.argc = argc > 0 ? 1 : 0;
    backend.argv[0] = argc > 0 ? argv[0] : nullptr;
    backend.app = std::make_unique<QApplication>(backend.argc, backend.argv);
    // Tied to its menu entry whatever the file is called: WM_CLASS's class
    // on X11 (the entry's StartupWMClass), the app id on Wayland.
    QCoreApplication::setApplicationName(QStringLiteral("skorrel"));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.skorrel.Skorrel"));
    // Every window and box wears the game's icon, built in so that a game
    // run from its build folder has it too.
    QIcon icon;
    for (const int size : {16, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/icons/skorrel-%1.png").arg(size), QSize(size, size));
    QApplication::setWindowIcon(icon);
    const QString platform = QGuiApplication::platformName();
    const bool x11Window = platform == QLatin1String("xcb");
    backend.window = x11Window ? &qt::kX11Window : &qt::kWaylandWindow;
    // Qt skipped a platform that seemed to answer, or took one that seemed
    // not to: its high-dpi scaling is then set for the other kind.
    if (x11Window != xcb) {
        std::fprintf(stderr, "skorrel: Qt took the platform %s from QT_QPA_PLATFORM=%s; its high-dpi scaling is %s\n",
                     qPrintable(platform), qgetenv("QT_QPA_PLATFORM").constData(),
                     xcb ? "off" : "on, so a window pixel may not be a screen pixel");
    }
    backend.window->start(!wayland);
    backend.pointer->start();
    return true;
}

// ---- files, directories, time --------------------------------------------

std::string AppDirectory() {
    if (backend.app) return QCoreApplication::applicationDirPath().toStdString();
    // Before Init: the executable's own link.
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    std::string p(path, static_cast<std::size_t>(n));
    const std::size_t slash = p.rfind('/');
    return slash == 0 ? "/" : slash == std::string::npos ? "." : p.substr(0, slash);
}

char PathSeparator() { return '/'; }

LocalTime GetLocalTime() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

}  // namespace platform
