// The Linux backend: Qt 6 Widgets for the window and the message boxes,
// POSIX clocks, and the pointer through Xlib on the root window (x11.cpp)
// or, in a Wayland session, through a surface covering the screen
// (wayland.cpp). The window itself is an X11 one wherever there is X:
// XWayland honours the positions the game gives it. A Wayland session
// without XWayland gets Qt's own Wayland window, placed by the compositor.
#include <QAbstractButton>
#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QImage>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSocketNotifier>
#include <QWidget>
#include <QWindow>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <vector>

#include <unistd.h>
#include <xcb/xcb.h>

#include "platform/platform.h"
#include "platform/qt/qt_backend.h"
#include "platform/qt/wayland.h"
#include "platform/qt/x11.h"

namespace platform {

namespace {

class FormWidget : public QWidget {
public:
    std::function<void()> onClose;

protected:
    void closeEvent(QCloseEvent* e) override {
        if (onClose) onClose();
        e->accept();
    }
};

struct State {
    int argc = 1;
    char* argv[2] = {nullptr, nullptr};
    std::unique_ptr<QApplication> app;
    FormWidget* form = nullptr;
    QWidget* controls[4] = {};
    QFont font;
    std::function<void()> onCommand1;
    bool quit = false;
    // The frame counted around the client area: asked of the window manager
    // before the first show, measured once mapped.
    x11::Extents frame;
    bool frameAsked = false;
    // Where the game wants the frame's top-left corner, in device pixels
    // relative to the primary screen.
    std::optional<int> wantX, wantY;
    // The pointer goes through Wayland (else X11); chosen once, at Init.
    bool wayland = false;
    // The window is an X11 one (else Qt's own on Wayland).
    bool x11 = false;
    std::unique_ptr<QSocketNotifier> waylandEvents;
    // What the covering surface shows of the window, so that it is drawn
    // again only when that changes.
    QString mirrored;
    double mirroredScale = 0;
    // Where the pointer was last put, relative to the primary screen.
    int parkX = 0, parkY = 0;
};

State g;

void Closed() {
    g.quit = true;
    // Nothing may keep the pointer once the window is gone.
    x11::Release();
    wl::Uncover();
}

// The compositor closed the covering surface (the close-window key while
// it has the focus): the player wants the game closed.
void CheckCoverClosed() {
    if (!g.wayland || !wl::CloseRequested() || g.quit) return;
    wl::Uncover();
    if (g.form) g.form->close();
    Closed();
}

void MirrorForm();

// A failed connection is let go at once: its socket would wake the event
// loop for ever. The next race connects anew.
void DropWaylandIfFailed() {
    if (wl::Connected() || wl::Fd() < 0) return;
    if (g.waylandEvents) {
        g.waylandEvents->setEnabled(false);
        // This may run inside the notifier's own signal.
        g.waylandEvents.release()->deleteLater();
    }
    wl::Close();
}

void DispatchWayland() {
    wl::Dispatch();
    DropWaylandIfFailed();
    CheckCoverClosed();
    // The compositor told the surface its scale only now.
    if (wl::Covered() && wl::PictureScale() != g.mirroredScale) MirrorForm();
}

// Keeps the connection answered while the game waits for a press.
void WatchWayland() {
    g.waylandEvents = std::make_unique<QSocketNotifier>(wl::Fd(), QSocketNotifier::Read);
    QObject::connect(g.waylandEvents.get(), &QSocketNotifier::activated, [] { DispatchWayland(); });
}

bool OpenWayland() {
    std::string note;
    if (!wl::Open(&note)) return false;
    if (!wl::Holds()) std::fprintf(stderr, "skorrel: %s\n", note.c_str());
    return true;
}

// A window destroyed from outside (xdotool windowclose, a crashing window
// manager's cleanup) never gets a close event: count it as closed, or the
// game would go on without a window and never exit.
class DestroyWatch : public QAbstractNativeEventFilter {
public:
    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        if (type != "xcb_generic_event_t" || !g.form || g.quit) return false;
        const auto* e = static_cast<const xcb_generic_event_t*>(message);
        if ((e->response_type & 0x7f) != XCB_DESTROY_NOTIFY) return false;
        const auto* d = static_cast<const xcb_destroy_notify_event_t*>(message);
        if (d->window != static_cast<xcb_window_t>(g.form->winId())) return false;
        Closed();
        QCoreApplication::quit();
        return false;
    }
};

DestroyWatch destroyWatch;

int Index(Control c) { return static_cast<int>(c); }

double Dpi(bool x) {
    const QScreen* s = g.app ? QGuiApplication::primaryScreen() : nullptr;
    const double dpi = s ? (x ? s->logicalDotsPerInchX() : s->logicalDotsPerInchY()) : 96.0;
    return dpi > 0 ? dpi : 96.0;
}

double TwipsPerPixelX() { return 1440.0 / Dpi(true); }
double TwipsPerPixelY() { return 1440.0 / Dpi(false); }

// Rounds half to even, as the default floating-point mode does.
int PixelsX(double twips) { return static_cast<int>(std::nearbyint(twips / TwipsPerPixelX())); }
int PixelsY(double twips) { return static_cast<int>(std::nearbyint(twips / TwipsPerPixelY())); }

QPoint ScreenOrigin() {
    const QScreen* s = g.app ? QGuiApplication::primaryScreen() : nullptr;
    return s ? s->geometry().topLeft() : QPoint(0, 0);
}

// Shows the window's current look on the covering surface too, drawn at
// the output's scale; only when something it shows has changed.
void MirrorForm() {
    if (!g.wayland || !g.form || !wl::Covered()) return;
    const double scale = wl::PictureScale();
    const QRect r = g.form->geometry();
    QString key = QStringLiteral("%1 %2 %3 %4 %5").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height()).arg(scale);
    for (const QWidget* w : g.controls) {
        if (!w || w == g.form) continue;
        key += QLatin1Char('\n') + QString::number(w->isEnabled());
        if (const auto* b = qobject_cast<const QAbstractButton*>(w)) key += b->text();
        if (const auto* l = qobject_cast<const QLabel*>(w)) key += l->text();
    }
    if (key == g.mirrored) return;
    g.mirrored = key;
    g.mirroredScale = scale;
    QImage image(QSize(static_cast<int>(std::ceil(r.width() * scale)), static_cast<int>(std::ceil(r.height() * scale))),
                 QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(Qt::transparent);
    g.form->render(&image);
    const QPoint at = r.topLeft() - ScreenOrigin();
    wl::ShowWindow(at.x(), at.y(), r.width(), r.height(), reinterpret_cast<const uint32_t*>(image.constBits()),
                   image.width(), image.height());
}

unsigned long FormWindow() { return g.form ? static_cast<unsigned long>(g.form->winId()) : 0; }

// The frame as it stands: measured on a mapped window, else what the window
// manager promised (asked once), else none.
x11::Extents CurrentFrame() {
    if (!g.form) return {};
    const unsigned long w = FormWindow();
    if (x11::Viewable(w)) {
        g.frame = x11::MeasureFrame(w);
        g.frameAsked = true;
    } else if (!g.frameAsked) {
        g.frameAsked = true;
        x11::Extents e;
        g.frame = x11::RequestFrameExtents(w, 500, e) ? e : x11::Extents{};
    }
    return g.frame;
}

// Puts the client area where the frame's top-left corner lands on the
// wanted point; the window manager adds the frame around it (Qt asks for
// static gravity).
void PlaceForm() {
    if (!g.form) return;
    const x11::Extents f = CurrentFrame();
    const QPoint origin = ScreenOrigin();
    const QRect now = g.form->geometry();
    const int x = g.wantX ? origin.x() + *g.wantX + f.left : now.x();
    const int y = g.wantY ? origin.y() + *g.wantY + f.top : now.y();
    g.form->setGeometry(QRect(QPoint(x, y), g.form->size()));
}

// A caption's '&' is text, not a shortcut mark.
void Escape(QString& text) { text.replace(QLatin1Char('&'), QStringLiteral("&&")); }

// Qt takes the first of these faces that is installed when the text is
// first drawn, after the window maps; asking the font database which are
// installed would load every font on the system before the map.
QFont ChooseFont(const FormLayout& layout) {
    QStringList faces;
    const auto add = [&](const char* face) {
        if (face && *face) faces << QString::fromUtf8(face);
    };
    add(layout.fontFace);
    for (std::size_t i = 0; i < layout.fallbackCount; ++i) add(layout.fallbackFaces[i]);
    // None of them installed: fontconfig substitutes for the first.
    QFont font;
    font.setFamilies(faces);
    font.setPointSize(layout.fontPoints);
    font.setWeight(layout.fontWeight >= 700 ? QFont::Bold : QFont::Normal);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

void FocusButton() {
    QWidget* button = g.controls[Index(Control::Command1)];
    if (button && button->isEnabled()) button->setFocus(Qt::OtherFocusReason);
}

}  // namespace

// ---- pointer -------------------------------------------------------------

void SetCursorPos(int32_t x, int32_t y) {
    g.parkX = x;
    g.parkY = y;
    if (g.wayland) {
        wl::Park(x, y);
        return;
    }
    const QPoint o = ScreenOrigin();
    x11::Warp(o.x() + x, o.y() + y);
}

void GetCursorPos(POINT& p) {
    int x = 0, y = 0;
    if (g.wayland) {
        DispatchWayland();
        if (wl::Position(x, y)) p = {x, y};
        return;
    }
    if (!x11::Query(x, y)) return;
    const QPoint o = ScreenOrigin();
    p.x = x - o.x();
    p.y = y - o.y();
}

// A confinement to the whole primary screen (the race on a desktop of
// several monitors) rather than a hold.
bool WholeScreen(const RECT& r) {
    const QScreen* s = g.app ? QGuiApplication::primaryScreen() : nullptr;
    return s && r.left <= 0 && r.top <= 0 && r.right >= s->geometry().width() && r.bottom >= s->geometry().height();
}

void ClipCursor(const RECT* r) {
    if (g.wayland) {
        if (!r) {
            wl::Free();
        } else if (WholeScreen(*r)) {
            wl::Confine();
        } else if (r->right > r->left && r->bottom > r->top) {
            // Held where a confinement would move it: the point of the
            // rectangle nearest to where it was put.
            wl::Hold(std::clamp(g.parkX, r->left, r->right - 1), std::clamp(g.parkY, r->top, r->bottom - 1));
        }
        return;
    }
    if (!r) {
        x11::Release();
        return;
    }
    const QPoint o = ScreenOrigin();
    // Kept on the screen for a race: fenced, so the game's window keeps its
    // clicks; a grab where the server has no barriers.
    if (WholeScreen(*r) && x11::Fence(o.x() + r->left, o.y() + r->top, o.x() + r->right, o.y() + r->bottom)) return;
    x11::Confine(o.x() + r->left, o.y() + r->top, o.x() + r->right, o.y() + r->bottom);
}

void TrackPointer(bool on) {
    if (!g.wayland) return;
    if (!on) {
        wl::Uncover();
        DropWaylandIfFailed();
        return;
    }
    // A connection that failed before is made anew; failing that, the race
    // stops at once, with the reason.
    if (!wl::Connected()) {
        if (!OpenWayland()) {
            std::fprintf(stderr, "skorrel: %s\n", wl::Failure().c_str());
            return;
        }
        WatchWayland();
    }
    const QScreen* s = g.app ? QGuiApplication::primaryScreen() : nullptr;
    if (!s) return;
    const QRect r = s->geometry();
    wl::Cover({s->name().toStdString(), r.x(), r.y(), r.width(), r.height()});
    DropWaylandIfFailed();
    g.mirrored.clear();
    MirrorForm();
    CheckCoverClosed();
}

std::string PointerLost() { return g.wayland ? wl::Failure() : std::string(); }

// ---- clock ---------------------------------------------------------------

uint32_t timeGetTime() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    // Wraps at 2^32 like the counter it stands for.
    return static_cast<uint32_t>(static_cast<uint64_t>(t.tv_sec) * 1000u +
                                 static_cast<uint64_t>(t.tv_nsec) / 1000000u);
}

void Sleep(uint32_t ms) {
    timespec want{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    timespec left{};
    while (nanosleep(&want, &left) != 0 && errno == EINTR) want = left;
}

// ---- events --------------------------------------------------------------

void PumpEvents() {
    if (g.app) QCoreApplication::processEvents(QEventLoop::AllEvents);
    if (g.wayland) DispatchWayland();
}

bool QuitRequested() { return g.quit; }

// ---- screen and window ---------------------------------------------------

ScreenSize GetScreenSize() {
    ScreenSize s;
    s.twipsPerPixelX = TwipsPerPixelX();
    s.twipsPerPixelY = TwipsPerPixelY();
    const QScreen* screen = g.app ? QGuiApplication::primaryScreen() : nullptr;
    // Device pixels: Qt's own scaling is off (Init).
    const QSize px = screen ? screen->geometry().size() : QSize(0, 0);
    s.widthTwips = px.width() * s.twipsPerPixelX;
    s.heightTwips = px.height() * s.twipsPerPixelY;
    return s;
}

int32_t MonitorCount() {
    return g.app ? static_cast<int32_t>(std::max<qsizetype>(1, QGuiApplication::screens().size())) : 1;
}

WindowSize GetWindowSize(Control window) {
    WindowSize size;
    QWidget* w = g.controls[Index(window)];
    if (!w) return size;
    x11::Extents f;
    if (window == Control::Form1) f = CurrentFrame();
    size.widthTwips = (w->width() + f.left + f.right) * TwipsPerPixelX();
    size.heightTwips = (w->height() + f.top + f.bottom) * TwipsPerPixelY();
    return size;
}

void SetWindowTop(Control window, float twips) {
    if (window == Control::Form1) {
        g.wantY = PixelsY(twips);
        PlaceForm();
    } else if (QWidget* w = g.controls[Index(window)]) {
        w->move(w->x(), PixelsY(twips));
    }
}

void SetWindowLeft(Control window, float twips) {
    if (window == Control::Form1) {
        g.wantX = PixelsX(twips);
        PlaceForm();
    } else if (QWidget* w = g.controls[Index(window)]) {
        w->move(PixelsX(twips), w->y());
    }
}

void SetCaption(Control c, std::string_view utf8) {
    QString text = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
    QWidget* w = g.controls[Index(c)];
    if (!w) return;
    // The count-in writes the same number on every pass: nothing changes.
    if (c == Control::Form1) {
        if (w->windowTitle() == text) return;
        w->setWindowTitle(text);
    } else if (auto* button = qobject_cast<QPushButton*>(w)) {
        Escape(text);
        if (button->text() == text) return;
        button->setText(text);
    } else if (auto* label = qobject_cast<QLabel*>(w)) {
        if (label->text() == text) return;
        label->setText(text);
    }
    MirrorForm();
}

void SetEnabled(Control c, bool enabled) {
    QWidget* w = g.controls[Index(c)];
    if (!w) return;
    w->setEnabled(enabled);
    // A disabled button loses the focus; give it back so Space works again.
    if (enabled && c == Control::Command1 && g.form && !g.form->focusWidget()) FocusButton();
    MirrorForm();
}

void CreateForm(const FormLayout& layout, std::function<void()> onCommand1) {
    g.onCommand1 = std::move(onCommand1);
    auto* form = new FormWidget;
    form->onClose = Closed;
    g.form = form;
    g.controls[Index(Control::Form1)] = form;
    form->setWindowTitle(QString::fromUtf8(layout.caption));
    g.font = ChooseFont(layout);
    form->setFont(g.font);
    // The layout fixes the client area; the frame is the window manager's.
    form->setFixedSize(PixelsX(layout.clientWidth), PixelsY(layout.clientHeight));

    std::vector<const ControlLayout*> order;
    for (std::size_t i = 0; i < layout.controlCount; ++i) order.push_back(&layout.controls[i]);
    std::stable_sort(order.begin(), order.end(),
                     [](const ControlLayout* a, const ControlLayout* b) { return a->tabIndex < b->tabIndex; });
    QWidget* previous = nullptr;
    for (const ControlLayout* c : order) {
        QWidget* w = nullptr;
        QString caption = QString::fromUtf8(c->caption);
        if (c->kind == ControlKind::PushButton) {
            Escape(caption);
            auto* button = new QPushButton(caption, form);
            // Outside a dialog Qt only clicks on Space; Enter and Return
            // press the start button too.
            button->setAutoDefault(true);
            button->setFocusPolicy(Qt::StrongFocus);
            if (c->id == Control::Command1) {
                QObject::connect(button, &QPushButton::clicked, [] {
                    if (!g.quit && g.onCommand1) g.onCommand1();
                });
            }
            w = button;
        } else {
            auto* label = new QLabel(caption, form);
            label->setTextFormat(Qt::PlainText);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            w = label;
        }
        // Children are clipped by the client area, as laid out (the
        // button's lowest row falls outside it).
        w->setGeometry(PixelsX(c->left), PixelsY(c->top), PixelsX(c->width), PixelsY(c->height));
        g.controls[Index(c->id)] = w;
        if (w->focusPolicy() != Qt::NoFocus) {
            if (previous) QWidget::setTabOrder(previous, w);
            previous = w;
        }
    }
    FocusButton();
    // The native window exists from now on, so its frame can be asked for.
    form->winId();
}

void ShowForm() {
    if (!g.form) return;
    g.form->show();
    g.form->raise();
    g.form->activateWindow();
    // Wait (briefly) for the window manager to map and frame the window;
    // if the frame is not the one it promised, put the frame where the
    // game asked.
    const unsigned long w = FormWindow();
    const bool framed = x11::FrameExtentsAnswered();
    const x11::Extents promised = g.frame;
    const uint32_t t0 = timeGetTime();
    while (timeGetTime() - t0 < 2000u) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (!g.x11 && g.form->windowHandle() && g.form->windowHandle()->isExposed()) break;
        if (x11::Viewable(w) && (!framed || x11::MeasureFrame(w) != x11::Extents{})) break;
        Sleep(2);
    }
    if (CurrentFrame() != promised && (g.wantX || g.wantY)) PlaceForm();
    FocusButton();
}

int RunEventLoop() {
    const int status = g.app ? QApplication::exec() : 1;
    x11::Release();
    g.waylandEvents.reset();
    wl::Close();
    for (QWidget*& w : g.controls) w = nullptr;
    delete g.form;
    g.form = nullptr;
    x11::Close();
    // Qt 6.4's own Wayland connection can wait for ever, as the toolkit
    // goes, for its reading thread (seen once in a few dozen closes). All
    // is saved by now: leave it to the end of the process.
    if (!g.x11) {
        static_cast<void>(g.app.release());
        return status;
    }
    g.app.reset();
    return status;
}

bool Init(int argc, char** argv, std::string* why) {
    if (g.app) return true;
    // XWayland neither moves the pointer nor sees it off its own windows:
    // in a Wayland session the pointer goes through the compositor.
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        g.wayland = OpenWayland();
        if (!g.wayland) std::fprintf(stderr, "skorrel: %s; trying the pointer through X11\n", wl::Failure().c_str());
    }
    // The window is an X11 one wherever there is X (XWayland in a Wayland
    // session), where the game can place it; on Wayland itself otherwise.
    std::string noX;
    g.x11 = x11::Open(&noX);
    if (!g.x11 && !g.wayland) {
        if (why) *why = noX;
        return false;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", g.x11 ? "xcb" : "wayland");
    if (g.x11) {
        // One Qt pixel is one device pixel: the pointer works in device
        // pixels there. On Wayland both work in the output's logical pixels.
        qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
        qunsetenv("QT_SCALE_FACTOR");
        qunsetenv("QT_SCREEN_SCALE_FACTORS");
    }
    // QApplication keeps a reference to argc for its life.
    g.argc = argc > 0 ? 1 : 0;
    g.argv[0] = argc > 0 ? argv[0] : nullptr;
    g.app = std::make_unique<QApplication>(g.argc, g.argv);
    g.app->installNativeEventFilter(&destroyWatch);
    if (g.wayland) WatchWayland();
    return true;
}

void ShowMessageBox(std::string_view prompt, const char* title) {
    QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(title ? title : kApplicationTitle),
                    QString::fromUtf8(prompt.data(), static_cast<qsizetype>(prompt.size())), QMessageBox::Ok,
                    g.form);
    box.setTextFormat(Qt::PlainText);
    // Plain OK, as the game's boxes have no pictures at all.
    if (QAbstractButton* ok = box.button(QMessageBox::Ok)) ok->setIcon(QIcon());
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

// ---- files, directories, time --------------------------------------------

std::string AppDirectory() {
    if (g.app) return QCoreApplication::applicationDirPath().toStdString();
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

// ---- for the backend's tests -----------------------------------------------

namespace qt {

QWidget* Widget(Control c) { return g.controls[Index(c)]; }
QFont FormFont() { return g.font; }
x11::Extents Frame() { return CurrentFrame(); }

}  // namespace qt

}  // namespace platform
